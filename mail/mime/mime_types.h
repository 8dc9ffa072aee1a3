#pragma once
// Content types of file names and back, multipart boundaries, safe file
// names and numeric host addresses. None of these raises, but for
// GenerateBoundary on a system without a random source.
#include <string>
#include <string_view>

namespace Vizu2000 {

// Content type registered for the name's extension (the text from its last
// dot, when no path separator follows), or "application/octet-stream".
std::string GetMimeType(std::string_view fileName);

// Extension, with its dot, registered for the content type; empty if none.
std::string GetMimeExtension(std::string_view contentType);

// "boundary" followed by 32 upper-case hexadecimal digits of 128 bits from
// the operating system's random source (40 characters). Raises EVizuError
// only when the system gives no random bytes.
std::string GenerateBoundary();

// Whether the text may be a multipart boundary (RFC 2046 section 5.1.1):
// 1 to 70 characters of bchars (letters, digits, ' ( ) + _ , - . / : = ?
// and space), not ending with a space.
bool IsBoundaryText(std::string_view boundary);

// Spaces trimmed, at most 254 characters, control characters and
// : \ / * ? " < > | ' replaced by "_". Bytes above 127 are kept.
std::string ValidFileName(std::string_view text);

// True when every dot-separated part of the text reads as a non-negative
// integer (the library's integer conversion). Part count and ranges are not
// checked.
bool IsIPAddress(std::string_view host);

}  // namespace Vizu2000
