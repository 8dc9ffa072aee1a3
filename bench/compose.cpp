// Composing: a 100 MB file attached to a text message, rebuilt and saved to
// a file (bytes of the attached file per second, and the peak resident set
// against the file's size); and many small attachments added and taken off
// again by name or by position, where the cost per operation must not grow
// with their number (compare per_op of 100 and 1000).
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "bench/bench_support.h"
#include "mail/message/mail_message.h"
#include "platform/streams.h"

using namespace Vizu2000;

namespace {

constexpr std::int64_t kBigFileBytes = 100'000'000;
constexpr size_t kSmallBytes = 1024;

std::string TempName(const char* what) {
  return "/tmp/vizu_bench_compose_" + std::to_string(getpid()) + "_" + what;
}

// Removes its file when the program ends.
struct TTempFile {
  std::string name;
  explicit TTempFile(std::string n) : name(std::move(n)) {}
  ~TTempFile() { std::remove(name.c_str()); }
};

// Random bytes, written in pieces so that making the file does not raise
// the peak resident set the benchmark reports.
const std::string& BigFile() {
  static const TTempFile file(TempName("input.bin"));
  static const bool written = [] {
    TFileStream out(file.name, fmCreate);
    std::string piece(1 << 20, '\0');
    std::uint64_t seed = 0x9e3779b97f4a7c15u;
    for (std::int64_t left = kBigFileBytes; left > 0;) {
      for (char& c : piece) {
        seed ^= seed << 13;
        seed ^= seed >> 7;
        seed ^= seed << 17;
        c = static_cast<char>(seed >> 24);
      }
      auto n = static_cast<size_t>(std::min<std::int64_t>(left, static_cast<std::int64_t>(piece.size())));
      out.WriteBuffer(piece.data(), n);
      left -= static_cast<std::int64_t>(n);
    }
    return true;
  }();
  (void)written;
  return file.name;
}

void BM_AttachBigFile(benchmark::State& state) {
  const std::string& input = BigFile();
  const TTempFile output(TempName("output.eml"));
  VizuBench::ResetPeakRss();
  const double before = VizuBench::PeakRss();
  std::int64_t written = 0;
  // Wall seconds of each step, so a miss can be put down to one of them.
  double attach = 0, rebuild = 0, save = 0;
  using Clock = std::chrono::steady_clock;
  auto since = [](Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
  };
  for (auto _ : state) {
    TVeraDudurur2000 message(nullptr);
    message.SetTextPlain("The file you asked for is attached.\r\n");
    auto start = Clock::now();
    message.AttachFile(input, "", etBase64, false);
    attach += since(start);
    start = Clock::now();
    message.RebuildBody();
    rebuild += since(start);
    start = Clock::now();
    TFileStream out(output.name, fmCreate);
    message.SaveToStream(out);
    written = out.Size();
    save += since(start);
  }
  const double peak = VizuBench::PeakRss();
  // Base64 alone makes the message a third bigger than the file.
  if (written < kBigFileBytes / 3 * 4) state.SkipWithError("the saved message is too short");
  state.SetBytesProcessed(state.iterations() * kBigFileBytes);
  state.counters["peak_rss_MB"] = peak / 1e6;
  state.counters["peak_per_file"] = peak / static_cast<double>(kBigFileBytes);
  state.counters["growth_per_file"] = (peak - before) / static_cast<double>(kBigFileBytes);
  state.counters["attach_s"] = benchmark::Counter(attach, benchmark::Counter::kAvgIterations);
  state.counters["rebuild_s"] = benchmark::Counter(rebuild, benchmark::Counter::kAvgIterations);
  state.counters["save_s"] = benchmark::Counter(save, benchmark::Counter::kAvgIterations);
}
BENCHMARK(BM_AttachBigFile)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Iterations(1)
    ->Repetitions(5)
    ->ReportAggregatesOnly(true);

enum TDetachOrder { doByNameInOrder, doByNameReversed, doByIndexZero };

// N attachments of about 1 KB under distinct names on a text message, then
// all of them detached; per_op is the time of one of the 2N operations.
void AttachThenDetach(benchmark::State& state, TDetachOrder order) {
  const int count = static_cast<int>(state.range(0));
  const std::string content(kSmallBytes, 'q');
  std::vector<std::string> names;
  for (int i = 0; i < count; ++i) names.push_back("attachment_" + std::to_string(i) + ".bin");
  int left = 0;
  for (auto _ : state) {
    TVeraDudurur2000 message(nullptr);
    message.SetTextPlain("Many small files.\r\n");
    for (const std::string& name : names) message.AttachString(content, name, "", etBase64, false);
    switch (order) {
      case doByNameInOrder:
        for (const std::string& name : names) message.DetachFile(name);
        break;
      case doByNameReversed:
        for (auto it = names.rbegin(); it != names.rend(); ++it) message.DetachFile(*it);
        break;
      case doByIndexZero:
        for (int i = 0; i < count; ++i) message.DetachFileIndex(0);
        break;
    }
    left = message.AttachList().Count();
  }
  if (left != 0) state.SkipWithError("attachments were left over");
  state.counters["per_op"] = benchmark::Counter(
      2.0 * count, benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

void BM_DetachByName(benchmark::State& state) { AttachThenDetach(state, doByNameInOrder); }
void BM_DetachByNameReversed(benchmark::State& state) { AttachThenDetach(state, doByNameReversed); }
void BM_DetachIndexZero(benchmark::State& state) { AttachThenDetach(state, doByIndexZero); }

void SmallCounts(benchmark::internal::Benchmark* b) {
  b->Arg(100)->Arg(1000)->Unit(benchmark::kMillisecond)->Repetitions(9)->ReportAggregatesOnly(true);
}
BENCHMARK(BM_DetachByName)->Apply(SmallCounts);
BENCHMARK(BM_DetachByNameReversed)->Apply(SmallCounts);
BENCHMARK(BM_DetachIndexZero)->Apply(SmallCounts);

}  // namespace

BENCHMARK_MAIN();
