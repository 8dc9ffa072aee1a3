#pragma once
// How attachment names are written into header fields.
#include <string>
#include <string_view>

namespace Vizu2000 {

// A file name in the given character set as UTF-8, for SetLabelParamText;
// the bytes as they are when they do not convert whole.
std::string NameInUtf8(std::string_view fileName, std::string_view charset);

// "<" + name + ">", with what would end the field or the identifier replaced
// by "_".
std::string ContentIdFor(std::string_view name);

}  // namespace Vizu2000
