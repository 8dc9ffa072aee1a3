#include "mail/mime/codecs.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>

#include "mail/mime/codec_shared.h"
#include "platform/memory.h"

namespace Vizu2000 {

namespace {

constexpr char kHexDigits[] = "0123456789ABCDEF";

// Quoted-printable encoder byte classes.
enum : unsigned char { qpCopy, qpEscape, qpLineStart };

struct TQPEncodeTables {
  std::array<unsigned char, 256> body{};
  std::array<unsigned char, 256> header{};
  constexpr TQPEncodeTables() {
    for (int b = 0; b < 256; ++b) {
      bool escaped = b > 127 || b == '=';
      // RFC 2045 section 6.7 rule 4: CR and LF are written as they are
      // only as a CR LF line break; the special step tells which.
      body[b] = escaped ? qpEscape : (b == '\r' || b == '\n' ? qpLineStart : qpCopy);
      // A bare "?" could close the encoded word early ("?=" after it).
      header[b] = escaped || b <= 32 || b == '"' || b == '_' || b == '?' ? qpEscape : qpCopy;
    }
  }
};
constexpr TQPEncodeTables kQPEncode;

// Value of a quoted-printable hex digit; only upper-case letters count.
struct TQPHexTable {
  std::array<signed char, 256> value{};
  constexpr TQPHexTable() {
    for (int b = 0; b < 256; ++b) value[b] = -1;
    for (int d = 0; d < 10; ++d) value['0' + d] = static_cast<signed char>(d);
    for (int d = 0; d < 6; ++d) value['A' + d] = static_cast<signed char>(10 + d);
  }
};
constexpr TQPHexTable kQPHex;

// Body form (RFC 2045 section 6.7): a soft break once a line holds 72 or
// more characters, an escape kept whole before it.
constexpr unsigned kQPLineLimit = 72;

inline std::uint64_t Load64(const unsigned char* p) {
  std::uint64_t v;
  std::memcpy(&v, p, 8);
  return v;
}

// One flag bit per byte of x equal to 0 (exact for the first such byte,
// which is all the callers use).
inline std::uint64_t ZeroBytes(std::uint64_t x) {
  constexpr std::uint64_t kOnes = 0x0101010101010101ull;
  return (x - kOnes) & ~x & (kOnes << 7);
}

// Copies the plain bytes at the start of in (those the body form writes as
// they are), at most limit; returns how many. avail bytes may be read from
// in; up to 7 bytes past the count may be written to out.
inline size_t CopyQPPlainScalar(const unsigned char* in, size_t limit, size_t avail, char* out) {
  constexpr std::uint64_t kOnes = 0x0101010101010101ull;
  size_t k = 0;
  while (k < limit && avail - k >= 8) {
    std::uint64_t x = Load64(in + k);
    std::memcpy(out + k, &x, 8);
    std::uint64_t special = (x & (kOnes << 7)) | ZeroBytes(x ^ (kOnes * '=')) |
                            ZeroBytes(x ^ (kOnes * '\r')) | ZeroBytes(x ^ (kOnes * '\n'));
    if (special) return std::min(limit, k + static_cast<size_t>(__builtin_ctzll(special)) / 8);
    k += 8;
  }
  for (; k < limit; ++k) {
    if (kQPEncode.body[in[k]] != qpCopy) return k;
    out[k] = static_cast<char>(in[k]);
  }
  return limit;
}

inline char* EncodeQPEscape(unsigned char b, char* out) {
  out[0] = '=';
  out[1] = kHexDigits[b >> 4];
  out[2] = kHexDigits[b & 15];
  return out + 3;
}

// RFC 2045 section 6.7 rule 3: a blank must not end an encoded line, so a
// blank written just before a line break or the end of the text becomes
// its escape. out[-1] must be readable.
inline char* EscapeTrailingBlank(char* out) {
  char last = out[-1];
  if (last != ' ' && last != '\t') return out;
  return EncodeQPEscape(static_cast<unsigned char>(last), out - 1);
}

// The byte in[i] after a run of plain ones. A CR LF pair is a line break
// and starts a new line; any other CR or LF, like every byte that is not
// plain, is escaped (RFC 2045 section 6.7 rule 4), so the bytes come back
// exactly whatever a transport does to line ends. Advances i past what it
// took. out[-1] must be readable.
inline char* EncodeQPSpecial(const unsigned char* in, size_t& i, size_t n, char* out,
                             unsigned& column) {
  unsigned char b = in[i++];
  if (b == '\r' && i < n && in[i] == '\n') {
    ++i;
    if (column > 0) out = EscapeTrailingBlank(out);
    out[0] = '\r';
    out[1] = '\n';
    column = 0;
    return out + 2;
  }
  out = EncodeQPEscape(b, out);
  column += 3;
  if (column >= kQPLineLimit) {
    out[0] = '=';
    out[1] = '\r';
    out[2] = '\n';
    out += 3;
    column = 0;
  }
  return out;
}

inline char* QPSoftBreakIfFull(char* out, unsigned& column) {
  if (column < kQPLineLimit) return out;
  out[0] = '=';
  out[1] = '\r';
  out[2] = '\n';
  column = 0;
  return out + 3;
}

// After a run of plain bytes: the line is full (a soft break when more
// follows), or the byte that ended the run is written encoded. Shared by
// every path: they differ only in how they find the run.
inline char* AfterQPRun(const unsigned char* in, size_t& i, size_t n, size_t run, size_t limit,
                        unsigned& column, char* out) {
  out += run;
  i += run;
  column += static_cast<unsigned>(run);
  if (run == limit) return QPSoftBreakIfFull(out, column);
  return EncodeQPSpecial(in, i, n, out, column);
}

// Encodes in[i, end) of a text of n bytes in body form, and the LF of a CR LF
// that straddles end; i ends where the next call starts. column carries
// over from the previous call.
char* EncodeQPBodyScalar(const unsigned char* in, size_t& i, size_t end, size_t n, unsigned& column,
                         char* out) {
  while (i < end) {
    size_t limit = std::min<size_t>(kQPLineLimit - column, end - i);
    size_t run = CopyQPPlainScalar(in + i, limit, n - i, out);
    out = AfterQPRun(in, i, n, run, limit, column, out);
  }
  return out;
}

#if VIZU_CODEC_AVX2
constexpr size_t kQPVectorReach = kQPLineLimit + 32;

// As CopyQPPlainScalar, 32 bytes at a time; needs kQPVectorReach readable
// bytes and may write up to 31 bytes past the count.
VIZU_AVX2 inline size_t CopyQPPlainVector(const unsigned char* in, size_t limit, char* out) {
  const __m256i equals = _mm256_set1_epi8('=');
  const __m256i cr = _mm256_set1_epi8('\r');
  const __m256i lf = _mm256_set1_epi8('\n');
  size_t k = 0;
  do {
    __m256i x = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(in + k));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + k), x);
    // The sign bit marks bytes above 127 already.
    __m256i breaks = _mm256_or_si256(_mm256_cmpeq_epi8(x, cr), _mm256_cmpeq_epi8(x, lf));
    __m256i special = _mm256_or_si256(x, _mm256_or_si256(_mm256_cmpeq_epi8(x, equals), breaks));
    auto mask = static_cast<unsigned>(_mm256_movemask_epi8(special));
    if (mask) return std::min(limit, k + static_cast<size_t>(__builtin_ctz(mask)));
    k += 32;
  } while (k < limit);
  return limit;
}

VIZU_AVX2 char* EncodeQPBodyVector(const unsigned char* in, size_t& i, size_t end, size_t n,
                                   unsigned& column, char* out) {
  while (i < end) {
    size_t limit = std::min<size_t>(kQPLineLimit - column, end - i);
    size_t run = n - i >= kQPVectorReach ? CopyQPPlainVector(in + i, limit, out)
                                         : CopyQPPlainScalar(in + i, limit, n - i, out);
    out = AfterQPRun(in, i, n, run, limit, column, out);
  }
  return out;
}
#endif

// Decoding: copies the bytes before the next "=" (at most room of them)
// and returns how many; avail bytes may be read from in.
inline size_t CopyToEqualsScalar(const char* in, size_t avail, char* out, size_t room) {
  size_t span = std::min(avail, room);
  const void* found = std::memchr(in, '=', span);
  size_t run = found ? static_cast<size_t>(static_cast<const char*>(found) - in) : span;
  std::memcpy(out, in, run);
  return run;
}

// Decodes the "=" at in[i] with what follows it and returns the index after
// it. Escapes that name no byte are kept literally.
inline size_t DecodeQPEscape(const char* in, size_t i, size_t n, char*& out) {
  if (n - i < 3) {
    // A lone "=" at the very end is dropped; "=" and one character stay.
    if (n - i == 2) {
      out[0] = '=';
      out[1] = in[i + 1];
      out += 2;
    }
    return n;
  }
  auto a = static_cast<unsigned char>(in[i + 1]);
  auto b = static_cast<unsigned char>(in[i + 2]);
  int high = kQPHex.value[a], low = kQPHex.value[b];
  // Escapes and CR LF soft breaks come mixed in any order, so both take one
  // branch-free step rather than a guess between them.
  bool hex = (high | low) >= 0;
  if (hex || (a == '\r' && b == '\n')) [[likely]] {
    *out = static_cast<char>((static_cast<unsigned>(high) << 4) | static_cast<unsigned>(low));
    out += hex;
    return i + 3;
  }
  if (a == '\n' && b == '\r') return i + 3;  // soft line break
  if (a == '\r' || a == '\n') return i + 2;  // soft break with a lone CR or LF
  *out++ = '=';
  return i + 1;
}

// A chunk the vector steps cannot take, through the scalar rules: from i
// to `end` at least, as an escape may take it up to two bytes further.
// Returns where the next chunk starts.
inline size_t DecodeQPChunkScalar(const char* in, size_t i, size_t end, size_t n, char*& out) {
  while (i < end) {
    if (in[i] == '=') {
      i = DecodeQPEscape(in, i, n, out);
    } else {
      *out++ = in[i++];
    }
  }
  return i;
}

// Decodes in[i, n) to out and returns the end of what it wrote. No step
// writes more than it reads, so out needs room for n - i bytes.
char* DecodeQPFrom(const char* in, size_t i, size_t n, char* out) {
  while (i < n) {
    size_t run = CopyToEqualsScalar(in + i, n - i, out, n - i);
    out += run;
    i += run;
    if (i < n && in[i] == '=') i = DecodeQPEscape(in, i, n, out);
  }
  return out;
}

#if VIZU_CODEC_AVX2
// For each byte mask, the places of its set bits in order: a shuffle that
// packs the bytes kept out of eight together.
struct TPackTable {
  std::array<std::uint64_t, 256> shuffle{};
  std::array<unsigned char, 256> count{};
  constexpr TPackTable() {
    for (int m = 0; m < 256; ++m) {
      int k = 0;
      for (int j = 0; j < 8; ++j) {
        if (m & (1 << j)) shuffle[m] |= std::uint64_t(j) << (8 * k++);
      }
      count[m] = static_cast<unsigned char>(k);
    }
  }
};
constexpr TPackTable kPack;

// The values of upper-case hex digits, and which bytes are such digits.
VIZU_AVX2 inline __m128i HexDigits(__m128i c, __m128i& valid) {
  const __m128i digit = _mm_sub_epi8(c, _mm_set1_epi8('0'));
  const __m128i letter = _mm_sub_epi8(c, _mm_set1_epi8('A'));
  const __m128i isDigit = _mm_cmpeq_epi8(_mm_min_epu8(digit, _mm_set1_epi8(9)), digit);
  const __m128i isLetter = _mm_cmpeq_epi8(_mm_min_epu8(letter, _mm_set1_epi8(5)), letter);
  valid = _mm_or_si128(isDigit, isLetter);
  return _mm_blendv_epi8(_mm_add_epi8(letter, _mm_set1_epi8(10)), digit, isDigit);
}

// Chunks of 16 bytes. A chunk whose every "=" starts a hex escape or a
// CR LF soft break is decoded in vector steps: each escape's byte takes the
// place of its "=", and the bytes an escape or break leaves out are packed
// away eight at a time. An escape that ends in the next chunk leaves its
// last bytes to be skipped there. Any other "=" sends the chunk through the
// scalar rules.
// A chunk writes at most 16 bytes past where its output starts, and the
// output never runs ahead of the input, so out needs room for n bytes.
VIZU_AVX2 char* DecodeQPVector(const char* in, size_t n, char* out) {
  size_t i = 0;
  unsigned carry = 0;  // leading bytes of this chunk that end an escape
  const __m128i equals = _mm_set1_epi8('=');
  // A chunk reads two bytes past its end.
  while (n - i >= 18) {
    const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + i));
    const __m128i isEquals = _mm_cmpeq_epi8(x, equals);
    const auto eq = static_cast<unsigned>(_mm_movemask_epi8(isEquals));
    if ((eq | carry) == 0) {
      _mm_storeu_si128(reinterpret_cast<__m128i*>(out), x);
      out += 16;
      i += 16;
      continue;
    }
    const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + i + 1));
    const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + i + 2));
    __m128i aValid, bValid;
    const __m128i high = HexDigits(a, aValid);
    const __m128i low = HexDigits(b, bValid);
    const __m128i hex = _mm_and_si128(aValid, bValid);
    const __m128i soft = _mm_and_si128(_mm_cmpeq_epi8(a, _mm_set1_epi8('\r')),
                                       _mm_cmpeq_epi8(b, _mm_set1_epi8('\n')));
    const auto hexMask = static_cast<unsigned>(_mm_movemask_epi8(hex));
    const auto softMask = static_cast<unsigned>(_mm_movemask_epi8(soft));
    if ((eq & (hexMask | softMask)) != eq) {
      i += static_cast<size_t>(__builtin_popcount(carry));
      carry = 0;
      i = DecodeQPChunkScalar(in, i, i + 16, n, out);
      continue;
    }
    // (high << 4) | low in each byte; the shift's spill from the byte
    // below is masked off.
    const __m128i value = _mm_or_si128(_mm_and_si128(_mm_slli_epi16(high, 4), _mm_set1_epi8(static_cast<char>(0xF0))), low);
    const __m128i bytes = _mm_blendv_epi8(x, value, _mm_and_si128(isEquals, hex));
    const unsigned removed = (eq << 1) | (eq << 2) | (eq & softMask) | carry;
    carry = removed >> 16;
    const unsigned keep = ~removed & 0xFFFF;
    const __m128i pack = _mm_set_epi64x(static_cast<long long>(kPack.shuffle[keep >> 8] + 0x0808080808080808ull),
                                        static_cast<long long>(kPack.shuffle[keep & 0xFF]));
    const __m128i packed = _mm_shuffle_epi8(bytes, pack);
    _mm_storel_epi64(reinterpret_cast<__m128i*>(out), packed);
    out += kPack.count[keep & 0xFF];
    _mm_storel_epi64(reinterpret_cast<__m128i*>(out), _mm_srli_si128(packed, 8));
    out += kPack.count[keep >> 8];
    i += 16;
  }
  i += static_cast<size_t>(__builtin_popcount(carry));
  return DecodeQPFrom(in, i, n, out);
}

#define VIZU_AVX512 __attribute__((target("avx2,avx512f,avx512bw,avx512vbmi2")))

// The values of upper-case hex digits, and which bytes are such digits.
VIZU_AVX512 inline __m512i HexDigits64(__m512i c, __mmask64& valid) {
  const __m512i digit = _mm512_sub_epi8(c, _mm512_set1_epi8('0'));
  const __m512i letter = _mm512_sub_epi8(c, _mm512_set1_epi8('A'));
  const __mmask64 isDigit = _mm512_cmple_epu8_mask(digit, _mm512_set1_epi8(9));
  const __mmask64 isLetter = _mm512_cmple_epu8_mask(letter, _mm512_set1_epi8(5));
  valid = isDigit | isLetter;
  return _mm512_mask_blend_epi8(isDigit, _mm512_add_epi8(letter, _mm512_set1_epi8(10)), digit);
}

// DecodeQPVector in chunks of 64 bytes, where the processor packs the kept
// bytes of a whole chunk in one instruction. The chunk writes 64 bytes
// where its output starts, which is never ahead of its input, and it reads
// two bytes past its end: both stay inside the n bytes.
VIZU_AVX512 char* DecodeQPWide(const char* in, size_t n, char* out) {
  size_t i = 0;
  std::uint64_t carry = 0;  // leading bytes of this chunk that end an escape
  const __m512i equals = _mm512_set1_epi8('=');
  while (n - i >= 66) {
    const __m512i x = _mm512_loadu_si512(in + i);
    const __mmask64 eq = _mm512_cmpeq_epi8_mask(x, equals);
    if ((eq | carry) == 0) {
      _mm512_storeu_si512(out, x);
      out += 64;
      i += 64;
      continue;
    }
    const __m512i a = _mm512_loadu_si512(in + i + 1);
    const __m512i b = _mm512_loadu_si512(in + i + 2);
    __mmask64 aValid, bValid;
    const __m512i high = HexDigits64(a, aValid);
    const __m512i low = HexDigits64(b, bValid);
    const __mmask64 hex = aValid & bValid;
    const __mmask64 soft = _mm512_cmpeq_epi8_mask(a, _mm512_set1_epi8('\r')) &
                           _mm512_cmpeq_epi8_mask(b, _mm512_set1_epi8('\n'));
    if ((eq & (hex | soft)) != eq) {
      i += static_cast<size_t>(__builtin_popcountll(carry));
      carry = 0;
      i = DecodeQPChunkScalar(in, i, i + 64, n, out);
      continue;
    }
    // (high << 4) | low in each byte. Only bytes that hold an "=" take the
    // value, and the byte below one reads that "=" as its high digit, worth
    // 6 here, so the 16-bit shift spills nothing into them.
    const __m512i value = _mm512_or_si512(_mm512_slli_epi16(high, 4), low);
    const __m512i bytes = _mm512_mask_blend_epi8(eq & hex, x, value);
    const std::uint64_t removed = (eq << 1) | (eq << 2) | (eq & soft) | carry;
    // An "=" in the last two places removes bytes of the next chunk.
    carry = (eq >> 63) | (eq >> 62);
    const std::uint64_t keep = ~removed;
    _mm512_storeu_si512(out, _mm512_maskz_compress_epi8(keep, bytes));
    out += __builtin_popcountll(keep);
    i += 64;
  }
  i += static_cast<size_t>(__builtin_popcountll(carry));
  return DecodeQPFrom(in, i, n, out);
}
#endif

}  // namespace

std::string EncodeQuotedPrintable(std::string_view text, bool headerForm) {
  const unsigned char* in = Bytes(text);
  const size_t n = text.size();
  const auto& cls = headerForm ? kQPEncode.header : kQPEncode.body;
  std::string result;
  if (headerForm) {
    size_t escapes = 0;
    for (size_t i = 0; i < n; ++i) escapes += cls[in[i]];
    result.reserve(n + 2 * escapes);
  } else {
    result.reserve(n + n / 8 + 8);  // mostly-ASCII text; grows for more
  }

  // Each chunk is encoded into a local buffer with room for its worst case
  // (every byte escaped and followed by a soft break) and for the copies
  // that run past their count, then appended. A blank that ends a chunk's
  // output is held back to the start of the next one, where a line break
  // after it may still have to escape it.
  // The byte before the buffer is never a blank, so out[-1] is readable
  // there too.
  constexpr size_t kChunk = 2048;
  char storage[1 + kChunk * 6 + 64];
  storage[0] = '\0';
  char* const buffer = storage + 1;
  unsigned column = 0;
  char* held = buffer;
  for (size_t i = 0; i < n;) {
    const size_t end = std::min(n, i + kChunk);
    char* out = held;
    if (headerForm) {
      for (; i < end; ++i) {
        unsigned char b = in[i];
        if (cls[b] == qpCopy)
          *out++ = static_cast<char>(b);
        else
          out = EncodeQPEscape(b, out);
      }
    } else {
#if VIZU_CODEC_AVX2
      if (gUseVector)
        out = EncodeQPBodyVector(in, i, end, n, column, out);
      else
#endif
        out = EncodeQPBodyScalar(in, i, end, n, column, out);
    }
    held = buffer;
    if (!headerForm && out > buffer && (out[-1] == ' ' || out[-1] == '\t')) {
      result.append(buffer, static_cast<size_t>(out - 1 - buffer));
      buffer[0] = out[-1];
      held = buffer + 1;
    } else {
      result.append(buffer, static_cast<size_t>(out - buffer));
    }
  }
  if (held > buffer) result.append(buffer, static_cast<size_t>(EscapeTrailingBlank(held) - buffer));
  return result;
}

size_t DecodeQuotedPrintable(std::string_view text, char* output) {
#if VIZU_CODEC_AVX2
  if (gUseWide) return static_cast<size_t>(DecodeQPWide(text.data(), text.size(), output) - output);
  if (gUseVector) return static_cast<size_t>(DecodeQPVector(text.data(), text.size(), output) - output);
#endif
  return static_cast<size_t>(DecodeQPFrom(text.data(), 0, text.size(), output) - output);
}

std::string DecodeQuotedPrintable(std::string_view text) {
  // Decoding never grows the text: decoded in place in a buffer of its
  // size, then cut to what was written.
  std::string result;
  ReserveLarge(result, text.size());
  result.resize(text.size());
  result.resize(DecodeQuotedPrintable(text, result.data()));
  return result;
}

}  // namespace Vizu2000
