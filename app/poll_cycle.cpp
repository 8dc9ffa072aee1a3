#include "app/poll_cycle.h"

#include <QLocale>
#include <QRegularExpression>
#include <unistd.h>

#include <unordered_map>
#include <utility>
#include <vector>

#include "app/message_file.h"
#include "app/program_end.h"
#include "mail/net/pop3_client.h"
#include "platform/event_pump.h"
#include "platform/memory.h"

namespace Vizu2000 {

namespace {

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
  RemoveStaleTemporaries(destination_());
  if (count < 1) return;

  // One UIDL listing instead of one round trip per message; a server that
  // refuses it is asked message by message.
  TUniqueIds ids;
  const bool listed = pop_.GetUIDLs(ids);
  // Files are written in batches; a batch's messages are deleted only once
  // its files are durable, so a message is never gone from the server
  // before its file is safe.
  TMessageFileBatch batch;
  std::vector<int> toDelete;
  int pendingSaved = 0, pendingNew = 0;  // counted once their files are in place
  std::vector<std::string> pendingNewFiles;
  auto commit = [&] {
    batch.Commit();
    outcome.saved += std::exchange(pendingSaved, 0);
    outcome.newlySaved += std::exchange(pendingNew, 0);
    for (std::string& file : pendingNewFiles) outcome.newFiles.push_back(std::move(file));
    pendingNewFiles.clear();
    // A refused DELE leaves that message on the server, nothing worse.
    pop_.DeleteMessages(toDelete);
    toDelete.clear();
  };
  std::unordered_map<std::string, int> names;  // file names of this poll: a repeated id gets a copy

  // A copy: a nested handler may change the connection and its listing.
  const std::vector<int> numbers = pop_.ListedNumbers();
  try {
    for (const int n : numbers) {
      // The program is ending (a signal): the messages in hand are kept and
      // the poll ends as usual, so their deletions take effect.
      if (n > count || EndRequested()) break;
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
