// SMTP sending against a private aiosmtpd on 127.0.0.1, and next to Debian's
// msmtp in the same run:
//  - many_20KB/0: one session that sends 1000 messages of 20 KB with HELO,
//    one command at a time; messages/s and the CPU seconds this process
//    used (getrusage). many_20KB/1: the same against the discarding server
//    below (its thread's CPU counts). many_20KB/2: the same with EHLO, so
//    MAIL, RCPT and DATA go together (the server offers PIPELINING).
//  - msmtp_20KB: msmtp sending the same 1000 messages, one process and one
//    connection each (it sends one message a run and has no way to send
//    more over one connection); its CPU seconds are its children's.
//  - connection/0 and /1: Connect, one message of 1 KB and Quit, in the
//    clear with HELO and with STARTTLS and AUTH PLAIN; ms a connection, so
//    the difference is what the handshake costs. msmtp_connection/0 and /1:
//    the same sessions by msmtp, its process start included.
//  - one_100MB/client: one 100 MB message; bytes/s, this process's CPU
//    seconds, the server's CPU seconds (from /proc), the time until the
//    last packet was handed to the socket, and the peak resident set
//    against the message size.
//  - one_100MB/raw: the same bytes, already in their transparent form,
//    written by a plain blocking socket: how fast the server takes them
//    from a writer that does nothing else.
//  - one_100MB/discard: the client against a server of this program that
//    reads and discards, so the client's own speed shows.
//  - silent_server: Connect to a listener that accepts and never speaks,
//    with a 3 s time-out; the CPU seconds used while waiting.
// Run with --benchmark_repetitions=N for medians (each case already repeats).
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <iterator>
#include <memory>
#include <sstream>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "bench/bench_support.h"
#include "mail/net/smtp_client.h"
#include "support/raw_smtp.h"
#include "support/server_process.h"
#include "support/smtp_server.h"
#include "support/test_certificate.h"

using namespace Vizu2000;
using VizuBench::CpuSeconds;
using VizuBench::PeakRss;
using VizuBench::ResetPeakRss;
using Clock = std::chrono::steady_clock;

namespace {

// A message of about `size` bytes with CR LF lines of 78 characters, every
// fiftieth beginning with a dot, so the transparent copy has work to do.
std::string SampleContent(size_t size, int serial) {
  std::string text = "From: Sender <sender@example.org>\r\n"
                     "To: reader@example.org\r\n"
                     "Subject: Sample " + std::to_string(serial) + "\r\n"
                     "\r\n";
  const std::string line = "The quick brown fox jumps over the lazy dog, again and again and again.......\r\n";
  text.reserve(size + line.size());
  for (int n = 0; text.size() < size; ++n) text += (n % 50 == 49) ? "." + line.substr(1) : line;
  return text;
}

double Seconds(Clock::time_point since) { return std::chrono::duration<double>(Clock::now() - since).count(); }

// CPU seconds (user and system) a process has used so far, from /proc.
double ProcessCpuSeconds(pid_t pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
  // Fields after the command name in parentheses, which may hold blanks;
  // utime and stime are fields 14 and 15 (the 12th and 13th after it).
  const size_t close = text.rfind(')');
  if (close == std::string::npos) return 0;
  std::istringstream fields(text.substr(close + 2));
  std::string field;
  double ticks = 0;
  for (int i = 3; i <= 15 && fields >> field; ++i)
    if (i >= 14) ticks += std::stod(field);
  return ticks / static_cast<double>(sysconf(_SC_CLK_TCK));
}

struct Sink {
  VizuTest::SmtpServer server;
  Sink() { server.start(); }
  void Bind(TDUZA2000& client) {
    client.SetHost("127.0.0.1");
    client.SetPort(server.port());
    client.SetTimeOut(60);
  }
};

Sink& SharedSink() {
  static Sink sink;
  return sink;
}


const std::string& Content100MB() {
  static const std::string content = SampleContent(100 * 1000 * 1000, 0);
  return content;
}

void BM_One100MBClient(benchmark::State& state) {
  const std::string& content = Content100MB();
  TDUZA2000 client(nullptr);
  Sink& sink = SharedSink();
  sink.Bind(client);
  Clock::time_point start, handedOver;
  client.OnProgress = [&](TComponent*, int total, int current) {
    if (current == total) handedOver = Clock::now();
  };
  if (!client.Connect()) {
    state.SkipWithError(("no SMTP session: " + client.LastResponse()).c_str());
    return;
  }
  double peak = 0, cpu = 0, serverCpu = 0, push = 0;
  for (auto _ : state) {
    ResetPeakRss();
    const double cpuStart = CpuSeconds(), serverStart = ProcessCpuSeconds(sink.server.pid());
    start = Clock::now();
    if (!client.SendStringTo(content, "sender@example.org", "reader@example.org"))
      state.SkipWithError(("not accepted: " + client.LastResponse()).c_str());
    push += std::chrono::duration<double>(handedOver - start).count();
    cpu += CpuSeconds() - cpuStart;
    serverCpu += ProcessCpuSeconds(sink.server.pid()) - serverStart;
    peak = std::max(peak, PeakRss());
  }
  client.Quit();
  const double runs = static_cast<double>(state.iterations());
  state.counters["cpu_s"] = cpu / runs;
  state.counters["server_cpu_s"] = serverCpu / runs;
  state.counters["push_s"] = push / runs;
  state.counters["peak_MB"] = peak / 1e6;
  state.counters["peak_per_size"] = peak / static_cast<double>(content.size());
  state.SetBytesProcessed(static_cast<int64_t>(content.size()) * state.iterations());
}
BENCHMARK(BM_One100MBClient)->Name("one_100MB/client")->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(1)->Repetitions(3);

void BM_One100MBRaw(benchmark::State& state) {
  const std::string wire = TransparentContent({}, Content100MB());
  Sink& sink = SharedSink();
  VizuTest::RawSmtp raw(sink.server.port());
  auto code = [](const std::string& reply) { return VizuTest::ReplyCode(reply); };
  if (code(raw.reply()) != "220" || code(raw.command("HELO bench.example.org")) != "250") {
    state.SkipWithError("no SMTP session");
    return;
  }
  double serverCpu = 0;
  for (auto _ : state) {
    const double serverStart = ProcessCpuSeconds(sink.server.pid());
    if (code(raw.command("MAIL FROM:<sender@example.org>")) != "250" ||
        code(raw.command("RCPT TO:<reader@example.org>")) != "250" || code(raw.command("DATA")) != "354" ||
        !raw.send(wire) || code(raw.reply(60000)) != "250")
      state.SkipWithError("not accepted");
    serverCpu += ProcessCpuSeconds(sink.server.pid()) - serverStart;
  }
  raw.command("QUIT");
  state.counters["server_cpu_s"] = serverCpu / static_cast<double>(state.iterations());
  state.SetBytesProcessed(static_cast<int64_t>(Content100MB().size()) * state.iterations());
}
BENCHMARK(BM_One100MBRaw)->Name("one_100MB/raw")->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(1)->Repetitions(3);

// A socket listening on 127.0.0.1 at a free port; -1 when none can be made.
int ListenLoopback(int& port) {
  const int listener = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof addr;
  if (bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || listen(listener, 4) != 0 ||
      getsockname(listener, reinterpret_cast<sockaddr*>(&addr), &length) != 0) {
    ::close(listener);
    return -1;
  }
  port = ntohs(addr.sin_port);
  return listener;
}

// Serves each connection on its own thread with `serve`, until destroyed.
class LoopbackServer {
 public:
  explicit LoopbackServer(std::function<void(int fd)> serve) : listener_(ListenLoopback(port_)) {
    if (listener_ < 0) return;
    thread_ = std::thread([this, serve] {
      for (int fd; (fd = accept(listener_, nullptr, nullptr)) >= 0;) {
        serve(fd);
        ::close(fd);
      }
    });
  }
  ~LoopbackServer() {
    if (listener_ < 0) return;
    shutdown(listener_, SHUT_RDWR);
    ::close(listener_);
    thread_.join();
  }
  LoopbackServer(const LoopbackServer&) = delete;
  LoopbackServer& operator=(const LoopbackServer&) = delete;
  bool listening() const { return listener_ >= 0; }
  int port() const { return port_; }

 private:
  int port_ = 0;
  int listener_;
  std::thread thread_;
};

// Answers every command with success and throws the message data away.
void DiscardSession(int fd) {
  auto say = [fd](const std::string& reply) { ::send(fd, reply.data(), reply.size(), MSG_NOSIGNAL); };
  say("220 discard\r\n");
  std::vector<char> buffer(1 << 16);
  std::string line;
  std::string tail;  // the last bytes of data seen, for an end marker cut in two
  bool inData = false;
  const std::string_view end = "\r\n.\r\n";
  for (ssize_t n; (n = recv(fd, buffer.data(), buffer.size(), 0)) > 0;) {
    std::string_view chunk(buffer.data(), static_cast<size_t>(n));
    if (inData) {
      // RFC 5321 section 4.1.1.4: CR LF "." CR LF ends the data.
      const std::string joined = tail + std::string(chunk.substr(0, end.size()));
      if (joined.find(end) != std::string::npos || chunk.find(end) != std::string_view::npos) {
        inData = false;
        say("250 discarded\r\n");
      } else {
        tail = std::string(chunk.substr(chunk.size() > 4 ? chunk.size() - 4 : 0));
      }
      continue;
    }
    line.append(chunk);
    if (!line.ends_with("\r\n")) continue;
    if (line.starts_with("DATA")) {
      inData = true;
      tail = "\r\n";
      say("354 go on\r\n");
    } else if (line.starts_with("QUIT")) {
      say("221 bye\r\n");
      return;
    } else {
      say("250 ok\r\n");
    }
    line.clear();
  }
}

void BM_One100MBDiscard(benchmark::State& state) {
  const std::string& content = Content100MB();
  LoopbackServer server(DiscardSession);
  TDUZA2000 client(nullptr);
  client.SetHost("127.0.0.1");
  client.SetPort(server.port());
  client.SetTimeOut(60);
  if (!server.listening() || !client.Connect()) {
    state.SkipWithError("no session with the discarding server");
    return;
  }
  double peak = 0, cpu = 0;
  for (auto _ : state) {
    ResetPeakRss();
    const double cpuStart = CpuSeconds();
    if (!client.SendStringTo(content, "sender@example.org", "reader@example.org"))
      state.SkipWithError(("not accepted: " + client.LastResponse()).c_str());
    cpu += CpuSeconds() - cpuStart;
    peak = std::max(peak, PeakRss());
  }
  client.Quit();
  // The server's thread is part of this process: its reading counts here.
  state.counters["cpu_s_with_server"] = cpu / static_cast<double>(state.iterations());
  state.counters["peak_per_size"] = peak / static_cast<double>(content.size());
  state.SetBytesProcessed(static_cast<int64_t>(content.size()) * state.iterations());
}
BENCHMARK(BM_One100MBDiscard)->Name("one_100MB/discard")->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(1)->Repetitions(3);

// Arg 0: against aiosmtpd with HELO; 1: against the discarding server, so
// the client's own rate shows; 2: against aiosmtpd with EHLO and PIPELINING.
void BM_Many20KB(benchmark::State& state) {
  std::vector<std::string> contents;
  for (int n = 1; n <= 1000; ++n) contents.push_back(SampleContent(20 * 1024, n));
  std::unique_ptr<LoopbackServer> discard;
  TDUZA2000 client(nullptr);
  SharedSink().Bind(client);
  if (state.range(0) == 1) {
    discard = std::make_unique<LoopbackServer>(DiscardSession);
    client.SetPort(discard->port());
  }
  client.SetUseEHLO(state.range(0) == 2);
  double cpu = 0;
  int sent = 0;
  for (auto _ : state) {
    const double cpuStart = CpuSeconds();
    if (!client.Connect()) {
      state.SkipWithError(("no SMTP session: " + client.LastResponse()).c_str());
      return;
    }
    for (const std::string& content : contents)
      sent += client.SendStringTo(content, "sender@example.org", "reader@example.org") ? 1 : 0;
    client.Quit();
    cpu += CpuSeconds() - cpuStart;
  }
  if (sent != 1000 * static_cast<int>(state.iterations())) state.SkipWithError("a message was not accepted");
  state.SetItemsProcessed(sent);
  state.counters["cpu_s_per_1000"] = benchmark::Counter(cpu, benchmark::Counter::kAvgIterations);
}
BENCHMARK(BM_Many20KB)->Name("many_20KB")->Arg(0)->Arg(1)->Arg(2)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(1)->Repetitions(5);

// An aiosmtpd that takes mail only after STARTTLS and AUTH, with a
// certificate of its own.
struct TlsSink {
  std::string folder = VizuTest::makeTempFolder("vizu-bench-certs");
  VizuTest::TestCertificate certificate = VizuTest::makeTestCertificate(folder, "sink", "IP:127.0.0.1");
  VizuTest::SmtpServer server;
  TlsSink() {
    server.enableTls(certificate.certificate, certificate.key);
    server.requireSignIn("bench", "s3cr3t");
    server.start();
  }
  ~TlsSink() { VizuTest::removeTempFolder(folder); }
};

TlsSink& SharedTlsSink() {
  static TlsSink sink;
  return sink;
}

// msmtp with an rc file of its own (mode 0600, as it demands), sending one
// message file a run; the CPU seconds of its runs add up in cpu.
class Msmtp {
 public:
  Msmtp(const std::string& folder, const std::string& account) : rc_(folder + "/msmtprc") {
    VizuTest::writeFile(rc_, "account bench\nhost 127.0.0.1\nfrom sender@example.org\n" + account, 0600);
  }
  static bool Installed() { return std::system("command -v msmtp >/dev/null 2>&1") == 0; }

  bool Send(const std::string& file, double& cpu) const {
    const pid_t pid = fork();
    if (pid == 0) {
      const int in = open(file.c_str(), O_RDONLY);
      const int null = open("/dev/null", O_WRONLY);
      if (in < 0 || null < 0 || dup2(in, 0) < 0 || dup2(null, 1) < 0) _exit(126);
      execlp("msmtp", "msmtp", "-C", rc_.c_str(), "-a", "bench", "reader@example.org", static_cast<char*>(nullptr));
      _exit(127);
    }
    int status = 0;
    rusage usage{};
    if (pid < 0 || wait4(pid, &status, 0, &usage) != pid) return false;
    cpu += static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
  }

 private:
  std::string rc_;
};

// The contents as files for msmtp, in a folder removed with the object.
struct MessageFiles {
  std::string folder = VizuTest::makeTempFolder("vizu-bench-msmtp");
  std::vector<std::string> paths;
  explicit MessageFiles(const std::vector<std::string>& contents) {
    for (size_t n = 0; n < contents.size(); ++n) {
      paths.push_back(folder + "/" + std::to_string(n) + ".eml");
      VizuTest::writeFile(paths.back(), contents[n], 0644);
    }
  }
  ~MessageFiles() { VizuTest::removeTempFolder(folder); }
};

void BM_Msmtp20KB(benchmark::State& state) {
  if (!Msmtp::Installed()) {
    state.SkipWithError("msmtp is not installed");
    return;
  }
  std::vector<std::string> contents;
  for (int n = 1; n <= 1000; ++n) contents.push_back(SampleContent(20 * 1024, n));
  MessageFiles files(contents);
  const Msmtp msmtp(files.folder, "port " + std::to_string(SharedSink().server.port()) + "\ntls off\nauth off\n");
  double cpu = 0;
  int sent = 0;
  for (auto _ : state)
    for (const std::string& path : files.paths) sent += msmtp.Send(path, cpu) ? 1 : 0;
  if (sent != 1000 * static_cast<int>(state.iterations())) state.SkipWithError("msmtp failed to send a message");
  state.SetItemsProcessed(sent);
  state.counters["cpu_s_per_1000"] = benchmark::Counter(cpu, benchmark::Counter::kAvgIterations);
}
BENCHMARK(BM_Msmtp20KB)->Name("msmtp_20KB")->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(1)->Repetitions(3);

constexpr int kConnections = 50;

// Arg 0: in the clear with HELO; 1: STARTTLS and AUTH PLAIN.
void BM_Connection(benchmark::State& state) {
  const bool secure = state.range(0) == 1;
  const std::string content = SampleContent(1024, 0);
  TDUZA2000 client(nullptr);
  if (secure) {
    TlsSink& sink = SharedTlsSink();
    client.SetHost("127.0.0.1");
    client.SetPort(sink.server.port());
    client.SetTimeOut(60);
    client.SetTLSMode(tmSTLS);
    client.SetTrustedCertificate(sink.certificate.certificate);
    client.SetUserName("bench");
    client.SetPassword("s3cr3t");
  } else {
    SharedSink().Bind(client);
  }
  double cpu = 0, wall = 0;
  for (auto _ : state) {
    const double cpuStart = CpuSeconds();
    const Clock::time_point start = Clock::now();
    for (int i = 0; i < kConnections; ++i) {
      if (!client.Connect() || !client.SendStringTo(content, "sender@example.org", "reader@example.org") ||
          !client.Quit()) {
        state.SkipWithError(("session failed: " + client.FailureReason()).c_str());
        return;
      }
    }
    wall += Seconds(start);
    cpu += CpuSeconds() - cpuStart;
  }
  state.counters["ms_per_connection"] = wall * 1000 / kConnections / static_cast<double>(state.iterations());
  state.counters["cpu_ms_per_connection"] = cpu * 1000 / kConnections / static_cast<double>(state.iterations());
}
BENCHMARK(BM_Connection)->Name("connection")->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(1)->Repetitions(3);

void BM_MsmtpConnection(benchmark::State& state) {
  if (!Msmtp::Installed()) {
    state.SkipWithError("msmtp is not installed");
    return;
  }
  const bool secure = state.range(0) == 1;
  MessageFiles files({SampleContent(1024, 0)});
  std::string account;
  if (secure) {
    TlsSink& sink = SharedTlsSink();
    account = "port " + std::to_string(sink.server.port()) + "\ntls on\ntls_starttls on\ntls_trust_file " +
              sink.certificate.certificate + "\nauth plain\nuser bench\npassword s3cr3t\n";
  } else {
    account = "port " + std::to_string(SharedSink().server.port()) + "\ntls off\nauth off\n";
  }
  const Msmtp msmtp(files.folder, account);
  double cpu = 0, wall = 0;
  for (auto _ : state) {
    const Clock::time_point start = Clock::now();
    for (int i = 0; i < kConnections; ++i) {
      if (!msmtp.Send(files.paths[0], cpu)) {
        state.SkipWithError("msmtp failed to send");
        return;
      }
    }
    wall += Seconds(start);
  }
  state.counters["ms_per_connection"] = wall * 1000 / kConnections / static_cast<double>(state.iterations());
  state.counters["cpu_ms_per_connection"] = cpu * 1000 / kConnections / static_cast<double>(state.iterations());
}
BENCHMARK(BM_MsmtpConnection)->Name("msmtp_connection")->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(1)->Repetitions(3);

void BM_SilentServer(benchmark::State& state) {
  // Takes the connection and says nothing until the client gives up.
  LoopbackServer server([](int fd) {
    for (char byte; recv(fd, &byte, 1, 0) > 0;) {
    }
  });
  if (!server.listening()) {
    state.SkipWithError("no listening socket");
    return;
  }
  TDUZA2000 client(nullptr);
  client.SetHost("127.0.0.1");
  client.SetPort(server.port());
  client.SetTimeOut(3);
  double cpu = 0, wall = 0;
  for (auto _ : state) {
    const double cpuStart = CpuSeconds();
    const Clock::time_point start = Clock::now();
    if (client.Connect()) state.SkipWithError("a silent server was taken as ready");
    wall += Seconds(start);
    cpu += CpuSeconds() - cpuStart;
    client.Abort();
  }
  const double runs = static_cast<double>(state.iterations());
  state.counters["wait_cpu_s"] = cpu / runs;
  state.counters["wait_s"] = wall / runs;
}
BENCHMARK(BM_SilentServer)->Name("silent_server")->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(1)->Repetitions(3);

}  // namespace

int main(int argc, char** argv) { return VizuBench::RunWithApplication(argc, argv); }
