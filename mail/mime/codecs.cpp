#include "mail/mime/codecs.h"

#include <algorithm>
#include <array>
#include <cstring>

#include "mail/mime/codec_paths.h"
#include "mail/mime/header_fields.h"
#include "platform/error.h"
#include "platform/memory.h"
#include "platform/string_list.h"

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#define VIZU_CODEC_AVX2 1
#include <immintrin.h>
#define VIZU_AVX2 __attribute__((target("avx2")))
#else
#define VIZU_CODEC_AVX2 0
#endif

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

// All start false (zero-initialised) until this file's initialisers run,
// so a codec called earlier simply takes the scalar path.
const bool kVectorAvailable = DetectVector();
const bool kWideAvailable = DetectWide();
bool gUseVector = kVectorAvailable;
bool gUseWide = kWideAvailable;

constexpr char kHexDigits[] = "0123456789ABCDEF";
constexpr char kBase64Alphabet[] =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr const char* kUUError = "UUCODE message format error";

// Quoted-printable encoder byte classes.
enum : unsigned char { qpCopy, qpEscape, qpLineStart };

struct TQPEncodeTables {
  std::array<unsigned char, 256> body{};
  std::array<unsigned char, 256> header{};
  constexpr TQPEncodeTables() {
    for (int b = 0; b < 256; ++b) {
      bool escaped = b > 127 || b == '=';
      body[b] = escaped ? qpEscape : (b == '\r' ? qpLineStart : qpCopy);
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

// Base64 decoding, one table per place of a group, the value already
// shifted to its bit position. A character outside the alphabet (padding
// included) adds 0 and sets a flag above the 24 data bits.
constexpr std::uint32_t kB64Odd = 1u << 24;
struct TBase64DecodeTables {
  std::array<std::uint32_t, 256> place[4]{};
  constexpr TBase64DecodeTables() {
    for (int p = 0; p < 4; ++p)
      for (int b = 0; b < 256; ++b) place[p][b] = kB64Odd;
    for (int v = 0; v < 64; ++v) {
      auto c = static_cast<unsigned char>(kBase64Alphabet[v]);
      for (int p = 0; p < 4; ++p) place[p][c] = static_cast<std::uint32_t>(v) << (18 - 6 * p);
    }
  }
};
constexpr TBase64DecodeTables kB64Decode;

// Base64 encoding, twelve bits at a time: two alphabet characters.
struct TBase64PairTable {
  std::array<char, 8192> pair{};
  constexpr TBase64PairTable() {
    for (int v = 0; v < 4096; ++v) {
      pair[2 * v] = kBase64Alphabet[v >> 6];
      pair[2 * v + 1] = kBase64Alphabet[v & 63];
    }
  }
};
constexpr TBase64PairTable kB64Pairs;

const unsigned char* Bytes(std::string_view text) {
  return reinterpret_cast<const unsigned char*>(text.data());
}

// --- base64 encoding ------------------------------------------------------

constexpr size_t kB64LineBytes = 57;  // 76 characters
constexpr size_t kB64LineChars = 76;

inline char* EncodeGroup(const unsigned char* in, char* out) {
  std::uint32_t v = (std::uint32_t{in[0]} << 16) | (std::uint32_t{in[1]} << 8) | in[2];
  std::memcpy(out, &kB64Pairs.pair[2 * (v >> 12)], 2);
  std::memcpy(out + 2, &kB64Pairs.pair[2 * (v & 0xFFF)], 2);
  return out + 4;
}

#if VIZU_CODEC_AVX2
// Sixteen characters in each 128-bit half from the twelve bytes at the start
// of that half: each group of three bytes is spread over four byte lanes,
// its 6-bit values are moved into place by multiplications, and an offset
// looked up per value range turns each value into its alphabet character.
VIZU_AVX2 inline __m256i Base64Chars(const unsigned char* low, const unsigned char* high) {
  __m256i bytes = _mm256_inserti128_si256(
      _mm256_castsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(low))),
      _mm_loadu_si128(reinterpret_cast<const __m128i*>(high)), 1);
  const __m256i spread = _mm256_setr_epi8(1, 0, 2, 1, 4, 3, 5, 4, 7, 6, 8, 7, 10, 9, 11, 10,  //
                                          1, 0, 2, 1, 4, 3, 5, 4, 7, 6, 8, 7, 10, 9, 11, 10);
  __m256i v = _mm256_shuffle_epi8(bytes, spread);
  __m256i first = _mm256_mulhi_epu16(_mm256_and_si256(v, _mm256_set1_epi32(0x0FC0FC00)),
                                     _mm256_set1_epi32(0x04000040));
  __m256i second = _mm256_mullo_epi16(_mm256_and_si256(v, _mm256_set1_epi32(0x003F03F0)),
                                      _mm256_set1_epi32(0x01000010));
  __m256i values = _mm256_or_si256(first, second);
  // Range index: 13 for A-Z, 0 for a-z, 1..10 for digits, 11 '+', 12 '/'.
  __m256i range = _mm256_subs_epu8(values, _mm256_set1_epi8(51));
  __m256i upper = _mm256_cmpgt_epi8(_mm256_set1_epi8(26), values);
  range = _mm256_or_si256(range, _mm256_and_si256(upper, _mm256_set1_epi8(13)));
  const __m256i offset = _mm256_setr_epi8('a' - 26, '0' - 52, '0' - 52, '0' - 52, '0' - 52, '0' - 52,
                                          '0' - 52, '0' - 52, '0' - 52, '0' - 52, '0' - 52, '+' - 62,
                                          '/' - 63, 'A', 0, 0,  //
                                          'a' - 26, '0' - 52, '0' - 52, '0' - 52, '0' - 52, '0' - 52,
                                          '0' - 52, '0' - 52, '0' - 52, '0' - 52, '0' - 52, '+' - 62,
                                          '/' - 63, 'A', 0, 0);
  return _mm256_add_epi8(_mm256_shuffle_epi8(offset, range), values);
}

// Whole lines; reads up to 4 bytes past the last one, which the caller
// guarantees are there. The third store overlaps the second with the same
// characters, so a 57-byte line needs no scalar remainder.
VIZU_AVX2 char* EncodeBase64LinesVector(const unsigned char* in, size_t lines, char* out) {
  for (; lines > 0; --lines, in += kB64LineBytes, out += kB64LineChars + 2) {
    auto* o = reinterpret_cast<__m256i*>(out);
    _mm256_storeu_si256(o, Base64Chars(in, in + 12));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + 32), Base64Chars(in + 24, in + 36));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + 44), Base64Chars(in + 33, in + 45));
    out[kB64LineChars] = '\r';
    out[kB64LineChars + 1] = '\n';
  }
  return out;
}
#endif

// Encodes count input bytes as lines; the last line may be short and padded.
// readable (at least count) is how many bytes may be read from in.
char* EncodeBase64Lines(const unsigned char* in, size_t count, size_t readable, char* out) {
#if VIZU_CODEC_AVX2
  if (gUseVector && readable >= 4) {
    size_t lines = std::min(count, readable - 4) / kB64LineBytes;
    out = EncodeBase64LinesVector(in, lines, out);
    in += lines * kB64LineBytes;
    count -= lines * kB64LineBytes;
  }
#else
  (void)readable;
#endif
  while (count >= kB64LineBytes) {
    if (count > 1024) __builtin_prefetch(in + 1024);
    for (size_t g = 0; g < kB64LineBytes; g += 3) out = EncodeGroup(in + g, out);
    *out++ = '\r';
    *out++ = '\n';
    in += kB64LineBytes;
    count -= kB64LineBytes;
  }
  if (count == 0) return out;
  while (count >= 3) {
    out = EncodeGroup(in, out);
    in += 3;
    count -= 3;
  }
  if (count > 0) {
    unsigned char last[3] = {in[0], count == 2 ? in[1] : static_cast<unsigned char>(0), 0};
    EncodeGroup(last, out);
    out[3] = '=';
    if (count == 1) out[2] = '=';
    out += 4;
  }
  *out++ = '\r';
  *out++ = '\n';
  return out;
}

// --- uuencode -------------------------------------------------------------

inline int UUValue(unsigned char c) {
  if (c == '`') return 0;
  if (c < 32 || c > 95) throw EVizuError(kUUError);
  return c - 32;  // a space is 0
}

// --- encoded words --------------------------------------------------------

std::string_view UpToNul(std::string_view text) {
  size_t nul = text.find('\0');
  return nul == std::string_view::npos ? text : text.substr(0, nul);
}

std::string DecodeWordText(char letter, std::string_view encoded) {
  if (encoded.empty()) return {};
  if (letter == 'B') {
    std::string bytes;
    DecodeLineBASE64(encoded, bytes);
    return std::string(UpToNul(bytes));
  }
  if (letter == 'U') {
    std::string bytes;
    DecodeLineUUCODE(encoded, bytes);
    return std::string(UpToNul(bytes));
  }
  std::string text(encoded);
  std::replace(text.begin(), text.end(), '_', ' ');
  return DecodeQuotedPrintable(text);
}

// --- quoted-printable -----------------------------------------------------

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
    std::uint64_t special = (x & (kOnes << 7)) | ZeroBytes(x ^ (kOnes * '=')) | ZeroBytes(x ^ (kOnes * '\r'));
    if (special) return std::min(limit, k + static_cast<size_t>(__builtin_ctzll(special)) / 8);
    k += 8;
  }
  for (; k < limit; ++k) {
    if (kQPEncode.body[in[k]] != qpCopy) return k;
    out[k] = static_cast<char>(in[k]);
  }
  return limit;
}

// The byte after a run of plain ones: CR starts a new line, anything else
// is escaped.
inline char* EncodeQPSpecial(unsigned char b, char* out, unsigned& column) {
  if (b == '\r') {
    *out++ = '\r';
    column = 0;
    return out;
  }
  out[0] = '=';
  out[1] = kHexDigits[b >> 4];
  out[2] = kHexDigits[b & 15];
  out += 3;
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

// Encodes in[i, end) of a text of n bytes in body form; column carries over
// from the previous call.
char* EncodeQPBodyScalar(const unsigned char* in, size_t i, size_t end, size_t n, unsigned& column,
                         char* out) {
  while (i < end) {
    size_t limit = std::min<size_t>(kQPLineLimit - column, end - i);
    size_t run = CopyQPPlainScalar(in + i, limit, n - i, out);
    out += run;
    i += run;
    column += static_cast<unsigned>(run);
    if (run == limit) {
      out = QPSoftBreakIfFull(out, column);
      continue;
    }
    out = EncodeQPSpecial(in[i++], out, column);
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
  size_t k = 0;
  do {
    __m256i x = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(in + k));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + k), x);
    // The sign bit marks bytes above 127 already.
    __m256i special = _mm256_or_si256(x, _mm256_or_si256(_mm256_cmpeq_epi8(x, equals), _mm256_cmpeq_epi8(x, cr)));
    auto mask = static_cast<unsigned>(_mm256_movemask_epi8(special));
    if (mask) return std::min(limit, k + static_cast<size_t>(__builtin_ctz(mask)));
    k += 32;
  } while (k < limit);
  return limit;
}

VIZU_AVX2 char* EncodeQPBodyVector(const unsigned char* in, size_t i, size_t end, size_t n,
                                   unsigned& column, char* out) {
  while (i < end) {
    size_t limit = std::min<size_t>(kQPLineLimit - column, end - i);
    size_t run = n - i >= kQPVectorReach ? CopyQPPlainVector(in + i, limit, out)
                                         : CopyQPPlainScalar(in + i, limit, n - i, out);
    out += run;
    i += run;
    column += static_cast<unsigned>(run);
    if (run == limit) {
      out = QPSoftBreakIfFull(out, column);
      continue;
    }
    out = EncodeQPSpecial(in[i++], out, column);
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

bool CodecVectorAvailable() { return kVectorAvailable; }

bool CodecWideAvailable() { return kWideAvailable; }

bool VectorPathSelected() { return gUseVector; }

TCodecPath SetCodecPath(TCodecPath path) {
  TCodecPath before = gUseWide ? TCodecPath::Wide : gUseVector ? TCodecPath::Vector : TCodecPath::Scalar;
  gUseVector = path != TCodecPath::Scalar && kVectorAvailable;
  gUseWide = path == TCodecPath::Wide && kWideAvailable;
  return before;
}

// --- quoted-printable -----------------------------------------------------

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
  // that run past their count, then appended.
  constexpr size_t kChunk = 2048;
  char buffer[kChunk * 6 + 64];
  unsigned column = 0;
  for (size_t start = 0; start < n; start += kChunk) {
    const size_t end = std::min(n, start + kChunk);
    char* out = buffer;
    if (headerForm) {
      for (size_t i = start; i < end; ++i) {
        unsigned char b = in[i];
        if (cls[b] == qpCopy) {
          *out++ = static_cast<char>(b);
        } else {
          out[0] = '=';
          out[1] = kHexDigits[b >> 4];
          out[2] = kHexDigits[b & 15];
          out += 3;
        }
      }
    } else {
#if VIZU_CODEC_AVX2
      if (gUseVector)
        out = EncodeQPBodyVector(in, start, end, n, column, out);
      else
#endif
        out = EncodeQPBodyScalar(in, start, end, n, column, out);
    }
    result.append(buffer, static_cast<size_t>(out - buffer));
  }
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

// --- base64 ---------------------------------------------------------------

std::int64_t EncodeBASE64(TStream& output, TStream& input) {
  output.SetSize(0);
  output.SetPosition(0);
  input.SetPosition(0);
  std::int64_t inputSize = input.Size();
  if (auto* memory = dynamic_cast<TMemoryStream*>(&output); memory && inputSize > 0) {
    std::uint64_t groups = (static_cast<std::uint64_t>(inputSize) + 2) / 3;
    std::uint64_t lines = (static_cast<std::uint64_t>(inputSize) + kB64LineBytes - 1) / kB64LineBytes;
    memory->Reserve(static_cast<size_t>(groups * 4 + lines * 2));
  }

  // Blocks of whole lines keep memory bounded whatever the input's size. A
  // memory stream is read in place.
  constexpr size_t kBlockBytes = kB64LineBytes * 40;
  constexpr size_t kBlockChars = (kB64LineChars + 2) * 40;
  auto* source = dynamic_cast<TMemoryStream*>(&input);
  if (static_cast<TStream*>(source) == &output) source = nullptr;
  // The block has a few spare bytes for the vector path's reads.
  constexpr size_t kSpare = 4;
  std::string block(source ? 0 : kBlockBytes + kSpare, '\0');
  std::string encoded(kBlockChars, '\0');
  for (;;) {
    const char* data = block.data();
    size_t filled = 0;
    size_t readable = 0;
    if (source) {
      auto position = static_cast<size_t>(source->Position());
      readable = source->View().size() - std::min(position, source->View().size());
      filled = std::min(kBlockBytes, readable);
      data = source->View().data() + position;
      source->Seek(static_cast<std::int64_t>(filled), soCurrent);
    } else {
      while (filled < kBlockBytes) {
        size_t got = input.Read(block.data() + filled, kBlockBytes - filled);
        if (got == 0) break;
        filled += got;
      }
    }
    if (!source) readable = filled + kSpare;
    char* end = EncodeBase64Lines(reinterpret_cast<const unsigned char*>(data), filled, readable,
                                  encoded.data());
    output.WriteBuffer(encoded.data(), static_cast<size_t>(end - encoded.data()));
    if (filled < kBlockBytes) break;
  }
  return output.Size();
}

namespace {

// One group of four alphabet characters, or kB64Odd set.
inline std::uint32_t Base64Group(const unsigned char* in) {
  const auto& p = kB64Decode.place;
  return p[0][in[0]] | p[1][in[1]] | p[2][in[2]] | p[3][in[3]];
}

inline char* PutGroup(std::uint32_t v, char* out) {
  out[0] = static_cast<char>(v >> 16);
  out[1] = static_cast<char>(v >> 8);
  out[2] = static_cast<char>(v);
  return out + 3;
}

int DecodeLineBase64Scalar(std::string_view line, char* output) {
  const unsigned char* in = Bytes(line);
  const size_t groups = line.size() / 4;
  const auto& p = kB64Decode.place;
  char* out = output;
  for (size_t g = 0; g < groups; ++g, in += 4) {
    std::uint32_t v = p[0][in[0]] | p[1][in[1]] | p[2][in[2]] | p[3][in[3]];
    if (!(v & kB64Odd)) [[likely]] {
      out[0] = static_cast<char>(v >> 16);
      out[1] = static_cast<char>(v >> 8);
      out[2] = static_cast<char>(v);
      out += 3;
      continue;
    }
    // Padding and characters outside the alphabet count 0; padding in the
    // third or fourth place shortens the group.
    int keep = in[2] == '=' ? 1 : in[3] == '=' ? 2 : in[0] == '=' ? 0 : 3;
    char bytes[3] = {static_cast<char>(v >> 16), static_cast<char>(v >> 8), static_cast<char>(v)};
    std::memcpy(out, bytes, static_cast<size_t>(keep));
    out += keep;
  }
  return static_cast<int>(out - output);
}

#if VIZU_CODEC_AVX2
// Decodes 32 characters into 24 bytes, all 24 stored whatever the input.
// Returns a mask with bit i set when character i is in the alphabet; the
// bytes of every group of four before the first clear bit are right.
//
// Each character is classed by its two nibbles: lowInvalid[low] holds a bit
// for every high nibble with which that low nibble is not in the alphabet,
// and highClass[high] the bit of its high nibble, so a character is in the
// alphabet when the two share no bit. Its value is then the character plus
// an offset chosen by the high nibble ("/" shares its nibble with "+" and
// gets its own).
VIZU_AVX2 inline std::uint32_t Base64Block(const unsigned char* in, char* out) {
  const __m256i lowInvalid = _mm256_setr_epi8(
      0x15, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x13, 0x1A, 0x1B, 0x1B, 0x1B, 0x1A,
      0x15, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x13, 0x1A, 0x1B, 0x1B, 0x1B, 0x1A);
  const __m256i highClass = _mm256_setr_epi8(
      0x10, 0x10, 0x01, 0x02, 0x04, 0x08, 0x04, 0x08, 0x10, 0x10, 0x10, 0x10, 0x10, 0x10, 0x10, 0x10,
      0x10, 0x10, 0x01, 0x02, 0x04, 0x08, 0x04, 0x08, 0x10, 0x10, 0x10, 0x10, 0x10, 0x10, 0x10, 0x10);
  const __m256i offsets = _mm256_setr_epi8(
      0, 16, 19, 4, -65, -65, -71, -71, 0, 0, 0, 0, 0, 0, 0, 0,
      0, 16, 19, 4, -65, -65, -71, -71, 0, 0, 0, 0, 0, 0, 0, 0);
  const __m256i nibble = _mm256_set1_epi8(0x0F);
  const __m256i chars = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(in));
  const __m256i high = _mm256_and_si256(_mm256_srli_epi32(chars, 4), nibble);
  const __m256i low = _mm256_and_si256(chars, nibble);
  const __m256i bad = _mm256_and_si256(_mm256_shuffle_epi8(lowInvalid, low),
                                       _mm256_shuffle_epi8(highClass, high));
  const auto valid = static_cast<std::uint32_t>(
      _mm256_movemask_epi8(_mm256_cmpeq_epi8(bad, _mm256_setzero_si256())));
  const __m256i slash = _mm256_cmpeq_epi8(chars, _mm256_set1_epi8('/'));
  const __m256i values =
      _mm256_add_epi8(chars, _mm256_shuffle_epi8(offsets, _mm256_add_epi8(high, slash)));
  // Four 6-bit values to one 24-bit group per 32-bit lane, then its three
  // bytes in order, twelve per 128-bit half, then the halves joined.
  const __m256i pairs = _mm256_maddubs_epi16(values, _mm256_set1_epi32(0x01400140));
  const __m256i groups = _mm256_madd_epi16(pairs, _mm256_set1_epi32(0x00011000));
  const __m256i bytes = _mm256_shuffle_epi8(
      groups, _mm256_setr_epi8(2, 1, 0, 6, 5, 4, 10, 9, 8, 14, 13, 12, -1, -1, -1, -1,
                               2, 1, 0, 6, 5, 4, 10, 9, 8, 14, 13, 12, -1, -1, -1, -1));
  const __m256i joined = _mm256_permutevar8x32_epi32(bytes, _mm256_setr_epi32(0, 1, 2, 4, 5, 6, 7, 7));
  _mm_storeu_si128(reinterpret_cast<__m128i*>(out), _mm256_castsi256_si128(joined));
  _mm_storel_epi64(reinterpret_cast<__m128i*>(out + 16), _mm256_extracti128_si256(joined, 1));
  return valid;
}

VIZU_AVX2 int DecodeLineBase64Vector(std::string_view line, char* output) {
  const unsigned char* in = Bytes(line);
  const unsigned char* const end = in + line.size();
  char* out = output;
  // A block whose characters are all in the alphabet is done; any other
  // goes through the scalar rule for padding and junk.
  while (end - in >= 32) {
    if (Base64Block(in, out) == ~std::uint32_t{0}) {
      in += 32;
      out += 24;
      continue;
    }
    out += DecodeLineBase64Scalar(std::string_view(reinterpret_cast<const char*>(in), 32), out);
    in += 32;
  }
  out += DecodeLineBase64Scalar(std::string_view(reinterpret_cast<const char*>(in), static_cast<size_t>(end - in)), out);
  return static_cast<int>(out - output);
}

// The fast loop of DecodeBase64Piece: whole groups and CR LF pairs, up to
// the first character that is neither. Storing a block's 24 bytes stays in
// bounds: the output has room for three bytes per four characters of the
// text, and 32 characters are still unread.
VIZU_AVX2 const unsigned char* DecodeBase64RunVector(const unsigned char* in, const unsigned char* end,
                                                     char*& outRef) {
  char* out = outRef;
  for (;;) {
    if (end - in >= 32) {
      std::uint32_t valid = Base64Block(in, out);
      if (valid == ~std::uint32_t{0}) {
        in += 32;
        out += 24;
        continue;
      }
      const int whole = __builtin_ctz(~valid) / 4;
      in += 4 * whole;
      out += 3 * whole;
    } else {
      std::uint32_t v = 0;
      while (end - in >= 4 && !((v = Base64Group(in)) & kB64Odd)) {
        out = PutGroup(v, out);
        in += 4;
      }
    }
    if (end - in >= 2 && in[0] == '\r' && in[1] == '\n') {
      in += 2;
      continue;
    }
    outRef = out;
    return in;
  }
}
#endif

}  // namespace

int DecodeLineBASE64(std::string_view line, char* output) {
#if VIZU_CODEC_AVX2
  if (gUseVector && line.size() >= 32) return DecodeLineBase64Vector(line, output);
#endif
  return DecodeLineBase64Scalar(line, output);
}

namespace {

// A group split by a line break, junk or the end of a piece of the text.
struct TBase64Group {
  std::uint32_t bits = 0;
  int have = 0;
};

// Ends a group of 2 or 3 characters with its 1 or 2 whole bytes; a single
// character carries only 6 bits, no byte.
inline char* FinishGroup(TBase64Group& group, char* out) {
  if (group.have == 2) {
    *out++ = static_cast<char>(group.bits >> 4);
  } else if (group.have == 3) {
    out[0] = static_cast<char>(group.bits >> 10);
    out[1] = static_cast<char>(group.bits >> 2);
    out += 2;
  }
  group = {};
  return out;
}

// Decodes [in, end) after what group holds, leaving an unfinished group in
// it for the next piece.
char* DecodeBase64Piece(const unsigned char* in, const unsigned char* const end, TBase64Group& group,
                        char* out) {
  const auto& p = kB64Decode.place;
  while (true) {
    if (group.have == 0) {
#if VIZU_CODEC_AVX2
      if (gUseVector) in = DecodeBase64RunVector(in, end, out);
#endif
      // Whole groups of four alphabet characters, with the CR LF that ends
      // each line of a well-formed body stepped over in the same loop.
      while (end - in >= 4) {
        std::uint32_t v = p[0][in[0]] | p[1][in[1]] | p[2][in[2]] | p[3][in[3]];
        if (!(v & kB64Odd)) [[likely]] {
          out[0] = static_cast<char>(v >> 16);
          out[1] = static_cast<char>(v >> 8);
          out[2] = static_cast<char>(v);
          out += 3;
          in += 4;
        } else if (in[0] == '\r' && in[1] == '\n') {
          in += 2;
        } else {
          break;
        }
      }
    }
    if (in == end) return out;
    const unsigned char c = *in++;
    const std::uint32_t v = p[3][c];
    if (!(v & kB64Odd)) {
      group.bits = (group.bits << 6) | v;
      if (++group.have == 4) {
        out[0] = static_cast<char>(group.bits >> 16);
        out[1] = static_cast<char>(group.bits >> 8);
        out[2] = static_cast<char>(group.bits);
        out += 3;
        group = {};
      }
    } else if (c == '=') {
      // Padding ends the group it stands in (RFC 4648 section 3.5); what
      // follows is read as further data rather than dropped, since some
      // senders join separately padded pieces.
      out = FinishGroup(group, out);
    }
    // Anything else is not base64 and is skipped (RFC 2045 section 6.8).
  }
}

}  // namespace

size_t DecodeBASE64(std::string_view text, char* output) {
  TBase64Group group;
  char* out = DecodeBase64Piece(Bytes(text), Bytes(text) + text.size(), group, output);
  // A body cut short: its last 2 or 3 characters still carry their bytes.
  out = FinishGroup(group, out);
  return static_cast<size_t>(out - output);
}

std::string DecodeBASE64(std::string_view text) {
  // Decoded a piece at a time through a small buffer, and appended: the
  // large buffer is written once instead of zero-filled first, and asks for
  // huge pages before that (on a virtual machine the faults of small pages
  // cost more than the decoding).
  constexpr size_t kPiece = 16 * 1024;
  std::string out;
  ReserveLarge(out, DecodedBASE64Room(text.size()));
  char decoded[kPiece / 4 * 3 + 4];
  TBase64Group group;
  const unsigned char* in = Bytes(text);
  const unsigned char* const end = in + text.size();
  while (in < end) {
    const unsigned char* pieceEnd = end - in > static_cast<std::ptrdiff_t>(kPiece) ? in + kPiece : end;
    char* e = DecodeBase64Piece(in, pieceEnd, group, decoded);
    out.append(decoded, static_cast<size_t>(e - decoded));
    in = pieceEnd;
  }
  char* e = FinishGroup(group, decoded);
  out.append(decoded, static_cast<size_t>(e - decoded));
  return out;
}

void DecodeLineBASE64(std::string_view line, std::string& appendTo) {
  size_t old = appendTo.size();
  appendTo.resize(old + line.size() / 4 * 3);
  int written = DecodeLineBASE64(line, appendTo.data() + old);
  appendTo.resize(old + static_cast<size_t>(written));
}

// --- uuencode -------------------------------------------------------------

int DecodeLineUUCODE(std::string_view line, char* output) {
  if (line.empty()) return 0;
  const int declared = UUValue(static_cast<unsigned char>(line[0]));
  size_t count = line.size() - 1;
  if (declared == 45) {
    if (count < 60) throw EVizuError(kUUError);
    count = 60;
  }
  count = std::min<size_t>(count, 60);

  unsigned char values[60] = {};
  for (size_t i = 0; i < count; ++i) values[i] = static_cast<unsigned char>(UUValue(static_cast<unsigned char>(line[1 + i])));
  for (size_t g = 0; g < 15; ++g) {
    const unsigned char* v = values + 4 * g;
    output[3 * g] = static_cast<char>((v[0] << 2) | (v[1] >> 4));
    output[3 * g + 1] = static_cast<char>(((v[1] & 15) << 4) | (v[2] >> 2));
    output[3 * g + 2] = static_cast<char>(((v[2] & 3) << 6) | v[3]);
  }
  return declared;
}

void DecodeLineUUCODE(std::string_view line, std::string& appendTo) {
  char buffer[45];
  int declared = DecodeLineUUCODE(line, buffer);
  // The count is clamped to what a line can carry.
  appendTo.append(buffer, static_cast<size_t>(std::clamp(declared, 0, 45)));
}

bool DecodeUUCODE(std::string_view text, TStream& output) {
  output.SetSize(0);
  output.SetPosition(0);
  char buffer[45];
  size_t position = 0;
  while (position < text.size()) {
    size_t lineEnd = text.find("\r\n", position);
    size_t next = lineEnd == std::string_view::npos ? text.size() : lineEnd + 2;
    if (lineEnd == std::string_view::npos) lineEnd = text.size();
    std::string_view line = text.substr(position, lineEnd - position);
    position = next;
    if (line.empty()) continue;
    int declared = DecodeLineUUCODE(line, buffer);
    if (declared > 0) output.WriteBuffer(buffer, static_cast<size_t>(std::min(declared, 45)));
  }
  return true;
}

// --- encoded words --------------------------------------------------------

std::string EncodeLine7Bit(std::string_view text, std::string_view charset) {
  bool printable = std::all_of(text.begin(), text.end(), [](char c) {
    auto b = static_cast<unsigned char>(c);
    return b >= 32 && b <= 127;
  });
  if (printable) return std::string(text);
  std::string word = "=?";
  word += charset;
  word += "?Q?";
  word += EncodeQuotedPrintable(text, true);
  word += "?=";
  return word;
}

namespace {

std::string DecodeWords(std::string_view text, bool rescan) {
  // The text is rescanned after every word, since a decoded word may itself
  // start a new one, also together with an "=" just before it. Decoded text
  // is always shorter than its word, so it is written back in place, right-
  // aligned at the word's end; what lies before the scan start is final.
  std::string work = TrimSpace(text);
  std::string done;
  size_t head = 0;
  for (;;) {
    size_t start = work.find("=?", head);
    if (start == std::string::npos) break;
    size_t charsetEnd = work.find('?', start + 2);
    if (charsetEnd == std::string::npos) break;
    size_t end = work.find("?=", charsetEnd + 1);
    if (end == std::string::npos) break;
    // Keeps "?Q?=E9?=" whole when the encoded text begins with "=".
    size_t later = work.find('?', end + 1);
    if (later != std::string::npos && later + 1 < work.size() && work[later + 1] == '=') end = later;

    std::string_view inner(work.data() + charsetEnd + 1, end - charsetEnd - 1);
    char letter = 'Q';
    if (inner.size() >= 2 && inner[1] == '?') {
      char first = UpCaseChar(inner[0]);
      if (first == 'B' || first == 'Q' || first == 'U') letter = first;
    }
    std::string decoded = DecodeWordText(letter, inner.substr(std::min<size_t>(2, inner.size())));

    done.append(work, head, start - head);
    if (!rescan) {
      done += decoded;
      head = end + 2;
      continue;
    }
    bool keepEquals = !done.empty() && done.back() == '=';
    if (keepEquals) done.pop_back();
    size_t wordEnd = end + 2;
    head = wordEnd - decoded.size() - (keepEquals ? 1 : 0);
    if (keepEquals) work[head] = '=';
    std::memcpy(work.data() + wordEnd - decoded.size(), decoded.data(), decoded.size());
  }
  done.append(work, head, std::string::npos);
  return done;
}

}  // namespace

std::string DecodeLine7Bit(std::string_view text) { return DecodeWords(text, true); }

std::string DecodeLine7BitOnce(std::string_view text) { return DecodeWords(text, false); }

}  // namespace Vizu2000
