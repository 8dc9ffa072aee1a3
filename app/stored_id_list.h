#pragma once
// The unique ids of the messages a mailbox has already given us, so that a
// poll fetches only what is new. One file per mailbox (host, port, user) in
// the state folder, private to its owner and replaced whole: written beside
// the old one, synced, renamed over it, the folder synced. A crash leaves
// the old list or the new one, never a mix.
//
// A list vouches for messages: with "delete on retrieve" an id on it is
// deleted without being fetched again. So a file that cannot be read whole
// and exactly as it was written counts as no list at all, and the poll
// fetches again rather than skip what nothing vouches for.
#include <cstddef>
#include <string>
#include <unordered_set>

#include "mail/net/pop3_client.h"

namespace Vizu2000 {

class TStoredIdList {
 public:
  // The list of the mailbox user@host:port, kept in folder.
  TStoredIdList(std::string folder, std::string host, int port, std::string user);

  const std::string& FileName() const { return fileName_; }

  enum class TLoad {
    Read,     // the list as it was last saved
    Missing,  // none saved yet for this mailbox
    Damaged,  // unreadable, cut short, changed by hand, too large, or another mailbox's
  };
  // Reads the file (and removes the temporary files of a save that was
  // killed); the list is empty unless the result is Read. Never raises.
  TLoad Load();

  bool Contains(const std::string& uid) const { return ids_.count(uid) != 0; }
  void Add(std::string uid);
  // Keeps only the ids the server listed: what it no longer holds cannot
  // come again, and the list never grows beyond the mailbox.
  void KeepOnly(const TUniqueIds& listing);
  std::size_t Size() const { return ids_.size(); }
  // Something was added or dropped since the last Load or Save, or the file
  // did not hold a list that could be read.
  bool Changed() const { return changed_; }

  // Writes the list when it changed, creating the folder (0700) and the
  // file (0600) as needed. Raises EFileError "Cannot create folder <dir>:
  // <reason>" or the message files' errors; the file on disk is then the
  // one of the last successful save.
  void Save();

  // A list file is never read beyond this: past it, it counts as damaged.
  static constexpr std::size_t kMaxFileBytes = 256u << 20;

 private:
  std::string Header() const;

  std::string folder_;
  std::string host_;
  int port_;
  std::string user_;
  std::string fileName_;
  std::unordered_set<std::string> ids_;
  bool changed_ = true;
};

}  // namespace Vizu2000
