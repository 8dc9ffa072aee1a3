#include "mail/mime/codecs.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <vector>

#include "mail/mime/codec_paths.h"
#include "platform/error.h"

using namespace Vizu2000;

namespace Vizu2000 {
// Test names and failures name the path rather than its bytes.
void PrintTo(TCodecPath path, std::ostream* out) {
  *out << (path == TCodecPath::Wide ? "Wide" : path == TCodecPath::Vector ? "Vector" : "Scalar");
}
}  // namespace Vizu2000

namespace {

std::string RandomBytes(size_t n, unsigned seed) {
  std::mt19937 gen(seed);
  std::string s(n, '\0');
  for (char& c : s) c = static_cast<char>(gen() & 0xFF);
  return s;
}

std::vector<std::string> SplitCRLF(const std::string& text) {
  std::vector<std::string> lines;
  size_t pos = 0;
  while (pos < text.size()) {
    size_t end = text.find("\r\n", pos);
    if (end == std::string::npos) end = text.size();
    lines.push_back(text.substr(pos, end - pos));
    pos = end + 2;
  }
  return lines;
}

std::string Base64(const std::string& data) {
  TMemoryStream in(data), out;
  EncodeBASE64(out, in);
  return out.Data();
}

// Decodes into a buffer of exactly the documented size, so a write past it
// shows up under the sanitizer.
std::string DecodeB64Line(std::string_view line) {
  std::vector<char> buffer(line.size() * 3 / 4);
  int n = DecodeLineBASE64(line, buffer.data());
  return std::string(buffer.data(), static_cast<size_t>(n));
}

// A reader that hands out a few bytes per call, like a slow file.
class TTrickleStream : public TStream {
 public:
  explicit TTrickleStream(std::string data) : inner_(std::move(data)) {}
  size_t Read(void* buffer, size_t count) override { return inner_.Read(buffer, std::min<size_t>(count, 7)); }
  size_t Write(const void* buffer, size_t count) override { return inner_.Write(buffer, count); }
  std::int64_t Seek(std::int64_t offset, TSeekOrigin origin) override { return inner_.Seek(offset, origin); }
  std::int64_t Size() override { return inner_.Size(); }
  void SetSize(std::int64_t size) override { inner_.SetSize(size); }

 private:
  TMemoryStream inner_;
};

char UUChar(int v) { return v == 0 ? '`' : static_cast<char>(32 + v); }

std::string UUEncode(const std::string& data) {
  std::string text;
  for (size_t pos = 0; pos < data.size(); pos += 45) {
    size_t n = std::min<size_t>(45, data.size() - pos);
    text += UUChar(static_cast<int>(n));
    for (size_t g = 0; g < n; g += 3) {
      unsigned char b[3] = {};
      for (size_t k = 0; k < 3 && g + k < n; ++k) b[k] = static_cast<unsigned char>(data[pos + g + k]);
      text += UUChar(b[0] >> 2);
      text += UUChar(((b[0] & 3) << 4) | (b[1] >> 4));
      text += UUChar(((b[1] & 15) << 2) | (b[2] >> 6));
      text += UUChar(b[2] & 63);
    }
    text += "\r\n";
  }
  return text + "`\r\n";
}

}  // namespace

TEST(QuotedPrintableEncode, BodyFormLinesAndEscapes) {
  std::string letters(200, 'x');
  auto lines = SplitCRLF(EncodeQuotedPrintable(letters, false));
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[0], std::string(72, 'x') + "=");
  EXPECT_EQ(lines[1], std::string(72, 'x') + "=");
  EXPECT_EQ(lines[2], std::string(56, 'x'));

  EXPECT_EQ(EncodeQuotedPrintable("a b", false), "a b");
  EXPECT_EQ(EncodeQuotedPrintable("a=b", false), "a=3Db");
  EXPECT_EQ(EncodeQuotedPrintable("caf\xE9\x7F\x80\xFF", false), "caf=E9\x7F=80=FF");
  // RFC 2045 section 6.7 rule 3: no blank ends a line or the text.
  EXPECT_EQ(EncodeQuotedPrintable("\tend \r\nnext\t\r\n \r\nlast \t", false),
            "\tend=20\r\nnext=09\r\n=20\r\nlast =09");
  // Rule 4: only CR LF is a line break; a lone CR or LF is escaped.
  EXPECT_EQ(EncodeQuotedPrintable("a\rb\nc\n\rd\r\r\ne \r", false), "a=0Db=0Ac=0A=0Dd=0D\r\ne =0D");
  EXPECT_EQ(EncodeQuotedPrintable(std::string_view("\0", 1), false), std::string("\0", 1));
  EXPECT_EQ(EncodeQuotedPrintable("", false), "");

  // An escape that reaches column 72 or beyond is kept whole before the break.
  EXPECT_EQ(EncodeQuotedPrintable(std::string(71, 'a') + "\xE9z", false),
            std::string(71, 'a') + "=E9=\r\nz");
  // CR LF starts the count again: 71 letters fit with no soft break.
  EXPECT_EQ(EncodeQuotedPrintable(std::string(50, 'a') + "\r\n" + std::string(71, 'b'), false),
            std::string(50, 'a') + "\r\n" + std::string(71, 'b'));
  // A lone LF is an escape of three.
  std::string lf = EncodeQuotedPrintable(std::string(50, 'a') + "\n" + std::string(30, 'b'), false);
  EXPECT_EQ(lf, std::string(50, 'a') + "=0A" + std::string(19, 'b') + "=\r\n" + std::string(11, 'b'));
}

TEST(QuotedPrintableEncode, HeaderForm) {
  EXPECT_EQ(EncodeQuotedPrintable("a b", true), "a=20b");
  EXPECT_EQ(EncodeQuotedPrintable("a=b", true), "a=3Db");
  EXPECT_EQ(EncodeQuotedPrintable("_\"?", true), "=5F=22=3F");
  EXPECT_EQ(EncodeQuotedPrintable("\r\n\t\x01\x7F\xE9", true), "=0D=0A=09=01\x7F=E9");
  std::string longText(300, 'y');
  EXPECT_EQ(EncodeQuotedPrintable(longText, true), longText);  // no soft breaks
}

TEST(QuotedPrintableDecode, EscapesSoftBreaksAndLiterals) {
  EXPECT_EQ(DecodeQuotedPrintable("=41=42"), "AB");
  EXPECT_EQ(DecodeQuotedPrintable("=4a"), "=4a");  // lower case is no escape
  EXPECT_EQ(DecodeQuotedPrintable("abc="), "abc");
  EXPECT_EQ(DecodeQuotedPrintable("a=3D=\r\n41"), "a=41");
  EXPECT_EQ(DecodeQuotedPrintable("=3D41"), "=41");  // a produced "=" is not read again
  EXPECT_EQ(DecodeQuotedPrintable("==41"), "=A");
  EXPECT_EQ(DecodeQuotedPrintable("a=\n\rb"), "ab");
  EXPECT_EQ(DecodeQuotedPrintable("a=\rb"), "ab");
  EXPECT_EQ(DecodeQuotedPrintable("a=\nb"), "ab");
  EXPECT_EQ(DecodeQuotedPrintable("a=\r\r\n"), "a\r\n");
  EXPECT_EQ(DecodeQuotedPrintable("a=x"), "a=x");
  EXPECT_EQ(DecodeQuotedPrintable("="), "");
  EXPECT_EQ(DecodeQuotedPrintable("=="), "==");
  EXPECT_EQ(DecodeQuotedPrintable(""), "");
  EXPECT_EQ(DecodeQuotedPrintable(std::string_view("a\0=00b", 6)), std::string("a\0\0b", 4));
}

TEST(QuotedPrintable, RoundTripsRandomBytes) {
  for (unsigned seed = 1; seed <= 20; ++seed) {
    std::string data = RandomBytes(seed * 97, seed);
    std::string body = EncodeQuotedPrintable(data + "\r\n \r\n\t", false);
    EXPECT_EQ(DecodeQuotedPrintable(body), data + "\r\n \r\n\t") << "seed " << seed;
    // Only CR LF breaks lines, and no line ends with a blank.
    for (size_t at = 0; (at = body.find_first_of("\r\n", at)) != std::string::npos; at += 2) {
      ASSERT_EQ(body.compare(at, 2, "\r\n"), 0) << "seed " << seed << " at " << at;
      ASSERT_TRUE(at == 0 || (body[at - 1] != ' ' && body[at - 1] != '\t')) << "seed " << seed;
    }
    EXPECT_TRUE(body.back() != ' ' && body.back() != '\t');
    // Without a CR in the text every soft-broken line holds 72 to 74 characters.
    std::string noCR = data;
    std::replace(noCR.begin(), noCR.end(), '\r', 'r');
    auto lines = SplitCRLF(EncodeQuotedPrintable(noCR, false));
    for (size_t i = 0; i + 1 < lines.size(); ++i) {
      EXPECT_EQ(lines[i].back(), '=');
      EXPECT_GE(lines[i].size(), 73u);
      EXPECT_LE(lines[i].size(), 75u);
    }
    std::string header = EncodeQuotedPrintable(data, true);
    EXPECT_EQ(header.find_first_of(std::string(" \r\n\"_\0", 6)), std::string::npos);
    EXPECT_EQ(DecodeQuotedPrintable(header), data) << "seed " << seed;
  }
}

TEST(Base64Encode, SizesPaddingAndLines) {
  EXPECT_EQ(Base64(""), "");
  EXPECT_EQ(Base64("f"), "Zg==\r\n");
  EXPECT_EQ(Base64("fo"), "Zm8=\r\n");
  EXPECT_EQ(Base64("foobar"), "Zm9vYmFy\r\n");
  EXPECT_EQ(Base64("\xFB\xFF\xBF"), "+/+/\r\n");

  std::string one = Base64(std::string(57, 'A'));
  EXPECT_EQ(one.size(), 78u);
  EXPECT_EQ(one.substr(76), "\r\n");
  auto lines = SplitCRLF(Base64(std::string(58, 'A')));
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0].size(), 76u);
  EXPECT_EQ(lines[1], "QQ==");

  // Old output content goes; the input is read from its start.
  TMemoryStream in(std::string("Man")), out(std::string("stale stale stale"));
  in.Seek(0, soEnd);
  EXPECT_EQ(EncodeBASE64(out, in), 6);
  EXPECT_EQ(out.Data(), "TWFu\r\n");
}

TEST(Base64Encode, IndependentOfReadSizes) {
  std::string data = RandomBytes(57 * 40 * 3 + 100, 7);  // crosses block edges
  TTrickleStream slow(data);
  TMemoryStream out;
  EncodeBASE64(out, slow);
  EXPECT_EQ(out.Data(), Base64(data));
}

TEST(Base64DecodeLine, GroupsPaddingAndLeftovers) {
  EXPECT_EQ(DecodeB64Line("TWFu"), "Man");
  EXPECT_EQ(DecodeB64Line("TWFu\r\n"), "Man");
  EXPECT_EQ(DecodeB64Line("TQ=="), "M");
  EXPECT_EQ(DecodeB64Line("TWE="), "Ma");
  EXPECT_EQ(DecodeB64Line("TWE"), "");
  EXPECT_EQ(DecodeB64Line("TQ==TWFu"), "MMan");  // padding ends only its group
  EXPECT_EQ(DecodeB64Line("=AAA"), "");
  EXPECT_EQ(DecodeB64Line("===="), std::string("\0", 1));
  EXPECT_EQ(DecodeB64Line("+/+/"), "\xFB\xFF\xBF");
  // A character outside the alphabet still takes its place and counts 0.
  EXPECT_EQ(DecodeB64Line("TW*u"), DecodeB64Line("TWAu"));
  EXPECT_EQ(DecodeB64Line(std::string_view("\0\0\0\0", 4)), std::string(3, '\0'));

  std::string appended = "x";
  DecodeLineBASE64("TWFu", appended);
  DecodeLineBASE64("TQ==\r\n", appended);
  EXPECT_EQ(appended, "xManM");
}

TEST(Base64, RoundTripLineByLineAnyCut) {
  for (size_t n : {0u, 1u, 2u, 56u, 57u, 58u, 2280u, 5000u}) {
    std::string data = RandomBytes(n, static_cast<unsigned>(n) + 3);
    std::string text = Base64(data);
    std::string decoded;
    for (const auto& line : SplitCRLF(text)) {
      EXPECT_LE(line.size(), 76u);
      decoded += DecodeB64Line(line + "\r\n");
    }
    EXPECT_EQ(decoded, data) << n;

    // Cut anywhere on a group boundary, the bytes are the same.
    std::string flat;
    for (const auto& line : SplitCRLF(text)) flat += line;
    for (size_t chunk : {4u, 8u, 76u, 1000u}) {
      std::string joined;
      for (size_t pos = 0; pos < flat.size(); pos += chunk) joined += DecodeB64Line(flat.substr(pos, chunk));
      EXPECT_EQ(joined, data) << n << " in chunks of " << chunk;
    }
  }
}

TEST(Base64DecodeStream, SkipsJunkAndKeepsTheEnd) {
  // Each case names the wrong result that reading line by line gave.
  EXPECT_EQ(DecodeBASE64("TWFu\r\nTWFu\r\n"), "ManMan");
  EXPECT_EQ(DecodeBASE64("TW Fu\tTW*Fu]"), "ManMan");  // junk took a place, shifting the rest
  EXPECT_EQ(DecodeBASE64("TWFuT\r\nWFu"), "ManMan");  // a group across lines was lost
  EXPECT_EQ(DecodeBASE64("TWFuTQ"), "ManM");          // a cut-off end lost its bytes
  EXPECT_EQ(DecodeBASE64("TWFuTWE"), "ManMa");
  EXPECT_EQ(DecodeBASE64("TWFuT"), "Man");  // 6 bits make no byte
  EXPECT_EQ(DecodeBASE64("TQ==TWFu"), "MMan");  // padding ends its group only
  EXPECT_EQ(DecodeBASE64("TQ=\r\n=TWE="), "MMa");
  EXPECT_EQ(DecodeBASE64("=T=TWFu"), "Man");  // a lone character before padding is dropped
  EXPECT_EQ(DecodeBASE64(""), "");
  EXPECT_EQ(DecodeBASE64("\r\n\r\n"), "");
  EXPECT_EQ(DecodeBASE64(std::string_view("\0T\0W\0F\0u", 8)), "Man");
}

TEST(Base64DecodeStream, AgreesWithTheEncoderWhateverTheJunk) {
  std::mt19937 gen(7);
  const std::string junk = " \t\r\n*]!-.\x80\xff";
  // 40000 bytes span several of the pieces the text form decodes at a time.
  for (size_t n : {0u, 1u, 2u, 3u, 56u, 57u, 58u, 1000u, 5000u, 40000u}) {
    std::string data = RandomBytes(n, static_cast<unsigned>(n) + 11);
    std::string text = Base64(data);
    EXPECT_EQ(DecodeBASE64(text), data) << n;
    // Bare LF line ends, no line ends, and junk sprinkled anywhere.
    std::string lf = text, flat = text, noisy;
    lf.erase(std::remove(lf.begin(), lf.end(), '\r'), lf.end());
    flat.erase(std::remove_if(flat.begin(), flat.end(), [](char c) { return c == '\r' || c == '\n'; }),
               flat.end());
    for (char c : text) {
      while (gen() % 5 == 0) noisy += junk[gen() % junk.size()];
      noisy += c;
    }
    EXPECT_EQ(DecodeBASE64(lf), data) << n;
    EXPECT_EQ(DecodeBASE64(flat), data) << n;
    EXPECT_EQ(DecodeBASE64(noisy), data) << n;
    // Without its padding the end still decodes whole.
    std::string bare = flat;
    bare.erase(std::remove(bare.begin(), bare.end(), '='), bare.end());
    EXPECT_EQ(DecodeBASE64(bare), data) << n;
    // A buffer of exactly the promised room: a write past it shows up
    // under the sanitizer.
    for (const std::string* t : {&bare, &noisy}) {
      std::vector<char> room(DecodedBASE64Room(t->size()));
      EXPECT_EQ(std::string(room.data(), DecodeBASE64(*t, room.data())), data) << n;
    }
  }
}

TEST(UUDecodeLine, CountsValuesAndErrors) {
  char out[45];
  EXPECT_EQ(DecodeLineUUCODE("#86)C", out), 3);
  EXPECT_EQ(std::string(out, 3), "abc");
  EXPECT_EQ(DecodeLineUUCODE("`", out), 0);
  EXPECT_EQ(DecodeLineUUCODE("", out), 0);
  EXPECT_EQ(DecodeLineUUCODE("#86", out), 3);  // missing bits are 0
  EXPECT_EQ(std::string(out, 3), std::string("a`\0", 3));
  EXPECT_EQ(DecodeLineUUCODE("#    ", out), 3);  // space reads as 0
  EXPECT_EQ(std::string(out, 3), std::string(3, '\0'));

  std::string before(out, 45);
  EXPECT_THROW(DecodeLineUUCODE("#86)c", out), EVizuError);
  EXPECT_EQ(std::string(out, 45), before);  // nothing written for a bad line
  EXPECT_THROW(DecodeLineUUCODE("a86)C", out), EVizuError);
  EXPECT_THROW(DecodeLineUUCODE("#86)C\r", out), EVizuError);
  try {
    DecodeLineUUCODE("#\x80", out);
    FAIL();
  } catch (const EVizuError& e) {
    EXPECT_STREQ(e.what(), "UUCODE message format error");
  }

  // A full line needs its 60 characters; more are ignored.
  std::string full = "M" + std::string(60, '!');
  EXPECT_EQ(DecodeLineUUCODE(full, out), 45);
  EXPECT_EQ(static_cast<unsigned char>(out[44]), 0x41);
  EXPECT_EQ(DecodeLineUUCODE(full + "xyz", out), 45);
  EXPECT_THROW(DecodeLineUUCODE("M" + std::string(59, '!'), out), EVizuError);
  // Counts above 45 and overlong lines stay inside the 45-byte buffer.
  EXPECT_EQ(DecodeLineUUCODE("_" + std::string(200, '!'), out), 63);
  EXPECT_EQ(DecodeLineUUCODE("!" + std::string(200, '!'), out), 1);
}

TEST(UUDecode, WholeTexts) {
  std::string data = RandomBytes(1000, 11);
  TMemoryStream out(std::string("old"));
  EXPECT_TRUE(DecodeUUCODE(UUEncode(data), out));
  EXPECT_EQ(out.Data(), data);

  // Empty lines and a last line without CR LF; a count above 45 keeps 45.
  EXPECT_TRUE(DecodeUUCODE("#86)C\r\n\r\n#86)C", out));
  EXPECT_EQ(out.Data(), "abcabc");
  EXPECT_TRUE(DecodeUUCODE("_" + std::string(60, '!'), out));
  EXPECT_EQ(out.Size(), 45);
  EXPECT_TRUE(DecodeUUCODE("", out));
  EXPECT_EQ(out.Size(), 0);

  // A bad line raises; what came before stays.
  EXPECT_THROW(DecodeUUCODE("#86)C\r\nbad\r\n#86)C\r\n", out), EVizuError);
  EXPECT_EQ(out.Data(), "abc");
  EXPECT_THROW(DecodeUUCODE("#86)C\n#86)C", out), EVizuError);  // a bare LF is no line end
}

TEST(EncodedWords, Encode) {
  EXPECT_EQ(EncodeLine7Bit("Hello", "iso-8859-1"), "Hello");
  EXPECT_EQ(EncodeLine7Bit(" a=?_\x7F ", "x"), " a=?_\x7F ");
  EXPECT_EQ(EncodeLine7Bit("", "x"), "");
  EXPECT_EQ(EncodeLine7Bit("caf\xE9 ok", "iso-8859-1"), "=?iso-8859-1?Q?caf=E9=20ok?=");
  EXPECT_EQ(EncodeLine7Bit("a\tb", "utf-8"), "=?utf-8?Q?a=09b?=");
  // "?" is escaped, so the word cannot end early.
  EXPECT_EQ(EncodeLine7Bit("\xC7" "a va??", "c"), "=?c?Q?=C7a=20va=3F=3F?=");
  EXPECT_EQ(DecodeLine7Bit(EncodeLine7Bit("\xC7" "a va? s\xFBr?", "c")), "\xC7" "a va? s\xFBr?");
  // RFC 2047 section 2: words of at most 75 characters, one blank apart;
  // in UTF-8 a character's bytes stay in one word, elsewhere any byte may end one.
  std::string longText = std::string(200, 'z') + "\xE9";
  EXPECT_EQ(EncodeLine7Bit(longText, "c"), "=?c?Q?" + std::string(67, 'z') + "?= =?c?Q?" +
                                               std::string(67, 'z') + "?= =?c?Q?" +
                                               std::string(66, 'z') + "?= =?c?Q?=E9?=");
  EXPECT_EQ(EncodeLine7Bit(std::string(64, 'z') + "\xC3\xA9", "c"),
            "=?c?Q?" + std::string(64, 'z') + "=C3?= =?c?Q?=A9?=");
  EXPECT_EQ(EncodeLine7Bit(std::string(60, 'z') + "\xC3\xA9", "UTF-8"),
            "=?UTF-8?Q?" + std::string(60, 'z') + "?= =?UTF-8?Q?=C3=A9?=");
}

TEST(EncodedWords, Decode) {
  EXPECT_EQ(DecodeLine7Bit("=?iso-8859-1?Q?a_b=E9?="), "a b\xE9");
  EXPECT_EQ(DecodeLine7Bit("x =?us-ascii?B?TWFu?= y"), "x Man y");
  EXPECT_EQ(DecodeLine7Bit("  plain text  "), "plain text");
  EXPECT_EQ(DecodeLine7Bit("=?x?Z?abc?="), "abc");  // unknown letter: Q
  EXPECT_EQ(DecodeLine7Bit("=?x?Qa_b?="), " b");  // no "?" after the letter: Q, two dropped
  EXPECT_EQ(DecodeLine7Bit("=?x?q?a_b?="), "a b");
  EXPECT_EQ(DecodeLine7Bit("=?x?abc"), "=?x?abc");
  EXPECT_EQ(DecodeLine7Bit("a=?x?B?" "?=b"), "ab");
  EXPECT_EQ(DecodeLine7Bit("=?x?Q?=E9?="), "\xE9");
  EXPECT_EQ(DecodeLine7Bit("=?x?b?TQ==?="), "M");
  EXPECT_EQ(DecodeLine7Bit("=?x?B?TQBu?="), "M");  // ends at the NUL
  EXPECT_EQ(DecodeLine7Bit("=?x?U?#86)C?="), "abc");
  EXPECT_EQ(DecodeLine7Bit("=?x?Q?" "?="), "");
  EXPECT_EQ(DecodeLine7Bit("=??Q?a?="), "a");
  EXPECT_EQ(DecodeLine7Bit("=?x?" "?="), "");
  // RFC 2047 section 6.2: blanks between adjacent words go, folds included;
  // blanks next to plain text stay.
  EXPECT_EQ(DecodeLine7Bit("=?x?Q?a?= =?x?Q?b?="), "ab");
  EXPECT_EQ(DecodeLine7Bit("=?utf-8?Q?Gr=C3=BC?=\r\n\t =?utf-8?Q?=C3=9Fe?= x =?x?Q?c?=  d"),
            "Gr\xC3\xBC\xC3\x9F" "e x c  d");
  EXPECT_EQ(DecodeLine7Bit("=?x?Q?a?==?x?Q?b?="), "ab");
  EXPECT_EQ(DecodeLine7Bit("=?x?Q?a?= =?x?b"), "a =?x?b");
  // The charset runs to the next "?", wherever that is.
  EXPECT_EQ(DecodeLine7Bit("=?odd =?x?Q?b?="), "Q?b");
  EXPECT_THROW(DecodeLine7Bit("=?x?U?#86)c?="), EVizuError);
}

TEST(EncodedWords, DecodedTextIsFinal) {
  // A word that decodes to encoded-word text, with or without an "=" in
  // front: the text stays as the word held it, in both decoders.
  for (auto decode : {&DecodeLine7Bit, &DecodeLine7BitOnce}) {
    EXPECT_EQ(decode("==?c?Q?=3Fx=3FQ=3FA=3F=3D?="), "=?x?Q?A?=");
    EXPECT_EQ(decode("=?c?Q?=3D?==?c?Q?=3Fc=3FQ=3FB=3F=3D?="), "=?c?Q?B?=");
    EXPECT_EQ(decode("=?c?B?PT94P1E/eT89?= tail"), "=?x?Q?y?= tail");
  }
}

TEST(EncodedWords, RoundTrip) {
  for (unsigned seed = 1; seed <= 20; ++seed) {
    std::string text = RandomBytes(seed * 13, seed) + "\xE9";
    std::replace(text.begin(), text.end(), '=', '-');  // keep "=?" out of the text
    EXPECT_EQ(DecodeLine7Bit(EncodeLine7Bit(text, "iso-8859-1")), text) << seed;
  }
}

TEST(Codecs, AnyBytesGiveAResult) {
  // Texts dense in the characters the decoders look for.
  const std::string alphabet = std::string("=?_QBUqbu\r\n #M`!aZ09+/", 22) + std::string(1, '\0') + "\xE9";
  std::mt19937 gen(5);
  for (int round = 0; round < 3000; ++round) {
    std::string text(gen() % 120, '\0');
    for (char& c : text) c = round % 3 == 0 ? static_cast<char>(gen()) : alphabet[gen() % alphabet.size()];

    std::string decoded = DecodeQuotedPrintable(text);
    EXPECT_LE(decoded.size(), text.size());
    EXPECT_EQ(DecodeQuotedPrintable(EncodeQuotedPrintable(text, round % 2 == 0)), text);
    EXPECT_LE(DecodeB64Line(text).size(), text.size() * 3 / 4);
    char uu[45];
    try {
      int n = DecodeLineUUCODE(text, uu);
      EXPECT_GE(n, 0);
      EXPECT_LE(n, 63);
      TMemoryStream out;
      DecodeUUCODE(text, out);
    } catch (const EVizuError& e) {
      EXPECT_STREQ(e.what(), "UUCODE message format error");
    }
    try {
      EXPECT_LE(DecodeLine7Bit(text).size(), text.size());
    } catch (const EVizuError& e) {
      EXPECT_STREQ(e.what(), "UUCODE message format error");
    }
  }
}

// Each faster path against the scalar one on the same inputs. A path this
// processor cannot take is reported as skipped rather than compared with
// the scalar path standing in for it.
class CodecPaths : public testing::TestWithParam<TCodecPath> {
 protected:
  void SetUp() override {
    if (GetParam() == TCodecPath::Vector && !CodecVectorAvailable())
      GTEST_SKIP() << "this processor has no AVX2, so the vector path cannot run here";
    if (GetParam() == TCodecPath::Wide && !CodecWideAvailable())
      GTEST_SKIP() << "this processor lacks AVX-512 BW or VBMI2, so the wide path cannot run here";
    TCodecPath before = SetCodecPath(GetParam());
    ASSERT_EQ(SetCodecPath(before), GetParam()) << "the path asked for is not the one in use";
  }

  // Runs fn on the scalar path and on the path under test.
  template <class Fn>
  void ExpectPathsAgree(Fn fn, const std::string& what) {
    TCodecPath before = SetCodecPath(TCodecPath::Scalar);
    auto scalar = fn();
    SetCodecPath(GetParam());
    auto faster = fn();
    SetCodecPath(before);
    EXPECT_EQ(scalar, faster) << what;
  }
};

INSTANTIATE_TEST_SUITE_P(Faster, CodecPaths, testing::Values(TCodecPath::Vector, TCodecPath::Wide),
                         testing::PrintToStringParamName());

TEST_P(CodecPaths, Base64EncodeSameBytes) {
  // Every length up to a few lines, then lengths around the 40-line blocks
  // the encoder works in, read in place and through a trickling stream.
  std::vector<size_t> sizes;
  for (size_t n = 0; n <= 300; ++n) sizes.push_back(n);
  for (size_t edge : {57u * 40, 57u * 80})
    for (size_t d = 0; d <= 8; ++d) sizes.insert(sizes.end(), {edge - d, edge + d});
  for (size_t n : sizes) {
    std::string data = RandomBytes(n, static_cast<unsigned>(n) + 101);
    ExpectPathsAgree([&] { return Base64(data); }, "in place, " + std::to_string(n));
    ExpectPathsAgree(
        [&] {
          TTrickleStream slow(data);
          TMemoryStream out;
          EncodeBASE64(out, slow);
          return out.Data();
        },
        "trickled, " + std::to_string(n));
  }
  // Every byte value in every place of a group.
  std::string all;
  for (int b = 0; b < 256; ++b) all += {static_cast<char>(b), static_cast<char>(255 - b), static_cast<char>(b * 7)};
  ExpectPathsAgree([&] { return Base64(all); }, "all bytes");
}

// Texts that put the quoted-printable codecs' special bytes at every
// distance from each other: plain runs of every length up to past a line,
// CR, LF, "=", hex digits in both cases and bytes above 127.
std::string QPTestText(size_t n, std::mt19937& gen) {
  const std::string specials = std::string("=\r\n\r\n=\xE9\x80\xFF\t 0A9Fa", 16) + std::string(1, '\0');
  std::string text;
  while (text.size() < n) {
    size_t run = gen() % 4 == 0 ? gen() % 160 : gen() % 8;
    for (size_t k = 0; k < run; ++k) text += static_cast<char>('a' + gen() % 26);
    text += specials[gen() % specials.size()];
  }
  text.resize(n);
  return text;
}

TEST_P(CodecPaths, QuotedPrintableSameBytes) {
  std::mt19937 gen(17);
  // Lengths up to a few lines at every start alignment, then texts that
  // cross the encoder's 2048-byte chunks and the decoder's 16384-byte blocks.
  std::vector<std::string> texts;
  for (size_t n = 0; n <= 260; ++n) texts.push_back(QPTestText(n, gen));
  for (size_t n : {2047u, 2048u, 2049u, 6000u, 16383u, 16384u, 16385u, 40000u}) texts.push_back(QPTestText(n, gen));
  texts.push_back(std::string(20000, 'x'));  // one plain run, soft breaks only
  texts.push_back(std::string(20000, '='));
  for (const std::string& text : texts) {
    for (size_t offset = 0; offset < (text.size() <= 260 ? 32u : 1u); ++offset) {
      // The text ends where its buffer does, so a read past it shows up
      // under the sanitizer.
      std::vector<char> buffer(offset + text.size());
      std::copy(text.begin(), text.end(), buffer.begin() + static_cast<std::ptrdiff_t>(offset));
      std::string_view view(buffer.data() + offset, text.size());
      std::string what = std::to_string(text.size()) + " bytes at offset " + std::to_string(offset);
      ExpectPathsAgree([&] { return EncodeQuotedPrintable(view, false); }, "encode " + what);
      ExpectPathsAgree([&] { return DecodeQuotedPrintable(view); }, "decode " + what);
      ExpectPathsAgree(
          [&] {
            std::vector<char> room(view.size());
            return std::string(room.data(), DecodeQuotedPrintable(view, room.data()));
          },
          "decode into its room " + what);
      std::string encoded = EncodeQuotedPrintable(view, false);
      ExpectPathsAgree([&] { return DecodeQuotedPrintable(encoded); }, "decode encoded " + what);
    }
  }
}

// The base64 decoders read 32 characters at a time on the vector path.
// Every byte value in every place of the first blocks, and encoded texts
// of every length with lines of many lengths and junk between, must give
// the scalar path's bytes, into buffers of exactly the promised room.
TEST_P(CodecPaths, Base64DecodeSameBytes) {
  auto both = [this](const std::string& text, const std::string& what) {
    ExpectPathsAgree([&] { return DecodeBASE64(text); }, "stream " + what);
    ExpectPathsAgree(
        [&] {
          std::vector<char> room(DecodedBASE64Room(text.size()));
          return std::string(room.data(), DecodeBASE64(text, room.data()));
        },
        "stream into its room " + what);
    ExpectPathsAgree(
        [&] {
          std::vector<char> room(text.size() * 3 / 4);
          return std::string(room.data(), static_cast<size_t>(DecodeLineBASE64(text, room.data())));
        },
        "line " + what);
  };
  const std::string clean = Base64(RandomBytes(60, 5)).substr(0, 80);
  for (int b = 0; b < 256; ++b) {
    for (size_t at = 0; at < 72; ++at) {
      std::string text = clean;
      text[at] = static_cast<char>(b);
      both(text, "byte " + std::to_string(b) + " at " + std::to_string(at));
    }
  }
  std::mt19937 gen(23);
  const std::string junk = " \t\r\n*=.\x80\xff";
  for (size_t n = 0; n <= 400; n += (n < 130 ? 1 : 37)) {
    std::string flat = Base64(RandomBytes(n, static_cast<unsigned>(n) + 3));
    flat.erase(std::remove_if(flat.begin(), flat.end(), [](char c) { return c == '\r' || c == '\n'; }),
               flat.end());
    for (size_t width : {4u, 31u, 32u, 60u, 64u, 76u, 100u}) {
      std::string lines, noisy;
      for (size_t i = 0; i < flat.size(); i += width) lines += flat.substr(i, width) + "\r\n";
      for (char c : lines) {
        if (gen() % 97 == 0) noisy += junk[gen() % junk.size()];
        noisy += c;
      }
      const std::string what = std::to_string(n) + " bytes, lines of " + std::to_string(width);
      both(lines, what);
      both(noisy, "noisy " + what);
      std::string lf = lines;
      lf.erase(std::remove(lf.begin(), lf.end(), '\r'), lf.end());
      both(lf, "LF " + what);
    }
  }
}
