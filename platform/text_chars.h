#pragma once
// Character classes and trims of 8-bit text, each named by its rule. Mail
// has several notions of "blank", and a reader should see at the call which
// one applies; where two callers mean the same, they use the same one here.
#include <cstdint>
#include <cstring>
#include <string_view>

namespace Vizu2000 {

// RFC 5234 WSP: a space or a horizontal tab.
constexpr bool IsWsp(char c) { return c == ' ' || c == '\t'; }
// A CR or a LF: either ends a line in the text the library reads.
constexpr bool IsLineBreak(char c) { return c == '\r' || c == '\n'; }
// Whether the text holds a CR or a LF. Eight bytes at a time: header fields
// are short, and a byte loop or a search per character costs more than the
// rest of writing them.
inline bool HasLineBreak(std::string_view text) {
  constexpr std::uint64_t kOnes = 0x0101010101010101ull;
  constexpr std::uint64_t kHighs = 0x8080808080808080ull;
  auto hasZeroByte = [](std::uint64_t v) { return ((v - kOnes) & ~v & kHighs) != 0; };
  size_t i = 0;
  for (; i + 8 <= text.size(); i += 8) {
    std::uint64_t word;
    std::memcpy(&word, text.data() + i, 8);
    if (hasZeroByte(word ^ (kOnes * '\r')) || hasZeroByte(word ^ (kOnes * '\n'))) return true;
  }
  for (; i < text.size(); ++i)
    if (IsLineBreak(text[i])) return true;
  return false;
}
// What folding white space is made of (RFC 5322 section 3.2.2): WSP, and
// the CR LF of a fold, also where a field was loaded without unfolding.
constexpr bool IsWspOrLineBreak(char c) { return IsWsp(c) || IsLineBreak(c); }
// Codes 0 to 32: the control characters and the space, which the library
// trims from values the way its callers have always trimmed them.
constexpr bool IsCtlOrSpace(char c) { return static_cast<unsigned char>(c) <= ' '; }
// The C locale's white space: space, tab, LF, vertical tab, form feed, CR.
constexpr bool IsAsciiSpace(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

// ASCII case: only a-z and A-Z change.
constexpr char UpCaseChar(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 32) : c; }
constexpr char LowCaseChar(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c; }

// The text without the characters of a class at either end.
template <typename Class>
constexpr std::string_view TrimBy(std::string_view text, Class inClass) {
  while (!text.empty() && inClass(text.front())) text.remove_prefix(1);
  while (!text.empty() && inClass(text.back())) text.remove_suffix(1);
  return text;
}

// Spaces alone, not tabs.
constexpr std::string_view TrimSpaces(std::string_view text) {
  return TrimBy(text, [](char c) { return c == ' '; });
}
constexpr std::string_view TrimCtlOrSpace(std::string_view text) { return TrimBy(text, IsCtlOrSpace); }
constexpr std::string_view TrimWspOrLineBreaks(std::string_view text) { return TrimBy(text, IsWspOrLineBreak); }

}  // namespace Vizu2000
