#pragma once
// Clocks and event pumping shared by the tests that measure waits.
#include <sys/resource.h>

#include <chrono>
#include <functional>

#include "platform/event_pump.h"

namespace VizuTest {

using Clock = std::chrono::steady_clock;

inline double Seconds(Clock::time_point since) {
  return std::chrono::duration<double>(Clock::now() - since).count();
}

// CPU time (user + system) this process has used so far.
inline double CpuSeconds() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
         static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// Handles events for ms milliseconds, blocking between them.
inline void PumpFor(int ms) {
  const auto end = Clock::now() + std::chrono::milliseconds(ms);
  while (Clock::now() < end) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now());
    Vizu2000::WaitForEvents(static_cast<int>(left.count()) + 1);
  }
}

// Handles events until the condition holds (true) or ms have passed (false).
inline bool PumpUntil(const std::function<bool()>& done, int ms = 5000) {
  const auto end = Clock::now() + std::chrono::milliseconds(ms);
  while (!done()) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now());
    if (left.count() <= 0) return false;
    Vizu2000::WaitForEvents(static_cast<int>(left.count()) + 1);
  }
  return true;
}

}  // namespace VizuTest
