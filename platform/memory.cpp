#include "platform/memory.h"

#include <sys/mman.h>

#include <cstdint>

namespace Vizu2000 {

void PreferHugePages(const void* data, std::size_t size) {
  constexpr std::uintptr_t kHuge = std::uintptr_t{2} << 20;
  if (size < 2 * kHuge) return;
  // Only whole huge pages inside the buffer: the advice applies to the
  // pages, and neighbouring memory is someone else's.
  auto begin = reinterpret_cast<std::uintptr_t>(data);
  std::uintptr_t first = (begin + kHuge - 1) & ~(kHuge - 1);
  std::uintptr_t last = (begin + size) & ~(kHuge - 1);
  if (last <= first) return;
  ::madvise(reinterpret_cast<void*>(first), last - first, MADV_HUGEPAGE);
}

void ReserveLarge(std::string& text, std::size_t capacity) {
  if (capacity <= text.capacity()) return;
  text.reserve(capacity);
  PreferHugePages(text.data(), text.capacity());
}

std::string CopyLarge(std::string_view bytes) {
  std::string copy;
  ReserveLarge(copy, bytes.size());
  copy.append(bytes);
  return copy;
}

}  // namespace Vizu2000
