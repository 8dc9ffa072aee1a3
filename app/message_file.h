#pragma once
// Message files: where a message with a given unique id is stored, and how
// the files of one poll are written so that a file under its final name is
// always a whole message and a message is deleted from the server only once
// its file is durable.
#include <string>
#include <string_view>
#include <vector>

#include "platform/error.h"

namespace Vizu2000 {

// A file operation that failed, with the system's error number (0 when none
// applies). The message is the failure in words, then ": " and the system's
// reason, e.g. "Cannot write file /m/x.eml: No space left on device".
class EFileError : public EVizuError {
 public:
  EFileError(const std::string& message, int code);
  int Code() const { return code_; }

 private:
  int code_;
};

// The file-name form of a unique id. An id that holds neither "%", "/" nor
// a NUL byte and is not too long keeps its name; otherwise "%", "/" and NUL
// become "%25", "%2F" and "%00", so distinct ids never share a name and a
// name never leaves its folder. An id whose name would pass the file-system
// limit keeps its first 160 bytes (so encoded) and then "%h" and the SHA-256
// of the whole id in hex. Copy 2, 3, ... of an id that a server repeats
// within one poll gets "%n2", "%n3", ... after that: no id's own name holds
// "%n", so a copy never takes another message's file.
std::string FileNameOfId(std::string_view uid, int copy = 1);

// destDir + "/" + FileNameOfId(uid, copy) + ".eml"; nothing is dropped when
// destDir already ends in "/".
std::string MessageFileName(const std::string& destDir, std::string_view uid, int copy = 1);

// The folder part of a file name ("." for a bare name).
std::string FolderOf(const std::string& fileName);

// The message files of one poll. Add writes a file's content to a new
// temporary file (mode 0600: mail is private) in the final name's folder;
// Commit makes all pending files durable, renames them into place and syncs
// their folders. One commit per batch instead of a sync per file as it is
// written is what keeps a poll of thousands of small messages fast; the
// rename after the sync keeps every file under its final name whole, even
// across a power cut. Pending files that are never committed are removed by
// Discard and by the destructor.
//
// A folder is opened once, at the first file the batch writes into it, and
// every later file, rename and sync of the batch goes through that handle:
// a folder renamed away or replaced by a symbolic link in the middle of a
// batch cannot split the batch between two folders, nor send a file where
// its temporary was not. Files for another folder get a handle of their own.
class TMessageFileBatch {
 public:
  // How Commit makes the files durable: with an fdatasync of each file, all
  // waiting side by side, which waits for this batch's data only; or with
  // one syncfs of their file system, which also waits for every other
  // program's unwritten data there (a large copy running beside the poll).
  enum class TSync { Files, FileSystem };

  TMessageFileBatch() = default;
  ~TMessageFileBatch();
  TMessageFileBatch(const TMessageFileBatch&) = delete;
  TMessageFileBatch& operator=(const TMessageFileBatch&) = delete;

  // Raises EFileError "Cannot create file <fileName>: <reason>" or "Cannot
  // write file <fileName>: <reason>"; nothing of that file is left behind.
  void Add(const std::string& fileName, std::string_view content);
  // The same, taking the content over: a message moved in is freed as soon
  // as its file is written, not when the caller's copy goes.
  void Add(const std::string& fileName, std::string&& content);
  void Add(const std::string& fileName, const char* content) { Add(fileName, std::string_view(content)); }
  std::size_t PendingCount() const { return pending_.size(); }
  std::size_t PendingBytes() const { return pendingBytes_; }
  // Raises EFileError "Cannot write file <fileName>: <reason>" when a file's
  // data cannot be made durable, "Cannot sync folder <dir>: <reason>", or
  // "Cannot create file <fileName>: <reason>" when a rename fails; files
  // renamed before the failure are in place but none of the batch counts as
  // safe. Either way the folder handles are closed: the next file opens its
  // folder afresh.
  void Commit();
  void Discard();

  // For every batch of the process; Files unless set. FileSystem is there
  // to be measured against (bench_file_sync).
  static void SetSync(TSync sync);
  static TSync Sync();

 private:
  struct TFolder {
    std::string path;
    int fd = -1;
  };
  struct TPending {
    std::size_t folder;  // in folders_
    std::string temp;    // names inside the folder; temp is empty once renamed
    std::string name;
    std::string final;   // the caller's file name, for messages
  };
  std::size_t OpenFolder(const std::string& path, const std::string& fileName);
  void CloseFolders();
  void SyncEachFile();

  std::vector<TFolder> folders_;
  std::vector<TPending> pending_;
  std::size_t pendingBytes_ = 0;
};

// Removes the temporary files that a killed run of this program left in dir:
// only names of its own pattern whose process is no longer running, so the
// files of a running poll (of this or another instance) stay. Never raises.
void RemoveStaleTemporaries(const std::string& dir);

}  // namespace Vizu2000
