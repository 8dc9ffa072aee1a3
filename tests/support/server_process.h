#pragma once
// What the real-server fixtures share: a temporary folder, a free loopback
// port, and the server program as a child process that is started, awaited
// until it greets, and stopped by its PID.
//
//   VizuTest::ServerProcess process;
//   process.start({"/usr/sbin/server", "--port", "4711"}, folder + "/stderr.txt");
//   if (!process.awaitGreeting(4711, "220", 15000)) ...   // died or silent
//   process.stop();
#include <string>
#include <string_view>
#include <vector>

#include <sys/types.h>

namespace VizuTest {

// A port nobody listens on now. Another process may take it before the
// server binds it; the fixtures then try again with a new one.
int freeLoopbackPort();

// Creates a fresh folder /tmp/<prefix>-XXXXXX and returns its path.
// Throws std::runtime_error when it cannot.
std::string makeTempFolder(const std::string& prefix);
// Removes the folder with all it holds, if any, and clears the path.
void removeTempFolder(std::string& path);

// Writes bytes to path with the given mode. Throws std::runtime_error on failure.
void writeFile(const std::string& path, std::string_view bytes, mode_t mode);
// The whole file; empty when it cannot be read.
std::string readFile(const std::string& path);

// Runs a program (looked up in PATH) to its end and returns its exit status,
// -1 when it could not start or did not exit. Its standard output and error
// go to outputPath when one is given.
int runProgram(const std::vector<std::string>& args, const std::string& outputPath = "");

class ServerProcess {
 public:
  ServerProcess() = default;
  ~ServerProcess() { stop(); }
  ServerProcess(const ServerProcess&) = delete;
  ServerProcess& operator=(const ServerProcess&) = delete;

  // Runs argv[0] (looked up in PATH when it has no '/') with its standard
  // output and error appended to logPath. The child gets SIGTERM when the
  // test program dies, so a crash or a time-out kill leaves no server
  // behind. False when no process could be made.
  bool start(const std::vector<std::string>& argv, const std::string& logPath);
  // Waits until a connection to 127.0.0.1:port is greeted with a line that
  // begins with greeting. False after timeoutMs, or as soon as the process
  // has ended (for instance because the port was taken); in both cases the
  // process is gone afterwards.
  bool awaitGreeting(int port, std::string_view greeting, int timeoutMs);
  // SIGTERM, SIGKILL when it has not ended after 10 s, and waits for it.
  // Safe to call when nothing runs.
  void stop();

  bool running() const { return pid_ > 0; }
  pid_t pid() const { return pid_; }

 private:
  pid_t pid_ = -1;
};

}  // namespace VizuTest
