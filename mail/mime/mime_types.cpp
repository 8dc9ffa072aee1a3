#include "mail/mime/mime_types.h"

#include <cstdio>

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
  std::uint32_t value;
  do {
    value = RandomUInt32();
  } while (value == 0xFFFFFFFFu);
  char digits[16];
  std::snprintf(digits, sizeof digits, "%8X", static_cast<unsigned>(value));
  return "boundary" + PadL(digits, 8, "0");
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
