#include "platform/paths.h"

#include <sys/stat.h>

#include <cerrno>

namespace Vizu2000 {

std::string ExtractFileName(std::string_view path) {
  size_t slash = path.rfind('/');
  return std::string(slash == std::string_view::npos ? path : path.substr(slash + 1));
}

namespace {

bool IsFolder(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

}  // namespace

bool MakePrivateFolders(const std::string& dir) {
  std::string path = dir;
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  if (path.empty() || IsFolder(path)) return true;
  const size_t slash = path.rfind('/');
  if (slash != std::string::npos && slash > 0 && !MakePrivateFolders(path.substr(0, slash))) return false;
  // Another program may make it at the same moment: what counts is that it is there.
  if (::mkdir(path.c_str(), 0700) == 0) return true;
  const int error = errno;  // for the caller's message
  if (IsFolder(path)) return true;
  errno = error;
  return false;
}

}  // namespace Vizu2000
