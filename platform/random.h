#pragma once
// The library's one pseudo-random generator, seeded once from the clock on
// first use. Good enough for boundaries and message ids; not for secrets.
#include <cstdint>

namespace Vizu2000 {

// Thread-safe.
std::uint32_t RandomUInt32();

}  // namespace Vizu2000
