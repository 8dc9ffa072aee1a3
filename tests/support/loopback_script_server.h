#pragma once
// A scripted TCP server on 127.0.0.1 for protocol tests. It accepts one
// connection and plays a script on it from a thread of its own: chunks to
// send, pauses, waits for a command line from the client, and a close. It
// records every byte the client sent, during the script and after it until
// stop(), so a test can assert the exact commands.
//
//   VizuTest::LoopbackScriptServer server;
//   server.send("+O").pause(50).send("K ready\r\n")   // a greeting in two chunks
//         .expectLine().send("+OK\r\n")               // USER
//         .expectLine().close();                      // PASS, then hang up
//   server.start();
//   ... client.SetPort(server.port()) ...
//   server.stop();
//   EXPECT_EQ(server.commands(), (std::vector<std::string>{"USER a", "PASS b"}));
//
// Chunks sent back to back may reach the client as one read; put a pause
// between them where the split matters.
#include <atomic>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace VizuTest {

class LoopbackScriptServer {
 public:
  LoopbackScriptServer();
  ~LoopbackScriptServer();
  LoopbackScriptServer(const LoopbackScriptServer&) = delete;
  LoopbackScriptServer& operator=(const LoopbackScriptServer&) = delete;

  // Script steps, added before start().
  LoopbackScriptServer& send(std::string_view bytes);
  LoopbackScriptServer& pause(int ms);
  // Waits (at most 10 s) until the client has sent one more line ending in
  // CR LF; a script that runs out of time stops there and reports it in
  // scriptError().
  LoopbackScriptServer& expectLine();
  // expectLine() followed by send(bytes): the usual command-and-reply step.
  LoopbackScriptServer& reply(std::string_view bytes) { return expectLine().send(bytes); }
  LoopbackScriptServer& close();
  // Sends bytes over and over, total bytes in all (0: without end), until
  // the client closes or stop(); a client that goes away ends the script
  // here without a script error.
  LoopbackScriptServer& flood(std::string_view bytes, size_t total = 0);
  // Runs fn on the script's thread when the script reaches this step: a
  // look at the world at an exact point of the dialogue (say, whether a
  // file exists when DELE arrives).
  LoopbackScriptServer& call(std::function<void()> fn);
  // Sends what next puts into its (emptied) argument, call after call, until
  // it returns false: a reply too large to build in memory beforehand, such
  // as a listing of ten million different lines. A client that goes away
  // ends the script here without a script error, as in flood().
  LoopbackScriptServer& stream(std::function<bool(std::string& chunk)> next);

  // Greets every connection after the first with the next of greetings as
  // soon as it is accepted (nothing once they have run out), then leaves it
  // alone: a client that reconnects after a failure meets a server again.
  // Before start().
  void greetLaterConnections(std::vector<std::string> greetings) { laterGreetings_ = std::move(greetings); }

  // Listens on a free port of 127.0.0.1 and runs the script in the background.
  void start();
  int port() const { return port_; }
  // Ends the script (where it is), takes in what the client has sent so far,
  // closes everything and joins the thread. Called by the destructor.
  void stop();
  // Blocks until the script has played to its end (true) or timeoutMs passed.
  bool waitScriptDone(int timeoutMs);

  // What the client sent: raw, and cut into lines at CR LF (a last line
  // without CR LF is included as it is).
  std::string received() const;
  std::vector<std::string> commands() const;
  // Connections accepted in all (only the first one plays the script).
  int connections() const;
  // True when the client closed its side of the scripted connection.
  bool peerClosed() const;
  // Blocks until the client has closed it (true) or timeoutMs passed.
  bool waitPeerClosed(int timeoutMs);
  std::string scriptError() const;
  // Bytes that flood() and stream() steps have handed to the connection so far.
  size_t flooded() const { return flooded_; }

 private:
  struct Step {
    enum Kind { kSend, kPause, kExpectLine, kClose, kCall, kFlood, kStream } kind;
    std::string bytes;
    int ms = 0;
    std::function<void()> fn;
    size_t total = 0;
    std::function<bool(std::string&)> next = nullptr;
  };

  bool runFlood(const Step& step);
  bool runStream(const Step& step);

  void run();
  bool pump(int timeoutMs);  // accepts and reads for up to timeoutMs; false once stopping
  void record(const char* data, size_t size);
  void finish();

  std::vector<Step> script_;
  int listenFd_ = -1;
  int connFd_ = -1;
  int port_ = 0;
  std::thread thread_;
  std::atomic<bool> stopping_{false};
  std::atomic<size_t> flooded_{0};

  mutable std::mutex mutex_;
  std::condition_variable done_;
  bool scriptDone_ = false;
  std::string received_;
  size_t linesConsumed_ = 0;  // lines taken by expectLine() steps
  int connections_ = 0;
  bool peerClosed_ = false;
  std::string error_;
  std::vector<int> extraFds_;
  std::vector<std::string> laterGreetings_;
};

}  // namespace VizuTest
