#pragma once
// What the benchmarks share: the CPU time and peak resident set of their
// own process, and a main that gives the library its application object.
#include <benchmark/benchmark.h>
#include <sys/resource.h>

#include <QCoreApplication>
#include <fstream>
#include <string>

namespace VizuBench {

// User and system CPU seconds this process has used so far.
inline double CpuSeconds() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_utime.tv_sec + usage.ru_stime.tv_sec + (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// A "<key> <n> kB" line of /proc/self/status, in KB; 0 when absent.
inline long ProcStatusKb(const std::string& key) {
  std::ifstream status("/proc/self/status");
  std::string name;
  while (status >> name) {
    if (name == key) {
      long kb = 0;
      status >> kb;
      return kb;
    }
    status.ignore(1 << 16, '\n');
  }
  return 0;
}

// Peak resident set size in bytes since the last ResetPeakRss().
inline double PeakRss() { return static_cast<double>(ProcStatusKb("VmHWM:")) * 1024; }

inline void ResetPeakRss() { std::ofstream("/proc/self/clear_refs") << "5"; }

// Runs the registered benchmarks with a QCoreApplication in place, as the
// library's timers and sockets need one.
inline int RunWithApplication(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}

}  // namespace VizuBench
