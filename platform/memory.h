#pragma once
// Large buffers. On a virtual machine a fault per 4 KiB page can cost more
// than the copy that touches it: filling a fresh 100 MB buffer took 300 ms
// with small pages and 12 ms with huge ones on the machines we run on.
#include <cstddef>
#include <memory>
#include <string>
#include <string_view>

namespace Vizu2000 {

// Asks the system to back the buffer with huge pages where it is first
// written. Buffers below a few megabytes, and systems that say no, are left
// as they are; nothing about the buffer's content or lifetime changes.
void PreferHugePages(const void* data, std::size_t size);

// text.reserve(capacity), preferring huge pages for what is reserved.
void ReserveLarge(std::string& text, std::size_t capacity);

// A copy of the bytes in a buffer that prefers huge pages before the copy
// first touches it.
std::string CopyLarge(std::string_view bytes);

// Bytes written once by whoever makes the block and only read after that,
// so that many streams can share them: a parsed message's text is one
// block, and the bodies of its parts are pieces of it rather than copies.
class TByteBlock {
 public:
  // Room for `capacity` bytes, left unwritten. A large block gets a mapping
  // of its own that starts on a huge page: a std::string's buffer starts
  // anywhere, and the small pages before its first huge page cost a fault
  // each.
  explicit TByteBlock(std::size_t capacity);
  // Takes the text's bytes over without copying them.
  explicit TByteBlock(std::string text);
  ~TByteBlock();
  TByteBlock(const TByteBlock&) = delete;
  TByteBlock& operator=(const TByteBlock&) = delete;

  char* Data() { return data_; }
  const char* Data() const { return data_; }
  std::size_t Capacity() const { return capacity_; }

 private:
  std::string text_;
  char* data_ = nullptr;
  std::size_t capacity_ = 0;
  void* mapping_ = nullptr;
  std::size_t mappingSize_ = 0;
};

using TSharedBlock = std::shared_ptr<const TByteBlock>;

// A block holding a copy of the bytes.
TSharedBlock CopyToBlock(std::string_view bytes);

// Freed large blocks are kept for the next ones, and the heap keeps freed
// memory too; that reuse is what makes message after message fast, and it
// is worth nothing to a program about to sit idle. TrimMemoryCache gives
// all of it back to the system; a program calls it when a burst of work
// (a poll, a batch of messages) is over. Blocks in use are not touched.
void TrimMemoryCache();

// The bytes of freed blocks kept for reuse.
std::size_t MemoryCacheBytes();

}  // namespace Vizu2000
