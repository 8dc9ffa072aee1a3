#include "mail/message/dash_lines.h"

#include <cstdint>
#include <cstring>

#include "mail/mime/codec_paths.h"
#include "platform/text_chars.h"

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#define VIZU_DASH_AVX2 1
#include <immintrin.h>
#else
#define VIZU_DASH_AVX2 0
#endif

namespace Vizu2000 {

namespace {

// Copies at least this large go around the cache: the parser reads back only
// the headers and delimiter lines, and a copy this size would only push
// everything else out of it.
constexpr size_t kStreamFrom = 4u << 20;

class TNoter {
 public:
  TNoter(TDashLines& lines, size_t limit) : lines_(lines), limit_(limit) {}
  // Past the limit the list goes and Open() turns false; callers then
  // note nothing more.
  void Note(size_t at) {
    if (lines_.starts.size() < limit_) {
      lines_.starts.push_back(at);
      return;
    }
    lines_.complete = false;
    lines_.starts.clear();
    lines_.starts.shrink_to_fit();
  }
  bool Open() const { return lines_.complete; }

 private:
  TDashLines& lines_;
  size_t limit_;
};


// Dash lines starting in [from, text.size()), from >= 1; every '-' is a
// candidate, so a text without dashes costs one memchr pass.
void FindScalar(std::string_view text, size_t from, TNoter& noter) {
  const char* data = text.data();
  size_t size = text.size();
  size_t pos = from;
  while (pos + 1 < size && noter.Open()) {
    auto* dash = static_cast<const char*>(std::memchr(data + pos, '-', size - 1 - pos));
    if (!dash) return;
    size_t at = static_cast<size_t>(dash - data);
    if (data[at + 1] == '-' && IsLineBreak(data[at - 1])) {
      noter.Note(at);
      pos = at + 2;
    } else {
      pos = at + 1;
    }
  }
}

#if VIZU_DASH_AVX2
// Returns the offset where the scalar rules take over; every dash line
// starting in [1, that offset) has been noted and those bytes copied.
__attribute__((target("avx2"))) size_t FindVector(std::string_view text, char* copy,
                                                   TNoter& noter) {
  const char* in = text.data();
  size_t size = text.size();
  const __m256i lf = _mm256_set1_epi8('\n');
  const __m256i cr = _mm256_set1_epi8('\r');
  const __m256i dash = _mm256_set1_epi8('-');
  bool stream = copy && size >= kStreamFrom && reinterpret_cast<std::uintptr_t>(copy) % 32 == 0;
  size_t i = 0;
  // Step i looks at the breaks in [i, i+32) and the two bytes after each:
  // lines starting in [i+1, i+33).
  for (; i + 34 <= size; i += 32) {
    __m256i here = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(in + i));
    __m256i next = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(in + i + 1));
    __m256i after = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(in + i + 2));
    if (stream)
      _mm256_stream_si256(reinterpret_cast<__m256i*>(copy + i), here);
    else if (copy)
      _mm256_storeu_si256(reinterpret_cast<__m256i*>(copy + i), here);
    __m256i breaks = _mm256_or_si256(_mm256_cmpeq_epi8(here, lf), _mm256_cmpeq_epi8(here, cr));
    __m256i dashes = _mm256_and_si256(_mm256_cmpeq_epi8(next, dash), _mm256_cmpeq_epi8(after, dash));
    auto hits = static_cast<std::uint32_t>(_mm256_movemask_epi8(_mm256_and_si256(breaks, dashes)));
    while (hits && noter.Open()) {
      noter.Note(i + 1 + static_cast<size_t>(__builtin_ctz(hits)));
      hits &= hits - 1;
    }
    if (!noter.Open()) {
      i += 32;
      break;
    }
  }
  if (stream) _mm_sfence();
  // A step covers lines up to i+32, so the scalar rules go on from i+1.
  if (copy && i < size) std::memcpy(copy + i, in + i, size - i);
  return i + 1;
}
#endif

}  // namespace

size_t DashLineLimit(size_t textSize) { return 4096 + textSize / 256; }

TDashLines FindDashLines(std::string_view text, char* copy, size_t limit) {
  TDashLines lines;
  TNoter noter(lines, limit);
  if (text.size() >= 2 && text[0] == '-' && text[1] == '-') noter.Note(0);
  size_t from = 1;
#if VIZU_DASH_AVX2
  if (VectorPathSelected()) {
    from = FindVector(text, copy, noter);
    copy = nullptr;
  }
#endif
  if (copy && !text.empty()) std::memcpy(copy, text.data(), text.size());
  FindScalar(text, from, noter);
  return lines;
}

}  // namespace Vizu2000
