#pragma once
// Internal to the library, its tests and its fuzzer. The hot codecs and
// the parser's line scan have a portable scalar path and, on x86-64
// processors with AVX2, a vector path chosen at run time. All paths must
// give the same bytes; tests and the fuzzer switch paths to compare them on
// the same input.

namespace Vizu2000 {

// Wide is the vector path with AVX-512 (byte compress) where a codec has
// such a form; the others take their AVX2 form on it.
enum class TCodecPath { Scalar, Vector, Wide };

// True when this processor can take the vector path.
bool CodecVectorAvailable();
// True when it can also take the wide path.
bool CodecWideAvailable();
// Selects the path for later calls and returns the one in use before. Wide
// falls back to vector and vector to scalar where they are not available;
// the fastest available is in use from the start. Not thread-safe: meant
// for tests and fuzzing, on one thread.
TCodecPath SetCodecPath(TCodecPath path);
// True when the vector path is selected (and available).
bool VectorPathSelected();

}  // namespace Vizu2000
