// Reading mail dates: 100000 varied texts per iteration.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <string>
#include <vector>

#include "mail/mime/mail_dates.h"

using namespace Vizu2000;

namespace {

std::vector<std::string> MakeDates(size_t count) {
  static const char* kDayNames[] = {"Sun, ", "Mon, ", "Tue, ", "Wed, ", "Thu, ", "Fri, ", "Sat, ", ""};
  static const char* kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                  "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  static const char* kZones[] = {"+0200", "-0500", "GMT", "+0000", "PDT", "-0330 (NST)", "UT",
                                 "+0100 (CET)"};
  std::vector<std::string> dates;
  dates.reserve(count);
  unsigned seed = 12345;
  auto next = [&seed](unsigned bound) {
    seed = seed * 1103515245u + 12345u;
    return (seed >> 16) % bound;
  };
  char buffer[96];
  for (size_t i = 0; i < count; ++i) {
    unsigned year = 1970 + next(60);
    if (next(8) == 0) year %= 100;
    bool seconds = next(5) != 0;
    int n = std::snprintf(buffer, sizeof buffer, "%s%s%u %s %u %02u:%02u%s%02u %s",
                          kDayNames[next(8)], next(3) == 0 ? " " : "", 1 + next(28),
                          kMonths[next(12)], year, next(24), next(60), seconds ? ":" : "",
                          seconds ? next(60) : 0u, kZones[next(8)]);
    if (!seconds) {
      // Drop the seconds digits written for the no-seconds form.
      std::string text(buffer, static_cast<size_t>(n));
      size_t colon = text.find(':');
      text.erase(colon + 3, 2);
      dates.push_back(std::move(text));
    } else {
      dates.emplace_back(buffer, static_cast<size_t>(n));
    }
  }
  return dates;
}

void BM_MailDateToDateTime(benchmark::State& state) {
  const std::vector<std::string> dates = MakeDates(100000);
  for (auto _ : state) {
    double sum = 0;
    for (const std::string& date : dates) sum += MailDateToDateTime(date);
    benchmark::DoNotOptimize(sum);
  }
  state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(dates.size()));
}
BENCHMARK(BM_MailDateToDateTime)->Unit(benchmark::kMillisecond);

void BM_DateTimeToMailDate(benchmark::State& state) {
  std::vector<double> values;
  for (const std::string& date : MakeDates(100000)) values.push_back(MailDateToDateTime(date));
  for (auto _ : state) {
    size_t length = 0;
    for (double value : values) length += DateTimeToMailDate(value).size();
    benchmark::DoNotOptimize(length);
  }
  state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(values.size()));
}
BENCHMARK(BM_DateTimeToMailDate)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
