#include "mail/net/socket_talk.h"

#include <algorithm>
#include <climits>
#include <cstring>

#include "mail/mime/mime_types.h"
#include "platform/error.h"
#include "platform/event_pump.h"

namespace Vizu2000 {

namespace {

// Room for the status line, the end line and some dot-stuffing.
constexpr std::size_t kReserveSlack = 64 * 1024;
constexpr std::size_t kMaxReserve = 256u << 20;

int ClampToInt(std::size_t n) { return static_cast<int>(std::min<std::size_t>(n, INT_MAX)); }

// Buffer room that is kept between replies; more is given back.
constexpr std::size_t kKeep = 1 << 20;

// A whole message may have passed through the buffer; do not keep its
// memory for the rest of the session.
void ClearBuffer(std::string& buffer) {
  if (buffer.capacity() > kKeep) {
    std::string().swap(buffer);
  } else {
    buffer.clear();
  }
}

}  // namespace

void UnbindClient(TSocketTalk& talk) {
  talk.OnEndOfData = nullptr;
  talk.OnReceiveData = nullptr;
  talk.OnSocketTalkError = nullptr;
  talk.OnDisconnect = nullptr;
  talk.OnProgress = nullptr;
}

TSocketTalk::TSocketTalk(TComponent* owner, const TClientSocketFactory& factory)
    : TComponent(owner), socket_(factory ? factory() : CreateClientSocket()) {
  if (!socket_) throw EVizuError("Cannot create a socket");
  socket_->OnRead = [this] { SocketRead(); };
  socket_->OnDisconnect = [this] { SocketDisconnect(); };
  socket_->OnError = [this](TSocketError kind, int& code) { SocketError(kind, code); };
  socket_->OnEncrypted = [this] { SocketEncrypted(); };
  timeOutTimer_.SetEnabled(false);
  timeOutTimer_.OnTimer = [this] { Timer(); };
  timeOutTimer_.SetInterval(TimeOutMs());
}

TSocketTalk::~TSocketTalk() {
  // An open connection is closed without anything reaching the engine.
  socket_->OnRead = nullptr;
  socket_->OnDisconnect = nullptr;
  socket_->OnError = nullptr;
  socket_->OnWrite = nullptr;
  socket_->OnConnect = nullptr;
  socket_->OnEncrypted = nullptr;
  timeOutTimer_.SetEnabled(false);
  timeOutTimer_.OnTimer = nullptr;
  socket_.reset();
}

int TSocketTalk::TimeOutMs() const {
  if (timeOut_ <= 0) return 0;
  return static_cast<int>(std::min<long long>(timeOut_ * 1000LL, INT_MAX));
}

void TSocketTalk::Progress(int total, int current) {
  if (OnProgress) OnProgress(Owner() ? Owner() : this, total, current);
}

std::string TSocketTalk::TakeLastResponse() {
  std::string reply;
  reply.swap(lastResponse_);
  const size_t lf = reply.find('\n');
  lastResponse_.assign(reply, 0, lf == std::string::npos ? reply.size() : lf + 1);
  return reply;
}

std::size_t TSocketTalk::ConsumeReply(std::size_t from, std::size_t count) {
  const std::size_t size = lastResponse_.size();
  const std::size_t kept = size - std::min(size, expectedEnd_.size());
  if (from >= kept) return 0;
  count = std::min(count, kept - from);
  lastResponse_.erase(from, count);
  return count;
}

void TSocketTalk::ReleaseReply() {
  if (lastResponse_.capacity() <= kKeep) return;
  if (lastResponse_.size() > kKeep) {
    const std::size_t lf = lastResponse_.find('\n');
    lastResponse_.resize(lf == std::string::npos ? kKeep : std::min(lf + 1, kKeep));
  }
  std::string(lastResponse_).swap(lastResponse_);
}

void TSocketTalk::Talk(const std::string& data, const std::string& expectedEnd,
                       TSessionState state) {
  expectedEnd_ = expectedEnd;
  sessionState_ = state;
  ClearBuffer(lastResponse_);
  replyBytes_ = 0;
  ClearBuffer(chunk_);
  overLimit_ = false;
  // A reply of known size is gathered in one block: growing by doubling
  // would hold up to three times a large message while it is copied.
  // The size comes from the server, so it is only trusted so far.
  if (expectedSize_ > 0)
    lastResponse_.reserve(std::min<std::size_t>(static_cast<std::size_t>(expectedSize_), kMaxReserve) + kReserveSlack);
  timeOutTimer_.SetInterval(TimeOutMs());
  talkError_ = teNoError;
  waiting_ = true;
  serverResult_ = false;

  const std::size_t packet = sendPacketSize_ > 0 ? static_cast<std::size_t>(sendPacketSize_) : 0;
  sendPacketSize_ = 0;  // applies to this Talk only, however it ends
  const std::size_t size = data.size();
  sentAll_ = false;
  if (packet == 0 || size <= packet) {
    sentAll_ = SendAll(data.data(), size);
    return;
  }

  const int total = ClampToInt(size);
  Progress(total, 0);
  std::size_t position = 0;
  while (position < size) {
    ProcessMessages();
    // A step that has ended meanwhile (error, time-out, closed connection,
    // early reply) is not fed any further.
    if (!waiting_) return;
    const std::size_t length = std::min(packet, size - position);
    if (!SendAll(data.data() + position, length)) return;
    position += length;
    Progress(total, ClampToInt(position));
  }
  sentAll_ = true;
  Progress(total, total);
}

bool TSocketTalk::SendAll(const char* data, std::size_t count) {
  // The time-out bounds a send that the socket keeps refusing; every
  // accepted piece starts a full interval again.
  timeOutTimer_.SetEnabled(true);
  bool complete = true;
  while (count > 0) {
    const int taken = socket_->Send(data, ClampToInt(count));
    if (taken > 0) {
      data += taken;
      count -= static_cast<std::size_t>(taken);
      timeOutTimer_.SetEnabled(false);
      timeOutTimer_.SetEnabled(true);
      continue;
    }
    if (taken == 0) {
      // Not connected: nothing will ever be taken, so the step fails now
      // instead of waiting out its time-out.
      if (waiting_) {
        int code = 0;
        SocketError(seSend, code);
      }
      complete = false;
      break;
    }
    // The socket cannot take data now: sleep until something happens (it
    // drains, the time-out fires, the connection closes), then try again.
    if (waiting_) WaitForEvents(-1);
    if (!waiting_) {
      complete = false;
      break;
    }
  }
  timeOutTimer_.SetEnabled(false);
  return complete;
}

void TSocketTalk::WaitServer() {
  timeOutTimer_.SetInterval(TimeOutMs());
  while (waiting_ && !serverResult_) {
    timeOutTimer_.SetEnabled(true);  // does not restart a running time-out
    WaitForEvents(-1);
  }
  timeOutTimer_.SetEnabled(false);
}

void TSocketTalk::ForceState(TSessionState state) {
  expectedEnd_.clear();
  ClearBuffer(lastResponse_);
  replyBytes_ = 0;
  ClearBuffer(chunk_);
  overLimit_ = false;
  timeOutTimer_.SetInterval(TimeOutMs());
  timeOutTimer_.SetEnabled(false);
  timeOutTimer_.SetEnabled(true);
  expectedSize_ = 0;
  talkError_ = teNoError;
  sessionState_ = state;
  waiting_ = true;
  serverResult_ = false;
}

void TSocketTalk::Resume(const std::string& expectedEnd, TSessionState state) {
  expectedEnd_ = expectedEnd;
  sessionState_ = state;
  timeOutTimer_.SetInterval(TimeOutMs());
  timeOutTimer_.SetEnabled(false);
  timeOutTimer_.SetEnabled(true);
  talkError_ = teNoError;
  waiting_ = true;
  serverResult_ = false;
}

bool TSocketTalk::StartTls() {
  ForceState(stTls);
  try {
    socket_->StartTls();
  } catch (...) {
    Cancel();
    throw;
  }
  WaitServer();
  return serverResult_ && socket_->Encrypted();
}

void TSocketTalk::SocketEncrypted() {
  if (!waiting_ || sessionState_ != stTls) return;
  timeOutTimer_.SetEnabled(false);
  waiting_ = false;
  serverResult_ = true;
  sessionState_ = stNone;
}

void TSocketTalk::OpenForGreeting(const std::string& host, int port) {
  const bool numeric = IsIPAddress(host);
  socket_->SetHost(numeric ? "" : host);
  socket_->SetAddress(numeric ? host : "");
  socket_->SetPort(port);
  ForceState(stConnect);
  expectedEnd_ = "\r\n";
  try {
    socket_->Open();
  } catch (...) {
    Cancel();
    throw;
  }
}

void TSocketTalk::Cancel() {
  timeOutTimer_.SetEnabled(false);
  talkError_ = teNoError;
  sessionState_ = stNone;
  expectedEnd_.clear();
  expectedSize_ = 0;
  waiting_ = false;
  serverResult_ = false;
}

void TSocketTalk::SocketRead() {
  const int ready = socket_->BytesReady();
  if (ready <= 0) return;
  chunk_.resize(static_cast<std::size_t>(ready));
  const int got = socket_->Read(chunk_.data(), ready);
  if (got <= 0) return;  // an empty read says nothing about the reply
  chunk_.resize(static_cast<std::size_t>(got));
  if (overLimit_) return;  // the rest of a reply that has already failed
  // Checked before the chunk is kept, so what a reply costs never passes
  // its limit by more than one chunk held for this call.
  if (maxReplySize_ > 0 && chunk_.size() > maxReplySize_ - std::min(maxReplySize_, replyBytes_)) {
    ReplyTooLong();
    return;
  }
  // A reply of known size that outgrows what Talk reserved for it (the
  // size was wrong, or a lie) is given room up to its limit at once:
  // growing by doubling would copy it again and again, holding it twice
  // at each copy. Room that is never written costs no memory.
  if (expectedSize_ > 0 && maxReplySize_ > 0 && lastResponse_.size() + chunk_.size() > lastResponse_.capacity())
    lastResponse_.reserve(std::min(maxReplySize_, kMaxReserve + kReserveSlack));
  lastResponse_.append(chunk_);
  replyBytes_ += chunk_.size();

  talkError_ = teNoError;
  timeOutTimer_.SetEnabled(false);
  if (OnReceiveData) OnReceiveData(this, sessionState_, chunk_, serverResult_);
  if (expectedSize_ > 0) Progress(expectedSize_, ClampToInt(replyBytes_));

  if (!expectedEnd_.empty() && !lastResponse_.ends_with(expectedEnd_)) {
    // The reply goes on: the silence is measured afresh.
    if (waiting_) timeOutTimer_.SetEnabled(true);
    return;
  }
  talkError_ = teNoError;
  expectedSize_ = 0;
  expectedEnd_.clear();
  waiting_ = false;
  if (OnEndOfData) OnEndOfData(this, sessionState_, lastResponse_, serverResult_);
  sessionState_ = stNone;
}

void TSocketTalk::SocketDisconnect() {
  if (OnDisconnect) OnDisconnect(this);
  timeOutTimer_.SetEnabled(false);
  waiting_ = false;
  sessionState_ = stNone;
  expectedEnd_.clear();
  expectedSize_ = 0;
  sendPacketSize_ = 0;
}

void TSocketTalk::EndWithError(TTalkError error) {
  timeOutTimer_.SetEnabled(false);
  talkError_ = error;
  expectedSize_ = 0;
  expectedEnd_.clear();
  waiting_ = false;
  serverResult_ = false;
  if (OnSocketTalkError) OnSocketTalkError(this, sessionState_, error);
  sessionState_ = stNone;
}

void TSocketTalk::ReplyTooLong() {
  overLimit_ = true;
  // The first line may be quoted; the rest can be as large as the limit and
  // is of no use to anyone.
  constexpr std::size_t kKeepLine = 1024;
  const std::size_t lf = lastResponse_.find('\n');
  std::string first(lastResponse_, 0, std::min(lf == std::string::npos ? lastResponse_.size() : lf + 1, kKeepLine));
  std::string().swap(lastResponse_);
  lastResponse_.swap(first);
  ClearBuffer(chunk_);
  if (waiting_) EndWithError(teReplyTooLong);
}

void TSocketTalk::SocketError(TSocketError kind, int& code) {
  EndWithError(kind <= seAccept ? static_cast<TTalkError>(kind) : teGeneral);
  code = 0;
}

void TSocketTalk::Timer() { EndWithError(teTimeout); }

}  // namespace Vizu2000
