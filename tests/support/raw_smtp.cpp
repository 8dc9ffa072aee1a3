#include "support/raw_smtp.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>

namespace VizuTest {

RawSmtp::RawSmtp(int port) {
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

RawSmtp::~RawSmtp() {
  if (fd_ >= 0) ::close(fd_);
}

std::string RawSmtp::reply(int silenceMs) {
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
    ssize_t n = poll(&p, 1, silenceMs) == 1 ? recv(fd_, chunk, sizeof chunk, 0) : 0;
    if (n <= 0) return text + buffer_;
    buffer_.append(chunk, static_cast<size_t>(n));
  }
}

bool RawSmtp::send(const std::string& bytes) {
  for (size_t sent = 0; sent < bytes.size();) {
    ssize_t n = ::send(fd_, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
    if (n <= 0) return false;
    sent += static_cast<size_t>(n);
  }
  return true;
}

std::string RawSmtp::command(const std::string& line) {
  send(line + "\r\n");
  return reply();
}

}  // namespace VizuTest
