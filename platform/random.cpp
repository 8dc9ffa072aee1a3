#include "platform/random.h"

#include <fcntl.h>
#include <sys/random.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <mutex>
#include <random>

#include "platform/error.h"

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

namespace {

bool ReadUrandom(unsigned char* out, std::size_t size) {
  int fd = open("/dev/urandom", O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  std::size_t done = 0;
  while (done < size) {
    ssize_t n = read(fd, out + done, size - done);
    if (n > 0) {
      done += static_cast<std::size_t>(n);
    } else if (n < 0 && errno == EINTR) {
      continue;
    } else {
      break;
    }
  }
  close(fd);
  return done == size;
}

}  // namespace

void SystemRandomBytes(void* out, std::size_t size) {
  auto* bytes = static_cast<unsigned char*>(out);
  std::size_t done = 0;
  while (done < size) {
    // Blocks only until the kernel's pool is first ready, early in boot.
    ssize_t n = getrandom(bytes + done, size - done, 0);
    if (n > 0) {
      done += static_cast<std::size_t>(n);
    } else if (n < 0 && errno == EINTR) {
      continue;
    } else if (n < 0 && errno == ENOSYS && ReadUrandom(bytes + done, size - done)) {
      return;
    } else {
      throw EVizuError("The system gave no random bytes");
    }
  }
}

std::string RandomToken(std::size_t bytes) {
  static const char kDigits[] = "0123456789ABCDEF";
  std::string raw(bytes, '\0');
  SystemRandomBytes(raw.data(), raw.size());
  std::string text;
  text.reserve(2 * bytes);
  for (unsigned char b : raw) {
    text.push_back(kDigits[b >> 4]);
    text.push_back(kDigits[b & 15]);
  }
  return text;
}

}  // namespace Vizu2000
