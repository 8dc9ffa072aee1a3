#pragma once
// Content types of file names and back, multipart boundaries, safe file
// names and numeric host addresses. None of these raises.
#include <string>
#include <string_view>

namespace Vizu2000 {

// Content type registered for the name's extension (the text from its last
// dot, when no path separator follows), or "application/octet-stream".
std::string GetMimeType(std::string_view fileName);

// Extension, with its dot, registered for the content type; empty if none.
std::string GetMimeExtension(std::string_view contentType);

// "boundary" followed by 8 upper-case hexadecimal digits of a fresh random
// value.
std::string GenerateBoundary();

// Spaces trimmed, at most 254 characters, control characters and
// : \ / * ? " < > | ' replaced by "_". Bytes above 127 are kept.
std::string ValidFileName(std::string_view text);

// True when every dot-separated part of the text reads as a non-negative
// integer (the library's integer conversion). Part count and ranges are not
// checked.
bool IsIPAddress(std::string_view host);

}  // namespace Vizu2000
