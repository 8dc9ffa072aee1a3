#pragma once
// Conversion of text between named character sets.
#include <string>
#include <string_view>

namespace Vizu2000 {

// Whether the text can be a charset name: letters, digits, "-", "_", ".",
// ":", at most 64 of them. Only such names are converted or written out.
bool IsCharsetName(std::string_view name);

// Converts bytes from one character set to another, names case ignored.
// Exact or nothing: false, with out untouched, when either name is unknown or
// any byte cannot be read in `from` or written in `to`; no byte is dropped or
// replaced. Never raises.
bool ConvertCharset(std::string_view bytes, std::string_view from, std::string_view to,
                    std::string& out);

}  // namespace Vizu2000
