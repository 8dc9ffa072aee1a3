#pragma once
// Internal to the library, its tests and its fuzzer. The hot codecs have a
// portable scalar path and, on x86-64 processors with AVX2, a vector path
// chosen at run time. Both must give the same bytes; tests and the fuzzer
// switch paths to compare them on the same input.

namespace Vizu2000 {

enum class TCodecPath { Scalar, Vector };

// True when this processor can take the vector path.
bool CodecVectorAvailable();
// Selects the path for later calls and returns the one in use before.
// Vector falls back to scalar where it is not available. Not thread-safe:
// meant for tests and fuzzing, on one thread.
TCodecPath SetCodecPath(TCodecPath path);

}  // namespace Vizu2000
