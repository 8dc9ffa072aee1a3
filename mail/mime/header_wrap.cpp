// Folding header fields for writing (RFC 5322 sections 2.1.1 and 2.2.3,
// RFC 2047 section 2): where a line may fold, and the folding itself.
#include <algorithm>
#include <cstring>
#include <string>
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

// RFC 5322 section 2.1.1: a line should hold at most 78 characters and
// must hold at most 998.
constexpr size_t kFoldWidth = 78;
constexpr size_t kMaxLine = 998;

// The fields whose parameters are MIME parameters (RFC 2045 section 5.1,
// RFC 2183 section 2), which RFC 2231 section 3 lets us cut into sections.
bool HasMimeParameters(std::string_view line) {
  std::string_view name = TrimSpaces(line.substr(0, line.find(':')));
  return SameText(name, "Content-Type") || SameText(name, "Content-Disposition");
}

// name*0="..."; name*1="..." (RFC 2231 section 3): the text between the
// quotes cut into sections that fit a folded line, never between a
// backslash and the character it quotes. Plain sections are joined as they
// stand, before any decoding, so the value reads as the one quoted string
// did.
std::string QuotedSections(std::string_view name, std::string_view quoted) {
  const size_t piece = std::max<size_t>(16, kFoldWidth - 12 - std::min<size_t>(name.size(), 50));
  std::string out;
  unsigned number = 0;
  for (size_t at = 0; at < quoted.size();) {
    size_t end = std::min(quoted.size(), at + piece);
    // An odd run of backslashes before the cut would leave one quoting the
    // closing quote.
    size_t slashes = 0;
    while (end - slashes > at && quoted[end - slashes - 1] == '\\') ++slashes;
    if (slashes % 2 == 1) ++end;
    if (!out.empty()) out += "; ";
    out.append(name);
    out += "*" + std::to_string(number++) + "=\"";
    out.append(quoted.substr(at, end - at));
    out += '"';
    at = end;
  }
  return out;
}

// Whether the line holds RFC 2231 sections of the parameter already
// ("name*..."): sections of two values would mix into one.
bool HasSectionsOf(std::string_view line, std::string_view name) {
  const std::string lowered = LowerCase(line);
  const std::string wanted = LowerCase(name) + "*";
  for (size_t at = lowered.find(wanted); at != std::string::npos; at = lowered.find(wanted, at + 1))
    if (at > 0 && (lowered[at - 1] == ';' || lowered[at - 1] == ' ' || lowered[at - 1] == '\t')) return true;
  return false;
}

// A quoted parameter value with a stretch between blanks that no line can
// hold, even folded inside the quotes, goes out in sections instead; every
// other part of the line stays as written. Parameters already in an RFC 2231
// form (a "*" in the name) are left alone.
std::string SectionLongQuotedParams(std::string_view line) {
  std::string out;
  size_t copied = 0;
  bool inQuote = false;
  for (size_t i = line.find(':'); i != std::string_view::npos && i < line.size(); ++i) {
    const char c = line[i];
    if (inQuote) {
      if (c == '\\') ++i;
      else if (c == '"') inQuote = false;
      continue;
    }
    if (c == '"') inQuote = true;
    if (c != ';') continue;
    size_t nameStart = i + 1;
    while (nameStart < line.size() && (line[nameStart] == ' ' || line[nameStart] == '\t')) ++nameStart;
    // Searched up to the next ";" only, so that the scan stays linear.
    size_t equals = line.find_first_of("=;", nameStart);
    if (equals == std::string_view::npos) break;
    if (line[equals] == ';') continue;
    std::string_view name = TrimSpaces(line.substr(nameStart, equals - nameStart));
    size_t open = equals + 1;
    while (open < line.size() && (line[open] == ' ' || line[open] == '\t')) ++open;
    if (name.empty() || name.find_first_of("*\" \t") != std::string_view::npos ||
        open >= line.size() || line[open] != '"')
      continue;
    size_t close = open + 1;
    while (close < line.size() && line[close] != '"') close += line[close] == '\\' ? 2 : 1;
    if (close >= line.size()) break;  // an unclosed quote: nothing to cut it into
    std::string_view quoted = line.substr(open + 1, close - open - 1);
    size_t longest = 0;
    for (size_t from = 0, blank; from <= quoted.size(); from = blank + 1) {
      blank = std::min(quoted.find(' ', from), quoted.size());
      longest = std::max(longest, blank - from);
    }
    if (longest + name.size() + 5 > kMaxLine && !HasSectionsOf(line, name)) {
      out.append(line.substr(copied, nameStart - copied));
      out += QuotedSections(name, quoted);
      copied = close + 1;
    }
    i = close;
  }
  if (copied == 0) return std::string(line);
  out.append(line.substr(copied));
  return out;
}

enum : unsigned char { kNoFold, kFoldAtBlank, kFoldAfter, kInWord, kFoldInQuote };

// Marks where a line may fold. Never inside an encoded word (RFC 2047
// section 2), whose quotes and separators are its own text. Inside a quoted
// string, a blank between two encoded words folds as any blank, as the
// reader drops it anyway (RFC 2047 section 6.2); any other space there is a
// fold point of last resort, put before the space so that the space stays
// (RFC 5322 section 3.2.4 allows folding white space in a quoted string;
// unfolding takes only the CR LF away). A TAB is no such point: some readers
// unfold it to a space.
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
      } else if (c == ' ') {
        mark[i] = kFoldInQuote;
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
  // A fold inserts CR LF TAB; a blank it breaks at is replaced by the TAB.
  // Inside a quoted string it inserts CR LF before a space.

  // Line breaks made CR LF, trailing ones dropped; lines kept as spans.
  std::string text = JoinLinesCRLF(header);
  while (text.size() >= 2 && text[text.size() - 2] == '\r' && text.back() == '\n')
    text.resize(text.size() - 2);

  std::string result;
  result.reserve(text.size() + text.size() / 32 + 4);
  std::vector<unsigned char> mark;
  std::string sectioned;
  bool unstructured = false;
  size_t pos = 0;
  while (pos < text.size()) {
    size_t lineEnd = text.find("\r\n", pos);
    if (lineEnd == std::string::npos) lineEnd = text.size();
    std::string_view line(text.data() + pos, lineEnd - pos);
    pos = lineEnd + 2;

    bool continued = !line.empty() && (line[0] == ' ' || line[0] == '\t');
    if (!continued) unstructured = IsUnstructuredField(line);
    if (!continued && line.size() > kMaxLine && HasMimeParameters(line)) {
      sectioned = SectionLongQuotedParams(line);
      line = sectioned;
    }
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
      // Failing that, a space inside a quoted string, the last one that
      // keeps the line within 998; the fold goes before it.
      bool beforeBlank = false;
      if (breakAt == std::string_view::npos && lead + line.size() - start > kMaxLine) {
        for (size_t k = std::min(line.size() - 1, start + kMaxLine - lead) + 1; k-- > low;) {
          if (mark[k] == kFoldInQuote) {
            breakAt = k;
            beforeBlank = true;
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
      } else if (beforeBlank) {
        result.append(line.substr(start, breakAt - start));
        result.append("\r\n");
        start = breakAt;
        low = start + 1;
        lead = 0;
        continue;
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
