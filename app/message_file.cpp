#include "app/message_file.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QCryptographicHash>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <map>
#include <set>

namespace Vizu2000 {

namespace {

constexpr size_t kNameMax = 255;
constexpr size_t kKeptPrefix = 160;
constexpr std::string_view kExtension = ".eml";
constexpr std::string_view kTempPrefix = ".quenwick-";
constexpr std::string_view kTempSuffix = ".tmp";

std::string WithReason(const std::string& what, int code) { return what + ": " + std::strerror(code); }

[[noreturn]] void Fail(const std::string& what, int code) { throw EFileError(WithReason(what, code), code); }

std::string EncodeId(std::string_view uid) {
  static const char hex[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(uid.size());
  for (char c : uid) {
    if (c == '%' || c == '/' || c == '\0') {
      out += '%';
      out += hex[static_cast<unsigned char>(c) >> 4];
      out += hex[static_cast<unsigned char>(c) & 15];
    } else {
      out += c;
    }
  }
  return out;
}

// ".quenwick-<pid>-<counter>-<clock>.tmp": the pid tells a later run whether
// the file's owner is still alive.
std::string TempNameIn(const std::string& dir) {
  static std::atomic<unsigned> counter{0};
  char name[64];
  std::snprintf(name, sizeof name, "%.*s%d-%u-%08x%.*s", static_cast<int>(kTempPrefix.size()), kTempPrefix.data(),
                static_cast<int>(::getpid()), counter++,
                static_cast<unsigned>(std::chrono::steady_clock::now().time_since_epoch().count()),
                static_cast<int>(kTempSuffix.size()), kTempSuffix.data());
  return dir + "/" + name;
}

// The pid in a name of the temporary pattern; 0 for any other name.
pid_t TempOwner(std::string_view name) {
  if (name.size() <= kTempPrefix.size() + kTempSuffix.size() || name.substr(0, kTempPrefix.size()) != kTempPrefix ||
      name.substr(name.size() - kTempSuffix.size()) != kTempSuffix)
    return 0;
  long pid = 0;
  size_t i = kTempPrefix.size();
  for (; i < name.size() && name[i] >= '0' && name[i] <= '9' && pid < 1L << 30; ++i) pid = pid * 10 + (name[i] - '0');
  return i < name.size() && name[i] == '-' ? static_cast<pid_t>(pid) : 0;
}

bool WriteAll(int fd, std::string_view content) {
  const char* p = content.data();
  size_t left = content.size();
  while (left > 0) {
    const ssize_t n = ::write(fd, p, left);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    p += n;
    left -= static_cast<size_t>(n);
  }
  return true;
}

}  // namespace

EFileError::EFileError(const std::string& message, int code) : EVizuError(message), code_(code) {}

std::string FileNameOfId(std::string_view uid, int copy) {
  const std::string suffix = copy > 1 ? "%n" + std::to_string(copy) : "";
  std::string name = EncodeId(uid);
  if (name.size() + suffix.size() + kExtension.size() <= kNameMax) return name + suffix;
  const QByteArray digest =
      QCryptographicHash::hash(QByteArrayView(uid.data(), static_cast<qsizetype>(uid.size())),
                               QCryptographicHash::Sha256)
          .toHex();
  name.resize(kKeptPrefix);
  return name + "%h" + digest.toStdString() + suffix;
}

std::string MessageFileName(const std::string& destDir, std::string_view uid, int copy) {
  return destDir + "/" + FileNameOfId(uid, copy) + std::string(kExtension);
}

std::string FolderOf(const std::string& fileName) {
  const size_t slash = fileName.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return fileName.substr(0, slash);
}

TMessageFileBatch::~TMessageFileBatch() { Discard(); }

void TMessageFileBatch::Add(const std::string& fileName, std::string_view content) {
  const std::string dir = FolderOf(fileName);
  std::string temp;
  int fd = -1;
  for (int attempt = 0; attempt < 16 && fd < 0; ++attempt) {
    temp = TempNameIn(dir);
    fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0 && errno != EEXIST) break;
  }
  if (fd < 0) Fail("Cannot create file " + fileName, errno);
  const bool written = WriteAll(fd, content);
  const int writeError = errno;
  // close reports a failed write-back on some file systems (NFS, quotas).
  const bool closed = ::close(fd) == 0;
  const int closeError = errno;
  if (!written || !closed) {
    ::unlink(temp.c_str());
    Fail("Cannot write file " + fileName, !written ? writeError : closeError);
  }
  pending_.push_back({std::move(temp), fileName});
  pendingBytes_ += content.size();
}

void TMessageFileBatch::Commit() {
  if (pending_.empty()) return;
  // Folders by file system: one syncfs covers every file on it.
  std::map<std::string, int> folders;
  auto closeFolders = [&] {
    for (auto& [dir, fd] : folders)
      if (fd >= 0) ::close(fd);
  };
  try {
    std::set<dev_t> synced;
    for (const TPending& p : pending_) {
      const std::string dir = FolderOf(p.final);
      if (folders.count(dir)) continue;
      const int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
      if (fd < 0) Fail("Cannot sync folder " + dir, errno);
      folders[dir] = fd;
      struct stat st {};
      if (::fstat(fd, &st) != 0) Fail("Cannot sync folder " + dir, errno);
      if (synced.insert(st.st_dev).second && ::syncfs(fd) != 0) Fail("Cannot sync folder " + dir, errno);
    }
    for (TPending& p : pending_) {
      if (::rename(p.temp.c_str(), p.final.c_str()) != 0) Fail("Cannot create file " + p.final, errno);
      p.temp.clear();  // in place: nothing to discard
    }
    for (auto& [dir, fd] : folders)
      if (::fsync(fd) != 0) Fail("Cannot sync folder " + dir, errno);
  } catch (...) {
    closeFolders();
    Discard();
    throw;
  }
  closeFolders();
  pending_.clear();
  pendingBytes_ = 0;
}

void TMessageFileBatch::Discard() {
  for (const TPending& p : pending_)
    if (!p.temp.empty()) ::unlink(p.temp.c_str());
  pending_.clear();
  pendingBytes_ = 0;
}

void RemoveStaleTemporaries(const std::string& dir) {
  DIR* d = ::opendir(dir.c_str());
  if (!d) return;
  while (const dirent* entry = ::readdir(d)) {
    const pid_t owner = TempOwner(entry->d_name);
    if (owner <= 0 || owner == ::getpid()) continue;
    // Only a process that is certainly gone: EPERM means it runs as another user.
    if (::kill(owner, 0) == 0 || errno != ESRCH) continue;
    ::unlinkat(::dirfd(d), entry->d_name, 0);
  }
  ::closedir(d);
}

}  // namespace Vizu2000
