#include "mail/mime/codecs.h"

#include <algorithm>

#include "mail/mime/header_fields.h"
#include "platform/string_list.h"

namespace Vizu2000 {

namespace {

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

bool IsUtf8Charset(std::string_view charset) {
  std::string name;
  for (char c : charset)
    if (c != '-' && c != '_') name.push_back(UpCaseChar(c));
  return name == "UTF8";
}

}  // namespace

std::string EncodeLine7Bit(std::string_view text, std::string_view charset, size_t lineUsed) {
  bool printable = std::all_of(text.begin(), text.end(), [](char c) {
    auto b = static_cast<unsigned char>(c);
    return b >= 32 && b <= 127;
  });
  if (printable) return std::string(text);
  // RFC 2047 section 2: a word holds at most 75 characters, so a long text
  // becomes several words, each separated by a blank where the header
  // folder may break the line; readers drop those blanks (section 6.2).
  // Section 5: a word holds whole characters, so a UTF-8 sequence is never
  // split; other character sets are taken a byte at a time.
  // A line that holds encoded words holds at most 76 characters, so the
  // first word also fits after what its line holds already; later words
  // start folded lines, after one blank.
  constexpr size_t kMaxWord = 75;
  constexpr size_t kMaxLine = 76;
  const std::string head = "=?" + std::string(charset) + "?Q?";
  auto roomFor = [&](size_t word) { return word > head.size() + 2 ? word - head.size() - 2 : 0; };
  size_t room = roomFor(std::min(kMaxWord, kMaxLine - std::min(lineUsed, kMaxLine)));
  const bool utf8 = IsUtf8Charset(charset);
  // The header form writes each byte as itself or as a 3-character escape.
  const std::string encoded = EncodeQuotedPrintable(text, true);
  std::string result;
  result.reserve(encoded.size() + (encoded.size() / (room + 1) + 1) * (head.size() + 3));
  size_t wordStart = 0, at = 0;  // in encoded
  auto flush = [&](size_t end) {
    if (!result.empty()) result.push_back(' ');
    result += head;
    result.append(encoded, wordStart, end - wordStart);
    result += "?=";
    wordStart = end;
    room = roomFor(kMaxWord);
  };
  for (size_t i = 0; i < text.size();) {
    size_t next = at, j = i;
    do {
      next += encoded[next] == '=' ? 3 : 1;
      ++j;
    } while (utf8 && j < text.size() && j - i < 4 &&
             (static_cast<unsigned char>(text[j]) & 0xC0) == 0x80);
    if (next - wordStart > room && at > wordStart) flush(at);
    at = next;
    i = j;
  }
  flush(at);
  return result;
}

namespace {

bool IsLinearWhiteSpace(std::string_view text) {
  return std::all_of(text.begin(), text.end(),
                     [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; });
}

// One pass: what a word decodes to is final text and never read as another
// word (RFC 2047 section 6.1 reads the encoded words of the field as
// written). Blanks between two adjacent words are dropped (section 6.2), so
// a text split over several words reads back whole.
std::string DecodeWords(std::string_view text) {
  std::string work = TrimSpace(text);
  std::string done;
  size_t head = 0;
  bool afterWord = false;
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

    std::string_view gap(work.data() + head, start - head);
    if (!(afterWord && IsLinearWhiteSpace(gap))) done.append(gap);
    done += decoded;
    head = end + 2;
    afterWord = true;
  }
  done.append(work, head, std::string::npos);
  return done;
}

}  // namespace

std::string DecodeLine7Bit(std::string_view text) { return DecodeWords(text); }

std::string DecodeLine7BitOnce(std::string_view text) { return DecodeWords(text); }

}  // namespace Vizu2000
