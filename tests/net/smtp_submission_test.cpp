// The SMTP client as a submission client, against the in-memory scripted
// socket: EHLO and its fall back, STARTTLS and its refusals, every sign-in
// mechanism on the wire, SIZE, 8BITMIME, SMTPUTF8 and pipelined replies.
// The handshake is played by the script; the real one is in the
// integration suite.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "mail/net/smtp_client.h"
#include "mail/net/smtp_sign_in.h"
#include "support/scripted_socket.h"

using namespace Vizu2000;
using VizuTest::ServerScript;

namespace {

const char* const kEhlo = "EHLO scripted.localhost\r\n";

struct Submission {
  std::shared_ptr<ServerScript> script = std::make_shared<ServerScript>();
  VizuTest::ScopedSocketFactory use{VizuTest::ScriptedSocketFactory(script)};
  TDUZA2000 client{nullptr};

  Submission() {
    client.SetHost("127.0.0.1");
    client.SetPort(465);
    client.SetTimeOut(5);
    client.SetUseEHLO(true);
  }
  // The greeting and EHLO answered with these extension lines.
  ServerScript& Greeted(const std::string& extensions) {
    return script->chunk("220 mx ready\r\n").expect(kEhlo).chunk("250-mx\r\n" + extensions);
  }
  // What the client sent after its first EHLO.
  std::string AfterEhlo() const { return script->sent.substr(script->sent.find(kEhlo) + std::string(kEhlo).size()); }
  void ExpectScriptKept() { EXPECT_TRUE(script->mismatches.empty()) << script->mismatches.front(); }
};

}  // namespace

TEST(SmtpSubmissionTest, EhloListsExtensionsAndAnOldServerGetsHelo) {
  {
    Submission s;
    s.Greeted("250-SIZE 1000\r\n250-8bitmime\r\n250-AUTH=LOGIN\r\n250-AUTH PLAIN LOGIN XOAUTH2\r\n250 PIPELINING\r\n");
    ASSERT_TRUE(s.client.Connect()) << s.client.FailureReason();
    EXPECT_TRUE(s.client.HasExtension("pipelining"));
    EXPECT_TRUE(s.client.HasExtension("8BITMIME"));
    EXPECT_FALSE(s.client.HasExtension("STARTTLS"));
    EXPECT_EQ(s.client.SizeLimit(), 1000u);
    EXPECT_EQ(s.client.AuthMechanisms(), (std::vector<std::string>{"LOGIN", "PLAIN", "XOAUTH2"}));
  }
  {
    // RFC 5321 section 3.2: 500 or 502 says the server knows no EHLO. It
    // then offers nothing, so 8-bit content is refused before anything goes
    // rather than sent for the server to mangle.
    Submission s;
    s.script->chunk("220 old\r\n").expect(kEhlo).chunk("502 5.5.1 what?\r\n").expect("HELO scripted.localhost\r\n").chunk("250 hi\r\n");
    ASSERT_TRUE(s.client.Connect()) << s.client.FailureReason();
    EXPECT_FALSE(s.client.HasExtension("SIZE"));
    EXPECT_FALSE(s.client.SendStringTo("caf\xc3\xa9\r\n", "me@here", "you@there"));
    EXPECT_EQ(s.client.FailureReason(), "the content holds 8-bit bytes, and the server does not offer 8BITMIME");
    EXPECT_EQ(s.script->sent.substr(s.script->sent.find("HELO")), "HELO scripted.localhost\r\n");
    s.ExpectScriptKept();
  }
  {
    // Any other refusal of EHLO ends the session.
    Submission s;
    s.script->chunk("220 hi\r\n").expect(kEhlo).chunk("421 4.3.2 shutting down\r\n");
    EXPECT_FALSE(s.client.Connect());
    EXPECT_EQ(s.client.FailureReason(), "EHLO refused: 421 4.3.2 shutting down");
    EXPECT_EQ(s.script->sent, kEhlo);
    EXPECT_FALSE(s.client.SocketTalk().Socket().Opened());
  }
}

TEST(SmtpSubmissionTest, StartTlsComesFirstAndWhatWasSaidInTheClearIsForgotten) {
  Submission s;
  s.client.SetTLSMode(tmSTLS);
  s.client.SetUserName("joe");
  s.client.SetPassword("s3cr3t");
  s.Greeted("250-STARTTLS\r\n250-PIPELINING\r\n250 AUTH PLAIN\r\n")
      .expect("STARTTLS\r\n")
      .chunk("220 2.0.0 go ahead\r\n")
      .expectTls()
      .expect(kEhlo)
      .chunk("250-mx\r\n250 AUTH LOGIN\r\n")
      .expect("AUTH LOGIN\r\n")
      .chunk("334 VXNlcm5hbWU6\r\n")
      .expect("am9l\r\n")
      .chunk("334 UGFzc3dvcmQ6\r\n")
      .expect("czNjcjN0\r\n")
      .chunk("235 2.7.0 welcome\r\n");
  ASSERT_TRUE(s.client.Connect()) << s.client.FailureReason();
  EXPECT_TRUE(s.client.Connected());
  ASSERT_EQ(s.script->tlsStarts.size(), 1u);
  EXPECT_EQ(s.script->sent.substr(0, s.script->tlsStarts[0]), std::string(kEhlo) + "STARTTLS\r\n");
  // RFC 3207 section 4.2: the list under TLS is the one that counts.
  EXPECT_FALSE(s.client.HasExtension("PIPELINING"));
  EXPECT_EQ(s.client.AuthMechanisms(), std::vector<std::string>{"LOGIN"});
  EXPECT_EQ(s.client.LastResponse(), "235 2.7.0 welcome\r\n");
  s.ExpectScriptKept();
}

TEST(SmtpSubmissionTest, EveryTlsRefusalEndsTheSessionBeforeTheSignIn) {
  struct Case {
    const char* name;
    std::string extensions;
    std::string reply;  // to STARTTLS; empty: never asked
    const char* handshakeFailure;
    const char* expected;
  };
  const Case cases[] = {
      {"not offered", "250 AUTH PLAIN\r\n", "", "", "the server does not offer STARTTLS"},
      {"refused", "250 STARTTLS\r\n", "454 4.7.0 TLS not available\r\n", "",
       "STARTTLS refused: 454 4.7.0 TLS not available"},
      {"handshake failed", "250 STARTTLS\r\n", "220 go\r\n", "Certificate not trusted: self-signed certificate",
       "certificate not trusted: self-signed certificate"},
      // A reply slipped in after the 220 would be read as if it came under
      // TLS.
      {"clear text after 220", "250 STARTTLS\r\n", "220 go\r\n235 2.7.0 forged\r\n", "",
       "TLS handshake failed: the server sent data before it"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Submission s;
    s.client.SetTLSMode(tmSTLS);
    s.client.SetUserName("joe");
    s.client.SetPassword("s3cr3t");
    s.script->tlsFailure = c.handshakeFailure;
    ServerScript& script = s.Greeted(c.extensions);
    if (!c.reply.empty()) script.expect("STARTTLS\r\n").chunk(c.reply);
    if (std::string(c.handshakeFailure).size()) script.expectTls();
    EXPECT_FALSE(s.client.Connect());
    EXPECT_EQ(s.client.FailureReason(), c.expected);
    EXPECT_FALSE(s.client.Connected());
    EXPECT_FALSE(s.client.SocketTalk().Socket().Opened());
    EXPECT_EQ(s.AfterEhlo(), c.reply.empty() ? "" : "STARTTLS\r\n");
    s.ExpectScriptKept();
  }
}

TEST(SmtpSubmissionTest, EverySignInMechanismOnTheWire) {
  struct Case {
    const char* mechanism;
    std::string offered, token;
    std::vector<std::string> exchange;  // client line, server reply, ...
  };
  const std::string longToken(600, 't');
  const Case cases[] = {
      {"", "PLAIN LOGIN", "", {"AUTH PLAIN AGpvZQBzM2NyM3Q=", "235 ok"}},
      {"", "LOGIN", "", {"AUTH LOGIN", "334 VXNlcm5hbWU6", "am9l", "334 UGFzc3dvcmQ6", "czNjcjN0", "235 ok"}},
      {"", "PLAIN XOAUTH2", "tok3n", {"AUTH XOAUTH2 dXNlcj1qb2UBYXV0aD1CZWFyZXIgdG9rM24BAQ==", "235 ok"}},
      // RFC 7628 section 3.1: the host and port of this connection travel
      // with the token; the mechanism of RFC 7628 comes before XOAUTH2.
      {"", "XOAUTH2 OAUTHBEARER", "tok3n",
       {"AUTH OAUTHBEARER bixhPWpvZSwBaG9zdD0xMjcuMC4wLjEBcG9ydD00NjUBYXV0aD1CZWFyZXIgdG9rM24BAQ==", "235 ok"}},
      // Named, it is the one used, though PLAIN is offered first.
      {"login", "PLAIN LOGIN", "", {"AUTH LOGIN", "334 VXNlcm5hbWU6", "am9l", "334 UGFzc3dvcmQ6", "czNjcjN0", "235 ok"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.exchange.front());
    Submission s;
    s.client.SetTLSMode(tmImplicitTLS);
    s.client.SetUserName("joe");
    s.client.SetPassword("s3cr3t");
    s.client.SetOAuthToken(c.token);
    s.client.SetAuthMechanism(c.mechanism);
    ServerScript& script = s.Greeted("250 AUTH " + c.offered + "\r\n");
    for (size_t i = 0; i < c.exchange.size(); ++i) {
      if (i % 2 == 0)
        script.expect(c.exchange[i] + "\r\n");
      else
        script.chunk(c.exchange[i] + "\r\n");
    }
    ASSERT_TRUE(s.client.Connect()) << s.client.FailureReason();
    EXPECT_TRUE(s.script->implicitTls);
    s.ExpectScriptKept();
  }
  {
    // An initial response that would pass the 512-byte command line waits
    // for the server's empty challenge (RFC 4954 section 4).
    Submission s;
    s.client.SetTLSMode(tmImplicitTLS);
    s.client.SetUserName("joe");
    s.client.SetOAuthToken(longToken);
    s.Greeted("250 AUTH XOAUTH2\r\n")
        .expect("AUTH XOAUTH2\r\n")
        .chunk("334 \r\n")
        .expect(Base64Text("user=joe\1auth=Bearer " + longToken + "\1\1") + "\r\n")
        .chunk("235 ok\r\n");
    ASSERT_TRUE(s.client.Connect()) << s.client.FailureReason();
    s.ExpectScriptKept();
  }
}

TEST(SmtpSubmissionTest, ARefusedSignInEndsTheSessionAndNeverShowsTheSecret) {
  {
    // A server that echoes the command it refuses, and the password itself.
    Submission s;
    s.client.SetTLSMode(tmImplicitTLS);
    s.client.SetUserName("joe");
    s.client.SetPassword("s3cr3t");
    s.Greeted("250 AUTH PLAIN\r\n")
        .expect("AUTH PLAIN AGpvZQBzM2NyM3Q=\r\n")
        .chunk("535-5.7.8 no: AUTH PLAIN AGpvZQBzM2NyM3Q=\r\n535 5.7.8 s3cr3t is wrong\r\n")
        .expect("MAIL");  // never reached
    EXPECT_FALSE(s.client.Connect());
    EXPECT_EQ(s.client.FailureReason(), "sign-in refused: 535 5.7.8 no: AUTH PLAIN ***");
    EXPECT_EQ(s.client.LastResponse(), "535-5.7.8 no: AUTH PLAIN ***\r\n535 5.7.8 *** is wrong\r\n");
    EXPECT_EQ(s.client.SocketTalk().LastResponse().find("s3cr3t"), std::string::npos);
    EXPECT_EQ(s.client.SocketTalk().LastResponse().find("AGpvZQBzM2NyM3Q="), std::string::npos);
    EXPECT_FALSE(s.client.SocketTalk().Socket().Opened());
  }
  {
    // A refused token: the server's error challenge gets the empty answer,
    // and its 535 is the reason.
    Submission s;
    s.client.SetTLSMode(tmImplicitTLS);
    s.client.SetUserName("joe");
    s.client.SetOAuthToken("tok3n");
    s.Greeted("250 AUTH XOAUTH2\r\n")
        .expect("AUTH XOAUTH2 dXNlcj1qb2UBYXV0aD1CZWFyZXIgdG9rM24BAQ==\r\n")
        .chunk("334 eyJzdGF0dXMiOiI0MDEifQ==\r\n")
        .expect("\r\n")
        .chunk("535 5.7.8 token expired\r\n");
    EXPECT_FALSE(s.client.Connect());
    EXPECT_EQ(s.client.FailureReason(), "sign-in refused: 535 5.7.8 token expired");
    s.ExpectScriptKept();
  }
  {
    // In the clear the password stays home, unless the caller allows it.
    for (bool allowed : {false, true}) {
      Submission s;
      s.client.SetUserName("joe");
      s.client.SetPassword("s3cr3t");
      s.client.SetAllowUnencryptedAuth(allowed);
      s.Greeted("250 AUTH PLAIN\r\n").expect("AUTH PLAIN AGpvZQBzM2NyM3Q=\r\n").chunk("235 ok\r\n");
      EXPECT_EQ(s.client.Connect(), allowed);
      EXPECT_EQ(s.client.FailureReason(),
                allowed ? "" : "sign-in needs an encrypted connection: no password or token goes in the clear");
      EXPECT_EQ(s.AfterEhlo().find("AUTH"), allowed ? 0u : std::string::npos);
    }
  }
}

TEST(SmtpSubmissionTest, PipelinedRepliesAreJudgedEachOnItsOwnHoweverTheyArrive) {
  const std::string commands =
      "MAIL FROM:<me@here> SIZE=7\r\nRCPT TO:<a@x>\r\nRCPT TO:<b@x>\r\nRCPT TO:<c@x>\r\nDATA\r\n";
  const std::vector<std::vector<std::string>> arrivals = {
      {"250 ok\r\n250 ok\r\n550-5.1.1 no such user\r\n550 5.1.1 really\r\n250 ok\r\n354 go\r\n"},
      {"250 ok\r\n", "250 ok\r\n", "550-5.1.1 no such user\r\n", "550 5.1.1 really\r\n", "250 ok\r\n", "354 go\r\n"},
      {"250 ok\r\n25", "0 ok\r\n550-5.1.1 no", " such user\r\n550 5.1.1 really\r", "\n250 ok\r\n354 go\r\n"},
  };
  for (const auto& chunks : arrivals) {
    SCOPED_TRACE(chunks.size());
    Submission s;
    ServerScript& script = s.Greeted("250-SIZE 1000\r\n250 PIPELINING\r\n").expect(commands);
    for (const std::string& chunk : chunks) script.pause(5).chunk(chunk);
    script.expect("hello\r\n.\r\n").chunk("250 2.0.0 queued\r\n");
    ASSERT_TRUE(s.client.Connect()) << s.client.FailureReason();
    // The message went to the two the server took; the third is named.
    EXPECT_TRUE(s.client.SendStringTo("hello", "me@here", "c@x, b@x, a@x"));
    EXPECT_EQ(s.client.RefusedRecipients(), std::vector<std::string>{"b@x"});
    EXPECT_EQ(s.client.FailureReason(), "recipient refused: <b@x>: 550 5.1.1 no such user");
    EXPECT_EQ(s.client.LastResponse(), "250 2.0.0 queued\r\n");
    s.ExpectScriptKept();
  }
  {
    // No recipient taken, but DATA accepted all the same: an empty message
    // ends the data (RFC 2920 section 3.1), RSET the transaction.
    Submission s;
    s.Greeted("250 PIPELINING\r\n")
        .expect("MAIL FROM:<me@here>\r\nRCPT TO:<a@x>\r\nDATA\r\n")
        .chunk("250 ok\r\n550 5.1.1 unknown\r\n354 go\r\n")
        .expect(".\r\n")
        .chunk("554 5.5.1 no valid recipients\r\n")
        .expect("RSET\r\n")
        .chunk("250 reset\r\n");
    ASSERT_TRUE(s.client.Connect());
    EXPECT_FALSE(s.client.SendStringTo("hello", "me@here", "a@x"));
    EXPECT_EQ(s.client.FailureReason(), "recipient refused: <a@x>: 550 5.1.1 unknown");
    EXPECT_EQ(s.client.LastResponse(), "550 5.1.1 unknown\r\n");
    EXPECT_TRUE(s.client.Connected());
    s.ExpectScriptKept();
  }
}

TEST(SmtpSubmissionTest, WhatTheServerCannotTakeIsRefusedBeforeAByteIsSent) {
  struct Case {
    const char* extensions;
    std::string content, from;
    const char* expected;
  };
  const Case cases[] = {
      {"250 SIZE 1000\r\n", std::string(2000, 'x'), "me@here", "message too large: 2 KB, the server accepts 1000 bytes"},
      {"250 SIZE 26214400\r\n", std::string(30 * 1048576 - 2, 'x'), "me@here",
       "message too large: 30 MB, the server accepts 25 MB"},
      // Where both would read "25 MB", the bytes say it.
      {"250 SIZE 26214400\r\n", std::string(26214498, 'x'), "me@here",
       "message too large: 26214500 bytes, the server accepts 26214400 bytes"},
      {"250 SMTPUTF8\r\n", "caf\xc3\xa9", "me@here", "the content holds 8-bit bytes, and the server does not offer 8BITMIME"},
      {"250 8BITMIME\r\n", "x", "j\xc3\xb6rg@here", "an address is not ASCII, and the server does not offer SMTPUTF8"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.expected);
    Submission s;
    s.Greeted(c.extensions);
    ASSERT_TRUE(s.client.Connect());
    EXPECT_FALSE(s.client.SendStringTo(c.content, c.from, "you@there"));
    EXPECT_EQ(s.client.FailureReason(), c.expected);
    EXPECT_EQ(s.AfterEhlo(), "");
    EXPECT_TRUE(s.client.Connected());
  }
  {
    // Offered, each is declared: the size with CR LF line ends, dots not
    // doubled (RFC 1870 section 3).
    Submission s;
    s.Greeted("250-SIZE\r\n250-8BITMIME\r\n250 SMTPUTF8\r\n")
        .expect("MAIL FROM:<j\xc3\xb6rg@here> SIZE=10 BODY=8BITMIME SMTPUTF8\r\n")
        .chunk("250 ok\r\n")
        .expect("RCPT TO:<you@there>\r\n")
        .chunk("250 ok\r\n")
        .expect("DATA\r\n")
        .chunk("354 go\r\n")
        .expect("..\r\ncaf\xc3\xa9\r\n.\r\n")
        .chunk("250 ok\r\n");
    ASSERT_TRUE(s.client.Connect());
    EXPECT_TRUE(s.client.SendStringTo(".\ncaf\xc3\xa9\r\n", "j\xc3\xb6rg@here", "you@there")) << s.client.FailureReason();
    EXPECT_EQ(s.client.FailureReason(), "");
    s.ExpectScriptKept();
  }
}
