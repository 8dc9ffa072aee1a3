#pragma once
// The peak resident set of this process, as the kernel keeps it.
#include <fstream>
#include <string>

namespace VizuBench {

// Peak resident set size in bytes since the last ResetPeakRss().
inline double PeakRss() {
  std::ifstream status("/proc/self/status");
  std::string key;
  while (status >> key) {
    if (key == "VmHWM:") {
      double kb = 0;
      status >> kb;
      return kb * 1024;
    }
    status.ignore(1 << 16, '\n');
  }
  return 0;
}

// Lowers the peak to the current resident set, so one case is measured
// without what the cases before it used.
inline void ResetPeakRss() { std::ofstream("/proc/self/clear_refs") << "5"; }

}  // namespace VizuBench
