#pragma once
// The library's one exception type: every error that is raised rather than
// returned carries its message text in it.
#include <stdexcept>
#include <string>

namespace Vizu2000 {

class EVizuError : public std::runtime_error {
 public:
  explicit EVizuError(const std::string& message) : std::runtime_error(message) {}
};

}  // namespace Vizu2000
