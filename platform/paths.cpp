#include "platform/paths.h"

namespace Vizu2000 {

std::string ExtractFileName(std::string_view path) {
  size_t slash = path.rfind('/');
  return std::string(slash == std::string_view::npos ? path : path.substr(slash + 1));
}

}  // namespace Vizu2000
