#pragma once
// How attachment names are written into header fields.
#include <string>
#include <string_view>

namespace Vizu2000 {

// The value of a "name" or "filename" parameter for a file name, quotes
// included. A name that could not stand between double quotes as it is
// goes out as one encoded word in the given character set.
std::string NameParameter(std::string_view fileName, std::string_view charset);

// "<" + name + ">", with what would end the field or the identifier replaced
// by "_".
std::string ContentIdFor(std::string_view name);

}  // namespace Vizu2000
