#pragma once
// One poll of the mailbox: connect, sign in, list, fetch each message into
// its file, make each batch of files durable before its messages are
// deleted, quit. It knows nothing of windows: it reports through a
// listener (the log's lines, the outcome) and reads the destination
// folder afresh for every message, so an edit made during a poll applies
// to the messages still to come.
#include <QDateTime>
#include <functional>
#include <string>

#include "app/poll_status.h"

namespace Vizu2000 {

class TREZ2000;

class TPollListener {
 public:
  virtual ~TPollListener() = default;
  // A poll begins with an empty log.
  virtual void PollLogCleared() = 0;
  virtual void PollLogLine(const std::string& line) = 0;
  // The poll that began at `started` is over, well or not; the outcome's
  // failure says why it ended early. Not called for a skipped poll.
  virtual void PollEnded(const QDateTime& started, const TPollOutcome& outcome) = 0;
};

// Access tokens for a poll that signs in with OAuth2.
class TSignInTokens {
 public:
  virtual ~TSignInTokens() = default;
  // Before the poll connects: hands the client a token to sign in with;
  // false, with the reason, when there is none.
  virtual bool Prepare(std::string& failure) = 0;
  // After the server refused the token: true once a renewed one is handed
  // over.
  virtual bool Renew(std::string& failure) = 0;
};

class TPollCycle {
 public:
  TPollCycle(TREZ2000& pop, TPollListener& listener, std::function<std::string()> destination);

  // Where the tokens come from; null (the default): the client signs in
  // with what it holds.
  void SetSignInTokens(TSignInTokens* tokens) { tokens_ = tokens; }

  // One poll. A call while a poll is running (from an event handler that
  // runs while the poll waits for its server) is skipped. Raises EFileError
  // when a message file cannot be written, and passes other errors out;
  // either way the connection is first closed without QUIT, so the server
  // keeps every message of the session, and PollEnded has been called.
  void Run();
  bool Running() const { return running_; }

  // Where the lists of the ids already stored are kept (TStoredIdList): a
  // poll then fetches only the messages whose ids are not on its mailbox's
  // list. Empty (the default): every poll fetches every message and no list
  // is read or written.
  void SetIdListFolder(std::string folder) { idListFolder_ = std::move(folder); }

  // Called after each batch's files are durable and before the list of
  // stored ids learns of them and their DELEs go out: a crash here must
  // lose nothing and cost at most this batch fetched again.
  std::function<void()> OnBatchDurable;

  // "Connecting at " + the local date and time as the log shows them.
  static std::string LogDateTime();

 private:
  void RunSession(TPollOutcome& outcome);
  // Login, and once more with a renewed token when the server refused the
  // one it had; false with the reason.
  bool SignIn(std::string& failure);
  void End(const QDateTime& started, const TPollOutcome& outcome);
  void EndEarly(const QDateTime& started, const TPollOutcome& outcome);
  void Log(const std::string& line) { listener_.PollLogLine(line); }

  // Files per batch, and bytes: a batch's files are made durable together
  // (their syncs waiting side by side) and then its messages are deleted,
  // so these bound both the work a crash can undo and the messages
  // waiting for their DELE.
  static constexpr std::size_t kBatchFiles = 500;
  static constexpr std::size_t kBatchBytes = 64u << 20;

  TREZ2000& pop_;
  TPollListener& listener_;
  std::function<std::string()> destination_;
  TSignInTokens* tokens_ = nullptr;
  std::string idListFolder_;
  bool running_ = false;
};

}  // namespace Vizu2000
