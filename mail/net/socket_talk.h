#pragma once
// TSocketTalk holds one timed command-and-reply conversation with a
// line-oriented server. A protocol step is always Talk (send a command, say
// which text ends the reply and which step this is) and then WaitServer
// (keep the window's events moving until the reply has ended, failed, timed
// out or the connection has closed). The engine knows no protocol: at the end
// of each reply it asks its owner's OnEndOfData handler for the verdict in
// ServerResult. It never raises for a protocol failure and never closes the
// connection on its own account.
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "platform/client_socket.h"
#include "platform/component.h"
#include "platform/events.h"
#include "platform/timer.h"

namespace Vizu2000 {

enum TSessionState : std::uint8_t {
  stNone = 0,
  stConnect = 1,
  stUser = 2,
  stPass = 3,
  stStat = 4,
  stList = 5,
  stRetr = 6,
  stDele = 7,
  stUIDL = 8,
  stHelo = 9,
  stMail = 10,
  stRcpt = 11,
  stData = 12,
  stSendData = 13,
  stQuit = 14,
  stRset = 15,
  stTls = 16,  // a TLS handshake (StartTls); no reply is judged in it
  stStartTls = 17,  // SMTP's STARTTLS command (RFC 3207)
  stAuth = 18,      // an SMTP sign-in step (RFC 4954)
};

// Ordinals 0 to 5 are the socket's own error kinds (TSocketError), unchanged.
enum TTalkError : std::uint8_t {
  teGeneral = 0,
  teSend = 1,
  teReceive = 2,
  teConnect = 3,
  teDisconnect = 4,
  teAccept = 5,
  teTimeout = 6,
  teNoError = 7,
  teReplyTooLong = 8,  // the reply passed MaxReplySize
};

// Data refers to the engine's buffer and is valid for the duration of the
// call only. ServerResult is the engine's verdict, for the handler to set.
using TEndOfDataEvent = std::function<void(TComponent* Sender, TSessionState SessionState,
                                           const std::string& Data, bool& ServerResult)>;
using TSocketTalkErrorEvent =
    std::function<void(TComponent* Sender, TSessionState SessionState, TTalkError TalkError)>;
using TReceiveDataEvent = std::function<void(TComponent* Sender, TSessionState Sessionstate,
                                             const std::string& Data, bool& ServerResult)>;

class TSocketTalk;

// Binds an engine's events to a protocol client's handlers of the same
// names; progress goes to the client's OnProgress with the client as Sender.
// UnbindClient undoes it, for a client that goes before its engine.
template <typename Client>
void BindClient(TSocketTalk& talk, Client* client);
void UnbindClient(TSocketTalk& talk);

// Marks an operation of a client as running for its lifetime; a nested
// operation sees the flag and refuses.
class TBusyFlag {
 public:
  explicit TBusyFlag(bool& flag) : flag_(flag) { flag_ = true; }
  ~TBusyFlag() { flag_ = false; }
  TBusyFlag(const TBusyFlag&) = delete;
  TBusyFlag& operator=(const TBusyFlag&) = delete;

 private:
  bool& flag_;
};

class TSocketTalk : public TComponent {
 public:
  // Without a factory the socket comes from CreateClientSocket().
  explicit TSocketTalk(TComponent* owner, const TClientSocketFactory& factory = nullptr);
  ~TSocketTalk() override;

  // Seconds of silence after which a wait ends with teTimeout; 0 or less:
  // never.
  int TimeOut() const { return timeOut_; }
  void SetTimeOut(int seconds) { timeOut_ = seconds; }
  // The bytes whose arrival at the end of the gathered data end the awaited
  // reply; empty: the first data received ends it.
  const std::string& ExpectedEnd() const { return expectedEnd_; }
  void SetExpectedEnd(const std::string& end) { expectedEnd_ = end; }
  // Everything received since the last Talk or ForceState, byte for byte,
  // but what a handler has consumed (ConsumeReply).
  const std::string& LastResponse() const { return lastResponse_; }
  // Hands the gathered reply over without a copy; LastResponse keeps its
  // first line (the status line), line break included.
  std::string TakeLastResponse();
  // Bytes the current (or last) reply has brought in all, those consumed
  // included; what MaxReplySize and the receive progress count.
  std::size_t ReplySize() const { return replyBytes_; }
  // Drops count bytes of the gathered reply from offset from on: an
  // OnReceiveData handler that reads a long reply as it arrives keeps only
  // what it still needs, so the reply costs memory for what is kept of it,
  // not for what the server sent. The last bytes that may belong to
  // ExpectedEnd stay, so the end is still seen. Returns the bytes dropped.
  std::size_t ConsumeReply(std::size_t from, std::size_t count);
  // Gives back the memory of a gathered reply larger than 1 MiB (and of
  // room reserved for it), keeping its first line: for an owner that is done
  // with the reply's text. A smaller reply stays as it is.
  void ReleaseReply();
  // Ends the awaited reply as one past its limit, as MaxReplySize does: for
  // an OnReceiveData handler whose limit grows with what it has read.
  void FailReplyTooLong() { ReplyTooLong(); }
  // Total for receive progress of the current reply; 0: no receive progress.
  // Set it just before Talk; it is cleared when the reply ends.
  int ExpectedSize() const { return expectedSize_; }
  void SetExpectedSize(int size) { expectedSize_ = size; }
  // The most bytes a reply may gather, however it arrives (0: no limit). A
  // reply that would pass it ends the step with teReplyTooLong; what came
  // beyond the limit is dropped, and so is the rest of that reply. Data
  // that arrives between steps counts toward the last reply. Holds until
  // changed.
  std::size_t MaxReplySize() const { return maxReplySize_; }
  void SetMaxReplySize(std::size_t size) { maxReplySize_ = size; }
  // Chunk size for the next Talk only; 0: send in one piece.
  int SendPacketSize() const { return sendPacketSize_; }
  void SetSendPacketSize(int size) { sendPacketSize_ = size; }
  // Whether the last Talk handed all of its data to the socket: a step can
  // end early (an error, a reply that came before the data was all sent).
  bool SentAll() const { return sentAll_; }
  TTalkError TalkError() const { return talkError_; }
  TSessionState SessionState() const { return sessionState_; }
  bool Waiting() const { return waiting_; }
  bool ServerResult() const { return serverResult_; }
  void SetServerResult(bool result) { serverResult_ = result; }

  TClientSocket& Socket() { return *socket_; }
  TTimer& TimeOutTimer() { return timeOutTimer_; }

  // Called with the engine's owner as Sender (the engine itself when it has
  // none): a long send reports Total = its length and Current = bytes
  // handed over; a reply reports Total = ExpectedSize and Current = bytes
  // gathered.
  TProgressEvent OnProgress;
  TEndOfDataEvent OnEndOfData;              // once at the end of each reply
  TSocketTalkErrorEvent OnSocketTalkError;  // a socket error or a time-out
  TReceiveDataEvent OnReceiveData;          // every chunk received
  TNotifyEvent OnDisconnect;                // the connection closed

  // Starts a step: clears the reply state, arms the wait and hands data to
  // the socket exactly as given, returning when all of it has been taken
  // (or the step has ended early: error, time-out, closed connection).
  void Talk(const std::string& data, const std::string& expectedEnd, TSessionState state);
  // Handles window events as they come (blocking while none is pending, so a
  // silent server costs no CPU) until Waiting is false or ServerResult is true.
  void WaitServer();
  // Arms a wait without sending anything and starts the time-out now; used
  // to await a greeting.
  void ForceState(TSessionState state);
  // Points the socket at host (a name, or a numeric address used as it is)
  // and port, arms the wait for the server's greeting line (whole, however
  // the network cuts it) and opens the connection. Errors of the platform
  // socket while opening pass out, with no wait left pending.
  void OpenForGreeting(const std::string& host, int port);
  // Ends the pending wait with a false verdict and no error.
  void Cancel();
  // Arms a wait for more of the reply without clearing what has been
  // gathered: commands sent together (RFC 2449 pipelining) are answered by
  // several replies, which may arrive over several chunks.
  void Resume(const std::string& expectedEnd, TSessionState state);
  // Upgrades the open connection to TLS between two steps and waits for the
  // handshake: true once it has completed. False when it failed (TalkError
  // teConnect, and the socket's TlsFailed and ErrorText say why; the
  // connection is closed), timed out or the connection closed.
  bool StartTls();

  // The socket's and the timer's notifications.
  void SocketRead();
  void SocketDisconnect();
  void SocketError(TSocketError kind, int& code);
  void SocketEncrypted();
  void Timer();

 private:
  int TimeOutMs() const;
  bool SendAll(const char* data, std::size_t count);
  void Progress(int total, int current);
  // Ends the pending wait with a false verdict and the given error.
  void EndWithError(TTalkError error);
  // Drops the gathered reply but its first line and ends the step, if one
  // is waiting, with teReplyTooLong.
  void ReplyTooLong();

  std::unique_ptr<TClientSocket> socket_;
  TTimer timeOutTimer_;
  int timeOut_ = 60;
  std::string expectedEnd_;
  std::string lastResponse_;
  std::size_t replyBytes_ = 0;
  std::string chunk_;
  int expectedSize_ = 0;
  std::size_t maxReplySize_ = 0;
  bool overLimit_ = false;  // the reply passed the limit; the rest of it is dropped
  int sendPacketSize_ = 0;
  TTalkError talkError_ = teNoError;
  TSessionState sessionState_ = stNone;
  bool waiting_ = false;
  bool serverResult_ = false;
  bool sentAll_ = false;
};

template <typename Client>
void BindClient(TSocketTalk& talk, Client* client) {
  talk.OnEndOfData = [client](TComponent* sender, TSessionState state, const std::string& data, bool& result) {
    client->EndOfData(sender, state, data, result);
  };
  talk.OnReceiveData = [client](TComponent* sender, TSessionState state, const std::string& data, bool& result) {
    client->ReceiveData(sender, state, data, result);
  };
  talk.OnSocketTalkError = [client](TComponent* sender, TSessionState state, TTalkError error) {
    client->SocketTalkError(sender, state, error);
  };
  talk.OnDisconnect = [client](TComponent* sender) { client->SocketDisconnect(sender); };
  talk.OnProgress = [client](TComponent*, int total, int current) {
    if (client->OnProgress) client->OnProgress(client, total, current);
  };
}

}  // namespace Vizu2000
