#include "platform/int_conv.h"

#include <cstdint>

#include "platform/error.h"

namespace Vizu2000 {

namespace {

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

bool TryStrToInt(std::string_view text, int& value) {
  size_t i = 0;
  while (i < text.size() && text[i] == ' ') ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
    negative = text[i] == '-';
    ++i;
  }
  bool hex = false;
  if (i < text.size() && (text[i] == '$' || text[i] == 'x' || text[i] == 'X')) {
    hex = true;
    ++i;
  } else if (i + 1 < text.size() && text[i] == '0' && (text[i + 1] == 'x' || text[i + 1] == 'X')) {
    hex = true;
    i += 2;
  }
  if (i >= text.size()) return false;
  // Hexadecimal numbers name a 32-bit pattern, so $FFFFFFFF reads -1.
  const std::uint64_t limit = hex ? 0xFFFFFFFFull : (negative ? 0x80000000ull : 0x7FFFFFFFull);
  std::uint64_t acc = 0;
  for (; i < text.size(); ++i) {
    int d = hex ? HexDigit(text[i]) : (text[i] >= '0' && text[i] <= '9' ? text[i] - '0' : -1);
    if (d < 0) return false;
    acc = acc * (hex ? 16 : 10) + static_cast<unsigned>(d);
    if (acc > limit) return false;
  }
  std::int64_t result;
  if (hex) {
    result = static_cast<std::int32_t>(static_cast<std::uint32_t>(acc));
    if (negative) result = -result;
    if (result > INT32_MAX || result < INT32_MIN) return false;
  } else {
    result = negative ? -static_cast<std::int64_t>(acc) : static_cast<std::int64_t>(acc);
  }
  value = static_cast<int>(result);
  return true;
}

int StrToInt(std::string_view text) {
  int value = 0;
  if (!TryStrToInt(text, value))
    throw EVizuError("'" + std::string(text) + "' is not a valid integer value");
  return value;
}

int StrToIntDef(std::string_view text, int defaultValue) {
  int value = defaultValue;
  return TryStrToInt(text, value) ? value : defaultValue;
}

}  // namespace Vizu2000
