#pragma once
// Byte streams: one interface with a size and a position, a growable memory
// stream and a file stream.
#include <cstdint>
#include <string>
#include <string_view>

#include "platform/memory.h"

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
// A stream may instead share a piece of a read-only block with others (a
// part's body is a piece of its message's text); it then makes its own copy
// of the piece at its first change, or when Data() is asked for, and views
// taken before that end with the change.
class TMemoryStream : public TStream {
 public:
  TMemoryStream() = default;
  explicit TMemoryStream(std::string data) : data_(std::move(data)) {}

  size_t Read(void* buffer, size_t count) override;
  size_t Write(const void* buffer, size_t count) override;
  std::int64_t Seek(std::int64_t offset, TSeekOrigin origin) override;
  std::int64_t Size() override { return static_cast<std::int64_t>(View().size()); }
  void SetSize(std::int64_t size) override;

  void Clear();
  const char* Memory() const { return View().data(); }
  char* Memory() {
    Own();
    return data_.data();
  }
  std::string_view View() const { return block_ ? piece_ : std::string_view(data_); }
  const std::string& Data() const {
    Own();
    return data_;
  }
  // Takes the text over; the position goes to 0.
  void Assign(std::string data);
  // Shares `piece`, which lies in `block`; the position goes to 0.
  void Share(TSharedBlock block, std::string_view piece);
  // The block whose piece the stream shares; null when it holds its own.
  const TSharedBlock& Block() const { return block_; }
  // Takes the other stream's bytes over as they are held, shared or own,
  // and leaves it empty; the position goes to 0.
  void TakeOver(TMemoryStream& other);
  // Hands the bytes out and leaves the stream empty.
  std::string Release();
  // What the stream can hold without growing; 0 while it shares a piece.
  size_t Capacity() const { return block_ ? 0 : data_.capacity(); }
  void Reserve(size_t capacity);

 private:
  // Turns a shared piece into the stream's own copy.
  void Own() const;

  mutable std::string data_;
  mutable TSharedBlock block_;
  mutable std::string_view piece_;
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
