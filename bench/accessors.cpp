// Reading trace hops: GetReceived over a header of 50 Received fields, the
// whole set per iteration, with the heap allocations counted per hop read.
#include <benchmark/benchmark.h>

#include <atomic>
#include <cstdlib>
#include <new>
#include <string>

#include "mail/message/mail_message.h"

using namespace Vizu2000;

namespace {

std::atomic<long long> allocations{0};

constexpr int kHops = 50;

void FillHops(TVeraDudurur2000& message) {
  for (int i = 0; i < kHops; ++i) {
    const std::string n = std::to_string(i);
    message.Header().Add("Received: from relay" + n + ".example.net (relay" + n +
                         ".example.net [192.0.2." + n + "]) by mx" + n +
                         ".example.com (mailer 3.7; queue \"in\") with ESMTPS id 7A1C2" + n +
                         " for <user@example.com>; Wed, 12 Jun 2024 14:03:11 +0200 (CEST)");
    if (i % 10 == 0) message.Header().Add("Received-SPF: pass (example.net: permitted) client-ip=192.0.2.1");
  }
  message.Header().Add("From: \"Sender, A\" <a@example.org>");
  message.Header().Add("Subject: fifty hops");
}

void BM_GetReceivedFiftyHops(benchmark::State& state) {
  TVeraDudurur2000 message(nullptr);
  FillHops(message);
  if (message.GetReceivedCount() != kHops) state.SkipWithError("hop count");
  long long before = allocations.load();
  for (auto _ : state) {
    for (int i = 0; i < kHops; ++i) {
      TReceived hop = message.GetReceived(i);
      benchmark::DoNotOptimize(hop);
    }
  }
  const double reads = static_cast<double>(state.iterations()) * kHops;
  state.counters["allocs_per_hop"] = (allocations.load() - before) / reads;
  state.counters["hops"] = benchmark::Counter(reads, benchmark::Counter::kIsRate);
}
BENCHMARK(BM_GetReceivedFiftyHops);

void BM_GetReceivedCount(benchmark::State& state) {
  TVeraDudurur2000 message(nullptr);
  FillHops(message);
  for (auto _ : state) benchmark::DoNotOptimize(message.GetReceivedCount());
}
BENCHMARK(BM_GetReceivedCount);

}  // namespace

void* operator new(std::size_t size) {
  allocations.fetch_add(1, std::memory_order_relaxed);
  if (void* p = std::malloc(size ? size : 1)) return p;
  throw std::bad_alloc();
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }

BENCHMARK_MAIN();
