// The SMTP client against an in-memory scripted server: every chunk, pause
// and close is exact, and the bytes the client sent are asserted.
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "mail/message/mail_message.h"
#include "mail/mime/header_fields.h"
#include "mail/net/smtp_client.h"
#include "platform/error.h"
#include "support/scripted_socket.h"

using namespace Vizu2000;
using VizuTest::ServerScript;
using namespace std::string_literals;

namespace {

// One client on a scripted socket. The script is built first; Connect()
// then plays it.
struct Smtp {
  std::shared_ptr<ServerScript> script = std::make_shared<ServerScript>();
  VizuTest::ScopedSocketFactory use{VizuTest::ScriptedSocketFactory(script)};
  TDUZA2000 client{nullptr};

  Smtp() {
    client.SetName("SMTP1");
    client.SetHost("127.0.0.1");
    client.SetTimeOut(5);
  }
  // Greeting and HELO accepted.
  ServerScript& Greeted() {
    return script->chunk("220 mx ready\r\n").expect("HELO scripted.localhost\r\n").chunk("250 hello\r\n");
  }
  // MAIL FROM and one recipient accepted, DATA answered with 354.
  static ServerScript& UpToContent(ServerScript& s) {
    return s.expect("MAIL FROM:<me@here>\r\n")
        .chunk("250 ok\r\n")
        .expect("RCPT TO:<you@there>\r\n")
        .chunk("250 ok\r\n")
        .expect("DATA\r\n")
        .chunk("354 go on\r\n");
  }
  // A whole accepted transaction with the given content as it goes on the
  // wire.
  static ServerScript& Accepted(ServerScript& s, const std::string& wire) {
    return UpToContent(s).expect(wire).chunk("250 queued\r\n");
  }
  void ExpectScriptKept() {
    EXPECT_TRUE(script->mismatches.empty()) << script->mismatches.front();
  }
};

// What the client sent after HELO.
std::string AfterHelo(const ServerScript& script) {
  size_t helo = script.sent.find("HELO");
  return script.sent.substr(script.sent.find("\r\n", helo) + 2);
}

}  // namespace

TEST(SmtpClientTest, RecipientListsAreCutSortedAndDeduplicated) {
  using V = std::vector<std::string>;
  EXPECT_EQ(RecipientAddresses("zed@b.org, al@a.org,ZED@B.org"), (V{"al@a.org", "zed@b.org"}));
  // Quotes keep blanks and commas inside one address; a blank outside them
  // cuts an address in two.
  EXPECT_EQ(RecipientAddresses("\"x, y@a\" b c@d"), (V{"b", "c@d", "x, y@a"}));
  // Two commas in a row make an empty address, which sorts first; blanks of
  // any control kind separate.
  EXPECT_EQ(RecipientAddresses(" a@x,,b@x\t\r\n"), (V{"", "a@x", "b@x"}));
  EXPECT_EQ(RecipientAddresses(",a@x"), (V{"", "a@x"}));
  EXPECT_TRUE(RecipientAddresses(" \t ").empty());
  // The first spelling of a repeated address is the one kept.
  EXPECT_EQ(RecipientAddresses("B@x b@x"), (V{"B@x"}));
}

TEST(SmtpClientTest, TransparencyDoublesEveryLeadingDotAndEndsTheDataOnce) {
  // RFC 5321 section 4.5.2: any line that starts with a dot, not only a
  // line that is a single dot; the first line too.
  EXPECT_EQ(TransparentContent("", ".\r\n.\r\n..x\r\nmid.dle\r\n.x"), "..\r\n..\r\n...x\r\nmid.dle\r\n..x\r\n.\r\n");
  // The header and body are one text; a body line after the empty line.
  EXPECT_EQ(TransparentContent("A: 1\r\n\r\n", ".b\r\n"), "A: 1\r\n\r\n..b\r\n.\r\n");
  // A content that ends with CR LF is followed by the dot line alone; one
  // without gets the CR LF first; an empty one is only the dot line.
  EXPECT_EQ(TransparentContent("", "x\r\n"), "x\r\n.\r\n");
  EXPECT_EQ(TransparentContent("", "x"), "x\r\n.\r\n");
  EXPECT_EQ(TransparentContent("", ""), ".\r\n");
  // Every lone LF and lone CR goes as CR LF, so a dot after one starts a
  // line on the wire and is doubled: no server can take it as the end of
  // data while another reads on (SMTP smuggling).
  EXPECT_EQ(TransparentContent("", "a\n.\r\nb\r.\r\n\r\r\n.\n\n\r"),
            "a\r\n..\r\nb\r\n..\r\n\r\n\r\n..\r\n\r\n\r\n.\r\n");
  EXPECT_EQ(TransparentContent("", "\n."), "\r\n..\r\n.\r\n");
  // A CR that ends the head and an LF that begins the body are one line end.
  EXPECT_EQ(TransparentContent("A: 1\r", "\n.b\r"), "A: 1\r\n..b\r\n.\r\n");
  EXPECT_EQ(TransparentContent("A: 1\n", "\n.b"), "A: 1\r\n\r\n..b\r\n.\r\n");
}

TEST(SmtpClientTest, SendsTheExactDialogue) {
  Smtp s;
  s.Greeted()
      .expect("MAIL FROM:<me@here>\r\n")
      .chunk("250 sender ok\r\n")
      .expect("RCPT TO:<al,ice@a.org>\r\n")
      .chunk("250 ok\r\n")
      .expect("RCPT TO:<zed@b.org>\r\n")
      .chunk("250 ok\r\n")
      .expect("DATA\r\n")
      .chunk("354 go on\r\n")
      .expect("Subject: x\r\n\r\n..dot\r\n..\r\nend\r\n.\r\n")
      .chunk("250 queued as 1\r\n")
      .expect("QUIT\r\n")
      .chunk("221 bye\r\n");
  ASSERT_TRUE(s.client.Connect());
  EXPECT_TRUE(s.client.Connected());
  EXPECT_TRUE(s.client.SendStringTo("Subject: x\r\n\r\n.dot\r\n.\r\nend", "me@here",
                                    "zed@b.org, \"al,ice@a.org\",ZED@b.org"));
  EXPECT_EQ(s.client.LastResponse(), "250 queued as 1\r\n");
  EXPECT_TRUE(s.client.Quit());
  EXPECT_FALSE(s.client.Connected());
  EXPECT_EQ(s.script->clientCloses, 1);
  s.ExpectScriptKept();
}

TEST(SmtpClientTest, MultiLineRepliesAreJudgedWhole) {
  // A greeting in one chunk and one spread over three: HELO goes only after
  // its last line, and the HELO reply is judged on its own.
  for (bool split : {false, true}) {
    Smtp s;
    if (split)
      s.script->chunk("220-first\r\n").pause(20).chunk("220-second\r\n").pause(20).chunk("220 ready\r\n");
    else
      s.script->chunk("220-first\r\n220-second\r\n220 ready\r\n");
    s.script->expect("HELO scripted.localhost\r\n")
        .chunk("250-hello\r\n")
        .pause(20)
        .chunk("250 PIPELINING\r\n")
        .expect("MAIL FROM:<me@here>\r\n")
        .chunk("250 ok\r\n")
        .expect("RCPT TO:<you@there>\r\n")
        .chunk("550-no such user\r\n")
        .pause(20)
        .chunk("550 really not\r\n")
        .expect("RSET\r\n")
        .chunk("250 reset\r\n");
    ASSERT_TRUE(s.client.Connect()) << split;
    EXPECT_EQ(s.client.LastResponse(), "250-hello\r\n250 PIPELINING\r\n");
    EXPECT_FALSE(s.client.SendStringTo("x", "me@here", "you@there"));
    // The refusal, every line of it, and not the reply to RSET.
    EXPECT_EQ(s.client.LastResponse(), "550-no such user\r\n550 really not\r\n");
    EXPECT_TRUE(s.client.Connected());
    s.ExpectScriptKept();
  }
}

TEST(SmtpClientTest, EveryRefusalLeavesTheConnectionReadyForTheNextSend) {
  // A refused MAIL FROM opened no transaction; every later refusal is
  // cleared with RSET, so the next send starts on a clean transaction
  // (RFC 5321 section 4.1.1.5).
  struct Case {
    const char* name;
    std::string script;  // what follows MAIL FROM
    bool rset;
  };
  const Case cases[] = {
      {"mail", "", false},
      {"rcpt", "RCPT TO:<you@there>\r\n", true},
      {"data", "RCPT TO:<you@there>\r\nDATA\r\n", true},
      {"content", "RCPT TO:<you@there>\r\nDATA\r\nx\r\n.\r\n", true},
  };
  for (const Case& c : cases) {
    Smtp s;
    ServerScript& script = s.Greeted().expect("MAIL FROM:<me@here>\r\n");
    if (std::string(c.name) == "mail") {
      script.chunk("553 not you\r\n");
    } else {
      script.chunk("250 ok\r\n").expect("RCPT TO:<you@there>\r\n");
      if (std::string(c.name) == "rcpt") {
        script.chunk("553 not you\r\n");
      } else {
        script.chunk("250 ok\r\n").expect("DATA\r\n");
        if (std::string(c.name) == "data")
          script.chunk("553 not you\r\n");
        else
          script.chunk("354 go\r\n").expect("x\r\n.\r\n").chunk("553 not you\r\n");
      }
    }
    if (c.rset) script.expect("RSET\r\n").chunk("250 reset\r\n");
    s.Accepted(script, "y\r\n.\r\n");
    ASSERT_TRUE(s.client.Connect());
    EXPECT_FALSE(s.client.SendStringTo("x", "me@here", "you@there")) << c.name;
    EXPECT_EQ(s.client.LastResponse(), "553 not you\r\n") << c.name;
    EXPECT_TRUE(s.client.SendStringTo("y", "me@here", "you@there")) << c.name;
    s.ExpectScriptKept();
    EXPECT_EQ(s.script->sent.find("RSET") != std::string::npos, c.rset) << c.name;
  }
}

TEST(SmtpClientTest, AReplyWhileContentIsStillSentEndsTheSession) {
  // An early 552: the server may still be reading the rest as message text,
  // so a later command would become part of it. The client stops feeding
  // the content and closes the connection.
  Smtp s;
  Smtp::UpToContent(s.Greeted()).chunk("552 too much\r\n");
  s.client.SetPacketSize(100);
  ASSERT_TRUE(s.client.Connect());
  const std::string content(100000, 'a');
  EXPECT_FALSE(s.client.SendStringTo(content, "me@here", "you@there"));
  EXPECT_EQ(s.client.LastResponse(), "552 too much\r\n");
  EXPECT_FALSE(s.client.Connected());
  EXPECT_EQ(s.script->clientCloses, 1);
  EXPECT_LT(AfterHelo(*s.script).size(), content.size());
  EXPECT_EQ(s.script->sent.find("RSET"), std::string::npos);
  EXPECT_FALSE(s.client.SendStringTo("y", "me@here", "you@there"));
}

TEST(SmtpClientTest, SilenceEndsInTimeOutAndClosesTheConnection) {
  // A reply that comes after the time-out would be taken as the reply to
  // the next command: the session is closed instead.
  Smtp s;
  s.Greeted().expect("MAIL FROM:<me@here>\r\n").pause(5000).chunk("250 late\r\n");
  s.client.SetTimeOut(1);
  ASSERT_TRUE(s.client.Connect());
  auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(s.client.SendStringTo("x", "me@here", "you@there"));
  double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  EXPECT_GE(seconds, 0.9);
  EXPECT_LT(seconds, 4.0);
  EXPECT_FALSE(s.client.Connected());
  EXPECT_EQ(s.script->clientCloses, 1);
}

TEST(SmtpClientTest, ServerClosingMidContentEndsTheSend) {
  Smtp s;
  Smtp::UpToContent(s.Greeted()).expect(std::string(1000, 'a')).close();
  s.client.SetPacketSize(500);
  ASSERT_TRUE(s.client.Connect());
  EXPECT_FALSE(s.client.SendStringTo(std::string(100000, 'a'), "me@here", "you@there"));
  EXPECT_FALSE(s.client.Connected());
  EXPECT_FALSE(s.client.Quit());
}

TEST(SmtpClientTest, MisuseRaisesBeforeAnythingIsSent) {
  Smtp s;
  s.Greeted();
  TVeraDudurur2000 message(nullptr);
  // Not connected: false, and nothing raised, even without a message.
  EXPECT_FALSE(s.client.SendMessageTo("me@here", "you@there"));
  EXPECT_FALSE(s.client.SendStringTo("x", "me@here", "you@there"));
  EXPECT_THROW(s.client.SendMessage(), EVizuError);  // the message comes first

  ASSERT_TRUE(s.client.Connect());
  auto raises = [](auto&& call, const std::string& text) {
    try {
      call();
      ADD_FAILURE() << "no error, expected " << text;
    } catch (const EVizuError& e) {
      EXPECT_EQ(std::string(e.what()), text);
    }
  };
  raises([&] { s.client.SendMessage(); }, "SMTP1: MailMessage unassigned");
  raises([&] { s.client.SendMessageTo("me@here", "you@there"); }, "SMTP1: MailMessage unassigned");
  s.client.SetMailMessage(&message);
  message.SetTextPlain("hello");  // leaves NeedRebuild set
  raises([&] { s.client.SendMessageTo("me@here", ""); }, "SMTP1: MailMessage need rebuild");
  message.RebuildBody();
  raises([&] { s.client.SendMessageTo("me@here", " \t "); }, "SMTP1: No recipients to send message");
  raises([&] { s.client.SendStringTo("x", "me@here", ""); }, "SMTP1: No recipients to send message");
  // No address can smuggle a command of its own into the session, or be
  // anything but one Path (RFC 5321 section 4.1.2); an empty recipient is
  // no Path either, while an empty sender is the null reverse-path.
  for (std::string bad : {"me@here\r\nRSET"s, "me@here"s + '\0', "me@he\rre"s, "me@h\nere"s, "me>@here"s,
                          "<me@here"s, "m e@here"s, "me\t@here"s, "me@here\x7f"s}) {
    raises([&] { s.client.SendStringTo("x", bad, "you@there"); }, "SMTP1: Invalid address");
    raises([&] { s.client.SendStringTo("x", "", "you@there, \"" + bad + "\""); }, "SMTP1: Invalid address");
  }
  raises([&] { s.client.SendStringTo("x", "me@here", "\"you@there>\r\nDATA\""); }, "SMTP1: Invalid address");
  raises([&] { s.client.SendStringTo("x", "me@here", "you@there,,them@there"); }, "SMTP1: Invalid address");
  EXPECT_EQ(AfterHelo(*s.script), "");
  EXPECT_TRUE(s.client.Connected());
}

TEST(SmtpClientTest, SendMessageHidesEveryBccAndRestoresTheHeader) {
  Smtp s;
  s.Greeted()
      .expect("MAIL FROM:<boss@corp.example>\r\n")
      .chunk("250 ok\r\n")
      .expect("RCPT TO:<a@x.example>\r\n")
      .chunk("250 ok\r\n")
      .expect("RCPT TO:<b@x.example>\r\n")
      .chunk("250 ok\r\n")
      .expect("RCPT TO:<d@x.example>\r\n")
      .chunk("250 ok\r\n")
      .expect("DATA\r\n")
      .chunk("354 go on\r\n")
      .pause(300)
      .chunk("250 queued\r\n");
  TVeraDudurur2000 message(nullptr);
  message.SetSource(
      "From: Boss <boss@corp.example>\r\nTo: d@x.example\r\nBcc: b@x.example\r\nSubject: s\r\n"
      "Cc: a@x.example\r\nbcc: c@x.example\r\n\r\n.hello\r\n");
  message.RebuildBody();
  const TStringList before = static_cast<const TMailPart&>(message).Header();
  s.client.SetMailMessage(&message);
  ASSERT_TRUE(s.client.Connect());
  ASSERT_TRUE(s.client.SendMessage());
  s.ExpectScriptKept();

  const std::string content = AfterHelo(*s.script).substr(AfterHelo(*s.script).find("DATA\r\n") + 6);
  EXPECT_EQ(content.find("Bcc"), std::string::npos);
  EXPECT_EQ(content.find("bcc"), std::string::npos);
  EXPECT_NE(content.find("\r\n\r\n..hello\r\n.\r\n"), std::string::npos);
  // The list of blind copies is the first Bcc field (RFC 5322 allows one);
  // the second is hidden all the same.
  EXPECT_EQ(content.find("c@x.example"), std::string::npos);
  // A new Message-ID naming this end of the connection, in what was sent
  // and in the message; every Bcc field back in its place.
  const std::string id = message.GetMessageId();
  EXPECT_NE(id.find("@127.0.0.1>"), std::string::npos) << id;
  EXPECT_NE(content.find(id), std::string::npos);
  TStringList after = static_cast<const TMailPart&>(message).Header();
  int idLine = SearchStringList(&after, "Message-ID:", 0);
  ASSERT_GE(idLine, 0);
  after.Delete(idLine);
  EXPECT_EQ(after, before);
}

TEST(SmtpClientTest, ContentGoesInPacketsWithProgress) {
  for (int packet : {102400, 0, 300000}) {
    Smtp s;
    const std::string text(250000, 'q');
    s.Accepted(s.Greeted(), text + "\r\n.\r\n");
    std::vector<std::pair<int, int>> progress;
    s.client.OnProgress = [&](TComponent* sender, int total, int current) {
      EXPECT_EQ(sender, &s.client);
      progress.emplace_back(total, current);
    };
    s.client.SetPacketSize(packet);
    ASSERT_TRUE(s.client.Connect());
    ASSERT_TRUE(s.client.SendStringTo(text, "me@here", "you@there"));
    s.ExpectScriptKept();
    if (packet == 102400) {
      const int total = 250005;
      EXPECT_EQ(progress, (std::vector<std::pair<int, int>>{
                              {total, 0}, {total, 102400}, {total, 204800}, {total, total}, {total, total}}));
    } else {
      EXPECT_TRUE(progress.empty()) << packet;
    }
  }
}

TEST(SmtpClientTest, ConnectAndQuitRules) {
  {
    // A refused greeting or HELO closes the connection at once, so the next
    // Connect starts afresh on a new one and can succeed.
    Smtp s;
    s.script->chunk("554 go away\r\n")
        .chunk("220 hi\r\n")
        .expect("HELO scripted.localhost\r\n")
        .chunk("501 who?\r\n")
        .chunk("220 hi\r\n")
        .expect("HELO scripted.localhost\r\n")
        .chunk("250 ok\r\n");
    EXPECT_FALSE(s.client.Connect());
    EXPECT_EQ(s.client.FailureReason(), "the server refused the connection: 554 go away");
    EXPECT_FALSE(s.client.Connected());
    EXPECT_EQ(s.script->clientCloses, 1);
    EXPECT_FALSE(s.client.SocketTalk().Socket().Opened());
    EXPECT_FALSE(s.client.Connect());
    EXPECT_EQ(s.client.FailureReason(), "HELO refused: 501 who?");
    EXPECT_EQ(s.script->clientCloses, 2);
    EXPECT_FALSE(s.client.Quit());
    EXPECT_TRUE(s.client.Connect()) << s.client.FailureReason();
    EXPECT_EQ(s.script->opens, 3);
    s.ExpectScriptKept();
  }
  {
    // A name HELO cannot carry gives way to the address literal (RFC 5321
    // section 4.1.3).
    for (const char* name : {"", "under_score", "-lead.example", "a..b"}) {
      Smtp s;
      s.script->localHostName = name;
      s.script->chunk("220 hi\r\n").expect("HELO [127.0.0.1]\r\n").chunk("250 ok\r\n");
      EXPECT_TRUE(s.client.Connect()) << name;
      s.ExpectScriptKept();
    }
  }
  {
    // An IPv6 address literal carries its tag, and never its zone; with
    // neither a name nor an address, no empty literal goes out.
    EXPECT_EQ(HeloDomain("", "2001:db8::1"), "[IPv6:2001:db8::1]");
    EXPECT_EQ(HeloDomain("a_b", "fe80::1%eth0"), "[IPv6:fe80::1]");
    EXPECT_EQ(HeloDomain("", "192.0.2.1"), "[192.0.2.1]");
    EXPECT_EQ(HeloDomain("", ""), "localhost");
    EXPECT_EQ(HeloDomain("mx.example", "::1"), "mx.example");
  }
  {
    // A refused QUIT leaves the connection as it is.
    Smtp s;
    s.Greeted().expect("QUIT\r\n").chunk("500 what\r\n").expect("QUIT\r\n").chunk("221 bye\r\n");
    ASSERT_TRUE(s.client.Connect());
    EXPECT_FALSE(s.client.Quit());
    EXPECT_TRUE(s.client.Connected());
    EXPECT_TRUE(s.client.Quit());
    EXPECT_FALSE(s.client.Connected());
  }
  {
    Smtp s;
    s.client.SetHost("");
    EXPECT_FALSE(s.client.Connect());
    EXPECT_EQ(s.script->opens, 0);
  }
}

TEST(SmtpClientTest, AReplyWithoutEndClosesTheSession) {
  // Continuation lines for ever must not hold the client, or its memory.
  Smtp s;
  ServerScript& script = s.Greeted().expect("MAIL FROM:<me@here>\r\n");
  const std::string line = "250-" + std::string(1000, 'z') + "\r\n";
  for (int i = 0; i < 100; ++i) script.chunk(line);
  ASSERT_TRUE(s.client.Connect());
  EXPECT_FALSE(s.client.SendStringTo("x", "me@here", "you@there"));
  EXPECT_FALSE(s.client.Connected());
}
