#include "support/loopback_script_server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <stdexcept>

namespace VizuTest {
namespace {

using Clock = std::chrono::steady_clock;

constexpr int kSliceMs = 10;       // how often a blocked step looks at stop()
constexpr int kLineWaitMs = 10000;

int msLeft(Clock::time_point deadline) {
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
  return left < 0 ? 0 : static_cast<int>(left);
}

size_t countLines(const std::string& text) {
  size_t n = 0;
  for (size_t p = text.find("\r\n"); p != std::string::npos; p = text.find("\r\n", p + 2)) ++n;
  return n;
}

}  // namespace

LoopbackScriptServer::LoopbackScriptServer() = default;

LoopbackScriptServer::~LoopbackScriptServer() { stop(); }

LoopbackScriptServer& LoopbackScriptServer::send(std::string_view bytes) {
  script_.push_back({Step::kSend, std::string(bytes), 0, {}});
  return *this;
}

LoopbackScriptServer& LoopbackScriptServer::pause(int ms) {
  script_.push_back({Step::kPause, {}, ms, {}});
  return *this;
}

LoopbackScriptServer& LoopbackScriptServer::expectLine() {
  script_.push_back({Step::kExpectLine, {}, 0, {}});
  return *this;
}

LoopbackScriptServer& LoopbackScriptServer::close() {
  script_.push_back({Step::kClose, {}, 0, {}});
  return *this;
}

LoopbackScriptServer& LoopbackScriptServer::flood(std::string_view bytes, size_t total) {
  script_.push_back({Step::kFlood, std::string(bytes), 0, {}, total});
  return *this;
}

LoopbackScriptServer& LoopbackScriptServer::call(std::function<void()> fn) {
  script_.push_back({Step::kCall, {}, 0, std::move(fn)});
  return *this;
}

LoopbackScriptServer& LoopbackScriptServer::stream(std::function<bool(std::string& chunk)> next) {
  Step step{Step::kStream, {}, 0, {}};
  step.next = std::move(next);
  script_.push_back(std::move(step));
  return *this;
}

void LoopbackScriptServer::start() {
  listenFd_ = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
  if (listenFd_ < 0) throw std::runtime_error("loopback server: no socket");
  int one = 1;
  setsockopt(listenFd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof addr;
  if (bind(listenFd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || listen(listenFd_, 8) != 0 ||
      getsockname(listenFd_, reinterpret_cast<sockaddr*>(&addr), &len) != 0)
    throw std::runtime_error("loopback server: cannot listen on 127.0.0.1");
  port_ = ntohs(addr.sin_port);
  thread_ = std::thread([this] { run(); });
}

void LoopbackScriptServer::record(const char* data, size_t size) {
  std::lock_guard<std::mutex> lock(mutex_);
  received_.append(data, size);
}

bool LoopbackScriptServer::pump(int timeoutMs) {
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  do {
    if (stopping_) return false;
    pollfd fds[2] = {{listenFd_, POLLIN, 0}, {-1, POLLIN, 0}};
    bool reading = connFd_ >= 0 && !peerClosed();
    if (reading) fds[1].fd = connFd_;
    int n = poll(fds, 2, std::min(kSliceMs, msLeft(deadline)));
    if (n <= 0) continue;
    if (fds[0].revents & POLLIN) {
      int fd = accept4(listenFd_, nullptr, nullptr, SOCK_NONBLOCK);
      if (fd >= 0) {
        int one = 1;
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        std::lock_guard<std::mutex> lock(mutex_);
        ++connections_;
        if (connFd_ < 0) {
          connFd_ = fd;
        } else {
          const size_t later = extraFds_.size();
          extraFds_.push_back(fd);
          // A greeting is a few bytes: an empty socket buffer takes it whole.
          if (later < laterGreetings_.size())
            ::send(fd, laterGreetings_[later].data(), laterGreetings_[later].size(), MSG_NOSIGNAL);
        }
      }
    }
    if (reading && (fds[1].revents & (POLLIN | POLLHUP | POLLERR))) {
      char buf[65536];
      ssize_t got = recv(connFd_, buf, sizeof buf, 0);
      if (got > 0) {
        record(buf, static_cast<size_t>(got));
      } else if (got == 0 || (errno != EAGAIN && errno != EINTR)) {
        std::lock_guard<std::mutex> lock(mutex_);
        peerClosed_ = true;
        done_.notify_all();
      }
    }
  } while (msLeft(deadline) > 0);
  return !stopping_;
}

void LoopbackScriptServer::run() {
  while (connFd_ < 0)
    if (!pump(kSliceMs)) return finish();

  for (const Step& step : script_) {
    bool ok = true;
    switch (step.kind) {
      case Step::kSend: {
        size_t sent = 0;
        while (ok && sent < step.bytes.size()) {
          ssize_t n = ::send(connFd_, step.bytes.data() + sent, step.bytes.size() - sent, MSG_NOSIGNAL);
          if (n > 0) {
            sent += static_cast<size_t>(n);
          } else if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
            // The client is slow: keep taking in what it sends meanwhile.
            pollfd p{connFd_, POLLOUT, 0};
            poll(&p, 1, kSliceMs);
            ok = pump(0);
          } else {
            std::lock_guard<std::mutex> lock(mutex_);
            error_ = "send failed: the client is gone";
            ok = false;
          }
        }
        break;
      }
      case Step::kPause:
        ok = pump(step.ms);
        break;
      case Step::kExpectLine: {
        const auto deadline = Clock::now() + std::chrono::milliseconds(kLineWaitMs);
        for (;;) {
          {
            std::lock_guard<std::mutex> lock(mutex_);
            if (countLines(received_) > linesConsumed_) {
              ++linesConsumed_;
              break;
            }
            if (peerClosed_) error_ = "the client closed while a command line was awaited";
            else if (msLeft(deadline) == 0) error_ = "no command line from the client";
            if (!error_.empty()) {
              ok = false;
              break;
            }
          }
          if (!pump(kSliceMs)) {
            ok = false;
            break;
          }
        }
        break;
      }
      case Step::kCall:
        step.fn();
        break;
      case Step::kFlood:
        ok = runFlood(step);
        break;
      case Step::kStream:
        ok = runStream(step);
        break;
      case Step::kClose:
        // A half close: the client sees the end of the stream, and anything
        // it still sends is recorded.
        shutdown(connFd_, SHUT_WR);
        break;
    }
    if (!ok) break;
  }
  {
    std::lock_guard<std::mutex> lock(mutex_);
    scriptDone_ = true;
  }
  done_.notify_all();
  while (pump(kSliceMs)) {
  }
  finish();
}

bool LoopbackScriptServer::runFlood(const Step& step) {
  if (step.bytes.empty()) return true;
  std::string block;
  while (block.size() < 65536) block += step.bytes;
  size_t offset = 0;  // into the pattern, so the stream repeats it exactly
  size_t sent = 0;
  while (step.total == 0 || sent < step.total) {
    if (stopping_ || peerClosed()) return false;
    size_t size = block.size() - step.bytes.size();
    if (step.total != 0) size = std::min(size, step.total - sent);
    const ssize_t n = ::send(connFd_, block.data() + offset, size, MSG_NOSIGNAL);
    if (n > 0) {
      sent += static_cast<size_t>(n);
      flooded_ += static_cast<size_t>(n);
      offset = (offset + static_cast<size_t>(n)) % step.bytes.size();
    } else if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
      pollfd p{connFd_, POLLOUT, 0};
      poll(&p, 1, kSliceMs);
      if (!pump(0)) return false;
    } else {
      // The client is gone, the end a flood waits for; one that closes with
      // data unread resets the connection, which recv may never see.
      std::lock_guard<std::mutex> lock(mutex_);
      peerClosed_ = true;
      done_.notify_all();
      return false;
    }
  }
  return true;
}

bool LoopbackScriptServer::runStream(const Step& step) {
  std::string chunk;
  for (bool more = true; more;) {
    chunk.clear();
    more = step.next(chunk);
    size_t sent = 0;
    while (sent < chunk.size()) {
      if (stopping_ || peerClosed()) return false;
      const ssize_t n = ::send(connFd_, chunk.data() + sent, chunk.size() - sent, MSG_NOSIGNAL);
      if (n > 0) {
        sent += static_cast<size_t>(n);
        flooded_ += static_cast<size_t>(n);
      } else if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
        pollfd p{connFd_, POLLOUT, 0};
        poll(&p, 1, kSliceMs);
        if (!pump(0)) return false;
      } else {
        std::lock_guard<std::mutex> lock(mutex_);
        peerClosed_ = true;
        done_.notify_all();
        return false;
      }
    }
  }
  return true;
}

void LoopbackScriptServer::finish() {
  // Take in what the client has sent up to now before closing.
  if (connFd_ >= 0) {
    char buf[65536];
    for (;;) {
      pollfd p{connFd_, POLLIN, 0};
      if (poll(&p, 1, 20) <= 0) break;
      ssize_t got = recv(connFd_, buf, sizeof buf, 0);
      if (got == 0) {
        // The client's close can arrive while we drain: it is still a close.
        std::lock_guard<std::mutex> lock(mutex_);
        peerClosed_ = true;
        done_.notify_all();
      }
      if (got <= 0) break;
      record(buf, static_cast<size_t>(got));
    }
  }
  std::lock_guard<std::mutex> lock(mutex_);
  scriptDone_ = true;
  done_.notify_all();
}

void LoopbackScriptServer::stop() {
  stopping_ = true;
  if (thread_.joinable()) thread_.join();
  std::lock_guard<std::mutex> lock(mutex_);
  for (int fd : extraFds_) ::close(fd);
  extraFds_.clear();
  if (connFd_ >= 0) ::close(connFd_);
  if (listenFd_ >= 0) ::close(listenFd_);
  connFd_ = listenFd_ = -1;
}

bool LoopbackScriptServer::waitPeerClosed(int timeoutMs) {
  std::unique_lock<std::mutex> lock(mutex_);
  return done_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [this] { return peerClosed_; });
}

bool LoopbackScriptServer::waitScriptDone(int timeoutMs) {
  std::unique_lock<std::mutex> lock(mutex_);
  return done_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [this] { return scriptDone_; });
}

std::string LoopbackScriptServer::received() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return received_;
}

std::vector<std::string> LoopbackScriptServer::commands() const {
  std::string text = received();
  std::vector<std::string> lines;
  size_t start = 0;
  for (size_t p = text.find("\r\n"); p != std::string::npos; p = text.find("\r\n", start)) {
    lines.push_back(text.substr(start, p - start));
    start = p + 2;
  }
  if (start < text.size()) lines.push_back(text.substr(start));
  return lines;
}

int LoopbackScriptServer::connections() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return connections_;
}

bool LoopbackScriptServer::peerClosed() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return peerClosed_;
}

std::string LoopbackScriptServer::scriptError() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return error_;
}

}  // namespace VizuTest
