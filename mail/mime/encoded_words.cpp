#include "mail/mime/codecs.h"

#include <algorithm>
#include <cstring>

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

}  // namespace

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
