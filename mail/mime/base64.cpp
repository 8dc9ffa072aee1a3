#include "mail/mime/codecs.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>

#include "mail/mime/codec_shared.h"
#include "platform/memory.h"

namespace Vizu2000 {

namespace {

constexpr char kBase64Alphabet[] =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

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

// --- encoding -------------------------------------------------------------

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

}  // namespace

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

std::string EncodeBASE64Line(std::string_view bytes) {
  std::string out((bytes.size() + 2) / 3 * 4, '\0');
  const auto* in = reinterpret_cast<const unsigned char*>(bytes.data());
  char* o = out.data();
  size_t count = bytes.size();
  for (; count >= 3; count -= 3, in += 3) o = EncodeGroup(in, o);
  if (count > 0) {
    const unsigned char last[3] = {in[0], count == 2 ? in[1] : static_cast<unsigned char>(0), 0};
    EncodeGroup(last, o);
    o[3] = '=';
    if (count == 1) o[2] = '=';
  }
  return out;
}

// --- decoding -------------------------------------------------------------

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
  char* out = output;
  for (size_t g = 0; g < groups; ++g, in += 4) {
    const std::uint32_t v = Base64Group(in);
    if (!(v & kB64Odd)) [[likely]] {
      out = PutGroup(v, out);
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
        const std::uint32_t v = Base64Group(in);
        if (!(v & kB64Odd)) [[likely]] {
          out = PutGroup(v, out);
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
        out = PutGroup(group.bits, out);
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

}  // namespace Vizu2000
