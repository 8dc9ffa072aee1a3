// Drives every text primitive of the library (header fields, transfer codecs,
// content types and names) with arbitrary bytes and checks the properties
// that must hold whatever the input: round trips of the codecs, lines that
// cut the text without losing a byte, results within their bounds.
#include <cctype>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "mail/message/dash_lines.h"
#include "mail/mime/codec_paths.h"
#include "mail/mime/codecs.h"
#include "mail/mime/header_fields.h"
#include "mail/mime/mime_types.h"
#include "platform/error.h"
#include "platform/streams.h"
#include "platform/string_list.h"

using namespace Vizu2000;

namespace {

[[noreturn]] void Fail(const char* what, std::string_view input) {
  std::fprintf(stderr, "fuzz_mime: %s (input of %zu bytes)\n", what, input.size());
  std::abort();
}

void Check(bool ok, const char* what, std::string_view input) {
  if (!ok) Fail(what, input);
}

bool StartsWithNoCase(std::string_view text, std::string_view prefix) {
  return text.size() >= prefix.size() && SameText(text.substr(0, prefix.size()), prefix);
}

void HeaderFields(std::string_view a, std::string_view b, int number) {
  std::string t = TrimSpace(a);
  Check(t.empty() || (t.front() != ' ' && t.back() != ' '), "TrimSpace left a space", a);
  Check(a.find(t) != std::string_view::npos, "TrimSpace changed the text", a);
  Check(TrimLeftSpace(TrimRightSpace(a)) == t, "TrimLeftSpace/TrimRightSpace differ from TrimSpace", a);

  int width = number % 80;  // negative widths too
  std::string padded = PadL(a, width, "0");
  if (width >= 0) Check(padded.size() == static_cast<size_t>(width), "PadL width", a);
  PadL(a, width, b);  // any pad text, the empty one included

  TStringList list;
  list.SetText(a);
  int occurrence = number % 8;
  int found = SearchStringList(&list, b, occurrence);
  Check(found >= -1 && found < list.Count(), "SearchStringList index out of range", a);
  if (found >= 0) Check(StartsWithNoCase(list[found], b), "SearchStringList wrong entry", a);
  Check(SearchStringList(nullptr, b, occurrence) == -1, "SearchStringList without list", a);

  NormalizeLabel(a);
  LabelValue(a);
  WriteLabelValue(a, b);
  LabelParamValue(a, b);
  size_t cut = b.size() / 2;
  WriteLabelParamValue(a, b.substr(0, cut), b.substr(cut));
  WrapHeader(a);
}

// Both line cutters must hand out every byte exactly once and end.
void LineCutters(std::string_view text) {
  std::string joined, line;
  int position = 1;
  size_t calls = 0;
  while (position >= 0) {
    DataLine(text, line, position);
    joined += line;
    Check(++calls <= text.size() + 1, "DataLine does not advance", text);
  }
  Check(joined == text, "DataLine lost or added bytes", text);

  // An exact-size copy, so a read past the end is caught.
  std::vector<char> buffer(text.begin(), text.end());
  long long pos = -1;
  size_t lineLength = 0;
  const char* lineStart = nullptr;
  bool done = false;
  std::string rebuilt;
  bool first = true;
  calls = 0;
  while (true) {
    DataLinePChar(buffer.data(), buffer.size(), pos, lineLength, lineStart, done);
    if (done) break;
    Check(++calls <= text.size() + 1, "DataLinePChar does not advance", text);
    Check(lineStart >= buffer.data() && lineStart + lineLength <= buffer.data() + buffer.size(),
          "DataLinePChar line outside the buffer", text);
    if (!first) rebuilt += "\r\n";
    rebuilt.append(lineStart, lineLength);
    first = false;
  }
  if (text.size() >= 2 && text.substr(text.size() - 2) == "\r\n") rebuilt += "\r\n";
  Check(rebuilt == text, "DataLinePChar lost or added bytes", text);
  Check(std::string_view(buffer.data(), buffer.size()) == text, "DataLinePChar changed the buffer", text);
}

void QuotedPrintable(std::string_view text) {
  Check(DecodeQuotedPrintable(EncodeQuotedPrintable(text, false)) == text,
        "quoted-printable body form does not round-trip", text);
  std::string header = EncodeQuotedPrintable(text, true);
  for (unsigned char c : header)
    Check(c > 32 && c < 128 && c != '"' && c != '_', "quoted-printable header form left a byte", text);
  Check(DecodeQuotedPrintable(header) == text, "quoted-printable header form does not round-trip", text);
  DecodeQuotedPrintable(text);
}

void Base64(std::string_view text) {
  TMemoryStream input, output;
  input.Assign(std::string(text));
  std::int64_t size = EncodeBASE64(output, input);
  Check(size == output.Size(), "EncodeBASE64 size", text);
  std::string_view encoded = output.View();
  std::string decoded;
  size_t start = 0;
  while (start < encoded.size()) {
    size_t end = encoded.find("\r\n", start);
    Check(end != std::string_view::npos, "base64 line without CR LF", text);
    Check(end - start <= 76, "base64 line too long", text);
    std::string_view line = encoded.substr(start, end - start + 2);
    std::vector<char> out(line.size() * 3 / 4 + 3);
    int n = DecodeLineBASE64(line, out.data());
    Check(n >= 0 && static_cast<size_t>(n) <= line.size() * 3 / 4, "DecodeLineBASE64 count", text);
    decoded.append(out.data(), n);
    start = end + 2;
  }
  Check(decoded == text, "base64 does not round-trip", text);

  // Arbitrary lines, in an exact-size buffer.
  std::vector<char> out(text.size() * 3 / 4 + 3);
  int n = DecodeLineBASE64(text, out.data());
  Check(n >= 0 && static_cast<size_t>(n) <= text.size() * 3 / 4, "DecodeLineBASE64 count", text);
  std::string appended = "x";
  DecodeLineBASE64(text, appended);
  Check(appended == "x" + std::string(out.data(), n), "DecodeLineBASE64 forms differ", text);

  // The stream decoder: an exact-size buffer; characters outside the
  // alphabet change nothing; on clean whole groups it agrees with the line
  // decoder; and it reads the encoder's output back whole.
  std::vector<char> room(DecodedBASE64Room(text.size()));
  std::string stream(room.data(), DecodeBASE64(text, room.data()));
  std::string kept;
  bool clean = text.size() % 4 == 0;
  for (char c : text) {
    bool alphabet = std::isalnum(static_cast<unsigned char>(c)) || c == '+' || c == '/';
    if (alphabet || c == '=') kept += c;
    clean = clean && alphabet;
  }
  Check(DecodeBASE64(kept) == stream, "DecodeBASE64 read a character outside the alphabet", text);
  if (clean) Check(stream == std::string(out.data(), n), "DecodeBASE64 differs from the line decoder", text);
  Check(DecodeBASE64(encoded) == text, "DecodeBASE64 does not read the encoder's output", text);
}

// The scalar and vector paths of the codecs must give the same bytes.
void CodecPathsAgree(std::string_view text) {
  auto both = [&](auto fn, const char* what) {
    SetCodecPath(TCodecPath::Scalar);
    auto scalar = fn();
    SetCodecPath(TCodecPath::Vector);
    Check(fn() == scalar, what, text);
    SetCodecPath(TCodecPath::Wide);
    Check(fn() == scalar, what, text);
  };
  both([&] { return EncodeQuotedPrintable(text, false); }, "quoted-printable encoders differ by path");
  both([&] { return DecodeQuotedPrintable(text); }, "quoted-printable decoders differ by path");
  both(
      [&] {
        TMemoryStream input{std::string(text)}, output;
        EncodeBASE64(output, input);
        return output.Release();
      },
      "base64 encoders differ by path");
  both(
      [&] {
        std::string copy(text.size(), '\0');
        TDashLines lines = FindDashLines(text, copy.data(), DashLineLimit(text.size()));
        Check(copy == text, "the dash line scan copied other bytes", text);
        return lines.starts;
      },
      "dash line scans differ by path");
}

void Uucode(std::string_view text) {
  std::vector<char> out(45);
  try {
    int n = DecodeLineUUCODE(text, out.data());
    Check(n >= 0 && n <= 63, "DecodeLineUUCODE count", text);
  } catch (const EVizuError&) {
  }
  TMemoryStream stream;
  try {
    DecodeUUCODE(text, stream);
  } catch (const EVizuError&) {
  }
}

void EncodedWords(std::string_view text, std::string_view charset) {
  std::string word = EncodeLine7Bit(text, charset);
  bool printable = true;
  for (unsigned char c : text) printable = printable && c >= 32 && c <= 127;
  if (printable) Check(word == text, "EncodeLine7Bit changed a printable text", text);
  // With no "?" in the text, a character set that is an RFC 2047 token
  // (section 2: no blank, control or especial) and no space to trim, the
  // encoded words decode to the text.
  bool token = !charset.empty();
  for (unsigned char c : charset)
    token = token && c > 32 && c < 127 && std::string_view("()<>@,;:\\\"/[]?.=").find(static_cast<char>(c)) == std::string_view::npos;
  bool plain = !printable && token && text.find('?') == std::string_view::npos && text.front() != ' ' &&
               text.back() != ' ';
  try {
    std::string decoded = DecodeLine7Bit(word);
    if (plain) Check(decoded == text, "encoded word does not round-trip", text);
  } catch (const EVizuError&) {
    // Only a "U" word may raise.
    Check(!plain, "DecodeLine7Bit raised on a Q word", text);
  }
  try {
    DecodeLine7Bit(text);
  } catch (const EVizuError&) {
  }
}

void TypesAndNames(std::string_view text) {
  Check(!GetMimeType(text).empty(), "GetMimeType empty", text);
  std::string extension = GetMimeExtension(text);
  Check(extension.empty() || extension.front() == '.', "GetMimeExtension without a dot", text);
  std::string name = ValidFileName(text);
  Check(name.size() <= 254, "ValidFileName too long", text);
  for (unsigned char c : name)
    Check(c >= 32 && std::string_view(":\\/*?\"<>|'").find(static_cast<char>(c)) == std::string_view::npos,
          "ValidFileName left an unsafe character", text);
  IsIPAddress(text);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string_view input(reinterpret_cast<const char*>(data), size);
  // The first byte chooses where the rest splits into two texts and the
  // small numbers (width, occurrence) of the functions that take them.
  int control = size > 0 ? static_cast<signed char>(data[0]) : 0;
  std::string_view rest = size > 0 ? input.substr(1) : input;
  size_t split = rest.size() * static_cast<unsigned char>(control) / 256;
  std::string_view a = rest.substr(0, split), b = rest.substr(split);

  HeaderFields(a, b, control);
  HeaderFields(rest, "", control);
  LineCutters(rest);
  QuotedPrintable(rest);
  Base64(rest);
  CodecPathsAgree(rest);
  Uucode(rest);
  if (!rest.empty()) EncodedWords(rest, "iso-8859-1");
  EncodedWords(a.empty() ? "x" : a, b);
  TypesAndNames(rest);
  TypesAndNames(a);
  const std::string boundary = GenerateBoundary();
  Check(IsBoundaryText(boundary) && boundary.size() >= 24, "GenerateBoundary form", input);
  return 0;
}
