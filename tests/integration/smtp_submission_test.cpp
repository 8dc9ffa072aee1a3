// The SMTP client as a submission client against a real aiosmtpd on
// 127.0.0.1 (see smtp_server.h): STARTTLS and implicit TLS with certificates
// made by the openssl command, AUTH PLAIN and LOGIN, pipelined sends, a
// SIZE limit, EHLO refused, and a refusal at each step in plain words.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "mail/net/smtp_client.h"
#include "support/line_ends.h"
#include "support/server_process.h"
#include "support/smtp_server.h"
#include "support/test_certificate.h"

using namespace Vizu2000;
using VizuTest::KeptContent;
using VizuTest::SmtpMessage;
using VizuTest::SmtpServer;
using VizuTest::TestCertificate;

namespace {

// 8-bit text, a lone CR and a lone LF before dot lines.
const std::string kContent = "Subject: caf\xc3\xa9\r\n\r\nhi\n.\r\nMAIL FROM:<x@y>\r\nlone\r.\r\nBl\xc3\xbc" "ten\r\n";

class SmtpSubmissionIntegration : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    folder_ = VizuTest::makeTempFolder("vizu-certs");
    good_ = VizuTest::makeTestCertificate(folder_, "good", "IP:127.0.0.1");
    otherName_ = VizuTest::makeTestCertificate(folder_, "other", "DNS:mail.example.org");
  }
  static void TearDownTestSuite() { VizuTest::removeTempFolder(folder_); }

  void Aim(TTLSMode mode, const std::string& trusted, const std::string& password = "s3cr3t") {
    client.SetHost("127.0.0.1");
    client.SetPort(mode == tmImplicitTLS ? server.tlsPort() : server.port());
    client.SetTimeOut(10);
    client.SetTLSMode(mode);
    client.SetTrustedCertificate(trusted);
    client.SetUserName("joe");
    client.SetPassword(password);
  }
  // Connect fails for this reason, and leaves nothing open.
  void ExpectRefused(const std::string& reason) {
    EXPECT_FALSE(client.Connect());
    EXPECT_EQ(client.FailureReason(), reason);
    EXPECT_FALSE(client.Connected());
    EXPECT_FALSE(client.SocketTalk().Socket().Opened());
  }

  static inline std::string folder_;
  static inline TestCertificate good_, otherName_;
  SmtpServer server;
  TDUZA2000 client{nullptr};
};

}  // namespace

TEST_F(SmtpSubmissionIntegration, SignsInUnderTlsBothWaysAndSendsPipelined) {
  server.strict();
  server.enableTls(good_.certificate, good_.key);
  server.requireSignIn("joe", "s3cr3t");
  server.refuseRecipient("nobody@example.org");
  ASSERT_NO_THROW(server.start());
  struct Way {
    TTLSMode mode;
    std::string trusted;
    std::string mechanism;
  };
  const Way ways[] = {{tmSTLS, good_.certificate, ""}, {tmImplicitTLS, good_.fingerprint, "LOGIN"}};
  for (const Way& way : ways) {
    SCOPED_TRACE(way.mode);
    Aim(way.mode, way.trusted);
    client.SetAuthMechanism(way.mechanism);
    ASSERT_TRUE(client.Connect()) << client.FailureReason() << "[" << client.LastResponse() << "]" << server.logText();
    EXPECT_TRUE(client.SocketTalk().Socket().Encrypted());
    EXPECT_TRUE(client.HasExtension("PIPELINING"));
    EXPECT_EQ(client.AuthMechanisms(), (std::vector<std::string>{"LOGIN", "PLAIN"}));
    // The refused recipient is named; the message goes to the other.
    EXPECT_TRUE(client.SendStringTo(kContent, "ann@example.org", "nobody@example.org, bob@example.org"));
    EXPECT_EQ(client.RefusedRecipients(), std::vector<std::string>{"nobody@example.org"});
    EXPECT_EQ(client.FailureReason(), "recipient refused: <nobody@example.org>: 550 5.1.1 Recipient refused");
    EXPECT_TRUE(client.Quit());
  }
  const std::vector<SmtpMessage> kept = server.messages();
  ASSERT_EQ(kept.size(), 2u) << server.logText();
  for (const SmtpMessage& m : kept) {
    EXPECT_EQ(m.content, KeptContent(kContent));
    EXPECT_EQ(m.signedIn, "joe");
    EXPECT_TRUE(m.encrypted);
    EXPECT_EQ(m.rcptTos, std::vector<std::string>{"bob@example.org"});
    EXPECT_EQ(m.mailOptions, (std::vector<std::string>{"SIZE=" + std::to_string(KeptContent(kContent).size()),
                                                        "BODY=8BITMIME"}));
  }
}

TEST_F(SmtpSubmissionIntegration, EveryTlsAndSignInRefusalSaysWhyInBothModes) {
  server.enableTls(otherName_.certificate, otherName_.key);
  server.requireSignIn("joe", "s3cr3t");
  ASSERT_NO_THROW(server.start());
  for (const TTLSMode mode : {tmSTLS, tmImplicitTLS}) {
    SCOPED_TRACE(mode);
    Aim(mode, otherName_.certificate);
    ExpectRefused("certificate name does not match: 127.0.0.1");
    // A fingerprint vouches for this very certificate, whatever its name;
    // the password is still checked.
    Aim(mode, otherName_.fingerprint, "wrong");
    ExpectRefused("sign-in refused: 535 5.7.8 Authentication credentials invalid");
    Aim(mode, otherName_.fingerprint);
    ASSERT_TRUE(client.Connect()) << client.FailureReason();
    EXPECT_TRUE(client.Quit());
  }
  SmtpServer refusing;
  refusing.enableTls(good_.certificate, good_.key);
  refusing.refuseStartTls();
  ASSERT_NO_THROW(refusing.start());
  Aim(tmSTLS, good_.certificate);
  client.SetPort(refusing.port());
  ExpectRefused("STARTTLS refused: 454 4.7.0 TLS not available");
  EXPECT_TRUE(refusing.messages().empty());
}

TEST_F(SmtpSubmissionIntegration, ASessionInTheClearKeepsThePasswordAndTheSizeLimit) {
  server.requireSignIn("joe", "s3cr3t");
  server.signInInClear();
  server.setSizeLimit(10000);
  ASSERT_NO_THROW(server.start());
  Aim(tmSTLS, "");
  ExpectRefused("the server does not offer STARTTLS");
  Aim(tmNone, "");
  ExpectRefused("sign-in needs an encrypted connection: no password or token goes in the clear");
  // Allowed for this loopback server, the sign-in goes ahead.
  client.SetAllowUnencryptedAuth(true);
  ASSERT_TRUE(client.Connect()) << client.FailureReason();
  EXPECT_EQ(client.SizeLimit(), 10000u);
  EXPECT_FALSE(client.SendStringTo("Subject: big\r\n\r\n" + std::string(19984, 'x'), "ann@example.org",
                                   "bob@example.org"));
  EXPECT_EQ(client.FailureReason(), "message too large: 19.5 KB, the server accepts 9.8 KB");
  ASSERT_TRUE(client.SendStringTo("Subject: small\r\n\r\nfits\r\n", "ann@example.org", "bob@example.org"))
      << client.FailureReason();
  const std::vector<SmtpMessage> kept = server.messages();
  ASSERT_EQ(kept.size(), 1u) << server.logText();
  EXPECT_EQ(kept[0].content, "Subject: small\r\n\r\nfits\r\n");
  EXPECT_EQ(kept[0].signedIn, "joe");
  EXPECT_FALSE(kept[0].encrypted);

  // Nobody listens on a port just found free.
  client.Abort();
  client.SetPort(VizuTest::freeLoopbackPort());
  ExpectRefused("connection refused");
}

TEST_F(SmtpSubmissionIntegration, AServerWithoutEhloIsSpokenToWithHelo) {
  server.refuseEhlo();
  server.strict();
  ASSERT_NO_THROW(server.start());
  client.SetHost("127.0.0.1");
  client.SetPort(server.port());
  client.SetUseEHLO(true);
  ASSERT_TRUE(client.Connect()) << client.FailureReason() << server.logText();
  EXPECT_FALSE(client.HasExtension("SIZE"));
  ASSERT_TRUE(client.SendStringTo("Subject: old\r\n\r\nplain\r\n", "ann@example.org", "bob@example.org"))
      << client.FailureReason();
  EXPECT_FALSE(client.SendStringTo("Subject: new\r\n\r\nBl\xc3\xbc" "ten\r\n", "ann@example.org", "bob@example.org"));
  const std::vector<SmtpMessage> kept = server.messages();
  ASSERT_EQ(kept.size(), 1u) << server.logText();
  EXPECT_TRUE(kept[0].mailOptions.empty());
  client.Quit();
  // Asked to sign in, it finds nothing to sign in with.
  client.SetUserName("joe");
  client.SetPassword("s3cr3t");
  client.SetAllowUnencryptedAuth(true);
  EXPECT_FALSE(client.Connect());
  EXPECT_EQ(client.FailureReason(), "the server does not offer sign-in");
}
