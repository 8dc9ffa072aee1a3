// The POP3 client's AUTH dialogue (RFC 5034) against the in-memory scripted
// socket: the exact lines of PLAIN, XOAUTH2 and OAUTHBEARER, error
// challenges, and secrets kept out of every text.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "mail/net/pop3_client.h"
#include "mail/net/sasl.h"
#include "support/scripted_socket.h"

using namespace Vizu2000;
using VizuTest::ServerScript;

namespace {

const char* const kToken = "tok-1.2_3~4+5/6==";
const char* const kCapa = "+OK\r\nUIDL\r\nSASL PLAIN xoauth2 OAUTHBEARER\r\n.\r\n";
// The initial responses of user "joe" with kToken.
const char* const kXOAuth2Joe = "dXNlcj1qb2UBYXV0aD1CZWFyZXIgdG9rLTEuMl8zfjQrNS82PT0BAQ==";
const char* const kOAuthBearerJoe =
    "bixhPWpvZSwBaG9zdD0xMjcuMC4wLjEBcG9ydD0xMTABYXV0aD1CZWFyZXIgdG9rLTEuMl8zfjQrNS82PT0BAQ==";

struct SaslSession {
  std::shared_ptr<ServerScript> script = std::make_shared<ServerScript>();
  VizuTest::ScopedSocketFactory use{VizuTest::ScriptedSocketFactory(script)};
  TREZ2000 client{nullptr};

  explicit SaslSession(TAuthMechanism mechanism) {
    client.SetHost("127.0.0.1");
    client.SetPort(110);
    client.SetUserName("joe");
    client.SetPassword("pw");
    client.SetAccessToken(kToken);
    client.SetTimeOut(5);
    client.SetAuthMechanism(mechanism);
  }
  // Greeting, CAPA, and AUTH answered with an empty continuation.
  ServerScript& Continued(const std::string& name, const char* capa = kCapa) {
    return script->chunk("+OK ready\r\n").expect("CAPA\r\n").chunk(capa)
        .expect("AUTH " + name + "\r\n").chunk("+ \r\n");
  }
  void ExpectNoSecretAnywhere() {
    for (const std::string& text : {client.FailureReason(), client.LastResponse()}) {
      EXPECT_EQ(text.find(kToken), std::string::npos) << text;
      EXPECT_EQ(text.find("pw"), std::string::npos) << text;
    }
  }
  void ExpectScriptKept() {
    EXPECT_TRUE(script->mismatches.empty()) << script->mismatches.front();
    EXPECT_TRUE(script->finished());
  }
};

}  // namespace

TEST(Pop3SaslTest, EachMechanismSendsItsResponseOnlyAfterTheContinuation) {
  struct Case {
    TAuthMechanism mechanism;
    const char* user;
    const char* response;  // base64 of the exact initial response
  } const cases[] = {
      {amPlain, "joe", "AGpvZQBwdw=="},  // \0joe\0pw
      // user=joe ^A auth=Bearer <token> ^A ^A
      {amXOAuth2, "joe", "dXNlcj1qb2UBYXV0aD1CZWFyZXIgdG9rLTEuMl8zfjQrNS82PT0BAQ=="},
      // n,a=a=2Cb=3Dc, ^A host=127.0.0.1 ^A port=110 ^A auth=Bearer <token> ^A ^A: the
      // user "a,b=c" written as an RFC 5801 saslname
      {amOAuthBearer, "a,b=c",
       "bixhPWE9MkNiPTNEYywBaG9zdD0xMjcuMC4wLjEBcG9ydD0xMTABYXV0aD1CZWFyZXIgdG9rLTEuMl8zfjQrNS82PT0BAQ=="},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(SaslName(c.mechanism)));
    SaslSession s(c.mechanism);
    s.client.SetUserName(c.user);
    s.Continued(std::string(SaslName(c.mechanism)))
        .expect(std::string(c.response) + "\r\n").chunk("+OK signed in\r\n")
        .expect("LIST\r\n").chunk("+OK\r\n1 10\r\n.\r\n");
    ASSERT_TRUE(s.client.Connect());
    ASSERT_TRUE(s.client.Login()) << s.client.FailureReason();
    EXPECT_EQ(s.client.MessageCount(), 1);
    EXPECT_EQ(s.client.SaslMechanisms(), (std::vector<std::string>{"PLAIN", "XOAUTH2", "OAUTHBEARER"}));
    s.ExpectScriptKept();
  }
  // A continuation without its space is one too; PIPELINING is still asked
  // for after the sign-in, as without SASL.
  SaslSession s(amPlain);
  s.script->chunk("+OK\r\n").expect("CAPA\r\n").chunk("+OK\r\nSASL\tPLAIN\r\nSASL LOGIN PLAIN\r\n.\r\n");
  s.script->expect("AUTH PLAIN\r\n").chunk("+\r\n").expect("AGpvZQBwdw==\r\n").chunk("+OK\r\n")
      .expect("LIST\r\n").chunk("+OK\r\n1 1\r\n2 2\r\n.\r\n")
      .expect("CAPA\r\n").chunk("+OK\r\nPIPELINING\r\n.\r\n")
      .expect("DELE 1\r\nDELE 2\r\n").chunk("+OK\r\n+OK\r\n");
  ASSERT_TRUE(s.client.Connect());
  ASSERT_TRUE(s.client.Login()) << s.client.FailureReason();
  EXPECT_TRUE(s.client.DeleteMessages({1, 2}));
  s.ExpectScriptKept();
}

TEST(Pop3SaslTest, AnErrorChallengeIsAnsweredAndItsStatusBecomesTheReason) {
  struct Case {
    TAuthMechanism mechanism;
    const char* challenge;  // base64 JSON
    const char* answer;     // what the client answers it with
    const char* reason;
    bool tokenRefused;
  } const cases[] = {
      // {"status":"401","schemes":"bearer","scope":"https://mail.google.com/"}
      {amXOAuth2, "eyJzdGF0dXMiOiI0MDEiLCJzY2hlbWVzIjoiYmVhcmVyIiwic2NvcGUiOiJodHRwczovL21haWwuZ29vZ2xlLmNvbS8ifQ==",
       "", "invalid token", true},
      // {"scope":"mail","openid-configuration":{"a":"}","b":[1,{"c":2}]},"status" : "invalid_token"}
      {amOAuthBearer,
       "eyJzY29wZSI6Im1haWwiLCJvcGVuaWQtY29uZmlndXJhdGlvbiI6eyJhIjoifSIsImIiOlsxLHsiYyI6Mn1dfSwic3RhdHVzIiA6ICJpbnZhbG"
       "lkX3Rva2VuIn0=",
       "AQ==", "invalid token", true},
      // {"schemes":"bearer","status":"token_expired"}
      {amOAuthBearer, "eyJzY2hlbWVzIjoiYmVhcmVyIiwic3RhdHVzIjoidG9rZW5fZXhwaXJlZCJ9", "AQ==", "token expired", true},
      // {"status":"odd\u0007\"code"}: quoted, printable
      {amXOAuth2, "eyJzdGF0dXMiOiJvZGRcdTAwMDdcImNvZGUifQ==", "", "token refused with status \"odd?\"code\"", false},
      // not JSON at all
      {amXOAuth2, "bm90IGpzb24=", "", "token refused", true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.reason);
    SaslSession s(c.mechanism);
    s.Continued(std::string(SaslName(c.mechanism)))
        .expect(std::string(c.mechanism == amXOAuth2 ? kXOAuth2Joe : kOAuthBearerJoe) + "\r\n")
        .chunk("+ " + std::string(c.challenge) + "\r\n")
        .expect(std::string(c.answer) + "\r\n").chunk("-ERR [AUTH] Authentication failed.\r\n");
    ASSERT_TRUE(s.client.Connect());
    EXPECT_FALSE(s.client.Login());
    EXPECT_FALSE(s.client.LoggedIn());
    EXPECT_EQ(s.client.FailureReason(), c.reason);
    EXPECT_EQ(s.client.TokenRefused(), c.tokenRefused);
    s.ExpectScriptKept();
  }
  // A server that asks on after the answer gets the cancel (RFC 5034
  // section 4); a plain "-ERR" after a token may mean an expired one.
  SaslSession s(amXOAuth2);
  s.Continued("XOAUTH2").expect(std::string(kXOAuth2Joe) + "\r\n").chunk("+ e30=\r\n")
      .expect("\r\n").chunk("+ more\r\n").expect("*\r\n").chunk("-ERR cancelled\r\n");
  ASSERT_TRUE(s.client.Connect());
  EXPECT_FALSE(s.client.Login());
  EXPECT_EQ(s.client.FailureReason(), "token refused");
  s.ExpectScriptKept();
  SaslSession plain(amXOAuth2);
  plain.Continued("XOAUTH2").expect(std::string(kXOAuth2Joe) + "\r\n").chunk("-ERR Authentication failure\r\n");
  ASSERT_TRUE(plain.client.Connect());
  EXPECT_FALSE(plain.client.Login());
  EXPECT_EQ(plain.client.FailureReason(), "token refused");
  EXPECT_TRUE(plain.client.TokenRefused());
  plain.ExpectScriptKept();
}

TEST(Pop3SaslTest, NoSecretInAnyTextAndNoneSentWhereItCannotGo) {
  // A server that quotes the token back, in its challenge's status and in
  // its refusal, and one that echoes the whole response.
  {
    SaslSession s(amOAuthBearer);
    s.Continued("OAUTHBEARER").expect(std::string(kOAuthBearerJoe) + "\r\n")
        // {"status":"tok-1.2_3~4+5/6=="}
        .chunk("+ eyJzdGF0dXMiOiJ0b2stMS4yXzN+NCs1LzY9PSJ9\r\n")
        .expect("AQ==\r\n").chunk("-ERR bad token tok-1.2_3~4+5/6==\r\n");
    ASSERT_TRUE(s.client.Connect());
    EXPECT_FALSE(s.client.Login());
    EXPECT_EQ(s.client.FailureReason(), "token refused");
    s.ExpectNoSecretAnywhere();
    s.ExpectScriptKept();
  }
  {
    SaslSession s(amPlain);
    s.Continued("PLAIN").expect("AGpvZQBwdw==\r\n").chunk("-ERR you sent AGpvZQBwdw==\r\n");
    ASSERT_TRUE(s.client.Connect());
    EXPECT_FALSE(s.client.Login());
    EXPECT_EQ(s.client.FailureReason(), "wrong user name or password");
    EXPECT_EQ(s.client.LastResponse().find("AGpvZQBwdw=="), std::string::npos);
    s.ExpectNoSecretAnywhere();
    s.ExpectScriptKept();
  }
  // Nothing of the secret leaves when the server does not name the
  // mechanism, refuses CAPA or AUTH itself, or the token cannot be one.
  struct Case {
    const char* name;
    const char* capa;
    const char* token;
    const char* authReply;  // nullptr: AUTH is never sent
    const char* reason;
  } const cases[] = {
      {"not offered", "+OK\r\nSASL PLAIN\r\n.\r\n", kToken, nullptr, "the server does not offer sign-in with XOAUTH2"},
      {"no CAPA", "-ERR what?\r\n", kToken, nullptr, "the server does not offer sign-in with XOAUTH2"},
      {"AUTH refused", kCapa, kToken, "-ERR [SYS/TEMP] try later\r\n", "the server answered \"-ERR [SYS/TEMP] try later\""},
      {"token with a line break", kCapa, "abc\r\nQUIT", nullptr, "the access token holds characters a token cannot have"},
      {"no token", kCapa, "", nullptr, "no access token"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    SaslSession s(amXOAuth2);
    s.client.SetAccessToken(c.token);
    s.script->chunk("+OK\r\n");
    if (std::string(c.token) == kToken) s.script->expect("CAPA\r\n").chunk(c.capa);
    if (c.authReply) s.script->expect("AUTH XOAUTH2\r\n").chunk(c.authReply);
    ASSERT_TRUE(s.client.Connect());
    EXPECT_FALSE(s.client.Login());
    EXPECT_EQ(s.client.FailureReason(), c.reason);
    EXPECT_FALSE(s.client.TokenRefused());
    EXPECT_TRUE(s.client.Connected());
    s.ExpectScriptKept();
    EXPECT_EQ(s.script->sent.find("dXNlcj1qb2"), std::string::npos);  // "user=jo..."
  }
}

TEST(Pop3SaslTest, JsonMembersAreReadWhateverSurroundsThem) {
  std::string value;
  EXPECT_TRUE(JsonMember(R"( { "a" : [1, "]", {"status": "no"}], "status" : "in\"valid\u0041\u00e9" } )", "status", value));
  EXPECT_EQ(value, "in\"validA?");
  EXPECT_TRUE(JsonMember(R"({"status":401})", "status", value));
  EXPECT_EQ(value, "401");
  for (const char* bad : {"", "[]", "{}", R"({"status")", R"({"status":"open)", R"({"other":"x"})", R"("status")"})
    EXPECT_FALSE(JsonMember(bad, "status", value)) << bad;
}
