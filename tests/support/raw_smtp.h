#pragma once
// A hand-driven SMTP session on 127.0.0.1 over a plain blocking socket:
// every command and every byte of data is written exactly as it goes on the
// wire, with nothing of the library in between.
//
//   VizuTest::RawSmtp smtp(server.port());
//   VizuTest::ReplyCode(smtp.reply());                 // "220"
//   smtp.command("HELO client.example.org");           // "250 ...\r\n"
//   smtp.send("Subject: x\r\n\r\nbody\r\n.\r\n");
#include <string>

namespace VizuTest {

class RawSmtp {
 public:
  explicit RawSmtp(int port);
  ~RawSmtp();
  RawSmtp(const RawSmtp&) = delete;
  RawSmtp& operator=(const RawSmtp&) = delete;

  bool connected() const { return fd_ >= 0; }

  // One whole reply, continuation lines ("250-...") included; what has come
  // so far when the server falls silent for silenceMs.
  std::string reply(int silenceMs = 10000);
  // Writes all of the bytes; false when the connection fails first.
  bool send(const std::string& bytes);
  // A command line and its reply.
  std::string command(const std::string& line);

 private:
  int fd_ = -1;
  std::string buffer_;
};

// The reply code, or the whole text when it has none, for readable failures.
inline std::string ReplyCode(const std::string& reply) { return reply.size() >= 3 ? reply.substr(0, 3) : reply; }

}  // namespace VizuTest
