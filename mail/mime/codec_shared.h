#pragma once
// Internal to the codec units of mail/mime (base64, quoted-printable,
// uuencode, encoded words and the path choice): what more than one of them
// needs. Each vector function carries its own target attribute, so the
// library builds for any x86-64 processor and codec_paths.cpp picks the path
// at run time.
#include <string_view>

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#define VIZU_CODEC_AVX2 1
#include <immintrin.h>
#define VIZU_AVX2 __attribute__((target("avx2")))
#else
#define VIZU_CODEC_AVX2 0
#endif

namespace Vizu2000 {

// The path in use, set in codec_paths.cpp by the processor's features and
// by SetCodecPath. Hidden, so that a position-independent build reads them
// directly, as it would a unit's own variable, rather than through the
// global offset table.
extern bool gUseVector __attribute__((visibility("hidden")));
extern bool gUseWide __attribute__((visibility("hidden")));

inline const unsigned char* Bytes(std::string_view text) {
  return reinterpret_cast<const unsigned char*>(text.data());
}

}  // namespace Vizu2000
