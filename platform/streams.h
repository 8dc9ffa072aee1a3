#pragma once
// Byte streams: one interface with a size and a position, a growable memory
// stream and a file stream.
#include <cstdint>
#include <string>
#include <string_view>

namespace Vizu2000 {

enum TSeekOrigin { soBeginning, soCurrent, soEnd };

class TStream {
 public:
  virtual ~TStream() = default;

  // Read and Write move the position and return the bytes moved.
  virtual size_t Read(void* buffer, size_t count) = 0;
  virtual size_t Write(const void* buffer, size_t count) = 0;
  virtual std::int64_t Seek(std::int64_t offset, TSeekOrigin origin) = 0;
  virtual std::int64_t Size() = 0;
  virtual void SetSize(std::int64_t size) = 0;

  std::int64_t Position() { return Seek(0, soCurrent); }
  void SetPosition(std::int64_t position) { Seek(position, soBeginning); }

  // Raises EVizuError when not every byte could be moved.
  void ReadBuffer(void* buffer, size_t count);
  void WriteBuffer(const void* buffer, size_t count);
  void WriteString(std::string_view text) { WriteBuffer(text.data(), text.size()); }
  // Copies count bytes from the source's position (0: the whole source from
  // its start) and returns the bytes copied.
  std::int64_t CopyFrom(TStream& source, std::int64_t count);
  // The bytes from the position to the end.
  std::string ReadRest();
};

// Memory is a std::string, so a text can move in and out without a copy.
class TMemoryStream : public TStream {
 public:
  TMemoryStream() = default;
  explicit TMemoryStream(std::string data) : data_(std::move(data)) {}

  size_t Read(void* buffer, size_t count) override;
  size_t Write(const void* buffer, size_t count) override;
  std::int64_t Seek(std::int64_t offset, TSeekOrigin origin) override;
  std::int64_t Size() override { return static_cast<std::int64_t>(data_.size()); }
  void SetSize(std::int64_t size) override;

  void Clear() { data_.clear(); position_ = 0; }
  const char* Memory() const { return data_.data(); }
  char* Memory() { return data_.data(); }
  std::string_view View() const { return data_; }
  const std::string& Data() const { return data_; }
  // Takes the text over; the position goes to 0.
  void Assign(std::string data) { data_ = std::move(data); position_ = 0; }
  // Hands the bytes out and leaves the stream empty.
  std::string Release();
  void Reserve(size_t capacity);

 private:
  std::string data_;
  size_t position_ = 0;
};

enum TFileMode { fmCreate, fmOpenRead, fmOpenReadWrite };

class TFileStream : public TStream {
 public:
  // fmCreate creates or replaces the file ("Cannot create file <name>" when
  // it cannot); the open modes raise "Cannot open file <name>".
  TFileStream(const std::string& fileName, TFileMode mode);
  ~TFileStream() override;
  TFileStream(const TFileStream&) = delete;
  TFileStream& operator=(const TFileStream&) = delete;

  size_t Read(void* buffer, size_t count) override;
  size_t Write(const void* buffer, size_t count) override;
  std::int64_t Seek(std::int64_t offset, TSeekOrigin origin) override;
  std::int64_t Size() override;
  void SetSize(std::int64_t size) override;

  const std::string& FileName() const { return fileName_; }
  int Handle() const { return fd_; }
  // Flushes the file's data to the disk; raises EVizuError on failure.
  void Sync();

 private:
  std::string fileName_;
  int fd_ = -1;
};

// Reads a whole file; raises "Cannot open file <name>", or "Cannot read
// file <name>: <reason>" when reading fails part way (a folder, an I/O error).
std::string ReadWholeFile(const std::string& fileName);

}  // namespace Vizu2000
