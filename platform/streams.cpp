#include "platform/streams.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "platform/error.h"
#include "platform/memory.h"

namespace Vizu2000 {

void TStream::ReadBuffer(void* buffer, size_t count) {
  if (Read(buffer, count) != count) throw EVizuError("Stream read error");
}

void TStream::WriteBuffer(const void* buffer, size_t count) {
  if (Write(buffer, count) != count) throw EVizuError("Stream write error");
}

std::int64_t TStream::CopyFrom(TStream& source, std::int64_t count) {
  if (count == 0) {
    source.SetPosition(0);
    count = source.Size();
  }
  if (auto* mem = dynamic_cast<TMemoryStream*>(&source)) {
    std::int64_t pos = mem->Position();
    std::int64_t n = std::min<std::int64_t>(count, mem->Size() - pos);
    if (n <= 0) return 0;
    WriteBuffer(mem->View().data() + pos, static_cast<size_t>(n));
    mem->SetPosition(pos + n);
    return n;
  }
  std::string chunk(1 << 16, '\0');
  std::int64_t done = 0;
  while (done < count) {
    size_t want = static_cast<size_t>(std::min<std::int64_t>(count - done, chunk.size()));
    size_t got = source.Read(chunk.data(), want);
    if (got == 0) break;
    WriteBuffer(chunk.data(), got);
    done += static_cast<std::int64_t>(got);
  }
  return done;
}

std::string TStream::ReadRest() {
  std::int64_t pos = Position();
  std::int64_t n = std::max<std::int64_t>(0, Size() - pos);
  std::string result(static_cast<size_t>(n), '\0');
  result.resize(Read(result.data(), result.size()));
  return result;
}

void TMemoryStream::Own() const {
  if (!block_) return;
  data_ = CopyLarge(piece_);
  block_.reset();
  piece_ = {};
}

void TMemoryStream::Clear() {
  data_.clear();
  block_.reset();
  piece_ = {};
  position_ = 0;
}

void TMemoryStream::Assign(std::string data) {
  data_ = std::move(data);
  block_.reset();
  piece_ = {};
  position_ = 0;
}

void TMemoryStream::Share(TSharedBlock block, std::string_view piece) {
  data_.clear();
  data_.shrink_to_fit();
  block_ = std::move(block);
  piece_ = piece;
  position_ = 0;
}

void TMemoryStream::Reserve(size_t capacity) {
  Own();
  ReserveLarge(data_, capacity);
}

size_t TMemoryStream::Read(void* buffer, size_t count) {
  std::string_view bytes = View();
  if (position_ >= bytes.size()) return 0;
  size_t n = std::min(count, bytes.size() - position_);
  std::memcpy(buffer, bytes.data() + position_, n);
  position_ += n;
  return n;
}

size_t TMemoryStream::Write(const void* buffer, size_t count) {
  if (count == 0) return 0;
  Own();
  if (position_ == data_.size()) {
    data_.append(static_cast<const char*>(buffer), count);
  } else {
    if (position_ + count > data_.size()) data_.resize(position_ + count);
    std::memcpy(data_.data() + position_, buffer, count);
  }
  position_ += count;
  return count;
}

std::int64_t TMemoryStream::Seek(std::int64_t offset, TSeekOrigin origin) {
  std::int64_t base = origin == soBeginning ? 0
                      : origin == soCurrent ? static_cast<std::int64_t>(position_)
                                            : static_cast<std::int64_t>(View().size());
  std::int64_t target = base + offset;
  if (target < 0) target = 0;
  // Seeking past the end is allowed and changes nothing; a later write fills
  // the gap with zeros.
  position_ = static_cast<size_t>(target);
  return target;
}

void TMemoryStream::SetSize(std::int64_t size) {
  size_t n = static_cast<size_t>(std::max<std::int64_t>(0, size));
  if (block_ && n <= piece_.size()) {
    // Cutting a shared piece shorter needs no copy.
    piece_ = piece_.substr(0, n);
  } else {
    Own();
    data_.resize(n);
  }
  position_ = std::min(position_, View().size());
}

void TMemoryStream::TakeOver(TMemoryStream& other) {
  if (&other == this) return;
  data_ = std::move(other.data_);
  block_ = std::move(other.block_);
  piece_ = other.piece_;
  position_ = 0;
  other.Clear();
}

std::string TMemoryStream::Release() {
  Own();
  std::string out = std::move(data_);
  data_.clear();
  position_ = 0;
  return out;
}

TFileStream::TFileStream(const std::string& fileName, TFileMode mode) : fileName_(fileName) {
  switch (mode) {
    case fmCreate:
      fd_ = ::open(fileName.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
      if (fd_ < 0) throw EVizuError("Cannot create file " + fileName);
      break;
    case fmOpenRead:
      fd_ = ::open(fileName.c_str(), O_RDONLY | O_CLOEXEC);
      if (fd_ < 0) throw EVizuError("Cannot open file " + fileName);
      break;
    case fmOpenReadWrite:
      fd_ = ::open(fileName.c_str(), O_RDWR | O_CLOEXEC);
      if (fd_ < 0) throw EVizuError("Cannot open file " + fileName);
      break;
  }
  struct stat st {};
  if (::fstat(fd_, &st) == 0 && S_ISDIR(st.st_mode)) {
    ::close(fd_);
    fd_ = -1;
    throw EVizuError((mode == fmCreate ? "Cannot create file " : "Cannot open file ") + fileName);
  }
}

TFileStream::~TFileStream() {
  if (fd_ >= 0) ::close(fd_);
}

size_t TFileStream::Read(void* buffer, size_t count) {
  size_t done = 0;
  while (done < count) {
    ssize_t n = ::read(fd_, static_cast<char*>(buffer) + done, count - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    done += static_cast<size_t>(n);
  }
  return done;
}

size_t TFileStream::Write(const void* buffer, size_t count) {
  size_t done = 0;
  while (done < count) {
    ssize_t n = ::write(fd_, static_cast<const char*>(buffer) + done, count - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    done += static_cast<size_t>(n);
  }
  return done;
}

std::int64_t TFileStream::Seek(std::int64_t offset, TSeekOrigin origin) {
  int whence = origin == soBeginning ? SEEK_SET : origin == soCurrent ? SEEK_CUR : SEEK_END;
  off_t r = ::lseek(fd_, static_cast<off_t>(offset), whence);
  return r < 0 ? -1 : static_cast<std::int64_t>(r);
}

std::int64_t TFileStream::Size() {
  struct stat st {};
  if (::fstat(fd_, &st) != 0) return 0;
  return static_cast<std::int64_t>(st.st_size);
}

void TFileStream::SetSize(std::int64_t size) {
  if (::ftruncate(fd_, static_cast<off_t>(size)) != 0)
    throw EVizuError("Cannot resize file " + fileName_);
}

void TFileStream::Sync() {
  if (::fsync(fd_) != 0) throw EVizuError("Cannot write file " + fileName_);
}

std::string ReadWholeFile(const std::string& fileName) {
  TFileStream file(fileName, fmOpenRead);
  // Read to the end rather than to the size fstat gave: a file may grow
  // while it is read, and some report no size at all. A read error (a
  // folder, a failing disk) must not pass for a shorter file.
  std::string data;
  std::int64_t hint = file.Size();
  size_t capacity = hint > 0 ? static_cast<size_t>(hint) + 1 : 64 * 1024;
  size_t used = 0;
  for (;;) {
    if (used == data.size()) {
      ReserveLarge(data, std::max(capacity, data.size() * 2));
      data.resize(data.capacity());
    }
    ssize_t n = ::read(file.Handle(), data.data() + used, data.size() - used);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) throw EVizuError("Cannot read file " + fileName + ": " + std::strerror(errno));
    if (n == 0) break;
    used += static_cast<size_t>(n);
  }
  data.resize(used);
  return data;
}

}  // namespace Vizu2000
