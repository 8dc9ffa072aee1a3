#pragma once
// Random values. RandomUInt32 is the library's one pseudo-random generator,
// seeded once from the clock on first use: for choices nobody needs to
// guess. What must not be guessed (boundaries, message ids) comes from the
// operating system instead.
#include <cstddef>
#include <cstdint>
#include <string>

namespace Vizu2000 {

// Thread-safe.
std::uint32_t RandomUInt32();

// Fills out with size bytes from the operating system's random source
// (getrandom, or /dev/urandom where the kernel lacks it). Thread-safe.
// Raises EVizuError only when the system gives no random bytes at all.
void SystemRandomBytes(void* out, std::size_t size);

// `bytes` bytes from SystemRandomBytes as 2 * bytes upper-case hexadecimal
// digits: an identifier nobody can predict, safe in any header field.
std::string RandomToken(std::size_t bytes);

}  // namespace Vizu2000
