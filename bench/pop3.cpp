// POP3 retrieval against a private Dovecot on 127.0.0.1:
//  - many_20KB: one session that retrieves 1000 messages of about 20 KB,
//    each filled into the message object; messages/s and the CPU seconds
//    this process used (getrusage).
//  - one_20MB: RETR of a 20 MB message in an open session, without (0) and
//    with (1) filling the message object; bytes/s.
//  - peak_100MB: the peak resident set while one 100 MB message is
//    retrieved and filled, against the size of the message.
//  - endless_RETR: a scripted server on 127.0.0.1 lists a message of 1 MB
//    and then sends its RETR reply without end; how much the peak resident
//    set grows before the client gives up, against the reply's limit.
// Run with --benchmark_repetitions=N for medians (each case already repeats).
#include <benchmark/benchmark.h>

#include <cstdio>
#include <memory>
#include <string>

#include "bench/bench_support.h"
#include "mail/message/mail_message.h"
#include "mail/net/pop3_client.h"
#include "support/dovecot_server.h"
#include "support/loopback_script_server.h"

using namespace Vizu2000;
using VizuBench::CpuSeconds;
using VizuBench::PeakRss;
using VizuBench::ResetPeakRss;

namespace {

// A plain text message of about `size` bytes in 76-character lines.
std::string SampleMessage(size_t size, int serial) {
  std::string text = "From: Sender <sender@example.org>\n"
                     "To: reader@example.org\n"
                     "Subject: Sample " + std::to_string(serial) + "\n"
                     "Message-ID: <" + std::to_string(serial) + "@bench.example.org>\n"
                     "Content-Type: text/plain; charset=iso-8859-1\n"
                     "\n";
  const std::string line = "The quick brown fox jumps over the lazy dog, again and again and again.....\n";
  text.reserve(size + line.size());
  for (int n = 0; text.size() < size; ++n) {
    // Now and then a line that the server has to dot-stuff.
    text += (n % 50 == 49) ? "." + line.substr(1) : line;
  }
  return text;
}

struct Mailbox {
  VizuTest::DovecotServer server;
  Mailbox(int count, size_t size) {
    for (int n = 1; n <= count; ++n) {
      char name[32];
      std::snprintf(name, sizeof name, "%06d.bench", n);
      server.addMessage(name, SampleMessage(size, n));
    }
    server.start();
  }
  void Bind(TREZ2000& client) {
    client.SetHost("127.0.0.1");
    client.SetPort(server.port());
    client.SetUserName(server.userName());
    client.SetPassword(server.password());
    client.SetTimeOut(60);
  }
};

bool OpenSession(TREZ2000& client, benchmark::State& state) {
  if (client.Connect() && client.Login()) return true;
  state.SkipWithError(("no POP3 session: " + client.GetLastResponse()).c_str());
  return false;
}

void BM_Many20KB(benchmark::State& state) {
  static Mailbox box(1000, 20 * 1024);
  TVeraDudurur2000 message(nullptr);
  TREZ2000 client(nullptr);
  box.Bind(client);
  client.SetMailMessage(&message);
  // The first session makes the server index the mailbox; not measured.
  if (!OpenSession(client, state)) return;
  client.Quit();

  double cpu = 0;
  int retrieved = 0;
  for (auto _ : state) {
    const double cpuStart = CpuSeconds();
    if (!OpenSession(client, state)) return;
    for (int n = 1; n <= client.MessageCount(); ++n) retrieved += client.RetrieveMessage(n) ? 1 : 0;
    client.Quit();
    cpu += CpuSeconds() - cpuStart;
  }
  if (retrieved != 1000 * static_cast<int>(state.iterations())) state.SkipWithError("a message was not retrieved");
  state.SetItemsProcessed(retrieved);
  state.counters["cpu_s_per_1000"] = benchmark::Counter(cpu, benchmark::Counter::kAvgIterations);
}
BENCHMARK(BM_Many20KB)->Name("many_20KB")->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(1)->Repetitions(5);

void BM_One20MB(benchmark::State& state) {
  static Mailbox box(1, 20 * 1024 * 1024);
  TVeraDudurur2000 message(nullptr);
  TREZ2000 client(nullptr);
  box.Bind(client);
  if (state.range(0)) client.SetMailMessage(&message);
  if (!OpenSession(client, state)) return;
  const int64_t size = client.MessageSizes().at(1);
  for (auto _ : state)
    if (!client.RetrieveMessage(1)) state.SkipWithError("RETR failed");
  client.Quit();
  state.SetBytesProcessed(size * static_cast<int64_t>(state.iterations()));
}
BENCHMARK(BM_One20MB)->Name("one_20MB")->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3)->Repetitions(3);

void BM_Peak100MB(benchmark::State& state) {
  static Mailbox box(1, 100 * 1024 * 1024);
  TVeraDudurur2000 message(nullptr);
  TREZ2000 client(nullptr);
  box.Bind(client);
  client.SetMailMessage(&message);
  double peak = 0;
  double size = 0;
  for (auto _ : state) {
    ResetPeakRss();
    if (!OpenSession(client, state)) return;
    size = client.MessageSizes().at(1);
    if (!client.RetrieveMessage(1)) state.SkipWithError("RETR failed");
    peak = PeakRss();
    client.Quit();
    message.Reset();
  }
  state.counters["peak_MB"] = peak / 1e6;
  state.counters["peak_per_size"] = size > 0 ? peak / size : 0;
  state.SetBytesProcessed(static_cast<int64_t>(size) * static_cast<int64_t>(state.iterations()));
}
BENCHMARK(BM_Peak100MB)->Name("peak_100MB")->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(1)->Repetitions(3);

void BM_EndlessRetr(benchmark::State& state) {
  const int listed = 1 << 20;
  double growth = 0;
  double flooded = 0;
  for (auto _ : state) {
    VizuTest::LoopbackScriptServer server;
    server.send("+OK ready\r\n").reply("+OK\r\n").reply("+OK\r\n");
    server.reply("+OK 1 message\r\n1 " + std::to_string(listed) + "\r\n.\r\n");
    server.reply("+OK\r\n").flood("Subject: the same line once more, and again and again\r\n");
    server.start();
    TREZ2000 client(nullptr);
    client.SetHost("127.0.0.1");
    client.SetPort(server.port());
    client.SetUserName("bench");
    client.SetPassword("bench");
    client.SetTimeOut(60);
    if (!OpenSession(client, state)) return;
    ResetPeakRss();
    const double before = PeakRss();
    const bool retrieved = client.RetrieveMessage(1);
    growth = PeakRss() - before;
    if (retrieved || client.FailureReason().rfind("reply too long: ", 0) != 0)
      state.SkipWithError(("the endless reply did not end in its limit: " + client.FailureReason()).c_str());
    server.waitScriptDone(10000);
    flooded = static_cast<double>(server.flooded());
  }
  const double limit = 2.0 * listed + (16 << 20);
  state.counters["peak_growth_MB"] = growth / 1e6;
  state.counters["limit_MB"] = limit / 1e6;
  state.counters["growth_per_limit"] = growth / limit;
  state.counters["server_sent_MB"] = flooded / 1e6;
}
BENCHMARK(BM_EndlessRetr)->Name("endless_RETR")->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(1)->Repetitions(3);

}  // namespace

int main(int argc, char** argv) { return VizuBench::RunWithApplication(argc, argv); }
