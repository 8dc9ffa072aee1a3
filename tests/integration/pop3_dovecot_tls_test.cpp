// The POP3 client over TLS against a real Dovecot on 127.0.0.1, with
// certificates made by the openssl command: STLS and implicit TLS, the
// certificate trusted by file and by fingerprint, and the refusals, each
// checked in the server's log to have come before any login.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "mail/net/pop3_client.h"
#include "support/dovecot_server.h"
#include "support/server_process.h"
#include "support/test_certificate.h"

using namespace Vizu2000;
using VizuTest::DovecotServer;
using VizuTest::TestCertificate;

namespace {

const std::string kFirst = "From: ann@example.org\r\nSubject: one\r\n\r\nfirst\r\n";
const std::string kSecond = "From: bob@example.org\r\nSubject: two\r\n\r\n.dotted\r\nsecond\r\n";

class Pop3DovecotTlsTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    folder_ = VizuTest::makeTempFolder("vizu-certs");
    good_ = VizuTest::makeTestCertificate(folder_, "good", "IP:127.0.0.1");
    otherName_ = VizuTest::makeTestCertificate(folder_, "other", "DNS:mail.example.org");
    expired_ = VizuTest::makeTestCertificate(folder_, "expired", "IP:127.0.0.1", VizuTest::Validity::Expired);
  }
  static void TearDownTestSuite() { VizuTest::removeTempFolder(folder_); }

  // A server with the given certificate and two messages.
  void Serve(const TestCertificate& certificate) {
    server.enableTls(certificate.certificate, certificate.key);
    server.addMessage("0001", kFirst);
    server.addMessage("0002", kSecond);
    ASSERT_NO_THROW(server.start());
  }

  // A client for the server in the given mode, on the port for it.
  void Aim(TTLSMode mode, const std::string& trusted) {
    client.SetHost("127.0.0.1");
    client.SetPort(mode == tmImplicitTLS ? server.tlsPort() : server.port());
    client.SetUserName(server.userName());
    client.SetPassword(server.password());
    client.SetTimeOut(10);
    client.SetTLSMode(mode);
    client.SetTrustedCertificate(trusted);
  }

  // A whole session: both messages byte for byte.
  void Fetch() {
    ASSERT_TRUE(client.Connect()) << client.FailureReason() << "\n" << server.logText();
    EXPECT_EQ(client.TLSFailure(), "");
    ASSERT_TRUE(client.Login()) << client.FailureReason();
    ASSERT_EQ(client.MessageCount(), 2);
    ASSERT_TRUE(client.RetrieveMessage(1));
    EXPECT_EQ(client.LastMessage(), kFirst);
    ASSERT_TRUE(client.RetrieveMessage(2));
    EXPECT_EQ(client.LastMessage(), kSecond);
    EXPECT_TRUE(client.Quit());
  }

  // Connect is refused for a TLS reason, in both modes and with each trust
  // source, and the server saw every connection end without a login attempt.
  void ExpectRefused(const std::vector<std::string>& trustSources, const std::string& reason) {
    const size_t before = server.logLines("TLS handshaking", 0).size();
    for (const std::string& trusted : trustSources) {
      for (const TTLSMode mode : {tmSTLS, tmImplicitTLS}) {
        SCOPED_TRACE((mode == tmSTLS ? "STLS with " : "implicit TLS with ") + trusted);
        Aim(mode, trusted);
        EXPECT_FALSE(client.Connect());
        EXPECT_EQ(client.TLSFailure(), reason);
        EXPECT_EQ(client.FailureReason(), reason);
        EXPECT_FALSE(client.Connected());
        EXPECT_FALSE(client.Login());
      }
    }
    // Dovecot saw each of them end in the handshake, before any command
    // under TLS, and never heard the user's name.
    const size_t connections = before + 2 * trustSources.size();
    const std::vector<std::string> ended = server.logLines("TLS handshaking", connections);
    EXPECT_EQ(ended.size(), connections) << server.logText();
    for (const std::string& line : ended) EXPECT_NE(line.find("no auth attempts"), std::string::npos) << line;
    EXPECT_EQ(server.logLines("user=<" + server.userName() + ">", 0), std::vector<std::string>{}) << server.logText();
  }

  static std::string folder_;
  static TestCertificate good_, otherName_, expired_;
  DovecotServer server;
  TREZ2000 client{nullptr};
};

std::string Pop3DovecotTlsTest::folder_;
TestCertificate Pop3DovecotTlsTest::good_, Pop3DovecotTlsTest::otherName_, Pop3DovecotTlsTest::expired_;

}  // namespace

TEST_F(Pop3DovecotTlsTest, FetchesInEveryModeWithTheCertificateTrustedByFileOrFingerprint) {
  Serve(good_);
  for (const TTLSMode mode : {tmSTLS, tmImplicitTLS}) {
    for (const std::string& trusted : {good_.certificate, good_.fingerprint}) {
      SCOPED_TRACE((mode == tmSTLS ? "STLS with " : "implicit TLS with ") + trusted);
      Aim(mode, trusted);
      Fetch();
    }
  }
  // The plain port still serves a client that asks for no TLS.
  Aim(tmNone, "");
  Fetch();
  // TLS from the first byte on the plain port: the greeting is no handshake.
  Aim(tmImplicitTLS, good_.certificate);
  client.SetPort(server.port());
  EXPECT_FALSE(client.Connect());
  EXPECT_EQ(client.TLSFailure().rfind("TLS handshake failed: ", 0), 0u) << client.TLSFailure();
  // Dovecot marks the logins that came over TLS.
  const std::vector<std::string> logins = server.logLines("Login: user=<" + server.userName() + ">", 5);
  ASSERT_EQ(logins.size(), 5u) << server.logText();
  int overTls = 0;
  for (const std::string& line : logins) overTls += line.find(", TLS") != std::string::npos ? 1 : 0;
  EXPECT_EQ(overTls, 4) << server.logText();
}

TEST_F(Pop3DovecotTlsTest, AConnectInTheWrongTlsModeFailsAndTheRightOneThenSucceeds) {
  Serve(good_);
  const auto loginAndQuit = [this] {
    ASSERT_TRUE(client.Connect()) << client.FailureReason() << "\n" << server.logText();
    EXPECT_EQ(client.FailureReason(), "");
    EXPECT_EQ(client.TLSFailure(), "");
    ASSERT_TRUE(client.Login()) << client.FailureReason();
    EXPECT_EQ(client.MessageCount(), 2);
    EXPECT_TRUE(client.Quit());
  };
  // A handshake offered to the port that greets in the clear: the greeting
  // is no TLS record.
  Aim(tmImplicitTLS, good_.fingerprint);
  client.SetPort(server.port());
  EXPECT_FALSE(client.Connect());
  EXPECT_EQ(client.TLSFailure().rfind("TLS handshake failed: ", 0), 0u) << client.TLSFailure();
  EXPECT_EQ(client.FailureReason(), client.TLSFailure());
  EXPECT_FALSE(client.SocketTalk().Socket().Opened());
  client.SetTLSMode(tmSTLS);
  loginAndQuit();

  // A greeting awaited on the port that waits for a handshake first.
  Aim(tmSTLS, good_.fingerprint);
  client.SetPort(server.tlsPort());
  client.SetTimeOut(1);
  EXPECT_FALSE(client.Connect());
  EXPECT_EQ(client.FailureReason(), "no answer from the server");
  EXPECT_EQ(client.TLSFailure(), "");
  EXPECT_FALSE(client.SocketTalk().Socket().Opened());
  client.SetTLSMode(tmImplicitTLS);
  loginAndQuit();
  // Only the attempts in the mode that fits the port logged in.
  EXPECT_EQ(server.logLines("Login: user=<" + server.userName() + ">", 2).size(), 2u) << server.logText();
}

TEST_F(Pop3DovecotTlsTest, AnUntrustedCertificateIsRefusedBeforeTheLogin) {
  Serve(good_);
  // Nor does another certificate's fingerprint make it trusted.
  ExpectRefused({"", expired_.fingerprint}, "Certificate not trusted: self-signed certificate");
}

TEST_F(Pop3DovecotTlsTest, AnUnreadableTrustSourceIsRefusedBeforeTheHandshake) {
  Serve(good_);
  const std::string missing = folder_ + "/missing.pem";
  ExpectRefused({missing}, "Trusted certificate cannot be read: " + missing);
  // A file without a certificate in it (the key) trusts nothing.
  ExpectRefused({good_.key}, "Trusted certificate file holds no certificate: " + good_.key);
}

TEST_F(Pop3DovecotTlsTest, ACertificateForAnotherNameIsRefusedUnlessPinned) {
  Serve(otherName_);
  ExpectRefused({otherName_.certificate}, "Certificate name does not match: 127.0.0.1");
  // A fingerprint vouches for this very certificate, whatever name it has.
  Aim(tmImplicitTLS, otherName_.fingerprint);
  Fetch();
}

TEST_F(Pop3DovecotTlsTest, AnExpiredCertificateIsRefused) {
  Serve(expired_);
  // Trusting it by fingerprint does not stretch its dates either.
  ExpectRefused({expired_.certificate, expired_.fingerprint}, "Certificate expired");
}

TEST_F(Pop3DovecotTlsTest, AMessageLargerThanTheSocketBufferComesWholeOverTls) {
  std::string big = "From: ann@example.org\r\nSubject: big\r\n\r\n";
  for (int n = 0; big.size() < (6u << 20); ++n)
    big += "line " + std::to_string(n) + " of a message that spans many TLS records and socket reads\r\n";
  server.enableTls(good_.certificate, good_.key);
  server.addMessage("0001", big);
  ASSERT_NO_THROW(server.start());
  // Now and then the reader stalls, so more arrives than the socket keeps
  // unread; the stream must resume under TLS where it was held back.
  int reads = 0;
  client.OnProgress = [&](TComponent*, int, int) {
    if (++reads % 32 == 1 && reads < 32 * 10) std::this_thread::sleep_for(std::chrono::milliseconds(50));
  };
  for (const TTLSMode mode : {tmSTLS, tmImplicitTLS}) {
    SCOPED_TRACE(mode == tmSTLS ? "STLS" : "implicit TLS");
    reads = 0;
    Aim(mode, good_.fingerprint);
    ASSERT_TRUE(client.Connect()) << client.FailureReason();
    ASSERT_TRUE(client.Login()) << client.FailureReason();
    ASSERT_TRUE(client.RetrieveMessage(1)) << client.FailureReason();
    EXPECT_TRUE(client.LastMessage() == big) << client.LastMessage().size() << " of " << big.size() << " bytes";
    EXPECT_TRUE(client.Quit());
  }
}
