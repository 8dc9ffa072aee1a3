#include "mail/mime/header_fields.h"

#include <algorithm>
#include <climits>
#include <cstring>
#include <vector>

#include "platform/text_chars.h"

namespace Vizu2000 {

namespace {


// A quoted-string's value without its double quotes (RFC 5322 section
// 3.2.4); a value not quoted at both ends is left as it is.
std::string_view StripDoubleQuotes(std::string_view text) {
  if (!text.empty() && text.front() == '"' && text.back() == '"')
    return text.size() >= 2 ? text.substr(1, text.size() - 2) : std::string_view{};
  return text;
}

// Where one parameter's value sits in a trimmed header line.
struct TParamSpan {
  bool found = false;
  size_t start = 0;
  size_t end = 0;
};

// Walks the parameters of a header line (label: value; name=value; ...).
// With collect set, every value of `param` is appended to *collected; otherwise
// the walk stops at the end of the first value of `param`. The terminating
// semicolon the scan relies on is implied at the end of `line`, never taken as
// text: an unclosed quote must not gain a semicolon that was never written.
TParamSpan ScanParams(std::string_view line, std::string_view param, std::string* collected) {
  std::string_view wanted = TrimSpaces(param);
  bool inQuote = false, inValue = false, inParams = false, capture = false;
  std::string name;
  TParamSpan span;
  for (size_t i = 0; i < line.size(); ++i) {
    char c = line[i];
    if (c == '"') {
      inQuote = !inQuote;
    } else if (!inQuote) {
      if (c == ':' && !inValue && !inParams) {
        inValue = true;
        continue;
      }
      if (c == ';' && (inValue || inParams)) {
        if (span.found) {
          span.end = i;
          return span;
        }
        inParams = true;
        inValue = false;
        capture = false;
        name.clear();
        continue;
      }
      if (c == '=' && inParams) {
        capture = SameText(TrimSpaces(name), wanted);
        name.clear();
        if (capture && !collected && !span.found) {
          span.found = true;
          span.start = i + 1;
        }
        continue;
      }
    }
    if (capture) {
      if (collected) collected->push_back(c);
    } else if (inParams) {
      name.push_back(c);
    }
  }
  if (span.found) span.end = line.size();
  return span;
}

// Hands each parameter of a header line to visit as (name, value), both
// trimmed, quotes still on the value. Parameters are split where ScanParams
// splits them: at semicolons outside quotes, after the field value.
template <typename Visit>
void ForEachParam(std::string_view line, Visit&& visit) {
  bool inQuote = false, afterColon = false, inParams = false;
  size_t start = 0, equals = std::string_view::npos;
  auto finish = [&](size_t end) {
    if (inParams && equals != std::string_view::npos)
      visit(TrimSpaces(line.substr(start, equals - start)),
            TrimSpaces(line.substr(equals + 1, end - equals - 1)));
  };
  for (size_t i = 0; i < line.size(); ++i) {
    char c = line[i];
    if (c == '"') {
      inQuote = !inQuote;
    } else if (inQuote) {
      continue;
    } else if (c == ':' && !afterColon && !inParams) {
      afterColon = true;
    } else if (c == ';' && (afterColon || inParams)) {
      finish(i);
      inParams = true;
      start = i + 1;
      equals = std::string_view::npos;
    } else if (c == '=' && inParams && equals == std::string_view::npos) {
      equals = i;
    }
  }
  finish(line.size());
}

// One RFC 2231 section of the wanted parameter, as it stands in the line.
struct TSection {
  unsigned number = 0;
  bool extended = false;
  std::string_view value;
};

enum class TParamName { kOther, kWhole, kSection };

// Whether `name` is `wanted*` (one extended value) or `wanted*N` /
// `wanted*N*` (a section). RFC 2231 section 7 writes section numbers without
// leading zeros; longer than nine digits could never be reached by counting
// up from 0 in a header line, so such names are left alone.
TParamName ClassifyName(std::string_view name, std::string_view wanted, TSection& section) {
  if (name.size() <= wanted.size() || name[wanted.size()] != '*' ||
      !SameText(name.substr(0, wanted.size()), wanted))
    return TParamName::kOther;
  std::string_view rest = name.substr(wanted.size() + 1);
  if (rest.empty()) return TParamName::kWhole;
  section.extended = rest.back() == '*';
  if (section.extended) rest.remove_suffix(1);
  if (rest.empty() || rest.size() > 9 || (rest[0] == '0' && rest.size() > 1)) return TParamName::kOther;
  unsigned number = 0;
  for (char c : rest) {
    if (c < '0' || c > '9') return TParamName::kOther;
    number = number * 10 + static_cast<unsigned>(c - '0');
  }
  section.number = number;
  return TParamName::kSection;
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// A "%" not followed by two hex digits is kept as written.
void AppendPercentDecoded(std::string_view text, std::string& out) {
  for (size_t i = 0; i < text.size(); ++i) {
    int high = i + 2 < text.size() && text[i] == '%' ? HexDigit(text[i + 1]) : -1;
    int low = high >= 0 ? HexDigit(text[i + 2]) : -1;
    if (low >= 0) {
      out.push_back(static_cast<char>(high * 16 + low));
      i += 2;
    } else {
      out.push_back(text[i]);
    }
  }
}

// The start of an extended value: charset'language'. Without both
// apostrophes the whole text is the value, with no charset named.
std::string_view TakeCharsetAndLanguage(std::string_view text, TParamValue& result) {
  size_t first = text.find('\'');
  if (first == std::string_view::npos) return text;
  size_t second = text.find('\'', first + 1);
  if (second == std::string_view::npos) return text;
  result.charset = std::string(text.substr(0, first));
  result.language = std::string(text.substr(first + 1, second - first - 1));
  return text.substr(second + 1);
}

// RFC 2231 section 3: sections are joined in the order of their numbers,
// whatever their order in the line, and the value ends at the first number
// missing. A number given twice keeps its first occurrence in the line. A
// whole `param*` value, when there is one, wins over sections.
TParamValue ReadExtendedParam(std::string_view line, std::string_view wanted) {
  TParamValue result;
  std::vector<TSection> sections;
  bool haveWhole = false;
  std::string_view whole;
  ForEachParam(line, [&](std::string_view name, std::string_view value) {
    TSection section;
    switch (ClassifyName(name, wanted, section)) {
      case TParamName::kWhole:
        if (!haveWhole) whole = value;
        haveWhole = true;
        break;
      case TParamName::kSection:
        section.value = value;
        sections.push_back(section);
        break;
      case TParamName::kOther:
        break;
    }
  });
  if (haveWhole) {
    // RFC 2231 section 4 gives no quotes to an extended value; some senders
    // add them anyway.
    std::string_view text = TakeCharsetAndLanguage(StripDoubleQuotes(whole), result);
    AppendPercentDecoded(text, result.value);
    result.extended = true;
    return result;
  }
  if (sections.empty()) return result;
  std::stable_sort(sections.begin(), sections.end(),
                   [](const TSection& a, const TSection& b) { return a.number < b.number; });
  unsigned expected = 0;
  for (const TSection& section : sections) {
    if (section.number < expected) continue;
    if (section.number > expected) break;
    result.extended = true;
    std::string_view text = StripDoubleQuotes(section.value);
    if (section.extended) {
      // RFC 2231 section 4.1: only the first section names the charset.
      if (expected == 0) text = TakeCharsetAndLanguage(text, result);
      AppendPercentDecoded(text, result.value);
    } else {
      result.value.append(text);
    }
    ++expected;
  }
  return result;
}

}  // namespace

std::string TrimSpace(std::string_view text) { return std::string(TrimSpaces(text)); }

std::string TrimLeftSpace(std::string_view text) {
  size_t first = text.find_first_not_of(' ');
  return first == std::string_view::npos ? std::string() : std::string(text.substr(first));
}

std::string TrimRightSpace(std::string_view text) {
  size_t last = text.find_last_not_of(' ');
  return last == std::string_view::npos ? std::string() : std::string(text.substr(0, last + 1));
}

std::string PadL(std::string_view text, int width, std::string_view pad) {
  size_t first = text.find_first_not_of(' ');
  std::string_view body = first == std::string_view::npos ? std::string_view{} : text.substr(first);
  if (width < 0) width = 0;
  size_t want = static_cast<size_t>(width);
  if (body.size() > want) return std::string(body.substr(body.size() - want));
  if (pad.empty() || body.size() == want) return std::string(body);
  size_t copies = (want - body.size() + pad.size() - 1) / pad.size();
  std::string result;
  result.reserve(copies * pad.size() + body.size());
  for (size_t i = 0; i < copies; ++i) result.append(pad);
  result.append(body);
  return result;
}

int SearchStringList(const TStringList* list, std::string_view prefix, int occurrence) {
  if (!list || occurrence < 0) return -1;
  int seen = 0;
  for (int i = 0; i < list->Count(); ++i) {
    const std::string& entry = (*list)[i];
    if (entry.size() < prefix.size()) continue;
    if (!SameText(std::string_view(entry).substr(0, prefix.size()), prefix)) continue;
    if (seen == occurrence) return i;
    ++seen;
  }
  return -1;
}

std::string NormalizeLabel(std::string_view line) {
  std::string label, value, quoted;
  bool inLabel = true, inQuote = false;
  for (size_t i = 0; i < line.size(); ++i) {
    char c = line[i];
    if (c == '"' && !inLabel) {
      inQuote = !inQuote;
      if (inQuote)
        quoted.clear();
      else
        value += quoted;
    }
    if (inQuote) {
      quoted.push_back(c);
    } else if (inLabel) {
      size_t n = label.size();
      if (n == 0 || label[n - 1] == '-')
        label.push_back(UpCaseChar(c));
      else if (n >= 2 && label[n - 2] == '-' && label[n - 1] == 'I' && (c == 'd' || c == 'D') &&
               i + 1 < line.size() && line[i + 1] == ':')
        label.push_back('D');
      else
        label.push_back(LowCaseChar(c));
      if (c == ':') {
        inLabel = false;
        value.clear();
      }
    } else if (c == ' ') {
      // Each character is removed at most once, so runs of spaces stay linear.
      while (!value.empty() && value.back() == ' ') value.pop_back();
      value.push_back(' ');
    } else {
      value.push_back(c);
    }
  }
  // A quote left open by the end of the line keeps its text as written.
  if (inQuote) value += quoted;
  // RFC 5322 section 4.5.3: blanks before the colon are obsolete syntax, to
  // be read and never written.
  if (!inLabel) {
    label.pop_back();
    while (!label.empty() && (label.back() == ' ' || label.back() == '\t')) label.pop_back();
    label.push_back(':');
  }
  std::string result(TrimSpaces(label));
  result.push_back(' ');
  result.append(TrimSpaces(value));
  return result;
}

std::string LabelValue(std::string_view line) {
  bool inQuote = false, afterColon = false;
  size_t start = 0, end = line.size();
  for (size_t i = 0; i < line.size(); ++i) {
    char c = line[i];
    if (c == '"') {
      inQuote = !inQuote;
    } else if (!inQuote) {
      if (!afterColon && c == ':') {
        afterColon = true;
        start = i + 1;
      } else if (afterColon && c == ';') {
        end = i;
        break;
      }
    }
  }
  if (!afterColon) return {};
  return std::string(StripDoubleQuotes(TrimSpaces(line.substr(start, end - start))));
}

std::string WriteLabelValue(std::string_view line, std::string_view value) {
  bool inQuote = false;
  size_t colon = std::string_view::npos, end = line.size();
  for (size_t i = 0; i < line.size(); ++i) {
    char c = line[i];
    if (c == '"') {
      inQuote = !inQuote;
    } else if (!inQuote) {
      if (colon == std::string_view::npos && c == ':') {
        colon = i;
      } else if (colon != std::string_view::npos && c == ';') {
        end = i;
        break;
      }
    }
  }
  if (colon == std::string_view::npos) return std::string(line);
  std::string_view newValue = TrimSpaces(value);
  std::string result;
  result.reserve(line.size() + newValue.size() + 1);
  result.append(line.substr(0, colon + 1));
  result.push_back(' ');
  result.append(newValue);
  result.append(line.substr(end));
  return result;
}

std::string LabelParamValue(std::string_view line, std::string_view param) {
  return ReadLabelParam(line, param).value;
}

TParamValue ReadLabelParam(std::string_view line, std::string_view param) {
  std::string collected;
  ScanParams(TrimSpaces(line), param, &collected);
  std::string_view plain = StripDoubleQuotes(TrimSpaces(collected));
  if (!TrimSpaces(plain).empty()) {
    TParamValue result;
    result.value = std::string(plain);
    return result;
  }
  TParamValue extended = ReadExtendedParam(line, TrimSpaces(param));
  if (!extended.extended) extended.value = std::string(plain);
  return extended;
}

std::string WriteLabelParamValue(std::string_view line, std::string_view param,
                                 std::string_view value) {
  std::string_view trimmed = TrimSpaces(line);
  TParamSpan span = ScanParams(trimmed, param, nullptr);
  std::string_view newValue = TrimSpaces(value);
  // A final semicolon only closes the list; it is not written back.
  std::string_view base = trimmed;
  if (!base.empty() && base.back() == ';') base.remove_suffix(1);
  if (span.found) {
    size_t end = std::min(span.end, base.size());
    size_t start = std::min(span.start, end);
    std::string result;
    result.reserve(base.size() + newValue.size());
    result.append(base.substr(0, start));
    result.append(newValue);
    result.append(base.substr(end));
    return result;
  }
  std::string result(TrimSpaces(base));
  result.append("; ");
  result.append(TrimSpaces(param));
  result.push_back('=');
  result.append(newValue);
  return result;
}

namespace {

// RFC 2231 section 7: attribute-char, what an extended value writes as
// itself; every other byte becomes %XX.
bool IsAttributeChar(unsigned char c) {
  return c > 32 && c < 127 && std::string_view("*'%()<>@,;:\\\"/[]?=").find(static_cast<char>(c)) ==
                                  std::string_view::npos;
}

// A value that may stand as a quoted string and reads back as written:
// printable ASCII without the quote and backslash a quoted string escapes,
// and without "=?", which readers take for an encoded word.
bool IsPlainParamValue(std::string_view value) {
  for (unsigned char c : value)
    if (c < 32 || c > 126 || c == '"' || c == '\\') return false;
  return value.find("=?") == std::string_view::npos;
}

}  // namespace

std::string LabelParamText(std::string_view name, std::string_view value) {
  // Each parameter goes on a folded line of its own when it must: a TAB,
  // the text and the ";" after it stay within 78 (RFC 5322 section 2.1.1).
  constexpr size_t kMaxText = 76;
  std::string key(TrimSpaces(name));
  if (IsPlainParamValue(value) && key.size() + value.size() + 3 <= kMaxText)
    return key + "=\"" + std::string(value) + "\"";
  // RFC 2231 sections 3 and 4: the UTF-8 bytes percent-encoded, in
  // sections numbered from 0 when one does not fit. A reader decodes each
  // section on its own, so a UTF-8 sequence stays within one section.
  static const char kHex[] = "0123456789ABCDEF";
  std::string whole = key + "*=utf-8''";
  std::string sections;
  std::string current = key + "*0*=utf-8''";
  unsigned number = 0;
  bool cut = false;
  for (size_t i = 0; i < value.size();) {
    size_t j = i + 1;
    while (j < value.size() && j - i < 4 && (static_cast<unsigned char>(value[j]) & 0xC0) == 0x80) ++j;
    std::string piece;
    for (size_t k = i; k < j; ++k) {
      auto c = static_cast<unsigned char>(value[k]);
      if (IsAttributeChar(c)) {
        piece.push_back(static_cast<char>(c));
      } else {
        piece.push_back('%');
        piece.push_back(kHex[c >> 4]);
        piece.push_back(kHex[c & 15]);
      }
    }
    whole += piece;
    if (current.size() + piece.size() > kMaxText) {
      sections += current + "; ";
      current = key + "*" + std::to_string(++number) + "*=";
      cut = true;
    }
    current += piece;
    i = j;
  }
  if (!cut && whole.size() <= kMaxText) return whole;
  return sections + current;
}

std::string WriteLabelParam(std::string_view line, std::string_view name, std::string_view value) {
  // Every form of the parameter goes: the plain one and RFC 2231's
  // name*, name*N and name*N* (section 3), so no old section is read on.
  std::string_view wanted = TrimSpaces(name);
  std::string_view trimmed = TrimSpaces(line);
  std::string kept;
  bool inQuote = false, afterColon = false, inParams = false;
  size_t start = 0;
  auto finish = [&](size_t end) {
    std::string_view piece = trimmed.substr(start, end - start);
    if (inParams) {
      size_t equals = piece.find('=');
      TSection section;
      if (equals != std::string_view::npos) {
        std::string_view paramName = TrimSpaces(piece.substr(1, equals - 1));
        if (SameText(paramName, wanted) || ClassifyName(paramName, wanted, section) != TParamName::kOther)
          return;
      }
      if (TrimSpaces(piece.substr(1)).empty()) return;
    }
    kept.append(piece);
  };
  for (size_t i = 0; i < trimmed.size(); ++i) {
    char c = trimmed[i];
    if (c == '"') {
      inQuote = !inQuote;
    } else if (!inQuote && c == ':' && !afterColon && !inParams) {
      afterColon = true;
    } else if (!inQuote && c == ';' && (afterColon || inParams)) {
      finish(i);
      inParams = true;
      start = i;
    }
  }
  finish(trimmed.size());
  std::string result(TrimSpaces(kept));
  result += "; ";
  result += LabelParamText(wanted, value);
  return result;
}

void DataLine(std::string_view text, std::string& line, int& position) {
  line.clear();
  if (position < 1 || static_cast<size_t>(position) > text.size()) {
    position = -1;
    return;
  }
  size_t from = static_cast<size_t>(position) - 1;
  size_t crlf = text.find("\r\n", from);
  size_t next = crlf == std::string_view::npos ? text.size() : crlf + 2;
  // A rest beyond what an int position can reach is handed out whole.
  if (next >= text.size() || next + 1 > static_cast<size_t>(INT_MAX)) {
    line.assign(text.substr(from));
    position = -1;
  } else {
    line.assign(text.substr(from, next - from));
    position = static_cast<int>(next + 1);
  }
}

void DataLinePChar(const char* buffer, size_t length, long long& position,
                   size_t& lineLength, const char*& lineStart, bool& done) {
  done = false;
  if (!buffer) length = 0;
  size_t from = 0;
  if (position >= 0) {
    // Step over the previous line and the CR LF that ended it, if any.
    size_t previous = std::min(static_cast<size_t>(position), length);
    size_t after = previous + std::min(lineLength, length - previous);
    if (after + 1 < length && buffer[after] == '\r' && buffer[after + 1] == '\n') after += 2;
    from = after;
  }
  lineLength = 0;
  position = static_cast<long long>(from);
  lineStart = buffer ? buffer + from : nullptr;
  if (from >= length) {
    done = true;
    return;
  }
  const char* begin = buffer + from;
  size_t remaining = length - from;
  for (size_t at = 0; at + 1 < remaining;) {
    const void* cr = std::memchr(begin + at, '\r', remaining - 1 - at);
    if (!cr) break;
    at = static_cast<size_t>(static_cast<const char*>(cr) - begin);
    if (begin[at + 1] == '\n') {
      lineLength = at;
      return;
    }
    ++at;
  }
  lineLength = remaining;
}

}  // namespace Vizu2000
