// The POP3 client's TLS dialogue against the in-memory scripted socket: STLS
// after CAPA, every way it can be refused, and implicit TLS. The handshake is
// played by the script; the real one is in the integration suite.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "mail/net/pop3_client.h"
#include "support/scripted_socket.h"

using namespace Vizu2000;
using VizuTest::ServerScript;

namespace {

const char* const kCapaWithStls = "+OK\r\nTOP\r\nSTLS\r\nPIPELINING\r\nUIDL\r\n.\r\n";

struct TlsSession {
  std::shared_ptr<ServerScript> script = std::make_shared<ServerScript>();
  VizuTest::ScopedSocketFactory use{VizuTest::ScriptedSocketFactory(script)};
  TREZ2000 client{nullptr};

  TlsSession() {
    client.SetHost("127.0.0.1");
    client.SetPort(110);
    client.SetUserName("joe");
    client.SetPassword("pw");
    client.SetTimeOut(5);
    client.SetTLSMode(tmSTLS);
  }
  // The greeting and the question for capabilities.
  ServerScript& Greeted() { return script->chunk("+OK ready\r\n").expect("CAPA\r\n"); }
  // USER, PASS and LIST of two messages, accepted.
  ServerScript& LoggedIn(ServerScript& s) {
    return s.expect("USER joe\r\n").chunk("+OK\r\n")
        .expect("PASS pw\r\n").chunk("+OK\r\n")
        .expect("LIST\r\n").chunk("+OK\r\n1 10\r\n2 20\r\n.\r\n");
  }
  void ExpectScriptKept() {
    EXPECT_TRUE(script->mismatches.empty()) << script->mismatches.front();
  }
};

}  // namespace

TEST(Pop3TlsTest, StlsComesBeforeTheLoginAndCapabilitiesAreAskedAgain) {
  TlsSession s;
  s.LoggedIn(s.Greeted().chunk(kCapaWithStls).expect("STLS\r\n").chunk("+OK begin TLS\r\n").expectTls())
      // After the handshake the server no longer pipelines: what it said in
      // the clear must not count (RFC 2595 section 4).
      .expect("CAPA\r\n").chunk("+OK\r\nUIDL\r\n.\r\n")
      .expect("DELE 1\r\n").chunk("+OK\r\n")
      .expect("DELE 2\r\n").chunk("+OK\r\n");
  ASSERT_TRUE(s.client.Connect()) << s.client.FailureReason();
  EXPECT_TRUE(s.client.Connected());
  EXPECT_TRUE(s.client.SocketTalk().Socket().Encrypted());
  EXPECT_EQ(s.client.TLSFailure(), "");
  EXPECT_EQ(s.client.FailureReason(), "");
  // The handshake started right after STLS, before anything else was sent.
  ASSERT_EQ(s.script->tlsStarts.size(), 1u);
  EXPECT_EQ(s.script->sent.substr(0, s.script->tlsStarts[0]), "CAPA\r\nSTLS\r\n");
  ASSERT_TRUE(s.client.Login());
  EXPECT_EQ(s.client.MessageCount(), 2);
  EXPECT_TRUE(s.client.DeleteMessages({1, 2}));
  s.ExpectScriptKept();
  EXPECT_TRUE(s.script->finished());
}

TEST(Pop3TlsTest, EveryRefusalEndsTheSessionBeforeTheLogin) {
  struct Case {
    const char* name;
    // The server's part after CAPA was asked.
    void (*script)(ServerScript&);
    const char* handshakeFailure;
    const char* expected;
  };
  const Case cases[] = {
      {"CAPA refused", [](ServerScript& s) { s.chunk("-ERR unknown command\r\n"); }, "",
       "Server does not offer STLS"},
      {"no STLS in CAPA", [](ServerScript& s) { s.chunk("+OK\r\nTOP\r\nSTLSX\r\nUIDL\r\n.\r\n"); }, "",
       "Server does not offer STLS"},
      {"STLS refused",
       [](ServerScript& s) { s.chunk(kCapaWithStls).expect("STLS\r\n").chunk("-ERR not now\r\n"); }, "",
       "Server refused STLS: -ERR not now"},
      {"handshake failed",
       [](ServerScript& s) { s.chunk(kCapaWithStls).expect("STLS\r\n").chunk("+OK\r\n").expectTls(); },
       "Certificate not trusted: self-signed certificate", "Certificate not trusted: self-signed certificate"},
      // A command slipped in after the "+OK" would be read as if it came
      // under TLS.
      {"clear text after +OK",
       [](ServerScript& s) { s.chunk(kCapaWithStls).expect("STLS\r\n").chunk("+OK\r\n+OK forged\r\n"); }, "",
       "TLS handshake failed: the server sent data before it"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TlsSession s;
    s.script->tlsFailure = c.handshakeFailure;
    c.script(s.Greeted());
    s.script->expect("USER joe\r\n").chunk("+OK\r\n");  // must never be reached
    EXPECT_FALSE(s.client.Connect());
    EXPECT_EQ(s.client.TLSFailure(), c.expected);
    EXPECT_EQ(s.client.FailureReason(), c.expected);
    EXPECT_FALSE(s.client.Connected());
    EXPECT_FALSE(s.client.SocketTalk().Socket().Opened());
    // Nothing more can be done in this session, least of all a login.
    EXPECT_FALSE(s.client.Login());
    EXPECT_EQ(s.script->sent.find("USER"), std::string::npos) << s.script->sent;
    EXPECT_EQ(s.script->sent.find("PASS"), std::string::npos) << s.script->sent;
    s.ExpectScriptKept();
  }
}

TEST(Pop3TlsTest, FailuresOfTheConnectionAreNoTlsReasons) {
  TlsSession s;
  s.client.SetTimeOut(1);
  // Silence instead of an answer to CAPA.
  s.Greeted();
  EXPECT_FALSE(s.client.Connect());
  EXPECT_EQ(s.client.FailureReason(), "no answer from the server");
  EXPECT_EQ(s.client.TLSFailure(), "");
  EXPECT_FALSE(s.client.SocketTalk().Socket().Opened());

  // A refused connection, and then one that closes during STLS.
  s.script->refuseConnect();
  EXPECT_FALSE(s.client.Connect());
  EXPECT_EQ(s.client.TLSFailure(), "");
  s.script->chunk("+OK\r\n").expect("CAPA\r\n").chunk(kCapaWithStls).expect("STLS\r\n").close();
  EXPECT_FALSE(s.client.Connect());
  EXPECT_EQ(s.client.FailureReason(), "connection closed by the server");
  EXPECT_EQ(s.client.TLSFailure(), "");
  EXPECT_EQ(s.script->sent.find("USER"), std::string::npos);
}

TEST(Pop3TlsTest, ImplicitTlsHandshakesBeforeTheGreeting) {
  TlsSession s;
  s.client.SetTLSMode(tmImplicitTLS);
  s.client.SetTrustedCertificate("/etc/quenwick/server.pem");
  // Refused by the handshake: no greeting is ever awaited.
  s.script->tlsFailure = "Certificate expired";
  EXPECT_FALSE(s.client.Connect());
  EXPECT_TRUE(s.script->implicitTls);
  EXPECT_EQ(s.client.TLSFailure(), "Certificate expired");
  EXPECT_EQ(s.client.FailureReason(), "Certificate expired");
  EXPECT_EQ(s.script->sent, "");

  // No CAPA, no STLS: the connection is protected from its first byte.
  s.script->tlsFailure.clear();
  s.LoggedIn(s.script->chunk("+OK ready\r\n"));
  ASSERT_TRUE(s.client.Connect()) << s.client.FailureReason();
  EXPECT_EQ(s.client.TLSFailure(), "");
  EXPECT_TRUE(s.client.SocketTalk().Socket().Encrypted());
  EXPECT_EQ(s.client.SocketTalk().Socket().TrustedCertificate(), "/etc/quenwick/server.pem");
  ASSERT_TRUE(s.client.Login());
  EXPECT_TRUE(s.script->tlsStarts.empty());
  s.ExpectScriptKept();

  // Without TLS nothing asks for it, and nothing is encrypted.
  s.client.Abort();
  s.client.SetTLSMode(tmNone);
  s.LoggedIn(s.script->chunk("+OK ready\r\n"));
  ASSERT_TRUE(s.client.Connect());
  EXPECT_FALSE(s.script->implicitTls);
  EXPECT_FALSE(s.client.SocketTalk().Socket().Encrypted());
  ASSERT_TRUE(s.client.Login());
  s.ExpectScriptKept();
}
