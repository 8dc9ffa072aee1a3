// The POP3 client against a scripted server on 127.0.0.1: every chunk,
// pause and close is exact, and the commands the client sent are asserted.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "mail/message/mail_message.h"
#include "mail/net/pop3_client.h"
#include "platform/error.h"
#include "platform/event_pump.h"
#include "support/loopback_script_server.h"
#include "support/scripted_socket.h"

using namespace Vizu2000;
using VizuTest::LoopbackScriptServer;
using Commands = std::vector<std::string>;
using namespace std::string_literals;

namespace {

const char* const kGreeting = "+OK ready\r\n";
const Commands kLoginCommands = {"USER joe", "PASS pw", "LIST"};

double SecondsSince(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// One client and its scripted server. The script is built first; Start()
// then points the client at it.
struct Session {
  LoopbackScriptServer server;
  TREZ2000 client{nullptr};

  Session() {
    client.SetHost("127.0.0.1");
    client.SetUserName("joe");
    client.SetPassword("pw");
    client.SetTimeOut(5);
  }
  // Greeting, USER, PASS, then the given LIST reply.
  LoopbackScriptServer& LoginScript(const std::string& listReply) {
    return server.send(kGreeting).reply("+OK\r\n").reply("+OK\r\n").reply(listReply);
  }
  void Start() {
    server.start();
    client.SetPort(server.port());
  }
  void StartAndLogin() {
    Start();
    ASSERT_TRUE(client.Connect());
    ASSERT_TRUE(client.Login());
  }
  Commands Sent() {
    server.stop();
    return server.commands();
  }
};

const std::string kTwoMessages = "+OK 2 messages\r\n1 120\r\n2 300\r\n.\r\n";

}  // namespace

TEST(Pop3ClientTest, MultiLineReplyTextUnstuffsAndNormalizesLineEnds) {
  EXPECT_EQ(MultiLineReplyText("+OK\r\n.\r\n"), "");
  EXPECT_EQ(MultiLineReplyText("+OK 5 octets\r\nA: b\r\n\r\nbody\r\n.\r\n"), "A: b\r\n\r\nbody\r\n");
  // Dot-stuffing: ".." loses one dot, a single dot at the start of a longer
  // line stays, "..." keeps two.
  EXPECT_EQ(MultiLineReplyText("+OK\r\n..\r\n..x\r\n.y\r\n...\r\nz..\r\n.\r\n"), ".\r\n.x\r\n.y\r\n..\r\nz..\r\n");
  // Lone CR and lone LF become CR LF; NUL bytes are ordinary bytes.
  EXPECT_EQ(MultiLineReplyText("+OK\na\rb\nc\0d\r\n\r\n.\r\n"s), "a\r\nb\r\nc\0d\r\n\r\n"s);
  // Ordinary lines around rewritten ones keep their order and bytes.
  EXPECT_EQ(MultiLineReplyText("+OK\r\na\r\nb\r\n..c\r\nd\ne\r\n\r\n..\r\nf\r\n.\r\n"),
            "a\r\nb\r\n.c\r\nd\r\ne\r\n\r\n.\r\nf\r\n");
  // Runs of one kind of line end after the other, so that the next CR and
  // the next LF each lie far ahead in turn.
  EXPECT_EQ(MultiLineReplyText("+OK\rx\r\ry\n\nz\r\n\n\r.\r\n"), "x\r\n\r\ny\r\n\r\nz\r\n\r\n\r\n");
  std::string reply = "+OK\r\n", expected;
  for (int i = 0; i < 50000; ++i) reply += "c\r", expected += "c\r\n";
  for (int i = 0; i < 50000; ++i) reply += "l\n", expected += "l\r\n";
  EXPECT_EQ(MultiLineReplyText(reply + ".\r\n"), expected);
  // Without a line after the status line there is no text.
  EXPECT_EQ(MultiLineReplyText("+OK"), "");
  EXPECT_EQ(MultiLineReplyText(""), "");
}

TEST(Pop3ClientTest, SessionSendsExactCommandsAndReadsEveryReply) {
  Session s;
  const std::string message = "Subject: hello\r\nFrom: a@b\r\n\r\nline one\r\n..dotted\r\n.\r\n";
  s.LoginScript(kTwoMessages)
      .reply("+OK 1 AbC123\r\n")
      .expectLine()
      .send("+OK 120 octets\r\n")  // RETR 1, in three chunks
      .pause(30)
      .send("Subject: hello\r\nFrom: a@b\r\n\r\nline one\r\n")
      .pause(30)
      .send("...dotted\r\n..\r\n.\r\n")
      .reply("+OK\r\nSubject: two\r\n\r\nfirst\r\n.\r\n")  // TOP 2 1
      .reply("+OK deleted\r\n")
      .reply("+OK bye\r\n");
  s.Start();

  EXPECT_EQ(s.client.MessageCount(), -1);
  ASSERT_TRUE(s.client.Connect());
  EXPECT_TRUE(s.client.Connected());
  EXPECT_FALSE(s.client.LoggedIn());
  EXPECT_EQ(s.client.GetLastResponse(), kGreeting);
  ASSERT_TRUE(s.client.Login());
  EXPECT_TRUE(s.client.LoggedIn());
  EXPECT_EQ(s.client.MessageCount(), 2);
  EXPECT_EQ(s.client.MessageSizes(), (TMessageSize{0, 120, 300}));

  EXPECT_EQ(s.client.GetUIDL(1), "AbC123");

  std::vector<std::pair<int, int>> progress;
  s.client.OnProgress = [&](TComponent* sender, int total, int current) {
    EXPECT_EQ(sender, &s.client);
    progress.emplace_back(total, current);
  };
  ASSERT_TRUE(s.client.RetrieveMessage(1));
  EXPECT_EQ(s.client.LastMessage(), "Subject: hello\r\nFrom: a@b\r\n\r\nline one\r\n..dotted\r\n.\r\n");
  EXPECT_EQ(s.client.LastMessage(), message);
  // Reports per chunk against the size from LIST, up to all that arrived.
  ASSERT_FALSE(progress.empty());
  for (size_t i = 0; i < progress.size(); ++i) {
    EXPECT_EQ(progress[i].first, 120);
    if (i > 0) {
      EXPECT_GT(progress[i].second, progress[i - 1].second);
    }
  }
  const std::string reply = "+OK 120 octets\r\nSubject: hello\r\nFrom: a@b\r\n\r\nline one\r\n...dotted\r\n..\r\n.\r\n";
  EXPECT_EQ(progress.back().second, static_cast<int>(reply.size()));
  // The message is not held twice: the reply keeps only its status line.
  EXPECT_EQ(s.client.GetLastResponse(), "+OK 120 octets\r\n");

  ASSERT_TRUE(s.client.RetrieveHeader(2, 1));
  EXPECT_EQ(s.client.LastMessage(), "Subject: two\r\n\r\nfirst\r\n");
  EXPECT_TRUE(s.client.DeleteMessage(1));
  EXPECT_TRUE(s.client.Quit());
  EXPECT_FALSE(s.client.Connected());
  EXPECT_FALSE(s.client.LoggedIn());
  EXPECT_EQ(s.client.MessageCount(), -1);
  EXPECT_TRUE(s.client.MessageSizes().empty());

  EXPECT_EQ(s.Sent(), (Commands{"USER joe", "PASS pw", "LIST", "UIDL 1", "RETR 1", "TOP 2 1", "DELE 1", "QUIT"}));
  EXPECT_EQ(s.server.scriptError(), "");
  EXPECT_TRUE(s.server.peerClosed());
}

TEST(Pop3ClientTest, RetrievedTextGoesIntoTheBoundMessage) {
  Session s;
  TVeraDudurur2000 message(nullptr);
  s.client.SetMailMessage(&message);
  s.LoginScript(kTwoMessages)
      .reply("+OK\r\nSubject: first\r\n\r\nbody\r\n.\r\n")
      .reply("+OK\r\nSubject: second\r\nX-A: 1\r\n\r\nfirst line\r\n.\r\n");
  s.StartAndLogin();

  // The parser reports progress and lets events run; a nested retrieval from
  // there is refused and leaves the text being parsed alone.
  int nested = 0;
  message.OnProgress = [&](TComponent*, int, int) {
    ++nested;
    EXPECT_FALSE(s.client.RetrieveMessage(2));
    EXPECT_FALSE(s.client.RetrieveHeader(2, 0));
  };
  ASSERT_TRUE(s.client.RetrieveMessage(1));
  EXPECT_GE(nested, 1);
  EXPECT_EQ(s.client.LastMessage(), "Subject: first\r\n\r\nbody\r\n");
  EXPECT_EQ(message.GetLabelValue("Subject"), "first");
  message.OnProgress = nullptr;

  // TOP replaces the message: its whole text becomes the header lines.
  ASSERT_TRUE(s.client.RetrieveHeader(2, 1));
  ASSERT_EQ(message.Header().Count(), 4);
  EXPECT_EQ(message.Header()[0], "Subject: second");
  EXPECT_EQ(message.Header()[2], "");
  EXPECT_EQ(message.Header()[3], "first line");
  EXPECT_EQ(s.Sent(), (Commands{"USER joe", "PASS pw", "LIST", "RETR 1", "TOP 2 1"}));
}

TEST(Pop3ClientTest, ByteExactTextWithNulAndLoneLineBreaks) {
  Session s;
  s.LoginScript(kTwoMessages).reply("+OK\r\nA: 1\r\n\r\nbin\0ary\nx\r..y\r\n.\r\n"s);
  s.StartAndLogin();
  ASSERT_TRUE(s.client.RetrieveMessage(2));
  EXPECT_EQ(s.client.LastMessage(), "A: 1\r\n\r\nbin\0ary\r\nx\r\n.y\r\n"s);
}

TEST(Pop3ClientTest, GreetingAndConnectRules) {
  {
    // A greeting cut after "+O" is still one greeting.
    Session s;
    s.server.send("+O").pause(60).send("K hi\r\n");
    s.Start();
    EXPECT_TRUE(s.client.Connect());
    EXPECT_EQ(s.client.GetLastResponse(), "+OK hi\r\n");
  }
  {
    Session s;
    s.client.SetHost("");
    EXPECT_FALSE(s.client.Connect());
  }
}

TEST(Pop3ClientTest, AFailedConnectLeavesNothingOpenAndTheNextOneConnectsAfresh) {
  struct Case {
    const char* name;
    std::string greeting;  // empty: the server stays silent
    std::string reason;
  };
  const Case cases[] = {
      {"silence", "", "no answer from the server"},
      {"refusal", "-ERR busy\r\n", "the server refused the connection"},
      {"garbage", "\x16\x03\x01\x02he\x80llo\r\n", "the server did not greet as a POP3 server: \"he?llo\""},
      {"another protocol", "220 smtp.example.org ESMTP\r\n",
       "the server did not greet as a POP3 server: \"220 smtp.example.org ESMTP\""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Session s;
    s.client.SetTimeOut(1);
    if (!c.greeting.empty()) s.server.send(c.greeting);
    // Every later connection meets a server that greets: first with a
    // refusal, then properly.
    s.server.greetLaterConnections({"-ERR still busy\r\n", kGreeting});
    s.Start();
    EXPECT_FALSE(s.client.Connect());
    EXPECT_EQ(s.client.FailureReason(), c.reason);
    EXPECT_EQ(s.client.TLSFailure(), "");
    EXPECT_FALSE(s.client.Connected());
    EXPECT_FALSE(s.client.SocketTalk().Socket().Opened());
    // Nothing can be done on the failed attempt, and the refusal says why.
    EXPECT_FALSE(s.client.Login());
    EXPECT_EQ(s.client.FailureReason(), c.reason);
    EXPECT_TRUE(s.server.waitPeerClosed(5000));

    // Each Connect after it is a new connection.
    EXPECT_FALSE(s.client.Connect());
    EXPECT_EQ(s.client.FailureReason(), "the server refused the connection");
    EXPECT_EQ(s.server.connections(), 2);
    ASSERT_TRUE(s.client.Connect()) << s.client.FailureReason();
    EXPECT_EQ(s.client.GetLastResponse(), kGreeting);
    EXPECT_EQ(s.server.connections(), 3);
    s.client.Abort();
    EXPECT_EQ(s.Sent(), Commands{});
  }
}

TEST(Pop3ClientTest, SecondConnectLeavesTheRunningConversationAlone) {
  Session s;
  s.LoginScript(kTwoMessages)
      .expectLine()
      .send("+OK\r\nA: 1\r\n")
      .pause(50)
      .send("\r\nbody\r\n.\r\n");
  s.StartAndLogin();
  const std::string listing = s.client.GetLastResponse();
  // While a session is open.
  EXPECT_FALSE(s.client.Connect());
  EXPECT_EQ(s.client.GetLastResponse(), listing);
  EXPECT_TRUE(s.client.LoggedIn());

  // While a reply is awaited (from a handler that runs inside the wait).
  int nestedConnects = 0;
  s.client.OnProgress = [&](TComponent*, int, int) {
    ++nestedConnects;
    EXPECT_FALSE(s.client.Connect());
    EXPECT_EQ(s.client.GetUIDL(1), "");
  };
  ASSERT_TRUE(s.client.RetrieveMessage(1));
  EXPECT_GE(nestedConnects, 1);
  EXPECT_EQ(s.client.LastMessage(), "A: 1\r\n\r\nbody\r\n");
  EXPECT_EQ(s.Sent(), (Commands{"USER joe", "PASS pw", "LIST", "RETR 1"}));
  EXPECT_EQ(s.server.connections(), 1);
}

TEST(Pop3ClientTest, RetrieveEndings) {
  {
    // The CR LF "." CR LF terminator split over two chunks.
    Session s;
    s.LoginScript(kTwoMessages).expectLine().send("+OK\r\nA: 1\r\n\r\nx\r").pause(60).send("\n.\r\n");
    s.StartAndLogin();
    EXPECT_TRUE(s.client.RetrieveMessage(1));
    EXPECT_EQ(s.client.LastMessage(), "A: 1\r\n\r\nx\r\n");
  }
  {
    // "-ERR" ends RETR and TOP at once, even split, though no dot line comes.
    Session s;
    s.LoginScript(kTwoMessages).reply("-ERR no such message\r\n").expectLine().send("-ER").pause(60).send("R no\r\n");
    s.StartAndLogin();
    s.client.SetTimeOut(10);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(s.client.RetrieveMessage(7));
    EXPECT_FALSE(s.client.RetrieveHeader(7, 0));
    EXPECT_LT(SecondsSince(start), 3.0);
    EXPECT_EQ(s.client.LastMessage(), "");
    EXPECT_EQ(s.client.GetLastResponse(), "-ERR no\r\n");
    EXPECT_TRUE(s.client.Connected());
    EXPECT_EQ(s.Sent(), (Commands{"USER joe", "PASS pw", "LIST", "RETR 7", "TOP 7 0"}));
  }
  {
    // A chunk inside a message that happens to start with "-ERR" is content.
    Session s;
    s.LoginScript(kTwoMessages).expectLine().send("+OK\r\nA: 1\r\n\r\n").pause(60).send("-ERR quoted\r\n").pause(60).send(".\r\n");
    s.StartAndLogin();
    EXPECT_TRUE(s.client.RetrieveMessage(1));
    EXPECT_EQ(s.client.LastMessage(), "A: 1\r\n\r\n-ERR quoted\r\n");
  }
}

TEST(Pop3ClientTest, SilenceEndsInTimeOut) {
  Session s;
  s.LoginScript(kTwoMessages).expectLine().send("+OK\r\npartial\r\n");
  s.StartAndLogin();
  s.client.SetTimeOut(1);
  const auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(s.client.RetrieveMessage(1));
  const double waited = SecondsSince(start);
  EXPECT_GE(waited, 0.9);
  EXPECT_LT(waited, 3.0);
  EXPECT_EQ(s.client.LastMessage(), "");
  EXPECT_EQ(s.client.GetLastResponse(), "+OK\r\npartial\r\n");
  EXPECT_EQ(s.client.FailureReason(), "no answer from the server");
  // The connection stays; the caller decides.
  EXPECT_TRUE(s.client.Connected());
  EXPECT_TRUE(s.client.LoggedIn());
  s.client.Abort();
  EXPECT_FALSE(s.client.Connected());
  EXPECT_EQ(s.Sent(), (Commands{"USER joe", "PASS pw", "LIST", "RETR 1"}));
}

TEST(Pop3ClientTest, ServerClosingEndsTheSession) {
  {
    // In the middle of RETR: false, flags reset, no exception.
    Session s;
    s.LoginScript(kTwoMessages).expectLine().send("+OK 120 octets\r\nSubject: x\r\n\r\npart").pause(30).close();
    s.StartAndLogin();
    bool result = true;
    EXPECT_NO_THROW(result = s.client.RetrieveMessage(1));
    EXPECT_FALSE(result);
    EXPECT_FALSE(s.client.Connected());
    EXPECT_FALSE(s.client.LoggedIn());
    EXPECT_EQ(s.client.MessageCount(), -1);
    EXPECT_TRUE(s.client.MessageSizes().empty());
    EXPECT_EQ(s.client.LastMessage(), "");
    // Quit afterwards sends nothing; everything else refuses too.
    EXPECT_FALSE(s.client.Quit());
    EXPECT_FALSE(s.client.DeleteMessage(1));
    EXPECT_EQ(s.client.GetUIDL(1), "");
    EXPECT_EQ(s.Sent(), (Commands{"USER joe", "PASS pw", "LIST", "RETR 1"}));
  }
  {
    // A large message cut short keeps neither its text nor its memory.
    Session s;
    s.LoginScript(kTwoMessages).expectLine().send("+OK\r\n" + std::string(3u << 20, 'x')).close();
    s.StartAndLogin();
    EXPECT_FALSE(s.client.RetrieveMessage(2));
    EXPECT_EQ(s.client.FailureReason(), "connection closed by the server");
    EXPECT_EQ(s.client.LastResponse(), "+OK\r\n");
    EXPECT_LT(s.client.LastResponse().capacity(), 1u << 20);
  }
  {
    // After the server closed between two steps, Connect works again.
    Session s;
    s.server.send(kGreeting).pause(30).close();
    s.Start();
    ASSERT_TRUE(s.client.Connect());
    const auto start = std::chrono::steady_clock::now();
    while (s.client.Connected() && SecondsSince(start) < 5) ProcessMessages();
    EXPECT_FALSE(s.client.Connected());
    EXPECT_FALSE(s.client.Quit());
    EXPECT_EQ(s.Sent(), Commands{});
  }
}

TEST(Pop3ClientTest, LoginRefusals) {
  {
    Session s;
    s.server.send(kGreeting).reply("-ERR who?\r\n");
    s.Start();
    ASSERT_TRUE(s.client.Connect());
    EXPECT_FALSE(s.client.Login());
    EXPECT_TRUE(s.client.Connected());
    EXPECT_FALSE(s.client.LoggedIn());
    EXPECT_EQ(s.client.MessageCount(), -1);
    EXPECT_EQ(s.Sent(), Commands{"USER joe"});
  }
  {
    Session s;
    s.server.send(kGreeting).reply("+OK\r\n").reply("-ERR wrong\r\n").reply("+OK\r\n");
    s.Start();
    ASSERT_TRUE(s.client.Connect());
    EXPECT_FALSE(s.client.Login());
    EXPECT_TRUE(s.client.Connected());
    // Transaction commands need a login; nothing is sent for them.
    EXPECT_FALSE(s.client.RetrieveMessage(1));
    EXPECT_FALSE(s.client.RetrieveHeader(1, 0));
    EXPECT_FALSE(s.client.DeleteMessage(1));
    EXPECT_EQ(s.client.GetUIDL(1), "");
    EXPECT_TRUE(s.client.Quit());
    EXPECT_EQ(s.Sent(), (Commands{"USER joe", "PASS pw", "QUIT"}));
  }
  {
    // A refused LIST still logs in; the count stays unknown.
    Session s;
    s.LoginScript("-ERR later\r\n");
    s.StartAndLogin();
    EXPECT_TRUE(s.client.LoggedIn());
    EXPECT_EQ(s.client.MessageCount(), -1);
    EXPECT_TRUE(s.client.MessageSizes().empty());
  }
  {
    // A line break in the credentials would inject commands: refused unsent.
    Session s;
    s.server.send(kGreeting);
    s.Start();
    s.client.SetUserName("joe\r\nDELE 1");
    ASSERT_TRUE(s.client.Connect());
    EXPECT_FALSE(s.client.Login());
    s.client.SetUserName("joe");
    s.client.SetPassword("pw\nQUIT");
    EXPECT_FALSE(s.client.Login());
    EXPECT_EQ(s.Sent(), Commands{});
  }
}

// Logs in against a server whose LIST reply is given and returns the client
// state through the out parameters.
static void ListWith(const std::string& listReply, int& count, TMessageSize& sizes,
                     std::vector<int>* listed = nullptr) {
  Session s;
  s.LoginScript(listReply);
  s.StartAndLogin();
  count = s.client.MessageCount();
  sizes = s.client.MessageSizes();
  if (listed) *listed = s.client.ListedNumbers();
  EXPECT_EQ(s.Sent(), kLoginCommands);
}

TEST(Pop3ClientTest, ListReplies) {
  int count = 0;
  TMessageSize sizes;
  ListWith("+OK 0 messages\r\n.\r\n", count, sizes);
  EXPECT_EQ(count, 0);
  EXPECT_TRUE(sizes.empty());

  // The count comes from the last scan line, not from the status line.
  ListWith("+OK 5 messages\r\n1 120\r\n2 300\r\n.\r\n", count, sizes);
  EXPECT_EQ(count, 2);
  EXPECT_EQ(sizes, (TMessageSize{0, 120, 300}));

  // A gap in the numbers: only the listed ones are to be visited.
  std::vector<int> listed;
  ListWith("+OK\r\n1 120\r\n3 300\r\n.\r\n", count, sizes, &listed);
  EXPECT_EQ(count, 3);
  EXPECT_EQ(sizes, (TMessageSize{0, 120, 0, 300}));
  EXPECT_EQ(listed, (std::vector<int>{1, 3}));
  // A hostile last number is one message, not millions.
  ListWith("+OK\r\n1 120\r\n9999999 1\r\n.\r\n", count, sizes, &listed);
  EXPECT_EQ(count, 9999999);
  EXPECT_EQ(listed, (std::vector<int>{1, 9999999}));

  // A lower number after a higher one shrinks the sizes again.
  ListWith("+OK\r\n1 120\r\n3 300\r\n2 200\r\n.\r\n", count, sizes, &listed);
  EXPECT_EQ(count, 2);
  EXPECT_EQ(sizes, (TMessageSize{0, 120, 200}));
  EXPECT_EQ(listed, (std::vector<int>{1, 2}));
  // A size cut off by a lower number stays lost when the list grows again.
  ListWith("+OK\r\n5 500\r\n2 200\r\n4 400\r\n.\r\n", count, sizes);
  EXPECT_EQ(count, 4);
  EXPECT_EQ(sizes, (TMessageSize{0, 0, 200, 0, 400}));
  ListWith("+OK\r\n5 500\r\n2 200\r\n4 400\r\n2 210\r\n4 410\r\n.\r\n", count, sizes, &listed);
  EXPECT_EQ(count, 4);
  EXPECT_EQ(sizes, (TMessageSize{0, 0, 210, 0, 410}));
  EXPECT_EQ(listed, (std::vector<int>{2, 4}));

  // A last line without a size leaves the count unknown; a size that is no
  // number counts as 0; spaces around the line do not matter.
  ListWith("+OK\r\n1 120\r\n2\r\n.\r\n", count, sizes);
  EXPECT_EQ(count, -1);
  ListWith("+OK\r\n  1 12x\r\n2  300 \r\n.\r\n", count, sizes);
  EXPECT_EQ(count, 2);
  EXPECT_EQ(sizes, (TMessageSize{0, 0, 0}));
}

TEST(Pop3ClientTest, ListJumpingBetweenHighAndLowNumbersStaysCheap) {
  // Every line resizes the sizes; a server that alternates a huge number with
  // a small one must not make each line cost a list of ten million entries.
  std::string reply = "+OK\r\n";
  for (int i = 0; i < 2000; ++i) reply += "9999999 7\r\n1 " + std::to_string(i) + "\r\n";
  reply += "3 30\r\n.\r\n";
  int count = 0;
  TMessageSize sizes;
  auto start = std::chrono::steady_clock::now();
  ListWith(reply, count, sizes);
  EXPECT_LT(SecondsSince(start), 2.0);
  EXPECT_EQ(count, 3);
  EXPECT_EQ(sizes, (TMessageSize{0, 1999, 0, 30}));
}

TEST(Pop3ClientTest, ListWithBadNumbersRaisesAndKeepsTheSession) {
  for (const char* reply : {"+OK\r\none 120\r\n2 300\r\n.\r\n", "+OK\r\n1 120\r\n2000000000 5\r\n.\r\n"}) {
    Session s;
    s.LoginScript(reply).reply("+OK bye\r\n");
    s.Start();
    ASSERT_TRUE(s.client.Connect());
    EXPECT_THROW(s.client.Login(), EVizuError) << reply;
    EXPECT_TRUE(s.client.LoggedIn());
    EXPECT_TRUE(s.client.Connected());
    // The client is not left busy: the session can still be ended.
    EXPECT_TRUE(s.client.Quit());
    EXPECT_EQ(s.Sent(), (Commands{"USER joe", "PASS pw", "LIST", "QUIT"}));
  }
  // A negative number is harmless.
  int count = 0;
  TMessageSize sizes;
  ListWith("+OK\r\n-5 10\r\n1 120\r\n.\r\n", count, sizes);
  EXPECT_EQ(count, 1);
  EXPECT_EQ(sizes, (TMessageSize{0, 120}));
}

TEST(Pop3ClientTest, UidlReplies) {
  Session s;
  s.LoginScript("+OK\r\n1 10\r\n.\r\n")
      .reply("+OK 1 \t000000016b179672 \r\n")
      .reply("+OK 000000016b179672\r\n")  // no number: no usable id
      .reply("+OK\r\n")
      .reply("-ERR no such message\r\n")
      .reply("+OK 12 id-of-twelve\r\n")
      .reply("+OK 11 id-of-eleven\r\n")  // asked for 1: another message's id
      .reply("+OK 21 id-of-21\r\n")
      .reply("+OK 0x1 hex\r\n")
      .reply("+OK  1  padded \r\n")
      .reply("+OK 1 first\r\nsecond\r\n");
  s.StartAndLogin();
  EXPECT_EQ(s.client.GetUIDL(1), "000000016b179672");
  EXPECT_EQ(s.client.GetUIDL(1), "");
  EXPECT_EQ(s.client.GetUIDL(1), "");
  EXPECT_EQ(s.client.GetUIDL(5), "");
  EXPECT_EQ(s.client.LastResponse(), "-ERR no such message\r\n");
  EXPECT_EQ(s.client.GetUIDL(12), "id-of-twelve");
  EXPECT_EQ(s.client.LastResponse(), s.client.GetLastResponse());
  // Only this message's number, in plain digits, names its id.
  EXPECT_EQ(s.client.GetUIDL(1), "");
  EXPECT_EQ(s.client.GetUIDL(1), "");
  EXPECT_EQ(s.client.GetUIDL(1), "");
  EXPECT_EQ(s.client.GetUIDL(1), "padded");
  // Lines that came with the reply are not part of the id.
  EXPECT_EQ(s.client.GetUIDL(1), "first");
  EXPECT_EQ(s.Sent(), (Commands{"USER joe", "PASS pw", "LIST", "UIDL 1", "UIDL 1", "UIDL 1", "UIDL 5", "UIDL 12",
                                "UIDL 1", "UIDL 1", "UIDL 1", "UIDL 1", "UIDL 1"}));
}

TEST(Pop3ClientTest, UidlListingInOneRoundTrip) {
  Session s;
  s.client.SetDeleteOnRetrieve(true);
  s.LoginScript("+OK\r\n1 10\r\n3 10\r\n.\r\n")
      .reply("+OK\r\n1 \tid-one \r\n 3 id.three\r\nno number\r\n4\r\n..\r\n0x5 hex\r\n+6 signed\r\n7x seven\r\n.\r\n")
      .reply("-ERR not now\r\n")
      .reply("+OK\r\nA: 1\r\n\r\n.\r\n");  // RETR 1: no DELE after it
  s.StartAndLogin();
  TUniqueIds ids;
  ASSERT_TRUE(s.client.GetUIDLs(ids));
  // Read as the one-message answer is read; lines without an id are left out.
  EXPECT_EQ(ids, (TUniqueIds{{1, "id-one"}, {3, "id.three"}}));
  EXPECT_FALSE(s.client.GetUIDLs(ids));
  EXPECT_TRUE(ids.empty());
  EXPECT_EQ(s.client.FailureReason(), "the server answered \"-ERR not now\"");
  // Fetching leaves the deleting to the caller, whatever DeleteOnRetrieve
  // says, and the parse too: the bound message is not touched.
  TVeraDudurur2000 message(nullptr);
  s.client.SetMailMessage(&message);
  EXPECT_TRUE(s.client.FetchMessage(1));
  EXPECT_EQ(message.Header().Count(), 0);
  EXPECT_EQ(s.client.TakeLastMessage(), "A: 1\r\n\r\n");
  EXPECT_EQ(s.client.LastMessage(), "");
  EXPECT_EQ(s.client.FailureReason(), "");
  EXPECT_EQ(s.Sent(), (Commands{"USER joe", "PASS pw", "LIST", "UIDL", "UIDL", "RETR 1"}));
}

TEST(Pop3ClientTest, FailureReasonSaysWhyInPlainWords) {
  {
    Session s;
    s.server.send("-ERR too busy\r\n");
    s.Start();
    EXPECT_FALSE(s.client.Connect());
    EXPECT_EQ(s.client.FailureReason(), "the server refused the connection");
    s.client.Abort();
  }
  {
    Session s;
    s.server.send(kGreeting).reply("+OK\r\n").reply("-ERR [AUTH] Authentication failed.\r\n");
    s.Start();
    ASSERT_TRUE(s.client.Connect());
    EXPECT_EQ(s.client.FailureReason(), "");
    EXPECT_FALSE(s.client.Login());
    EXPECT_EQ(s.client.FailureReason(), "wrong user name or password");
  }
  {
    Session s;
    s.LoginScript(kTwoMessages).expectLine().send("+OK\r\nSubject: x\r\n").pause(30).close();
    s.StartAndLogin();
    EXPECT_FALSE(s.client.RetrieveMessage(1));
    EXPECT_EQ(s.client.FailureReason(), "connection closed by the server");
    EXPECT_EQ(s.client.GetUIDL(2), "");
    EXPECT_EQ(s.client.FailureReason(), "connection closed by the server");
  }
  {
    // Nobody listens: the socket's own words.
    int port = 0;
    {
      LoopbackScriptServer gone;
      gone.start();
      port = gone.port();
    }
    TREZ2000 client(nullptr);
    client.SetHost("127.0.0.1");
    client.SetPort(port);
    EXPECT_FALSE(client.Connect());
    EXPECT_EQ(client.FailureReason(), "connection refused");
  }
}

TEST(Pop3ClientTest, DeletesGoTogetherOnlyToAServerThatPipelines) {
  {
    // The script answers only once all three commands are in: a client that
    // waited for each reply would time out here.
    Session s;
    s.LoginScript(kTwoMessages)
        .reply("+OK\r\nUSER\r\npipelining\r\n.\r\n")  // CAPA
        .expectLine().expectLine().expectLine()
        .send("+OK\r\n+OK ").pause(30).send("deleted\r\n-ERR no such message\r\n")
        .reply("+OK\r\n+OK\r\n");
    s.StartAndLogin();
    EXPECT_FALSE(s.client.DeleteMessages({1, 2, 7}));
    EXPECT_EQ(s.client.FailureReason(), "the server answered \"-ERR no such message\"");
    // CAPA is asked once a session; every reply is in before the next step.
    EXPECT_TRUE(s.client.DeleteMessages({1, 2}));
    EXPECT_EQ(s.client.FailureReason(), "");
    EXPECT_EQ(s.Sent(), (Commands{"USER joe", "PASS pw", "LIST", "CAPA", "DELE 1", "DELE 2", "DELE 7", "DELE 1",
                                  "DELE 2"}));
  }
  {
    Session s;
    s.LoginScript(kTwoMessages)
        .reply("-ERR what?\r\n")  // CAPA
        .reply("+OK\r\n")
        .reply("+OK\r\n");
    s.StartAndLogin();
    EXPECT_TRUE(s.client.DeleteMessages({1, 2}));
    EXPECT_TRUE(s.client.DeleteMessages({}));
    EXPECT_EQ(s.Sent(), (Commands{"USER joe", "PASS pw", "LIST", "CAPA", "DELE 1", "DELE 2"}));
  }
}

TEST(Pop3ClientTest, DeleteOnRetrieve) {
  Session s;
  s.client.SetDeleteOnRetrieve(true);
  s.LoginScript(kTwoMessages)
      .reply("+OK\r\nA: 1\r\n\r\n.\r\n")
      .reply("+OK\r\n")  // DELE 1
      .reply("-ERR no such message\r\n")
      .reply("+OK\r\nA: 2\r\n\r\n.\r\n")  // TOP 2 0: no DELE after it
      .reply("+OK\r\nA: 2\r\n\r\n.\r\n")
      .reply("-ERR cannot\r\n");  // DELE 2 refused: RETR stays a success
  s.StartAndLogin();
  EXPECT_TRUE(s.client.RetrieveMessage(1));
  EXPECT_FALSE(s.client.RetrieveMessage(9));
  EXPECT_TRUE(s.client.RetrieveHeader(2, 0));
  EXPECT_TRUE(s.client.RetrieveMessage(2));
  EXPECT_EQ(s.client.LastMessage(), "A: 2\r\n\r\n");
  EXPECT_EQ(s.Sent(), (Commands{"USER joe", "PASS pw", "LIST", "RETR 1", "DELE 1", "RETR 9", "TOP 2 0", "RETR 2", "DELE 2"}));
}

TEST(Pop3ClientTest, QuitRefusedKeepsTheSession) {
  Session s;
  s.LoginScript(kTwoMessages).reply("-ERR not now\r\n").reply("+OK\r\n");
  s.StartAndLogin();
  EXPECT_FALSE(s.client.Quit());
  EXPECT_TRUE(s.client.Connected());
  EXPECT_TRUE(s.client.LoggedIn());
  EXPECT_EQ(s.client.MessageCount(), 2);
  EXPECT_TRUE(s.client.Quit());
  EXPECT_EQ(s.Sent(), (Commands{"USER joe", "PASS pw", "LIST", "QUIT", "QUIT"}));
}

// Socket-level failures, from the in-memory scripted socket.
TEST(Pop3ClientTest, SocketFailuresEndStepsWithFalse) {
  auto script = std::make_shared<VizuTest::ServerScript>();
  VizuTest::ScopedSocketFactory use(VizuTest::ScriptedSocketFactory(script));
  TREZ2000 client(nullptr);
  client.SetPort(1110);

  // A name goes to the lookup, a numeric address is used as it is.
  client.SetHost("mail.example.org");
  script->refuseConnect();
  EXPECT_FALSE(client.Connect());
  EXPECT_EQ(script->host, "mail.example.org");
  EXPECT_EQ(script->address, "");
  EXPECT_EQ(script->port, 1110);
  client.SetHost("10.1.2.3");
  script->failLookup();
  EXPECT_FALSE(client.Connect());
  EXPECT_EQ(script->host, "");
  EXPECT_EQ(script->address, "10.1.2.3");
  EXPECT_FALSE(client.Connected());

  // The failed attempts left nothing open: this one connects.
  script->chunk("+OK\r\n")
      .expect("USER \r\n").chunk("+OK\r\n")
      .expect("PASS \r\n").chunk("+OK\r\n")
      .expect("LIST\r\n").chunk("+OK\r\n1 50\r\n.\r\n")
      .expect("RETR 1\r\n").chunk("+OK\r\nA: 1\r\n")
      .fail(seReceive);
  ASSERT_TRUE(client.Connect());
  EXPECT_EQ(script->opens, 3);
  ASSERT_TRUE(client.Login());
  bool result = true;
  EXPECT_NO_THROW(result = client.RetrieveMessage(1));
  EXPECT_FALSE(result);
  EXPECT_EQ(client.LastMessage(), "");
  EXPECT_TRUE(script->mismatches.empty());
  client.Abort();
  EXPECT_FALSE(client.Connected());
  EXPECT_EQ(client.MessageCount(), -1);
}

TEST(Pop3ClientTest, AbortFromAHandlerEndsTheWait) {
  Session s;
  s.LoginScript(kTwoMessages).expectLine().send("+OK\r\nA: 1\r\n");
  s.StartAndLogin();
  s.client.OnProgress = [&](TComponent*, int, int) { s.client.Abort(); };
  const auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(s.client.RetrieveMessage(1));
  EXPECT_LT(SecondsSince(start), 3.0);
  EXPECT_FALSE(s.client.Connected());
  EXPECT_EQ(s.client.MessageCount(), -1);
  EXPECT_EQ(s.client.LastMessage(), "");
  EXPECT_EQ(s.Sent(), (Commands{"USER joe", "PASS pw", "LIST", "RETR 1"}));
  EXPECT_TRUE(s.server.peerClosed());
}

namespace {

// A multi-line reply of exactly `size` bytes: "+OK", lines of text, ".".
std::string ReplyOfSize(size_t size) {
  std::string reply = "+OK\r\n";
  const std::string line(78, 'm');
  while (reply.size() + 80 + 5 <= size) reply += line + "\r\n";
  reply += std::string(size - reply.size() - 5, 'e') + "\r\n.\r\n";
  return reply;
}

constexpr size_t kStatusLine = 64 * 1024;

}  // namespace

TEST(Pop3ClientTest, AnEndlessMessageEndsTheSessionWithoutQuitOrDele) {
  Session s;
  s.client.SetDeleteOnRetrieve(true);
  TVeraDudurur2000 message(nullptr);
  s.client.SetMailMessage(&message);
  // Listed as 1000 bytes, then a message without end.
  s.LoginScript("+OK\r\n1 1000\r\n.\r\n").expectLine().send("+OK\r\n").flood("Subject: again and again\r\n");
  s.StartAndLogin();
  int gathered = 0;
  s.client.OnProgress = [&](TComponent*, int, int current) { gathered = std::max(gathered, current); };
  const int limit = 2 * 1000 + (16 << 20);

  EXPECT_FALSE(s.client.RetrieveMessage(1));
  EXPECT_EQ(s.client.FailureReason(),
            "reply too long: the server sent more than 16779216 bytes for message 1 of 1000 bytes");
  // The client never held more than the limit, and came close to it.
  EXPECT_LE(gathered, limit);
  EXPECT_GT(gathered, limit / 2);
  EXPECT_EQ(s.client.LastMessage(), "");
  EXPECT_EQ(message.Header().Count(), 0);
  EXPECT_LT(s.client.LastResponse().size(), 2000u);
  // The session is over; what comes next is refused for the same reason.
  EXPECT_FALSE(s.client.Connected());
  EXPECT_FALSE(s.client.DeleteMessage(1));
  EXPECT_EQ(s.client.FailureReason(),
            "reply too long: the server sent more than 16779216 bytes for message 1 of 1000 bytes");
  EXPECT_FALSE(s.client.Quit());
  // The client hung up on its own: no QUIT, so the server deletes nothing.
  ASSERT_TRUE(s.server.waitScriptDone(10000));
  EXPECT_TRUE(s.server.peerClosed());
  EXPECT_EQ(s.server.scriptError(), "");
  EXPECT_EQ(s.Sent(), (Commands{"USER joe", "PASS pw", "LIST", "RETR 1"}));
}

TEST(Pop3ClientTest, AMessageUpToItsLimitComesWholeOneByteMoreFails) {
  const size_t limit = 2 * 500 + (16 << 20);
  const std::string fits = ReplyOfSize(limit);
  const std::string over = ReplyOfSize(limit + 1);
  Session s;
  // TOP is held to the same limit as RETR.
  s.LoginScript("+OK\r\n1 500\r\n2 500\r\n.\r\n").reply(fits).reply(fits).reply(over);
  s.StartAndLogin();
  ASSERT_TRUE(s.client.RetrieveMessage(1)) << s.client.FailureReason();
  // Taken out whole, the message leaves nothing of itself in the client.
  const std::string taken = s.client.TakeLastMessage();
  EXPECT_EQ(taken, MultiLineReplyText(fits));
  EXPECT_EQ(s.client.LastMessage(), "");
  EXPECT_LT(s.client.LastMessage().capacity(), 64u);
  EXPECT_LT(s.client.LastResponse().capacity(), 64u);
  ASSERT_TRUE(s.client.RetrieveHeader(2, 0)) << s.client.FailureReason();
  EXPECT_EQ(s.client.LastMessage().size(), limit - 8);
  EXPECT_FALSE(s.client.RetrieveMessage(2));
  EXPECT_EQ(s.client.FailureReason(),
            "reply too long: the server sent more than 16778216 bytes for message 2 of 500 bytes");
  EXPECT_FALSE(s.client.Connected());
  EXPECT_EQ(s.Sent(), (Commands{"USER joe", "PASS pw", "LIST", "RETR 1", "TOP 2 0", "RETR 2"}));
}

TEST(Pop3ClientTest, AStatusLineEndsAt64KiB) {
  const std::string tooLong = "reply too long: the server sent a line of more than 65536 bytes";
  {
    // A greeting of exactly 64 KiB is a greeting; a USER reply that never
    // ends is not.
    Session s;
    s.server.send("+OK " + std::string(kStatusLine - 4, 'g') + "\r\n").expectLine().send("+OK ").flood("u");
    s.Start();
    ASSERT_TRUE(s.client.Connect()) << s.client.FailureReason();
    EXPECT_FALSE(s.client.Login());
    EXPECT_EQ(s.client.FailureReason(), tooLong);
    EXPECT_FALSE(s.client.Connected());
    EXPECT_FALSE(s.client.LoggedIn());
    ASSERT_TRUE(s.server.waitScriptDone(10000));
    EXPECT_TRUE(s.server.peerClosed());
    EXPECT_EQ(s.Sent(), (Commands{"USER joe"}));
  }
  {
    // One byte more, line break and all in one piece.
    Session s;
    s.server.send("+OK " + std::string(kStatusLine - 3, 'g') + "\r\n");
    s.Start();
    EXPECT_FALSE(s.client.Connect());
    EXPECT_EQ(s.client.FailureReason(), tooLong);
    EXPECT_FALSE(s.client.Connected());
    EXPECT_EQ(s.Sent(), Commands{});
  }
  {
    // A refused DELE, pipelined or not, is a line like any other.
    Session s;
    s.LoginScript("+OK\r\n1 10\r\n2 10\r\n.\r\n")
        .reply("+OK\r\nPIPELINING\r\n.\r\n")
        .expectLine()
        .send("+OK\r\n-ERR ")
        .flood("no ");
    s.StartAndLogin();
    EXPECT_FALSE(s.client.DeleteMessages({1, 2}));
    EXPECT_EQ(s.client.FailureReason(), tooLong);
    EXPECT_FALSE(s.client.Connected());
    ASSERT_TRUE(s.server.waitScriptDone(10000));
    EXPECT_EQ(s.Sent(), (Commands{"USER joe", "PASS pw", "LIST", "CAPA", "DELE 1", "DELE 2"}));
  }
}

namespace {

// Kilobytes of this process's peak resident set, from the kernel; with
// reset, the peak starts again from what is resident now.
long PeakKiB(bool reset = false) {
  if (reset) std::ofstream("/proc/self/clear_refs") << "5";
  std::ifstream status("/proc/self/status");
  std::string key;
  while (status >> key) {
    if (key == "VmHWM:") {
      long kb = 0;
      status >> kb;
      return kb;
    }
    status.ignore(1 << 16, '\n');
  }
  return 0;
}

// How far the peak resident set rose, in MiB, while fn ran.
double PeakGrowthMiB(const std::function<void()>& fn) {
  const long before = PeakKiB(true);
  fn();
  return static_cast<double>(PeakKiB() - before) / 1024.0;
}

// The next "<number> <id>" lines of a UIDL listing, from `from` on, into
// chunks of about 64 KiB, until `to`.
std::function<bool(std::string&)> UidLines(int from, int to) {
  return [next = from, to](std::string& chunk) mutable {
    for (; chunk.size() < 65536 && next <= to; ++next) chunk += std::to_string(next) + " id-" + std::to_string(next) + "\r\n";
    return next <= to;
  };
}

}  // namespace

TEST(Pop3ClientTest, HostileListingsCostWhatIsKeptAndEndTheSessionPastTheirLimits) {
  // Each server would send far more than it is let to; the client hangs up
  // without QUIT once a reply passes what an honest one needs, and its
  // memory stays within a few MiB of what it keeps.
  constexpr double kFewMiB = 6;
  {
    // Capabilities without end, in the clear before STLS.
    Session s;
    s.client.SetTLSMode(tmSTLS);
    s.server.send(kGreeting).reply("+OK\r\n").flood("X-CAPABILITY nobody asked for\r\n", 64u << 20);
    s.Start();
    EXPECT_LT(PeakGrowthMiB([&] { EXPECT_FALSE(s.client.Connect()); }), kFewMiB);
    EXPECT_EQ(s.client.FailureReason(), "reply too long: the server sent more than 65536 bytes for its capabilities");
    EXPECT_EQ(s.client.TLSFailure(), "");
    EXPECT_TRUE(s.server.waitPeerClosed(5000));
    EXPECT_LT(s.server.flooded(), 16u << 20);
    EXPECT_EQ(s.Sent(), Commands{"CAPA"});
  }
  {
    // A LIST of two million empty lines: none names a message, so the reply
    // may bring the 64 KiB that any listing may.
    Session s;
    s.LoginScript("+OK\r\n").flood("\r\n", 4000000).send(".\r\n").reply("+OK\r\n");
    s.Start();
    ASSERT_TRUE(s.client.Connect());
    EXPECT_LT(PeakGrowthMiB([&] { EXPECT_TRUE(s.client.Login()); }), kFewMiB);
    EXPECT_EQ(s.client.FailureReason(),
              "reply too long: the server sent more than 65536 bytes for a listing of 0 messages");
    EXPECT_FALSE(s.client.Connected());
    EXPECT_EQ(s.client.MessageCount(), -1);
    EXPECT_TRUE(s.client.ListedNumbers().empty());
    EXPECT_FALSE(s.client.Quit());
    EXPECT_TRUE(s.server.waitPeerClosed(5000));
    EXPECT_EQ(s.Sent(), kLoginCommands);
  }
  {
    // Ids for numbers LIST never named: dropped as they come; a listing
    // longer than two messages' ids can be ends the session.
    Session s;
    s.LoginScript("+OK\r\n1 10\r\n3 30\r\n.\r\n")
        .reply("+OK\r\n1 id-1\r\n2 id-2\r\n3 id-3\r\n4 id-4\r\n0 id-0\r\n.\r\n")
        .expectLine()
        .send("+OK\r\n")
        .stream(UidLines(1, 3000000))
        .send(".\r\n");
    s.StartAndLogin();
    TUniqueIds ids;
    ASSERT_TRUE(s.client.GetUIDLs(ids));
    EXPECT_EQ(ids, (TUniqueIds{{1, "id-1"}, {3, "id-3"}}));
    EXPECT_LT(PeakGrowthMiB([&] { EXPECT_FALSE(s.client.GetUIDLs(ids)); }), kFewMiB);
    EXPECT_TRUE(ids.empty());
    EXPECT_EQ(s.client.FailureReason(),
              "reply too long: the server sent more than 65792 bytes for the unique ids of 2 messages");
    EXPECT_FALSE(s.client.Connected());
    EXPECT_TRUE(s.server.waitPeerClosed(5000));
    EXPECT_EQ(s.Sent(), (Commands{"USER joe", "PASS pw", "LIST", "UIDL", "UIDL"}));
  }
}

TEST(Pop3ClientTest, ListingsAreBoundedByWhatTheyName) {
  {
    // An honest listing may be as long as its messages need, far past the
    // 64 KiB that anything else may take, padded lines and all.
    std::string list = "+OK 100000 messages\r\n";
    for (int n = 1; n <= 100000; ++n) list += std::to_string(n) + (n % 2 ? " " : std::string(40, ' ')) + "1000\r\n";
    std::string uidl = "+OK\r\n";
    for (int n = 1; n <= 100000; ++n) uidl += std::to_string(n) + " " + std::string(60, 'u') + std::to_string(n) + "\r\n";
    Session s;
    s.LoginScript(list + ".\r\n").reply(uidl + ".\r\n");
    s.StartAndLogin();
    EXPECT_EQ(s.client.MessageCount(), 100000);
    EXPECT_EQ(s.client.ListedNumbers().size(), 100000u);
    // Odd lines keep their size; the padded even ones read as 0, as always.
    EXPECT_EQ(s.client.MessageSizes()[99999], 1000);
    TUniqueIds ids;
    ASSERT_TRUE(s.client.GetUIDLs(ids)) << s.client.FailureReason();
    EXPECT_EQ(ids.size(), 100000u);
    EXPECT_EQ(ids.at(100000), std::string(60, 'u') + "100000");
    // The reply keeps its status line, not the listing.
    EXPECT_LT(s.client.LastResponse().size(), 16u);
  }
  {
    // A line of the listing is held to 64 KiB like a status line.
    Session s;
    s.LoginScript("+OK\r\n1 10\r\n2 " + std::string(70000, '9') + "\r\n.\r\n");
    s.StartAndLogin();
    EXPECT_EQ(s.client.FailureReason(), "reply too long: the server sent a line of more than 65536 bytes");
    EXPECT_FALSE(s.client.Connected());
  }
  {
    // Without a listing, no id could name a message to visit: nothing is
    // asked, and the caller may still ask message by message.
    Session s;
    s.LoginScript("-ERR not now\r\n").reply("+OK 1 id-1\r\n");
    s.StartAndLogin();
    TUniqueIds ids;
    EXPECT_FALSE(s.client.GetUIDLs(ids));
    EXPECT_EQ(s.client.FailureReason(), "no message list to match unique ids with");
    EXPECT_EQ(s.client.GetUIDL(1), "id-1");
    EXPECT_EQ(s.Sent(), (Commands{"USER joe", "PASS pw", "LIST", "UIDL 1"}));
  }
  {
    // Lines after the "." line are no part of the listing.
    int count = 0;
    TMessageSize sizes;
    ListWith("+OK\r\n1 10\r\n.\r\n2 20\r\n.\r\n", count, sizes);
    EXPECT_EQ(count, 1);
    EXPECT_EQ(sizes, (TMessageSize{0, 10}));
  }
}
