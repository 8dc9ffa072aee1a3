// The POP3 client against a real Dovecot on 127.0.0.1.
#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include "mail/message/mail_message.h"
#include "mail/net/pop3_client.h"
#include "support/dovecot_server.h"

using namespace Vizu2000;
using VizuTest::DovecotServer;

namespace {

// Sample messages as they are dropped into the Maildir: LF line ends, CR LF
// line ends, and lines that begin with dots.
const std::string kPlainLf =
    "From: Ann <ann@example.org>\n"
    "To: bob@example.org\n"
    "Subject: plain\n"
    "\n"
    "Hello Bob,\n"
    "\n"
    "see you.\n";
const std::string kCrLf =
    "From: carl@example.org\r\n"
    "Subject: crlf\r\n"
    "Content-Type: text/plain; charset=iso-8859-1\r\n"
    "\r\n"
    "Caf\xe9 au lait\r\n"
    "\tindented\r\n";
const std::string kDots =
    "From: dot@example.org\n"
    "Subject: dots\n"
    "\n"
    ".\n"
    "..\n"
    ".leading dot\n"
    "..two dots\n"
    "end.\n";

std::string WithCrLf(const std::string& text) {
  std::string out;
  for (char c : text) {
    if (c == '\n' && (out.empty() || out.back() != '\r')) out += '\r';
    out += c;
  }
  return out;
}

class Pop3DovecotTest : public ::testing::Test {
 protected:
  void SetUp() override {
    server.addMessage("0001.plain", kPlainLf);
    server.addMessage("0002.crlf", kCrLf);
    server.addMessage("0003.dots", kDots);
    ASSERT_NO_THROW(server.start());
    client.SetHost("127.0.0.1");
    client.SetPort(server.port());
    client.SetUserName(server.userName());
    client.SetPassword(server.password());
    client.SetTimeOut(10);
  }

  DovecotServer server;
  TREZ2000 client{nullptr};
};

}  // namespace

TEST_F(Pop3DovecotTest, ListsRetrievesAndDeletes) {
  ASSERT_TRUE(client.Connect()) << server.logText();
  ASSERT_TRUE(client.Login()) << client.GetLastResponse();
  const std::vector<std::string> served = {WithCrLf(kPlainLf), WithCrLf(kCrLf), WithCrLf(kDots)};
  ASSERT_EQ(client.MessageCount(), 3);
  EXPECT_EQ(client.MessageSizes(),
            (TMessageSize{0, static_cast<int>(served[0].size()), static_cast<int>(served[1].size()),
                          static_cast<int>(served[2].size())}));

  std::set<std::string> ids;
  for (int n = 1; n <= 3; ++n) {
    const std::string id = client.GetUIDL(n);
    EXPECT_EQ(id.size(), 16u) << id;
    EXPECT_EQ(id.find_first_not_of("0123456789abcdefABCDEF"), std::string::npos) << id;
    ids.insert(id);
    ASSERT_TRUE(client.RetrieveMessage(n)) << n;
    EXPECT_EQ(client.LastMessage(), served[n - 1]) << n;
  }
  EXPECT_EQ(ids.size(), 3u);
  EXPECT_EQ(client.GetUIDL(4), "");
  EXPECT_FALSE(client.RetrieveMessage(4));

  // TOP: the header, the empty line and the requested body lines.
  ASSERT_TRUE(client.RetrieveHeader(3, 2));
  EXPECT_EQ(client.LastMessage(), "From: dot@example.org\r\nSubject: dots\r\n\r\n.\r\n..\r\n");
  ASSERT_TRUE(client.RetrieveHeader(1, 0));
  EXPECT_EQ(client.LastMessage(), WithCrLf("From: Ann <ann@example.org>\nTo: bob@example.org\nSubject: plain\n\n"));

  EXPECT_TRUE(client.DeleteMessage(2));
  EXPECT_EQ(server.messageCount(), 3);  // only QUIT commits
  EXPECT_TRUE(client.Quit());
  EXPECT_FALSE(client.Connected());
  EXPECT_EQ(server.maildirFiles(), (std::vector<std::string>{"0001.plain", "0003.dots"}));
}

TEST_F(Pop3DovecotTest, FillsTheBoundMessageAndDeletesOnRetrieve) {
  TVeraDudurur2000 message(nullptr);
  client.SetMailMessage(&message);
  client.SetDeleteOnRetrieve(true);
  ASSERT_TRUE(client.Connect());
  ASSERT_TRUE(client.Login());
  ASSERT_TRUE(client.RetrieveMessage(2));
  EXPECT_EQ(message.GetLabelValue("Subject"), "crlf");
  EXPECT_EQ(message.GetLabelValue("From"), "carl@example.org");
  // Abort sends no QUIT, so the deletion is not committed.
  client.Abort();
  EXPECT_EQ(server.messageCount(), 3);

  ASSERT_TRUE(client.Connect());
  ASSERT_TRUE(client.Login());
  ASSERT_TRUE(client.RetrieveMessage(1));
  EXPECT_EQ(message.GetLabelValue("Subject"), "plain");
  EXPECT_TRUE(client.Quit());
  EXPECT_EQ(server.maildirFiles(), (std::vector<std::string>{"0002.crlf", "0003.dots"}));
}

TEST_F(Pop3DovecotTest, WrongPasswordIsRefused) {
  client.SetPassword("not the password");
  ASSERT_TRUE(client.Connect());
  EXPECT_FALSE(client.Login());
  EXPECT_TRUE(client.Connected());
  EXPECT_FALSE(client.LoggedIn());
  EXPECT_EQ(client.MessageCount(), -1);
  EXPECT_EQ(client.GetLastResponse().rfind("-ERR", 0), 0u) << client.GetLastResponse();
  EXPECT_TRUE(client.Quit());
  EXPECT_EQ(server.messageCount(), 3);
}

TEST_F(Pop3DovecotTest, NewMessagesAppearInTheNextSession) {
  ASSERT_TRUE(client.Connect());
  ASSERT_TRUE(client.Login());
  EXPECT_EQ(client.MessageCount(), 3);
  EXPECT_TRUE(client.Quit());
  server.addMessage("0004.late", "Subject: late\n\nbody\n");
  ASSERT_TRUE(client.Connect());
  ASSERT_TRUE(client.Login());
  EXPECT_EQ(client.MessageCount(), 4);
  ASSERT_TRUE(client.RetrieveMessage(4));
  EXPECT_EQ(client.LastMessage(), "Subject: late\r\n\r\nbody\r\n");
  EXPECT_TRUE(client.Quit());
}
