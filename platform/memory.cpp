#include "platform/memory.h"

#include <malloc.h>
#include <sys/mman.h>

#include <array>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <new>

namespace Vizu2000 {

namespace {

constexpr std::uintptr_t kHuge = std::uintptr_t{2} << 20;
constexpr std::size_t kSmall = 4096;
// Blocks from this size on are mapped on their own; below it the heap is
// cheaper than a system call, and there are few small pages to fault.
constexpr std::size_t kMapFrom = 4u << 20;

// Freed mappings kept for the next blocks. A program that parses one
// message after another would otherwise have the kernel fault in and zero
// every page of every message anew, which costs as much as the parse; the
// heap keeps freed memory for the same reason. A kept mapping serves a
// request that needs most of it, and the cache holds enough for a large
// message and its decoded content; a request that none fits empties it, and
// so does TrimMemoryCache once the work that wanted the reuse is over.
class TMappingCache {
 public:
  // A kept mapping of at least `size` bytes, and at most a quarter more,
  // or null; `size` becomes the mapping's size.
  void* Take(std::size_t& size) {
    std::lock_guard<std::mutex> lock(mutex_);
    TSlot* best = nullptr;
    for (TSlot& slot : slots_) {
      if (slot.at && slot.size >= size && slot.size - size <= size / 4 &&
          (!best || slot.size < best->size))
        best = &slot;
    }
    if (!best) {
      // What is kept did not fit: it goes, rather than sit beside the new
      // mapping and raise the peak.
      ReleaseLocked();
      return nullptr;
    }
    void* at = best->at;
    size = best->size;
    bytes_ -= best->size;
    *best = {};
    return at;
  }

  // False when there is no room; the caller unmaps the mapping.
  bool Keep(void* at, std::size_t size) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (bytes_ + size > kBytes) return false;
    for (TSlot& slot : slots_) {
      if (!slot.at) {
        slot = {at, size};
        bytes_ += size;
        return true;
      }
    }
    return false;
  }

  void Release() {
    std::lock_guard<std::mutex> lock(mutex_);
    ReleaseLocked();
  }

  std::size_t Bytes() {
    std::lock_guard<std::mutex> lock(mutex_);
    return bytes_;
  }

 private:
  void ReleaseLocked() {
    for (TSlot& slot : slots_) {
      if (slot.at) ::munmap(slot.at, slot.size);
      slot = {};
    }
    bytes_ = 0;
  }

  static constexpr std::size_t kBytes = std::size_t{256} << 20;
  struct TSlot {
    void* at = nullptr;
    std::size_t size = 0;
  };
  std::mutex mutex_;
  std::array<TSlot, 16> slots_{};
  std::size_t bytes_ = 0;
};

TMappingCache& Mappings() {
  // Never destroyed: blocks may be freed by other static destructors.
  static auto* cache = new TMappingCache;
  return *cache;
}

}  // namespace

void PreferHugePages(const void* data, std::size_t size) {
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

TByteBlock::TByteBlock(std::size_t capacity) : capacity_(capacity) {
  if (capacity < kMapFrom) {
    data_ = new char[capacity == 0 ? 1 : capacity];
    return;
  }
  // Mapped with a huge page to spare, then trimmed to start on a huge page
  // boundary. The end is rounded to a small page only: a huge page for the
  // tail would be up to 2 MB resident that the block never uses, and its
  // small pages fault once, while the mapping is new.
  std::size_t size = (capacity + kSmall - 1) & ~(kSmall - 1);
  mappingSize_ = size;
  if ((mapping_ = Mappings().Take(mappingSize_))) {
    data_ = static_cast<char*>(mapping_);
    return;
  }
  void* raw = ::mmap(nullptr, size + kHuge, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (raw == MAP_FAILED) throw std::bad_alloc();
  auto begin = reinterpret_cast<std::uintptr_t>(raw);
  std::uintptr_t aligned = (begin + kHuge - 1) & ~(kHuge - 1);
  if (aligned > begin) ::munmap(raw, aligned - begin);
  std::uintptr_t tail = aligned + size;
  if (begin + size + kHuge > tail) ::munmap(reinterpret_cast<void*>(tail), begin + size + kHuge - tail);
  mapping_ = reinterpret_cast<void*>(aligned);
  ::madvise(mapping_, mappingSize_, MADV_HUGEPAGE);
  data_ = static_cast<char*>(mapping_);
}

TByteBlock::TByteBlock(std::string text)
    : text_(std::move(text)), data_(text_.data()), capacity_(text_.size()) {}

TByteBlock::~TByteBlock() {
  if (mapping_) {
    if (!Mappings().Keep(mapping_, mappingSize_)) ::munmap(mapping_, mappingSize_);
  } else if (text_.data() != data_) {
    delete[] data_;
  }
}

std::size_t MemoryCacheBytes() { return Mappings().Bytes(); }

void TrimMemoryCache() {
  Mappings().Release();
  // The heap keeps freed chunks of middle-sized buffers (decoded parts, a
  // reply being read) for reuse just as the cache does; after a burst of
  // work they are as idle as the mappings.
  ::malloc_trim(0);
}

TSharedBlock CopyToBlock(std::string_view bytes) {
  auto block = std::make_shared<TByteBlock>(bytes.size());
  if (!bytes.empty()) std::memcpy(block->Data(), bytes.data(), bytes.size());
  return block;
}

}  // namespace Vizu2000
