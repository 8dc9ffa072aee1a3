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
//  - hostile_*: a scripted server sends a listing made to cost memory; how
//    much the peak resident set grows while the client reads it, what the
//    server sent, and what the client kept:
//      CAPA_endless     capability lines without end, before STLS
//      LIST_10M_empty   a LIST reply of ten million empty lines
//      LIST_10M_same    a LIST reply naming message 1 ten million times
//      UIDL_10M_unknown one listed message, then a UIDL reply with ten
//                       million ids for numbers LIST never named
// Run with --benchmark_repetitions=N for medians (each case already repeats).
#include <benchmark/benchmark.h>

#include <malloc.h>

#include <cstdio>
#include <functional>
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

// Logs in to a scripted server (greeting, USER, PASS and the LIST reply
// given; with an empty one, Connect alone), then measures how much the peak
// resident set grows while `hostile` runs. Memory the heap kept from earlier
// cases is handed back first, so it cannot hide the growth.
void MeasureHostile(benchmark::State& state, const std::function<void(VizuTest::LoopbackScriptServer&)>& script,
                    bool stls, const std::function<bool(TREZ2000&)>& hostile,
                    const std::function<double(TREZ2000&)>& kept) {
  double growth = 0, sent = 0, keptItems = 0;
  for (auto _ : state) {
    VizuTest::LoopbackScriptServer server;
    script(server);
    server.start();
    TREZ2000 client(nullptr);
    client.SetHost("127.0.0.1");
    client.SetPort(server.port());
    client.SetUserName("bench");
    client.SetPassword("bench");
    client.SetTimeOut(60);
    if (stls) client.SetTLSMode(tmSTLS);
    malloc_trim(0);
    ResetPeakRss();
    const double before = PeakRss();
    bool done = false;
    try {
      done = hostile(client);
    } catch (const std::exception& error) {
      std::fprintf(stderr, "raised: %s\n", error.what());
    }
    growth = PeakRss() - before;
    keptItems = kept(client);
    std::fprintf(stderr, "  %s; %s\n", done ? "completed" : "failed", client.FailureReason().c_str());
    client.Abort();
    server.waitScriptDone(10000);
    server.stop();
    sent = static_cast<double>(server.flooded());
  }
  state.counters["peak_growth_MB"] = growth / 1e6;
  state.counters["server_sent_MB"] = sent / 1e6;
  state.counters["kept"] = keptItems;
}

void LoginScript(VizuTest::LoopbackScriptServer& server) {
  server.send("+OK ready\r\n").reply("+OK\r\n").reply("+OK\r\n");
}

bool ConnectAndLogin(TREZ2000& client) { return client.Connect() && client.Login(); }

double ListedCount(TREZ2000& client) { return static_cast<double>(client.ListedNumbers().size()); }

void BM_HostileCapa(benchmark::State& state) {
  MeasureHostile(
      state,
      [](VizuTest::LoopbackScriptServer& server) {
        server.send("+OK ready\r\n").reply("+OK\r\n").flood("X-JUNK a capability nobody asked for\r\n");
      },
      true, [](TREZ2000& client) { return client.Connect(); }, [](TREZ2000&) { return 0.0; });
}
BENCHMARK(BM_HostileCapa)->Name("hostile_CAPA_endless")->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(1);

void BM_HostileListEmpty(benchmark::State& state) {
  MeasureHostile(
      state,
      [](VizuTest::LoopbackScriptServer& server) {
        LoginScript(server);
        server.expectLine().send("+OK\r\n").flood("\r\n", 20000000).send(".\r\n");
      },
      false, ConnectAndLogin, ListedCount);
}
BENCHMARK(BM_HostileListEmpty)->Name("hostile_LIST_10M_empty")->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(1);

void BM_HostileListSame(benchmark::State& state) {
  MeasureHostile(
      state,
      [](VizuTest::LoopbackScriptServer& server) {
        LoginScript(server);
        server.expectLine().send("+OK\r\n").flood("1 1\r\n", 40000000).send(".\r\n");
      },
      false, ConnectAndLogin, ListedCount);
}
BENCHMARK(BM_HostileListSame)->Name("hostile_LIST_10M_same")->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(1);

void BM_HostileUidlUnknown(benchmark::State& state) {
  TUniqueIds ids;
  MeasureHostile(
      state,
      [](VizuTest::LoopbackScriptServer& server) {
        LoginScript(server);
        server.reply("+OK\r\n1 100\r\n.\r\n");
        int next = 2;
        server.expectLine().send("+OK\r\n").stream([next](std::string& chunk) mutable {
          while (chunk.size() < 60000 && next <= 10000001)
            chunk += std::to_string(next) + " uid-" + std::to_string(next) + "\r\n", ++next;
          return next <= 10000001;
        });
        server.send(".\r\n");
      },
      false,
      [&ids](TREZ2000& client) {
        if (!ConnectAndLogin(client)) return false;
        malloc_trim(0);
        ResetPeakRss();
        return client.GetUIDLs(ids);
      },
      [&ids](TREZ2000&) { return static_cast<double>(ids.size()); });
}
BENCHMARK(BM_HostileUidlUnknown)->Name("hostile_UIDL_10M_unknown")->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(1);

}  // namespace

int main(int argc, char** argv) { return VizuBench::RunWithApplication(argc, argv); }
