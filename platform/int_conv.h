#pragma once
// The library's one integer conversion, used wherever a number is read:
// optional leading spaces, then an optional sign and decimal digits, or a
// hexadecimal number after "$", "x", "X", "0x" or "0X"; nothing may follow;
// the value must fit in 32 signed bits.
#include <string>
#include <string_view>

namespace Vizu2000 {

// False (and value untouched) when the text is not such a number.
bool TryStrToInt(std::string_view text, int& value);

// Raises EVizuError "'<text>' is not a valid integer value".
int StrToInt(std::string_view text);

int StrToIntDef(std::string_view text, int defaultValue);

}  // namespace Vizu2000
