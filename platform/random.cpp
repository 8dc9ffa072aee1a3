#include "platform/random.h"

#include <chrono>
#include <mutex>
#include <random>

namespace Vizu2000 {

std::uint32_t RandomUInt32() {
  static std::mutex mutex;
  static std::mt19937 generator = [] {
    // Two clocks, so two processes started in the same tick still differ a
    // little more; the address of a local adds the process's layout.
    auto wall = std::chrono::system_clock::now().time_since_epoch().count();
    auto mono = std::chrono::steady_clock::now().time_since_epoch().count();
    int local = 0;
    std::seed_seq seed{static_cast<std::uint32_t>(wall), static_cast<std::uint32_t>(wall >> 32),
                       static_cast<std::uint32_t>(mono), static_cast<std::uint32_t>(mono >> 32),
                       static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(&local))};
    return std::mt19937(seed);
  }();
  std::lock_guard<std::mutex> lock(mutex);
  return static_cast<std::uint32_t>(generator());
}

}  // namespace Vizu2000
