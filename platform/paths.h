#pragma once
// File paths as this platform writes them: "/" separates folders.
#include <string>
#include <string_view>

namespace Vizu2000 {

// The text after the last "/": the name of the file without its folder.
std::string ExtractFileName(std::string_view path);

}  // namespace Vizu2000
