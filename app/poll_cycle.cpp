#include "app/poll_cycle.h"

#include <QLocale>
#include <QRegularExpression>
#include <sys/stat.h>
#include <unistd.h>

#include <memory>
#include <unordered_map>
#include <utility>
#include <vector>

#include "app/message_file.h"
#include "app/program_end.h"
#include "app/stored_id_list.h"
#include "mail/net/pop3_client.h"
#include "platform/event_pump.h"
#include "platform/memory.h"

namespace Vizu2000 {

namespace {

// The mailbox's list, by the name the user gave the server.
TStoredIdList IdListOf(const TREZ2000& pop, const std::string& folder) {
  return TStoredIdList(folder, pop.Host(), pop.Port(), pop.UserName());
}

// A file is there and not empty.
bool FileHoldsBytes(const std::string& fileName) {
  struct stat st {};
  return ::stat(fileName.c_str(), &st) == 0 && S_ISREG(st.st_mode) && st.st_size > 0;
}

// Marks in skip the listed messages (numbers up to count, by their ids)
// that the list holds, and returns how many. With upgrade, a message whose
// file is already in dest joins the list first.
int MarkStored(TStoredIdList& list, bool upgrade, const std::vector<int>& numbers, int count, const TUniqueIds& ids,
               const std::string& dest, std::vector<bool>& skip) {
  int marked = 0;
  for (size_t i = 0; i < numbers.size() && numbers[i] <= count; ++i) {
    const auto it = ids.find(numbers[i]);
    if (it == ids.end()) continue;
    if (upgrade && !list.Contains(it->second) && FileHoldsBytes(MessageFileName(dest, it->second)))
      list.Add(it->second);
    skip[i] = list.Contains(it->second);
    marked += skip[i];
  }
  return marked;
}

std::string Capitalized(std::string text) {
  if (!text.empty() && text[0] >= 'a' && text[0] <= 'z') text[0] = static_cast<char>(text[0] - 'a' + 'A');
  return text;
}

}  // namespace

TPollCycle::TPollCycle(TREZ2000& pop, TPollListener& listener, std::function<std::string()> destination)
    : pop_(pop), listener_(listener), destination_(std::move(destination)) {}

std::string TPollCycle::LogDateTime() {
  const QDateTime now = QDateTime::currentDateTime();
  const QLocale locale = QLocale::system();
  std::string text = locale.toString(now.date(), QLocale::ShortFormat).toStdString();
  const QTime time = now.time();
  if (time.hour() != 0 || time.minute() != 0 || time.second() != 0) {
    // The long time format without its time-zone name.
    QString format = locale.timeFormat(QLocale::LongFormat);
    format.remove(QRegularExpression("\\s*\\bt+\\b"));
    text += " " + locale.toString(time, format.trimmed()).toStdString();
  }
  return text;
}

void TPollCycle::Run() {
  // A tick while a poll waits for its server: that poll is still the
  // current one, and a second connection would only be refused. Skipped.
  if (running_) return;
  TBusyFlag running(running_);  // cleared also when the poll leaves by an error
  listener_.PollLogCleared();
  const QDateTime started = QDateTime::currentDateTime();
  std::string line = "Connecting at " + LogDateTime();
  if (std::string failure; tokens_ && !tokens_->Prepare(failure)) {
    Log("Renewing the access token... failed");
    TPollOutcome failed;
    failed.failure = failure;
    End(started, failed);
    return;
  }
  if (!pop_.Connect()) {
    Log(line + " failed");
    TPollOutcome failed;
    failed.failure = pop_.FailureReason().empty() ? pop_.TLSFailure() : pop_.FailureReason();
    End(started, failed);
    return;
  }
  Log(line + " ok");
  TPollOutcome outcome;
  try {
    RunSession(outcome);
  } catch (const EFileError& error) {
    outcome.failure = FileFailureText(error.Code());
    EndEarly(started, outcome);
    throw;
  } catch (const std::exception& error) {
    outcome.failure = error.what();
    EndEarly(started, outcome);
    throw;
  }
  pop_.Quit();
  Log("Disconnecting...");
  End(started, outcome);
}

void TPollCycle::EndEarly(const QDateTime& started, const TPollOutcome& outcome) {
  // No QUIT: the server keeps every message of the session (RFC 1939
  // section 6 commits deletions only in the UPDATE state), and the next
  // poll starts afresh instead of finding the session still open.
  pop_.Abort();
  End(started, outcome);
}

void TPollCycle::End(const QDateTime& started, const TPollOutcome& outcome) {
  // The log's last word on a poll that failed is why, in full.
  if (!outcome.failure.empty()) Log(Capitalized(outcome.failure));
  // An idle fetcher holds nothing of the poll: freed blocks go back to the
  // system now rather than wait out the interval in a cache.
  TrimMemoryCache();
  listener_.PollEnded(started, outcome);
}

bool TPollCycle::SignIn(std::string& failure) {
  if (pop_.Login()) return true;
  failure = pop_.FailureReason();
  // A token can expire between its check and its use, or be revoked early:
  // one renewal, on the same connection, and no more.
  if (!tokens_ || !pop_.TokenRefused() || !pop_.Connected()) return false;
  Log("Login... token refused, renewing it");
  if (!tokens_->Renew(failure)) return false;
  if (pop_.Login()) {
    failure.clear();
    return true;
  }
  failure = pop_.FailureReason();
  return false;
}

void TPollCycle::RunSession(TPollOutcome& outcome) {
  if (!SignIn(outcome.failure)) {
    Log("Login... failed");
    return;
  }
  Log("Login... ok");
  const int count = pop_.MessageCount();
  Log(std::to_string(count) + " messages on server");
  const std::string firstDest = destination_();
  RemoveStaleTemporaries(firstDest);
  bool listFailed = false;
  auto saveList = [&](TStoredIdList& list) {
    try {
      list.Save();
    } catch (const EFileError& error) {
      // The messages are safe in their files; a list that stays behind
      // costs only fetching them again.
      if (!std::exchange(listFailed, true)) Log(error.what());
    }
  };
  if (count < 1) {
    // The server holds nothing of what its list names any more.
    if (count == 0 && !idListFolder_.empty()) {
      TStoredIdList list = IdListOf(pop_, idListFolder_);
      if (list.Load() == TStoredIdList::TLoad::Read && list.Size() > 0) {
        list.KeepOnly({});
        saveList(list);
      }
    }
    return;
  }

  // One UIDL listing instead of one round trip per message; a server that
  // refuses it is asked message by message.
  TUniqueIds ids;
  const bool listed = pop_.GetUIDLs(ids);
  // A copy: a nested handler may change the connection and its listing.
  const std::vector<int> numbers = pop_.ListedNumbers();
  // Messages stored by an earlier poll: not fetched again, and with
  // "delete on retrieve" deleted in this poll's first batch step.
  std::vector<bool> skip(numbers.size());
  std::vector<int> toDelete;
  std::unique_ptr<TStoredIdList> list;
  if (!idListFolder_.empty() && listed) {
    list = std::make_unique<TStoredIdList>(IdListOf(pop_, idListFolder_));
    const TStoredIdList::TLoad loaded = list->Load();
    if (loaded == TStoredIdList::TLoad::Damaged) Log("Cannot read " + list->FileName() + ": starting a new list");
    list->KeepOnly(ids);
    // A first poll counts the files already there, from a version that
    // kept no list. Not with "delete on retrieve": there nothing but the
    // list may vouch for a message before it goes, and such a mailbox
    // holds only what a poll could not finish anyway.
    const bool upgrade = loaded != TStoredIdList::TLoad::Read && !pop_.DeleteOnRetrieve();
    const int skipped = MarkStored(*list, upgrade, numbers, count, ids, firstDest, skip);
    if (pop_.DeleteOnRetrieve())
      for (size_t i = 0; i < numbers.size(); ++i)
        if (skip[i]) toDelete.push_back(numbers[i]);
    if (skipped > 0) Log(std::to_string(skipped) + (skipped == 1 ? " message" : " messages") + " already saved");
  } else if (!idListFolder_.empty() && pop_.Connected()) {
    Log("The server cannot tell messages apart (no UIDL listing): fetching every message");
  }

  // Files are written in batches; a batch's messages are deleted only once
  // its files are durable, so a message is never gone from the server
  // before its file is safe.
  TMessageFileBatch batch;
  int pendingSaved = 0, pendingNew = 0;  // counted once their files are in place
  std::vector<std::string> pendingNewFiles;
  std::vector<std::string> pendingIds;
  auto commit = [&] {
    // Taken first: when the commit fails, none of its files counts.
    const int saved = std::exchange(pendingSaved, 0), fresh = std::exchange(pendingNew, 0);
    std::vector<std::string> durable = std::exchange(pendingIds, {});
    std::vector<std::string> durableNewFiles = std::exchange(pendingNewFiles, {});
    batch.Commit();
    outcome.saved += saved;
    outcome.newlySaved += fresh;
    for (std::string& file : durableNewFiles) outcome.newFiles.push_back(std::move(file));
    if (saved > 0 && OnBatchDurable) OnBatchDurable();
    // File, then list, then DELE: a crash between two steps costs at most
    // this batch fetched again, and nothing is deleted that no file holds.
    if (list) {
      for (std::string& uid : durable) list->Add(std::move(uid));
      saveList(*list);
    }
    // A refused DELE leaves that message on the server, nothing worse.
    pop_.DeleteMessages(toDelete);
    toDelete.clear();
  };
  std::unordered_map<std::string, int> names;  // file names of this poll: a repeated id gets a copy

  try {
    for (size_t i = 0; i < numbers.size(); ++i) {
      const int n = numbers[i];
      // The program is ending (a signal): the messages in hand are kept and
      // the poll ends as usual, so their deletions take effect.
      if (n > count || EndRequested()) break;
      if (skip[i]) continue;
      const std::string dest = destination_();
      Log("Getting UIDL...");
      std::string uid;
      if (!listed)
        uid = pop_.GetUIDL(n);
      else if (auto it = ids.find(n); it != ids.end())
        uid = std::move(it->second);
      ProcessMessages();
      // A message without its id has no file name of its own: it stays on
      // the server (not retrieved, so not deleted).
      if (uid.empty()) {
        Log("Error retrieving message " + std::to_string(n));
        ++outcome.failed;
        ProcessMessages();
        if (!pop_.Connected()) break;
        continue;
      }
      Log("Retrieving message" + std::to_string(n) + "...");
      ProcessMessages();
      if (!pop_.FetchMessage(n)) {
        Log("Error retrieving message " + std::to_string(n));
        ++outcome.failed;
        ProcessMessages();
        // The session is gone: every later message would fail at once.
        if (!pop_.Connected()) break;
        continue;
      }
      const std::string plain = MessageFileName(dest, uid);
      const int copy = ++names[plain];
      const std::string fileName = copy == 1 ? plain : MessageFileName(dest, uid, copy);
      ProcessMessages();
      Log("Building message body...");
      ProcessMessages();
      Log("Saving message to " + fileName);
      ProcessMessages();
      const bool existed = ::access(fileName.c_str(), F_OK) == 0;
      // The file holds the message exactly as the server sent it.
      batch.Add(fileName, pop_.TakeLastMessage());
      ++pendingSaved;
      if (!existed) {
        ++pendingNew;
        pendingNewFiles.push_back(fileName);
      }
      if (list) pendingIds.push_back(std::move(uid));
      if (pop_.DeleteOnRetrieve()) toDelete.push_back(n);
      if (batch.PendingCount() >= kBatchFiles || batch.PendingBytes() >= kBatchBytes) commit();
    }
  } catch (...) {
    // What was written whole is kept, but nothing more is deleted: the
    // poll ends without QUIT, so the server keeps those messages anyway.
    toDelete.clear();
    try {
      commit();
    } catch (const std::exception&) {
    }
    throw;
  }
  commit();
  if (!pop_.Connected()) outcome.failure = pop_.FailureReason();
}

}  // namespace Vizu2000
