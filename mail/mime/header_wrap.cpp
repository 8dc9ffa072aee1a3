// Folding header fields for writing (RFC 5322 sections 2.1.1 and 2.2.3,
// RFC 2047 section 2): where a line may fold, and the folding itself.
#include <algorithm>
#include <cstring>
#include <vector>

#include "mail/mime/header_fields.h"
#include "platform/string_list.h"
#include "platform/text_chars.h"
#include "platform/text_lines.h"

namespace Vizu2000 {

namespace {

// RFC 5322 section 3.6.5 and RFC 2045 section 8: fields of free text. A
// break after "," or ";" would add a blank to their text on unfolding, so
// they fold at blanks only.
bool IsUnstructuredField(std::string_view line) {
  std::string_view name = line.substr(0, line.find(':'));
  name = TrimSpaces(name);
  return SameText(name, "Subject") || SameText(name, "Comments") ||
         SameText(name, "Content-Description");
}

enum : unsigned char { kNoFold, kFoldAtBlank, kFoldAfter, kInWord };

// Marks where a line may fold. Never inside an encoded word (RFC 2047
// section 2), whose quotes and separators are its own text; never inside a
// quoted string, except at a blank between two encoded words there, which
// the reader drops anyway (RFC 2047 section 6.2).
void MarkFoldPoints(std::string_view line, bool unstructured, std::vector<unsigned char>& mark) {
  mark.assign(line.size(), kNoFold);
  // An encoded word: "=?" charset "?" letter "?" text "?=", no blank in it.
  // The next "?=" and the next blank are kept as the scan moves on, so the
  // search stays linear whatever the line holds.
  size_t close = 0, blank = 0;
  bool closeKnown = false, blankKnown = false;
  for (size_t i = line.find("=?"); i != std::string_view::npos; i = line.find("=?", i)) {
    size_t charsetEnd = line.find('?', i + 2);
    if (charsetEnd == std::string_view::npos) break;
    size_t textStart = charsetEnd + 3;
    if (textStart > line.size() || line[textStart - 1] != '?') {
      i += 2;
      continue;
    }
    if (!closeKnown || close < textStart) {
      close = line.find("?=", textStart);
      closeKnown = true;
    }
    if (!blankKnown || blank < i) {
      blank = line.find_first_of(" \t", i);
      blankKnown = true;
    }
    if (close == std::string_view::npos || blank < close) {
      i += 2;
      continue;
    }
    std::fill(mark.begin() + static_cast<std::ptrdiff_t>(i),
              mark.begin() + static_cast<std::ptrdiff_t>(close + 2), kInWord);
    i = close + 2;
  }
  // Whether a character lies inside quotes is told from what follows it,
  // as the folder looks for breaks from the end of a stretch backwards.
  char quote = 0;
  for (size_t i = line.size(); i-- > 0;) {
    if (mark[i] == kInWord) continue;
    char c = line[i];
    if (quote) {
      if (c == quote) {
        quote = 0;
      } else if (c == ' ' && i > 0 && i + 1 < line.size() && mark[i - 1] == kInWord &&
                 mark[i + 1] == kInWord) {
        mark[i] = kFoldAtBlank;
      }
    } else if (c == '"' || c == '\'') {
      quote = c;
    } else if (c == ' ') {
      mark[i] = kFoldAtBlank;
    } else if ((c == ',' || c == ';') && !unstructured) {
      mark[i] = kFoldAfter;
    }
  }
}

}  // namespace

std::string WrapHeader(std::string_view header) {
  // RFC 5322 section 2.1.1: a line should hold at most 78 characters and
  // must hold at most 998. A fold inserts CR LF TAB; a blank it breaks at
  // is replaced by the TAB.
  constexpr size_t kFoldWidth = 78;
  constexpr size_t kMaxLine = 998;

  // Line breaks made CR LF, trailing ones dropped; lines kept as spans.
  std::string text = JoinLinesCRLF(header);
  while (text.size() >= 2 && text[text.size() - 2] == '\r' && text.back() == '\n')
    text.resize(text.size() - 2);

  std::string result;
  result.reserve(text.size() + text.size() / 32 + 4);
  std::vector<unsigned char> mark;
  bool unstructured = false;
  size_t pos = 0;
  while (pos < text.size()) {
    size_t lineEnd = text.find("\r\n", pos);
    if (lineEnd == std::string::npos) lineEnd = text.size();
    std::string_view line(text.data() + pos, lineEnd - pos);
    pos = lineEnd + 2;

    bool continued = !line.empty() && (line[0] == ' ' || line[0] == '\t');
    if (!continued) unstructured = IsUnstructuredField(line);
    if (line.size() <= kFoldWidth) {
      result.append(line);
      result.append("\r\n");
      continue;
    }
    MarkFoldPoints(line, unstructured, mark);

    size_t start = 0;  // the rest still to write: line[start, end)
    size_t lead = 0;   // 1 once a fold has put a TAB before line[start]
    // The field name and its colon stay on the first line, with at least
    // one character of the value.
    size_t colonSpace = continued ? std::string_view::npos : line.find(": ");
    size_t low = colonSpace == std::string_view::npos ? 1 : colonSpace + 2;
    while (true) {
      // Width of the line that breaking at line[k] writes.
      auto width = [&](size_t k) { return lead + k - start + (mark[k] == kFoldAfter); };
      auto canFold = [&](size_t k) { return mark[k] == kFoldAtBlank || mark[k] == kFoldAfter; };
      if (lead + line.size() - start <= kFoldWidth) break;
      size_t top = std::min(line.size() - 1, start + kFoldWidth - lead);
      size_t breakAt = std::string_view::npos;
      for (size_t k = top + 1; k-- > low;) {
        if (canFold(k) && width(k) <= kFoldWidth) {
          breakAt = k;
          break;
        }
      }
      // No fold point within 78: the first one after, while the line stays
      // within 998; failing that, a cut at 998 that keeps UTF-8 sequences
      // whole, as the hard limit must hold even for a solid token.
      if (breakAt == std::string_view::npos) {
        for (size_t k = std::max(low, top); k < line.size() && lead + k - start < kMaxLine; ++k) {
          if (canFold(k) && width(k) <= kMaxLine) {
            breakAt = k;
            break;
          }
        }
      }
      if (breakAt == std::string_view::npos) {
        if (lead + line.size() - start <= kMaxLine) break;
        size_t cut = start + kMaxLine - lead;
        for (int back = 0; back < 3 && cut > start + 1 &&
                           (static_cast<unsigned char>(line[cut]) & 0xC0) == 0x80;
             ++back)
          --cut;
        result.append(line.substr(start, cut - start));
        result.append("\r\n\t");
        start = cut;
      } else {
        result.append(line.substr(start, breakAt - start + (mark[breakAt] == kFoldAfter)));
        result.append("\r\n\t");
        start = breakAt + 1;
      }
      lead = 1;
      low = start + 1;
    }
    result.append(line.substr(start));
    result.append("\r\n");
  }
  return result;
}

}  // namespace Vizu2000
