#include "mail/mime/codec_paths.h"

#include "mail/mime/codec_shared.h"

namespace Vizu2000 {

namespace {

bool DetectVector() {
#if VIZU_CODEC_AVX2
  // Also safe when called before the library's own constructors have run.
  __builtin_cpu_init();
  return __builtin_cpu_supports("avx2");
#else
  return false;
#endif
}

bool DetectWide() {
#if VIZU_CODEC_AVX2
  __builtin_cpu_init();
  return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("avx512bw") &&
         __builtin_cpu_supports("avx512vbmi2");
#else
  return false;
#endif
}

}  // namespace

// All start false (zero-initialised) until this file's initialisers run,
// so a codec called earlier simply takes the scalar path.
const bool kVectorAvailable = DetectVector();
const bool kWideAvailable = DetectWide();
bool gUseVector = kVectorAvailable;
bool gUseWide = kWideAvailable;

bool CodecVectorAvailable() { return kVectorAvailable; }

bool CodecWideAvailable() { return kWideAvailable; }

bool VectorPathSelected() { return gUseVector; }

TCodecPath SetCodecPath(TCodecPath path) {
  TCodecPath before = gUseWide ? TCodecPath::Wide : gUseVector ? TCodecPath::Vector : TCodecPath::Scalar;
  gUseVector = path != TCodecPath::Scalar && kVectorAvailable;
  gUseWide = path == TCodecPath::Wide && kWideAvailable;
  return before;
}

}  // namespace Vizu2000
