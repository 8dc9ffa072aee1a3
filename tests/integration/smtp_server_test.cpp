// The SMTP server fixture, spoken to over a plain socket: what it answers
// and what it keeps, before any client of the library relies on it.
#include <gtest/gtest.h>

#include <signal.h>

#include <cerrno>
#include <filesystem>
#include <string>
#include <vector>

#include "support/raw_smtp.h"
#include "support/smtp_server.h"

using VizuTest::RawSmtp;
using VizuTest::ReplyCode;
using VizuTest::SmtpMessage;
using VizuTest::SmtpServer;

namespace {

// Data as it goes on the wire after DATA, and as the server must keep it.
const std::string kWireData =
    "From: ann@example.org\r\n"
    "Subject: dots\r\n"
    "\r\n"
    "..\r\n"                 // a lone dot, stuffed
    "...two dots\r\n"        // a line that starts with two
    "mid.dle\r\n"
    "bare\nLF and bare\rCR\r\n"
    "last line\r\n"
    ".\r\n";
const std::string kKeptData =
    "From: ann@example.org\r\n"
    "Subject: dots\r\n"
    "\r\n"
    ".\r\n"
    "..two dots\r\n"
    "mid.dle\r\n"
    "bare\nLF and bare\rCR\r\n"
    "last line\r\n";

// The greeting and a HELO, checked.
void Greet(RawSmtp& smtp) {
  ASSERT_TRUE(smtp.connected());
  ASSERT_EQ(ReplyCode(smtp.reply()), "220");
  ASSERT_EQ(ReplyCode(smtp.command("HELO client.example.org")), "250");
}

// MAIL FROM and RCPT TO with these arguments, each expected to be
// accepted, then DATA and the data; the code of the answer to the data.
std::string SendMessage(RawSmtp& smtp, const std::string& from, const std::string& to, const std::string& wireData) {
  EXPECT_EQ(ReplyCode(smtp.command("MAIL FROM:" + from)), "250");
  EXPECT_EQ(ReplyCode(smtp.command("RCPT TO:" + to)), "250");
  EXPECT_EQ(ReplyCode(smtp.command("DATA")), "354");
  smtp.send(wireData);
  return ReplyCode(smtp.reply());
}

TEST(SmtpServerTest, KeepsEnvelopeAndDataByteForByteInArrivalOrder) {
  SmtpServer server;
  ASSERT_NO_THROW(server.start());
  RawSmtp smtp(server.port());
  Greet(smtp);
  EXPECT_EQ(ReplyCode(smtp.command("MAIL FROM:<ann@example.org>")), "250");
  EXPECT_EQ(ReplyCode(smtp.command("RCPT TO:<bob@example.org>")), "250");
  EXPECT_EQ(ReplyCode(smtp.command("RCPT TO:<Carl@Example.org>")), "250");
  EXPECT_EQ(ReplyCode(smtp.command("DATA")), "354");
  smtp.send(kWireData);
  EXPECT_EQ(ReplyCode(smtp.reply()), "250");

  // A second message in the same session, after EHLO, with the null sender.
  const std::string ehlo = smtp.command("EHLO client.example.org");
  EXPECT_NE(ehlo.find("250-SIZE 536870912\r\n"), std::string::npos) << ehlo;
  EXPECT_EQ(ehlo.find("AUTH"), std::string::npos) << ehlo;
  EXPECT_EQ(SendMessage(smtp, "<> SIZE=3", "<dora@example.org>", "x\r\n.\r\n"), "250");
  EXPECT_EQ(ReplyCode(smtp.command("QUIT")), "221");

  const std::vector<SmtpMessage> messages = server.messages();
  ASSERT_EQ(messages.size(), 2u) << server.logText();
  EXPECT_EQ(messages[0].mailFrom, "ann@example.org");
  EXPECT_TRUE(messages[0].mailOptions.empty());
  EXPECT_EQ(messages[0].rcptTos, (std::vector<std::string>{"bob@example.org", "Carl@Example.org"}));
  EXPECT_EQ(messages[0].content, kKeptData);
  EXPECT_EQ(messages[1].mailFrom, "");
  EXPECT_EQ(messages[1].mailOptions, std::vector<std::string>{"SIZE=3"});
  EXPECT_EQ(messages[1].rcptTos, std::vector<std::string>{"dora@example.org"});
  EXPECT_EQ(messages[1].content, "x\r\n");
}

TEST(SmtpServerTest, RefusesTheChosenSenderAndRecipientWhateverTheirCase) {
  SmtpServer server;
  server.refuseSender("Spam@Example.org");
  server.refuseRecipient("Nobody@Example.org");
  ASSERT_NO_THROW(server.start());
  RawSmtp smtp(server.port());
  Greet(smtp);
  EXPECT_EQ(ReplyCode(smtp.command("MAIL FROM:<spam@EXAMPLE.ORG>")), "553");
  EXPECT_EQ(ReplyCode(smtp.command("MAIL FROM:<ann@example.org>")), "250");
  EXPECT_EQ(smtp.command("RCPT TO:<NOBODY@example.org>"), "550 5.1.1 Recipient refused\r\n");
  EXPECT_EQ(ReplyCode(smtp.command("RCPT TO:<nobody2@example.org>")), "250");
  EXPECT_EQ(ReplyCode(smtp.command("DATA")), "354");
  smtp.send("Subject: one left\r\n\r\nhi\r\n.\r\n");
  EXPECT_EQ(ReplyCode(smtp.reply()), "250");

  const auto messages = server.messages();
  ASSERT_EQ(messages.size(), 1u) << server.logText();
  EXPECT_EQ(messages[0].rcptTos, std::vector<std::string>{"nobody2@example.org"});
  EXPECT_EQ(messages[0].content, "Subject: one left\r\n\r\nhi\r\n");
}

TEST(SmtpServerTest, RefusedDataIsNotKept) {
  SmtpServer server;
  server.refuseData();
  ASSERT_NO_THROW(server.start());
  RawSmtp smtp(server.port());
  Greet(smtp);
  EXPECT_EQ(SendMessage(smtp, "<ann@example.org>", "<bob@example.org>", "Subject: no\r\n\r\nbody\r\n.\r\n"), "554");
  EXPECT_EQ(ReplyCode(smtp.command("QUIT")), "221");
  EXPECT_TRUE(server.messages().empty());
}

// Sends one message whose only line has `length` characters before its CR LF.
std::string SendLongLine(SmtpServer& server, size_t length) {
  RawSmtp smtp(server.port());
  Greet(smtp);
  return SendMessage(smtp, "<ann@example.org>", "<bob@example.org>", std::string(length, 'x') + "\r\n.\r\n");
}

TEST(SmtpServerTest, LinesLongerThanTheLimitCostTheMessage) {
  SmtpServer strict;
  ASSERT_NO_THROW(strict.start());
  EXPECT_EQ(SendLongLine(strict, SmtpServer::kDefaultLineLengthLimit - 2), "250");
  EXPECT_EQ(SendLongLine(strict, SmtpServer::kDefaultLineLengthLimit - 1), "500");
  ASSERT_EQ(strict.messages().size(), 1u);
  EXPECT_EQ(strict.messages()[0].content.size(), SmtpServer::kDefaultLineLengthLimit);

  SmtpServer lenient;
  lenient.setLineLengthLimit(100000);
  ASSERT_NO_THROW(lenient.start());
  EXPECT_EQ(SendLongLine(lenient, 50000), "250");
  ASSERT_EQ(lenient.messages().size(), 1u);
  EXPECT_EQ(lenient.messages()[0].content, std::string(50000, 'x') + "\r\n");
}

TEST(SmtpServerTest, StrictModeRefusesLooseEnvelopesAndBareLineEnds) {
  SmtpServer server;
  server.strict();
  ASSERT_NO_THROW(server.start());
  RawSmtp smtp(server.port());
  ASSERT_EQ(ReplyCode(smtp.reply()), "220");
  for (const char* bad : {"HELO []", "HELO [::1]", "HELO under_score", "EHLO -x.example"})
    EXPECT_EQ(ReplyCode(smtp.command(bad)), "501") << bad;
  for (const char* good : {"HELO [127.0.0.1]", "EHLO [IPv6:::1]", "HELO client.example.org"})
    EXPECT_EQ(ReplyCode(smtp.command(good)), "250") << good;
  for (const char* bad : {"MAIL FROM: <ann@example.org>", "MAIL FROM:ann@example.org", "MAIL FROM:<a b@example.org>",
                          "MAIL FROM:<<ann@example.org>>"})
    EXPECT_EQ(ReplyCode(smtp.command(bad)), "501") << bad;
  EXPECT_EQ(ReplyCode(smtp.command("MAIL FROM:<>")), "250");
  for (const char* bad : {"RCPT TO: <bob@example.org>", "RCPT TO:<>", "RCPT TO:<b\tob@example.org>"})
    EXPECT_EQ(ReplyCode(smtp.command(bad)), "501") << bad;
  EXPECT_EQ(ReplyCode(smtp.command("RCPT TO:<bob@example.org>")), "250");
  // A lone LF or CR before a dot line: the data goes on to the real end,
  // and is refused whole.
  EXPECT_EQ(ReplyCode(smtp.command("DATA")), "354");
  smtp.send("a\n.\r\nb\r\n.\r\n");
  EXPECT_EQ(smtp.reply(), "554 5.6.11 Bare CR or LF in message data\r\n");
  EXPECT_EQ(SendMessage(smtp, "<ann@example.org>", "<bob@example.org>", "a\r.\r\n.\r\n"), "554");
  EXPECT_EQ(SendMessage(smtp, "<ann@example.org>", "<bob@example.org>", "a\r\n..\r\n.\r\n"), "250");
  const std::vector<SmtpMessage> messages = server.messages();
  ASSERT_EQ(messages.size(), 1u) << server.logText();
  EXPECT_EQ(messages[0].content, "a\r\n.\r\n");
}

TEST(SmtpServerTest, StopLeavesNoProcessAndNoFolder) {
  SmtpServer server;
  ASSERT_NO_THROW(server.start());
  const pid_t pid = server.pid();
  const std::string folder = server.folder();
  ASSERT_GT(pid, 0);
  ASSERT_TRUE(std::filesystem::exists(folder + "/messages"));
  EXPECT_THROW(server.refuseData(), std::runtime_error);

  server.stop();
  EXPECT_FALSE(server.running());
  errno = 0;
  EXPECT_EQ(kill(pid, 0), -1);
  EXPECT_EQ(errno, ESRCH);
  EXPECT_FALSE(std::filesystem::exists(folder));
  RawSmtp late(server.port());
  EXPECT_FALSE(late.connected());
  EXPECT_NO_THROW(server.stop());
  EXPECT_THROW(server.start(), std::runtime_error);
}

}  // namespace
