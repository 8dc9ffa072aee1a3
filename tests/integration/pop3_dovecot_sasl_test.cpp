// The POP3 client's SASL sign-ins against a real Dovecot whose oauth2
// passdb asks the tests' own authorization server about every token.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "mail/net/pop3_client.h"
#include "support/dovecot_server.h"
#include "support/oauth_server.h"

using namespace Vizu2000;
using VizuTest::DovecotServer;
using VizuTest::OAuthServer;

namespace {

// Dots at line starts, a NUL byte and 8-bit text: what must come back byte
// for byte.
const std::string kFirst = std::string("From: ann@example.org\r\nSubject: one\r\n\r\n.\r\n..two\r\nx\0y\r\n", 54);
const std::string kSecond = "From: bob@example.org\r\nSubject: two\r\n\r\nCaf\xe9\r\n.end\r\n";

class Pop3SaslTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_NO_THROW(auth.start());
    dovecot.enableOAuth2(auth.url("/introspect"));
    dovecot.addMessage("0001", kFirst);
    dovecot.addMessage("0002", kSecond);
    ASSERT_NO_THROW(dovecot.start());
    client.SetHost("127.0.0.1");
    client.SetPort(dovecot.port());
    client.SetUserName(dovecot.userName());
    client.SetPassword(dovecot.password());
    client.SetTimeOut(10);
  }
  // The failure texts a person or a log could see, and the last reply.
  void ExpectNoSecretIn(const std::string& secret) {
    for (const std::string& text : {client.FailureReason(), client.LastResponse(), client.TLSFailure()})
      EXPECT_EQ(text.find(secret), std::string::npos) << text;
  }

  OAuthServer auth;
  DovecotServer dovecot;
  TREZ2000 client{nullptr};
};

}  // namespace

TEST_F(Pop3SaslTest, EveryMechanismSignsInAndFetchesByteExact) {
  for (const TAuthMechanism mechanism : {amPlain, amXOAuth2, amOAuthBearer}) {
    SCOPED_TRACE(std::string(SaslName(mechanism)));
    client.SetAuthMechanism(mechanism);
    client.SetAccessToken(auth.mint().accessToken);
    ASSERT_TRUE(client.Connect()) << client.FailureReason();
    ASSERT_TRUE(client.Login()) << client.FailureReason() << "\n" << dovecot.logText();
    EXPECT_EQ(client.SaslMechanisms(), (std::vector<std::string>{"PLAIN", "LOGIN", "XOAUTH2", "OAUTHBEARER"}));
    ASSERT_EQ(client.MessageCount(), 2);
    ASSERT_TRUE(client.FetchMessage(1));
    EXPECT_EQ(client.LastMessage(), kFirst);
    ASSERT_TRUE(client.FetchMessage(2));
    EXPECT_EQ(client.LastMessage(), kSecond);
    EXPECT_TRUE(client.Quit());
  }
  // Each token was checked by the authorization server, once.
  EXPECT_EQ(auth.stats()["introspect_active"], 2);
}

TEST_F(Pop3SaslTest, RefusalsSayWhyKeepSecretsAndLeaveTheSessionUsable) {
  const std::string expired = auth.mint().accessToken;
  auth.expireTokens();
  for (const TAuthMechanism mechanism : {amXOAuth2, amOAuthBearer}) {
    SCOPED_TRACE(std::string(SaslName(mechanism)));
    client.SetAuthMechanism(mechanism);
    client.SetAccessToken(expired);
    ASSERT_TRUE(client.Connect()) << client.FailureReason();
    EXPECT_FALSE(client.Login());
    EXPECT_EQ(client.FailureReason(), "invalid token") << dovecot.logText();
    EXPECT_TRUE(client.TokenRefused());
    ExpectNoSecretIn(expired);
    // The error challenge was answered, so the server ended that exchange
    // and takes a new one on the same connection.
    client.SetAccessToken(auth.mint().accessToken);
    ASSERT_TRUE(client.Login()) << client.FailureReason();
    EXPECT_FALSE(client.TokenRefused());
    EXPECT_EQ(client.MessageCount(), 2);
    client.Abort();
  }
  client.SetAuthMechanism(amPlain);
  client.SetPassword("not-the-password");
  ASSERT_TRUE(client.Connect());
  EXPECT_FALSE(client.Login());
  EXPECT_EQ(client.FailureReason(), "wrong user name or password");
  EXPECT_FALSE(client.TokenRefused());
  ExpectNoSecretIn("not-the-password");
  client.Abort();
}
