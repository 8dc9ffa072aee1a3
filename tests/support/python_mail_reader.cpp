#include "tests/support/python_mail_reader.h"

#include <poll.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

extern char** environ;

namespace VizuTest {

namespace {

constexpr const char* kPython = "/usr/bin/python3";
// A reply slower than this means the reader hangs; a large message takes
// well under a second.
constexpr int kReplyTimeoutMs = 60'000;

// The reader process, started on first use and ended with the program: its
// standard input and output are one end of a socket pair, so a write to a
// reader that died fails with an error instead of a SIGPIPE.
class TReader {
 public:
  ~TReader() { Stop(); }

  std::string Read(std::string_view message) {
    if (fd_ < 0 && !Start()) return "error: " + error_ + "\n";
    std::string request = std::to_string(message.size()) + "\n";
    request.append(message);
    std::string reply;
    if (!SendAll(request) || !ReceiveReply(reply)) {
      Stop();
      return "error: " + error_ + "\n" + reply;
    }
    return reply;
  }

 private:
  bool Start() {
    if (access(kPython, X_OK) != 0) {
      error_ = "Debian's python3 is needed at /usr/bin/python3 (package python3)";
      return false;
    }
    int ends[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) != 0) {
      error_ = std::string("socketpair: ") + std::strerror(errno);
      return false;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, ends[1], 0);
    posix_spawn_file_actions_adddup2(&actions, ends[1], 1);
    std::string script = VIZU_TEST_DATA "/composed_parts.py";
    char* argv[] = {const_cast<char*>("python3"), const_cast<char*>("-I"), script.data(),
                    const_cast<char*>("--serve"), nullptr};
    int spawned = posix_spawn(&pid_, kPython, &actions, nullptr, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    close(ends[1]);
    if (spawned != 0) {
      close(ends[0]);
      pid_ = -1;
      error_ = std::string("cannot start python3: ") + std::strerror(spawned);
      return false;
    }
    fd_ = ends[0];
    return true;
  }

  void Stop() {
    if (fd_ >= 0) close(fd_);  // the reader sees the end of its input and exits
    fd_ = -1;
    if (pid_ > 0) waitpid(pid_, nullptr, 0);
    pid_ = -1;
  }

  bool SendAll(std::string_view bytes) {
    while (!bytes.empty()) {
      ssize_t sent = send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL);
      if (sent < 0 && errno == EINTR) continue;
      if (sent <= 0) {
        error_ = std::string("the reader stopped reading: ") + std::strerror(errno);
        return false;
      }
      bytes.remove_prefix(static_cast<size_t>(sent));
    }
    return true;
  }

  // Everything up to a line "end", which is taken off.
  bool ReceiveReply(std::string& reply) {
    char buffer[65536];
    while (!(reply == "end\n" || reply.ends_with("\nend\n"))) {
      pollfd ready{fd_, POLLIN, 0};
      int polled = poll(&ready, 1, kReplyTimeoutMs);
      if (polled < 0 && errno == EINTR) continue;
      if (polled <= 0) {
        error_ = "the reader did not answer";
        return false;
      }
      ssize_t got = recv(fd_, buffer, sizeof buffer, 0);
      if (got < 0 && errno == EINTR) continue;
      if (got <= 0) {
        error_ = "the reader ended (a Python error is on standard error)";
        return false;
      }
      reply.append(buffer, static_cast<size_t>(got));
    }
    reply.resize(reply.size() - 4);
    return true;
  }

  pid_t pid_ = -1;
  int fd_ = -1;
  std::string error_;
};

}  // namespace

std::string PythonReadsMessage(std::string_view message) {
  static TReader reader;
  return reader.Read(message);
}

}  // namespace VizuTest
