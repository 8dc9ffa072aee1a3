#pragma once
// File paths as this platform writes them: "/" separates folders.
#include <string>
#include <string_view>

namespace Vizu2000 {

// The text after the last "/": the name of the file without its folder.
std::string ExtractFileName(std::string_view path);

// Creates dir and the folders that lead to it; the new ones are private to
// their owner (0700), since what the program keeps for a user is nobody
// else's business. True when dir is a folder afterwards.
bool MakePrivateFolders(const std::string& dir);

}  // namespace Vizu2000
