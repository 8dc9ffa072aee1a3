#include "mail/mime/mime_types.h"

#include "mail/mime/header_fields.h"
#include "platform/file_types.h"
#include "platform/int_conv.h"
#include "platform/random.h"

namespace Vizu2000 {

namespace {

const char* const kDefaultMimeType = "application/octet-stream";
const std::string_view kForbiddenFileNameChars = ":\\/*?\"<>|'";
const size_t kMaxFileNameLength = 254;

}  // namespace

std::string GetMimeType(std::string_view fileName) {
  size_t dot = fileName.rfind('.');
  if (dot == std::string_view::npos) return kDefaultMimeType;
  std::string_view extension = fileName.substr(dot);
  // A dot in a directory name is not an extension; "/" separates on this
  // system, "\" and ":" in names that come from other systems.
  if (extension.find_first_of("\\:/") != std::string_view::npos) return kDefaultMimeType;
  std::string type = FileTypeContentType(extension);
  return type.empty() ? kDefaultMimeType : type;
}

std::string GetMimeExtension(std::string_view contentType) {
  return FileTypeExtension(contentType);
}

std::string GenerateBoundary() {
  // RFC 2046 section 5.1.1: the boundary must not occur in any enclosed
  // part. 128 bits from the operating system make that certain in practice
  // and keep it out of reach of anyone who would plant it in a part.
  return "boundary" + RandomToken(16);
}

bool IsBoundaryText(std::string_view boundary) {
  // RFC 2046 section 5.1.1: 1 to 70 bchars, the last not a space.
  static constexpr std::string_view kOthers = "'()+_,-./:=? ";
  if (boundary.empty() || boundary.size() > 70 || boundary.back() == ' ') return false;
  for (char c : boundary) {
    bool alnum = (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
    if (!alnum && kOthers.find(c) == std::string_view::npos) return false;
  }
  return true;
}

std::string ValidFileName(std::string_view text) {
  std::string name = TrimSpace(text);
  if (name.size() > kMaxFileNameLength) name.resize(kMaxFileNameLength);
  for (char& c : name) {
    if (static_cast<unsigned char>(c) < 32 || kForbiddenFileNameChars.find(c) != std::string_view::npos)
      c = '_';
  }
  return name;
}

bool IsIPAddress(std::string_view host) {
  size_t start = 0;
  while (true) {
    size_t dot = host.find('.', start);
    std::string_view part =
        host.substr(start, dot == std::string_view::npos ? std::string_view::npos : dot - start);
    int value = 0;
    if (!TryStrToInt(part, value) || value < 0) return false;
    if (dot == std::string_view::npos) return true;
    start = dot + 1;
  }
}

}  // namespace Vizu2000
