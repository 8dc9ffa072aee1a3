#include "app/message_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QCryptographicHash>
#include <atomic>
#include <chrono>
#include <cerrno>
#include <cstdio>

#include "platform/error.h"

namespace Vizu2000 {

namespace {

constexpr size_t kNameMax = 255;
constexpr size_t kKeptPrefix = 160;
constexpr std::string_view kExtension = ".eml";

// A write-only stream over a file descriptor that the caller owns.
class TDescriptorStream : public TStream {
 public:
  explicit TDescriptorStream(int fd) : fd_(fd) {}
  size_t Read(void*, size_t) override { return 0; }
  size_t Write(const void* buffer, size_t count) override {
    const char* p = static_cast<const char*>(buffer);
    size_t done = 0;
    while (done < count) {
      const ssize_t n = ::write(fd_, p + done, count - done);
      if (n < 0) {
        if (errno == EINTR) continue;
        failed_ = true;
        break;
      }
      done += static_cast<size_t>(n);
    }
    return done;
  }
  std::int64_t Seek(std::int64_t offset, TSeekOrigin origin) override {
    const int whence = origin == soBeginning ? SEEK_SET : origin == soCurrent ? SEEK_CUR : SEEK_END;
    return ::lseek(fd_, offset, whence);
  }
  std::int64_t Size() override {
    struct stat st {};
    return ::fstat(fd_, &st) == 0 ? st.st_size : 0;
  }
  void SetSize(std::int64_t size) override {
    if (::ftruncate(fd_, size) != 0) throw EVizuError("Cannot resize file");
  }

  bool Failed() const { return failed_; }

 private:
  int fd_;
  bool failed_ = false;
};

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

std::string TempNameIn(const std::string& dir) {
  static std::atomic<unsigned> counter{0};
  char name[64];
  std::snprintf(name, sizeof name, ".quenwick-%d-%u-%08x.tmp", static_cast<int>(::getpid()),
                counter++, static_cast<unsigned>(std::chrono::steady_clock::now().time_since_epoch().count()));
  return dir + "/" + name;
}

}  // namespace

std::string FileNameOfId(std::string_view uid) {
  std::string name = EncodeId(uid);
  if (name.size() + kExtension.size() <= kNameMax) return name;
  const QByteArray digest =
      QCryptographicHash::hash(QByteArrayView(uid.data(), static_cast<qsizetype>(uid.size())),
                               QCryptographicHash::Sha256)
          .toHex();
  name.resize(kKeptPrefix);
  return name + "%h" + digest.toStdString();
}

std::string MessageFileName(const std::string& destDir, std::string_view uid) {
  return destDir + "/" + FileNameOfId(uid) + std::string(kExtension);
}

std::string FolderOf(const std::string& fileName) {
  const size_t slash = fileName.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return fileName.substr(0, slash);
}

void WriteFileWhole(const std::string& fileName, const std::function<void(TStream&)>& write) {
  const std::string dir = FolderOf(fileName);
  std::string temp;
  int fd = -1;
  for (int attempt = 0; attempt < 16 && fd < 0; ++attempt) {
    temp = TempNameIn(dir);
    fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd < 0 && errno != EEXIST) break;
  }
  if (fd < 0) throw EVizuError("Cannot create file " + fileName);

  auto discard = [&] {
    if (fd >= 0) ::close(fd);
    fd = -1;
    ::unlink(temp.c_str());
  };
  TDescriptorStream stream(fd);
  try {
    write(stream);
  } catch (...) {
    discard();
    if (stream.Failed()) throw EVizuError("Cannot write file " + fileName);
    throw;
  }
  if (stream.Failed()) {
    discard();
    throw EVizuError("Cannot write file " + fileName);
  }
  if (::fsync(fd) != 0) {
    discard();
    throw EVizuError("Cannot write file " + fileName);
  }
  if (::close(fd) != 0) {
    fd = -1;
    ::unlink(temp.c_str());
    throw EVizuError("Cannot write file " + fileName);
  }
  fd = -1;
  if (::rename(temp.c_str(), fileName.c_str()) != 0) {
    ::unlink(temp.c_str());
    throw EVizuError("Cannot create file " + fileName);
  }
}

void SyncFolder(const std::string& dir) {
  const int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) throw EVizuError("Cannot sync folder " + dir);
  const int rc = ::fsync(fd);
  ::close(fd);
  if (rc != 0) throw EVizuError("Cannot sync folder " + dir);
}

}  // namespace Vizu2000
