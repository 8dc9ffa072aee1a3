#include "app/poll_status.h"

#include <cerrno>
#include <cstring>
#include <string_view>

namespace Vizu2000 {

namespace {

std::string Messages(int count, const char* kind) {
  return std::to_string(count) + " " + kind + (count == 1 ? " message" : " messages");
}

}  // namespace

std::string PollStatusText(const TPollOutcome& outcome) {
  std::string text = outcome.time + " ";
  const std::string saved = Messages(outcome.newlySaved, "new") + " saved";
  if (!outcome.failure.empty()) {
    text += "failed: " + outcome.failure;
    if (outcome.newlySaved > 0) text += " after " + saved;
    return text;
  }
  text += saved;
  if (outcome.failed > 0) text += ", " + std::to_string(outcome.failed) + " failed";
  return text;
}

std::string FileFailureText(int code) {
  switch (code) {
    case ENOSPC:
      return "no space left on the device";
    case EDQUOT:
      return "disk quota exceeded";
    case EACCES:
    case EPERM:
      return "no permission to write to the folder";
    case ENOENT:
      return "the folder does not exist";
    case ENOTDIR:
      return "the destination is not a folder";
    case EROFS:
      return "the folder is read-only";
    case EIO:
      return "input/output error on the device";
    default: {
      std::string text = std::strerror(code);
      if (!text.empty() && text[0] >= 'A' && text[0] <= 'Z') text[0] = static_cast<char>(text[0] - 'A' + 'a');
      return text;
    }
  }
}

// A unique id or a server's reply may hold control characters; shown as
// they are, a CR or LF would forge a line of its own.
std::string Printable(std::string_view text) {
  std::string shown;
  shown.reserve(text.size());
  static constexpr char kHex[] = "0123456789ABCDEF";
  for (const char c : text) {
    const auto u = static_cast<unsigned char>(c);
    if (u >= 0x20 && u != 0x7F) {
      shown += c;
    } else if (c == '\r') {
      shown += "\\r";
    } else if (c == '\n') {
      shown += "\\n";
    } else if (c == '\t') {
      shown += "\\t";
    } else {
      shown += "\\x";
      shown += kHex[u >> 4];
      shown += kHex[u & 15];
    }
  }
  return shown;
}

}  // namespace Vizu2000
