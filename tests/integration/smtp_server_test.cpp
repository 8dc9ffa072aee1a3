// The SMTP server fixture, spoken to over a plain socket: what it answers
// and what it keeps, before any client of the library relies on it.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <string>
#include <vector>

#include "support/smtp_server.h"

using VizuTest::SmtpMessage;
using VizuTest::SmtpServer;

namespace {

// A hand-driven SMTP session: every command and every byte of data is
// written here exactly as it goes on the wire.
class RawSmtp {
 public:
  explicit RawSmtp(int port) {
    fd_ = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(static_cast<uint16_t>(port));
    if (connect(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
      ::close(fd_);
      fd_ = -1;
    }
  }
  ~RawSmtp() {
    if (fd_ >= 0) ::close(fd_);
  }
  bool connected() const { return fd_ >= 0; }

  // One whole reply, continuation lines ("250-...") included; what has come
  // so far when the server falls silent for 10 s.
  std::string reply() {
    std::string text;
    for (;;) {
      const auto end = buffer_.find("\r\n");
      if (end != std::string::npos) {
        const std::string line = buffer_.substr(0, end + 2);
        buffer_.erase(0, end + 2);
        text += line;
        if (line.size() < 4 || line[3] != '-') return text;
        continue;
      }
      pollfd p{fd_, POLLIN, 0};
      char chunk[4096];
      ssize_t n = poll(&p, 1, 10000) == 1 ? recv(fd_, chunk, sizeof chunk, 0) : 0;
      if (n <= 0) return text + buffer_;
      buffer_.append(chunk, static_cast<size_t>(n));
    }
  }
  void send(const std::string& bytes) {
    for (size_t sent = 0; sent < bytes.size();) {
      ssize_t n = ::send(fd_, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
      if (n <= 0) return;
      sent += static_cast<size_t>(n);
    }
  }
  // A command line and its reply.
  std::string command(const std::string& line) {
    send(line + "\r\n");
    return reply();
  }

 private:
  int fd_ = -1;
  std::string buffer_;
};

// The reply code, or the whole text when it has none, for readable failures.
std::string Code(const std::string& reply) { return reply.size() >= 3 ? reply.substr(0, 3) : reply; }

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
  ASSERT_EQ(Code(smtp.reply()), "220");
  ASSERT_EQ(Code(smtp.command("HELO client.example.org")), "250");
}

// MAIL FROM and RCPT TO with these arguments, each expected to be
// accepted, then DATA and the data; the code of the answer to the data.
std::string SendMessage(RawSmtp& smtp, const std::string& from, const std::string& to, const std::string& wireData) {
  EXPECT_EQ(Code(smtp.command("MAIL FROM:" + from)), "250");
  EXPECT_EQ(Code(smtp.command("RCPT TO:" + to)), "250");
  EXPECT_EQ(Code(smtp.command("DATA")), "354");
  smtp.send(wireData);
  return Code(smtp.reply());
}

TEST(SmtpServerTest, KeepsEnvelopeAndDataByteForByteInArrivalOrder) {
  SmtpServer server;
  ASSERT_NO_THROW(server.start());
  RawSmtp smtp(server.port());
  Greet(smtp);
  EXPECT_EQ(Code(smtp.command("MAIL FROM:<ann@example.org>")), "250");
  EXPECT_EQ(Code(smtp.command("RCPT TO:<bob@example.org>")), "250");
  EXPECT_EQ(Code(smtp.command("RCPT TO:<Carl@Example.org>")), "250");
  EXPECT_EQ(Code(smtp.command("DATA")), "354");
  smtp.send(kWireData);
  EXPECT_EQ(Code(smtp.reply()), "250");

  // A second message in the same session, after EHLO, with the null sender.
  const std::string ehlo = smtp.command("EHLO client.example.org");
  EXPECT_NE(ehlo.find("250-SIZE 536870912\r\n"), std::string::npos) << ehlo;
  EXPECT_EQ(ehlo.find("AUTH"), std::string::npos) << ehlo;
  EXPECT_EQ(SendMessage(smtp, "<> SIZE=3", "<dora@example.org>", "x\r\n.\r\n"), "250");
  EXPECT_EQ(Code(smtp.command("QUIT")), "221");

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
  EXPECT_EQ(Code(smtp.command("MAIL FROM:<spam@EXAMPLE.ORG>")), "553");
  EXPECT_EQ(Code(smtp.command("MAIL FROM:<ann@example.org>")), "250");
  EXPECT_EQ(smtp.command("RCPT TO:<NOBODY@example.org>"), "550 5.1.1 Recipient refused\r\n");
  EXPECT_EQ(Code(smtp.command("RCPT TO:<nobody2@example.org>")), "250");
  EXPECT_EQ(Code(smtp.command("DATA")), "354");
  smtp.send("Subject: one left\r\n\r\nhi\r\n.\r\n");
  EXPECT_EQ(Code(smtp.reply()), "250");

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
  EXPECT_EQ(Code(smtp.command("QUIT")), "221");
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
