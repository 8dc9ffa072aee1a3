#include "mail/net/pop3_client.h"

#include <algorithm>
#include <charconv>
#include <climits>
#include <cstdint>
#include <cstring>
#include <vector>

#include "mail/message/mail_message.h"
#include "mail/mime/header_fields.h"
#include "platform/error.h"
#include "platform/int_conv.h"
#include "platform/string_list.h"

namespace Vizu2000 {
namespace {

const std::string kCrLf = "\r\n";
const std::string kDotLineEnd = "\r\n.\r\n";

// MessageSizes grows to the highest number a LIST line names; a hostile
// server must not make that an allocation of gigabytes.
constexpr int kMaxMessageNumber = 10000000;

// How far a reply may grow before the session is given up. RFC 1939 section
// 3 keeps a status line within 512 octets; some servers say more, but none
// that works sends 64 KiB without a line break.
constexpr std::size_t kMaxStatusLine = 64 * 1024;
constexpr std::size_t kMaxStatusReply = kMaxStatusLine + 2;  // and its CR LF
// A RETR or TOP reply against the size LIST gave: a server that counts LF
// line ends sends CR LF, and dot-stuffing adds a byte to a line; either at
// most doubles the text. The fixed part covers the status and end lines
// and small messages whose listed size is plainly wrong.
constexpr std::uint64_t kReplyMargin = 16u << 20;
// A message without a LIST size (LIST refused, not run, or silent on it)
// may be as large as any size a LIST line can state: sizes are int, so
// just under 2 GiB, which is also what the progress counters can count.
constexpr std::uint64_t kUnsizedReply = std::uint64_t{INT_MAX} + kReplyMargin;
// LIST, UIDL and CAPA: a listing of kMaxMessageNumber messages whose ids
// have RFC 1939's most of 70 characters is some 810 MB.
constexpr std::uint64_t kMaxListing = std::uint64_t{1} << 30;

std::size_t ToSize(std::uint64_t bytes) {
  return static_cast<std::size_t>(std::min<std::uint64_t>(bytes, std::string().max_size()));
}

const std::string kLineTooLong =
    "reply too long: the server sent a line of more than " + std::to_string(kMaxStatusLine) + " bytes";

bool StartsWith(std::string_view text, std::string_view prefix) {
  return text.size() >= prefix.size() && text.compare(0, prefix.size(), prefix) == 0;
}

bool EndsWith(std::string_view text, std::string_view suffix) {
  return text.size() >= suffix.size() && text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

bool HasLineBreak(std::string_view text) { return text.find_first_of("\r\n") != std::string_view::npos; }

std::string TrimControls(std::string_view text) {
  size_t first = 0;
  size_t last = text.size();
  while (first < last && static_cast<unsigned char>(text[first]) <= 32) ++first;
  while (last > first && static_cast<unsigned char>(text[last - 1]) <= 32) --last;
  return std::string(text.substr(first, last - first));
}

// A reply's first line, within reason, to quote to a person.
std::string StatusLine(std::string_view reply) {
  return TrimControls(reply.substr(0, std::min(reply.find_first_of("\r\n"), size_t{200})));
}

// Bytes a person can read; others, from a server that speaks no text, as
// '?'.
std::string Printable(std::string text) {
  for (char& c : text)
    if (static_cast<unsigned char>(c) < 32 || static_cast<unsigned char>(c) > 126) c = '?';
  return text;
}

// The text in front of the first space (all of it when there is none).
std::string_view FirstWord(std::string_view text) { return text.substr(0, text.find(' ')); }

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

// "<number> <id>" of a UIDL reply (RFC 1939 section 7), cut at the line's
// end: the number in plain decimal digits, not in the other forms that the
// library's integer reading takes ("0x1", "+1"), so an id is never filed
// under a number the server did not name. More than one blank may stand
// around the number, though the RFC says one: some servers pad.
bool ReadUidLine(std::string_view line, int& number, std::string& id) {
  line = line.substr(0, line.find_first_of("\r\n"));
  size_t p = 0;
  while (p < line.size() && IsBlank(line[p])) ++p;
  size_t digits = p;
  while (digits < line.size() && line[digits] >= '0' && line[digits] <= '9') ++digits;
  if (digits == p || digits == line.size() || !IsBlank(line[digits])) return false;
  const auto [end, error] = std::from_chars(line.data() + p, line.data() + digits, number);
  if (error != std::errc() || end != line.data() + digits) return false;
  id = TrimControls(line.substr(digits));
  return !id.empty();
}

// Cuts a text into lines from its start on: a line ends at CR LF, a lone CR
// or a lone LF. The next CR and the next LF are each looked for once and kept
// until passed, so a text whose lines all end the same way is scanned once;
// looking for the other kind afresh on every line cost the whole rest of the
// text per line.
class TReplyLines {
 public:
  explicit TReplyLines(const char* end) : end_(end) {}

  // The end of the line that starts at p, and where the next one starts.
  // Lines are asked for in order: p never goes back.
  const char* LineEnd(const char* p, const char** next) {
    // A CR or LF found for an earlier line that still lies ahead is the
    // first one after p as well.
    if (!cr_ || cr_ < p) cr_ = Find(p, '\r');
    if (!lf_ || lf_ < p) lf_ = Find(p, '\n');
    if (cr_ < lf_) {
      *next = (cr_ + 1 < end_ && cr_[1] == '\n') ? cr_ + 2 : cr_ + 1;
      return cr_;
    }
    *next = lf_ < end_ ? lf_ + 1 : end_;
    return lf_;
  }

 private:
  const char* Find(const char* p, char c) const {
    const void* at = std::memchr(p, c, static_cast<size_t>(end_ - p));
    return at ? static_cast<const char*>(at) : end_;
  }

  const char* end_;
  const char* cr_ = nullptr;
  const char* lf_ = nullptr;
};

// Walks the text of a multi-line reply: the status line and the final line
// are dropped, a line that starts with ".." loses its first dot (RFC 1939
// section 3) and every line break becomes CR LF. emit(data, size) receives
// the pieces in order; runs of ordinary CR LF lines come as one piece.
template <typename Emit>
void WalkMultiLineReply(const char* p, const char* const end, Emit emit) {
  if (p == end) return;
  TReplyLines lines(end);
  lines.LineEnd(p, &p);  // the status line
  const char* run = p;
  while (p < end) {
    const char* next;
    const char* lineEnd = lines.LineEnd(p, &next);
    if (next >= end) break;  // the "." line
    const bool stuffed = lineEnd - p >= 2 && p[0] == '.' && p[1] == '.';
    if (stuffed || next - lineEnd != 2) {
      emit(run, static_cast<size_t>(p - run));
      const char* from = p + (stuffed ? 1 : 0);
      emit(from, static_cast<size_t>(lineEnd - from));
      emit(kCrLf.data(), 2);
      run = next;
    }
    p = next;
  }
  emit(run, static_cast<size_t>(p - run));
}

// True when every line break is CR LF: the text can then only shrink, so it
// can be made in the reply's own buffer.
bool OnlyCrLf(std::string_view text) {
  const char* p = text.data();
  const char* const end = p + text.size();
  size_t lineFeeds = 0;
  while (const char* lf = static_cast<const char*>(std::memchr(p, '\n', static_cast<size_t>(end - p)))) {
    if (lf == text.data() || lf[-1] != '\r') return false;
    ++lineFeeds;
    p = lf + 1;
  }
  return static_cast<size_t>(std::count(text.begin(), text.end(), '\r')) == lineFeeds;
}

struct TScanLine {
  int number;
  int size;
};

// Each scan line resizes the sizes to its number + 1 (keeping what fits) and
// then sets its own entry. Worked out backwards, an entry survives only when
// no later line cut the list below it, so a listing that jumps between high
// and low numbers costs one pass instead of one large resize per line.
// listed receives the numbers whose entries the lines set, ascending.
void ApplyScanLines(const std::vector<TScanLine>& scans, TMessageSize& sizes, std::vector<int>& listed) {
  listed.clear();
  if (scans.empty()) return;
  TMessageSize result(static_cast<size_t>(std::max(scans.back().number + 1, 0)), 0);
  std::vector<bool> taken(result.size(), false);
  int limit = INT_MAX;  // the smallest size a later line left
  for (auto it = scans.rbegin(); it != scans.rend(); ++it) {
    const int number = it->number;
    if (number > 0 && number < limit && !taken[static_cast<size_t>(number)]) {
      result[static_cast<size_t>(number)] = it->size;
      taken[static_cast<size_t>(number)] = true;
    }
    limit = std::min(limit, std::max(number + 1, 0));
  }
  for (size_t k = 0; k < result.size() && k < sizes.size() && k < static_cast<size_t>(limit); ++k)
    if (!taken[k]) result[k] = sizes[k];
  sizes = std::move(result);
  for (size_t k = 1; k < taken.size(); ++k)
    if (taken[k]) listed.push_back(static_cast<int>(k));
}

}  // namespace

void TakeMultiLineReplyText(std::string& reply) {
  const char* const begin = reply.data();
  if (OnlyCrLf(reply)) {
    // The usual case, and the one that matters for a large message: no
    // second copy of it.
    char* out = reply.data();
    WalkMultiLineReply(begin, begin + reply.size(), [&out](const char* data, size_t size) {
      std::memmove(out, data, size);
      out += size;
    });
    reply.resize(static_cast<size_t>(out - reply.data()));
    return;
  }
  std::string text;
  text.reserve(reply.size() + reply.size() / 8);
  WalkMultiLineReply(begin, begin + reply.size(),
                     [&text](const char* data, size_t size) { text.append(data, size); });
  reply.swap(text);
}

std::string MultiLineReplyText(std::string_view reply) {
  std::string text(reply);
  TakeMultiLineReplyText(text);
  return text;
}

TREZ2000::TREZ2000(TComponent* owner) : TComponent(owner) {
  socketTalk_ = new TSocketTalk(this);
  BindClient(*socketTalk_, this);
}

// The engine is freed after us, with the other owned components; it must not
// call back into a client that is gone.
TREZ2000::~TREZ2000() { UnbindClient(*socketTalk_); }

bool TREZ2000::SocketOpen() {
  TClientSocket& socket = socketTalk_->Socket();
  return socket.Active() || socket.Opened();
}

void TREZ2000::ResetSession() {
  connected_ = false;
  loggedIn_ = false;
  messageCount_ = -1;
  messageSizes_.clear();
  listedNumbers_.clear();
  capabilitiesKnown_ = false;
  pipelining_ = false;
}

bool TREZ2000::Step(const std::string& command, const std::string& expectedEnd, TSessionState state,
                    int expectedSize, std::size_t maxReply, const std::string& subject) {
  failureReason_.clear();
  talkFailure_ = teNoError;
  if (expectedEnd == kCrLf) {
    LimitReply(kMaxStatusReply, kLineTooLong);
  } else {
    maxReply = maxReply > 0 ? maxReply : ToSize(kMaxListing);
    LimitReply(maxReply, "reply too long: the server sent more than " + std::to_string(maxReply) + " bytes" + subject);
  }
  socketTalk_->SetExpectedSize(expectedSize);
  socketTalk_->Talk(command, expectedEnd, state);
  socketTalk_->WaitServer();
  if (socketTalk_->ServerResult()) return true;
  NoteFailure();
  return false;
}

void TREZ2000::LimitReply(std::size_t bytes, std::string tooLong) {
  socketTalk_->SetMaxReplySize(bytes);
  tooLong_ = std::move(tooLong);
}

bool TREZ2000::Refuse() {
  // A nested call leaves the running operation's reason alone.
  if (busy_) return false;
  if (!SocketOpen())
    failureReason_ = closedReason_.empty() ? "connection closed by the server" : closedReason_;
  else
    failureReason_ = connected_ ? "not logged in" : "not connected";
  return false;
}

void TREZ2000::NoteFailure(const std::string& refusal) {
  const std::string& socketError = socketTalk_->Socket().ErrorText();
  if (talkFailure_ == teTimeout) {
    failureReason_ = "no answer from the server";
  } else if (talkFailure_ == teReplyTooLong) {
    failureReason_ = tooLong_;
  } else if (talkFailure_ != teNoError || !SocketOpen()) {
    failureReason_ = !socketError.empty()            ? socketError
                     : talkFailure_ != teNoError ? "connection failed"
                                                 : "connection closed by the server";
  } else if (!refusal.empty()) {
    failureReason_ = refusal;
  } else {
    // The server's own words.
    failureReason_ = "the server answered \"" + StatusLine(socketTalk_->LastResponse()) + "\"";
  }
}

bool TREZ2000::Connect() {
  // Checked before anything is touched: a running conversation (ours, when
  // this is a nested call) must go on undisturbed.
  if (busy_ || connected_ || SocketOpen() || host_.empty()) {
    failureReason_ = busy_ || connected_ || SocketOpen() ? "a session is already open" : "no server name";
    return false;
  }
  TBusyFlag busy(busy_);
  failureReason_.clear();
  tlsFailure_.clear();
  closedReason_.clear();
  talkFailure_ = teNoError;
  LimitReply(kMaxStatusReply, kLineTooLong);
  TClientSocket& socket = socketTalk_->Socket();
  socket.SetImplicitTls(tlsMode_ == tmImplicitTLS);
  socket.SetTrustedCertificate(trustedCertificate_);
  socketTalk_->OpenForGreeting(host_, port_);
  socketTalk_->WaitServer();
  connected_ = socketTalk_->ServerResult();
  if (!connected_) {
    // RFC 1939 section 4: a greeting is "+OK"; "-ERR" refuses the session,
    // and anything else is not a POP3 server at all (a port that expects
    // TLS at once answers nothing, one of another protocol its own words).
    const std::string& greeting = socketTalk_->LastResponse();
    NoteFailure(StartsWith(greeting, "-ERR") ? "the server refused the connection"
                                             : "the server did not greet as a POP3 server: \"" +
                                                   Printable(StatusLine(greeting)) + "\"");
    if (socket.TlsFailed()) tlsFailure_ = failureReason_;
    return FailConnect();
  }
  if (tlsMode_ == tmSTLS && !StartTls()) return FailConnect();
  return true;
}

bool TREZ2000::FailConnect() {
  // Whatever went wrong, nothing of the attempt stays open: the next
  // Connect (the next poll) starts on a new connection.
  Abort();
  closedReason_ = failureReason_;
  return false;
}

bool TREZ2000::FailTls(std::string reason) {
  tlsFailure_ = std::move(reason);
  failureReason_ = tlsFailure_;
  return EndSession();
}

bool TREZ2000::EndSession() {
  Abort();
  return false;
}

bool TREZ2000::StartTls() {
  // RFC 2595 section 4: STLS is used only when CAPA offers it, and what CAPA
  // said in the clear may have been forged, so it is not kept for later.
  // A failure of the connection itself (time-out, close) is no TLS reason.
  const auto lost = [this] { return talkFailure_ != teNoError || !SocketOpen(); };
  std::vector<std::string> capabilities;
  if (!ReadCapabilities(capabilities) && lost()) return EndSession();
  if (std::find(capabilities.begin(), capabilities.end(), "stls") == capabilities.end())
    return FailTls("Server does not offer STLS");
  if (!Step("STLS" + kCrLf, kCrLf, stStat)) {
    if (lost()) return EndSession();
    return FailTls("Server refused STLS: " + StatusLine(socketTalk_->LastResponse()));
  }
  // Bytes after the "+OK" came in the clear and could pose as the server's
  // first words under TLS.
  if (socketTalk_->LastResponse().find('\n') + 1 != socketTalk_->LastResponse().size())
    return FailTls("TLS handshake failed: the server sent data before it");
  if (!socketTalk_->Socket().Active()) return EndSession();
  talkFailure_ = teNoError;
  if (!socketTalk_->StartTls()) {
    NoteFailure();
    const TClientSocket& socket = socketTalk_->Socket();
    return FailTls(socket.TlsFailed() ? socket.ErrorText() : "TLS handshake failed: " + failureReason_);
  }
  return true;
}

bool TREZ2000::Login() {
  if (busy_ || !connected_ || !SocketOpen()) return Refuse();
  // A line break would smuggle further commands into the session.
  if (HasLineBreak(userName_) || HasLineBreak(password_)) {
    failureReason_ = "the user name or password holds a line break";
    return false;
  }
  TBusyFlag busy(busy_);
  const std::string refused = "wrong user name or password";
  if (!Step("USER " + userName_ + kCrLf, kCrLf, stUser)) {
    NoteFailure(refused);
    return loggedIn_;
  }
  if (!Step("PASS " + password_ + kCrLf, kCrLf, stPass)) {
    NoteFailure(refused);
    return loggedIn_;
  }
  loggedIn_ = true;
  if (!Step("LIST" + kCrLf, kDotLineEnd, stList)) return true;
  ReadListing();
  return true;
}

void TREZ2000::ReadListing() {
  TStringList lines;
  lines.SetText(socketTalk_->LastResponse());
  const int n = lines.Count();
  listedNumbers_.clear();
  if (n < 3) {
    messageCount_ = 0;
    messageSizes_.clear();
    return;
  }
  // The count is the number on the last scan line, as the status line's
  // count is not reliably there.
  const std::string last = TrimSpace(lines[n - 2]);
  int count = -1;
  if (last.find(' ') == std::string::npos || !TryStrToInt(FirstWord(last), count)) count = -1;
  messageCount_ = count;
  if (messageCount_ <= 0) return;

  std::vector<TScanLine> scans;
  scans.reserve(static_cast<size_t>(n - 2));
  for (int i = 1; i <= n - 2; ++i) {
    const std::string& line = lines[i];
    int number = 0;
    if (!TryStrToInt(FirstWord(TrimSpace(line)), number) || number > kMaxMessageNumber) {
      // The lines before the bad one have taken effect.
      ApplyScanLines(scans, messageSizes_, listedNumbers_);
      if (number > kMaxMessageNumber)
        throw EVizuError(Name() + ": Message number out of range: " + std::to_string(number));
      StrToInt(FirstWord(TrimSpace(line)));  // raises the conversion error
    }
    const size_t space = line.find(' ');
    const int size =
        space == std::string::npos ? 0 : StrToIntDef(std::string_view(line).substr(space + 1, 99), 0);
    scans.push_back({number, size});
  }
  ApplyScanLines(scans, messageSizes_, listedNumbers_);
  if (!messageSizes_.empty()) messageSizes_[0] = 0;
}

int TREZ2000::ListedSize(int messageNumber) const {
  if (messageNumber < 0 || static_cast<size_t>(messageNumber) >= messageSizes_.size()) return 0;
  return messageSizes_[static_cast<size_t>(messageNumber)];
}

std::string TREZ2000::GetUIDL(int messageNumber) {
  if (busy_ || !InTransaction()) {
    Refuse();
    return "";
  }
  TBusyFlag busy(busy_);
  const std::string number = std::to_string(messageNumber);
  if (!Step("UIDL " + number + kCrLf, kCrLf, stUIDL)) return "";
  // "+OK <number> <id>". A reply without this message's number carries no
  // usable id; guessing one could give two messages the same id.
  std::string_view reply = socketTalk_->LastResponse();
  reply.remove_prefix(std::min<size_t>(3, reply.size()));  // "+OK"
  int named = 0;
  std::string id;
  if (reply.empty() || !IsBlank(reply[0]) || !ReadUidLine(reply, named, id) || named != messageNumber) return "";
  return id;
}

bool TREZ2000::GetUIDLs(TUniqueIds& ids) {
  ids.clear();
  if (busy_ || !InTransaction()) return Refuse();
  TBusyFlag busy(busy_);
  if (!Step("UIDL" + kCrLf, kDotLineEnd, stUIDL)) return false;
  const std::string& reply = socketTalk_->LastResponse();
  const char* const end = reply.data() + reply.size();
  const char* p = reply.data();
  TReplyLines lines(end);
  lines.LineEnd(p, &p);  // the status line
  while (p < end) {
    const char* next;
    const char* lineEnd = lines.LineEnd(p, &next);
    if (next >= end) break;  // the "." line
    // "<number> <id>", read as GetUIDL reads its one-line answer.
    int number = 0;
    std::string id;
    if (ReadUidLine(std::string_view(p, static_cast<size_t>(lineEnd - p)), number, id))
      ids.emplace(number, std::move(id));
    p = next;
  }
  return true;
}

bool TREZ2000::Retrieve(const std::string& command, int messageNumber) {
  std::size_t maxReply = ToSize(kUnsizedReply);
  std::string subject;
  const int listed = ListedSize(messageNumber);
  if (listed >= 0 && std::binary_search(listedNumbers_.begin(), listedNumbers_.end(), messageNumber)) {
    maxReply = ToSize(2 * static_cast<std::uint64_t>(listed) + kReplyMargin);
    subject = " for message " + std::to_string(messageNumber) + " of " + std::to_string(listed) + " bytes";
  }
  if (!Step(command, kDotLineEnd, stRetr, listed, maxReply, subject)) return false;
  // The reply's buffer becomes the message: a large message is held once,
  // not twice. LastResponse keeps the status line.
  lastMessage_ = socketTalk_->TakeLastResponse();
  TakeMultiLineReplyText(lastMessage_);
  return true;
}

bool TREZ2000::RetrieveMessage(int messageNumber) { return Fetch(messageNumber, deleteOnRetrieve_); }

bool TREZ2000::FetchMessage(int messageNumber) { return Fetch(messageNumber, false); }

bool TREZ2000::Fetch(int messageNumber, bool deleteAfter) {
  // A nested call leaves the text alone: the running one may be parsing it.
  if (busy_) return false;
  lastMessage_.clear();
  if (!InTransaction()) return Refuse();
  TBusyFlag busy(busy_);
  if (!Retrieve("RETR " + std::to_string(messageNumber) + kCrLf, messageNumber)) return false;
  if (mailMessage_) {
    mailMessage_->Reset();
    mailMessage_->Fill(lastMessage_, true);
  }
  if (deleteAfter) SendDele(messageNumber);
  return true;
}

bool TREZ2000::RetrieveHeader(int messageNumber, int lines) {
  if (busy_) return false;
  lastMessage_.clear();
  if (!InTransaction()) return Refuse();
  TBusyFlag busy(busy_);
  if (!Retrieve("TOP " + std::to_string(messageNumber) + " " + std::to_string(lines) + kCrLf, messageNumber))
    return false;
  if (mailMessage_) {
    mailMessage_->Reset();
    TStringList& header = mailMessage_->Header();
    header.Clear();
    // Every line of the text ends in CR LF; NUL bytes stay in their lines.
    for (size_t start = 0, end; (end = lastMessage_.find(kCrLf, start)) != std::string::npos; start = end + 2)
      header.Add(lastMessage_.substr(start, end - start));
  }
  return true;
}

bool TREZ2000::SendDele(int messageNumber) {
  if (!InTransaction()) return Refuse();
  return Step("DELE " + std::to_string(messageNumber) + kCrLf, kCrLf, stDele);
}

bool TREZ2000::DeleteMessage(int messageNumber) {
  if (busy_) return false;
  TBusyFlag busy(busy_);
  return SendDele(messageNumber);
}

bool TREZ2000::CanPipeline() {
  if (capabilitiesKnown_) return pipelining_;
  capabilitiesKnown_ = true;
  // A server without CAPA answers "-ERR": it does not pipeline.
  std::vector<std::string> capabilities;
  ReadCapabilities(capabilities);
  pipelining_ = std::find(capabilities.begin(), capabilities.end(), "pipelining") != capabilities.end();
  return pipelining_;
}

bool TREZ2000::ReadCapabilities(std::vector<std::string>& capabilities) {
  capabilities.clear();
  // CAPA has no state of its own; stStat is judged like every other POP3
  // reply.
  if (!Step("CAPA" + kCrLf, kDotLineEnd, stStat)) return false;
  TStringList lines;
  lines.SetText(socketTalk_->LastResponse());
  for (int i = 1; i + 1 < lines.Count(); ++i) capabilities.push_back(LowerCase(TrimSpace(lines[i])));
  return true;
}

bool TREZ2000::DeleteMessages(const std::vector<int>& messageNumbers) {
  if (busy_ || !InTransaction()) return Refuse();
  TBusyFlag busy(busy_);
  if (messageNumbers.empty()) return true;
  if (messageNumbers.size() == 1 || !CanPipeline()) {
    bool all = true;
    for (const int n : messageNumbers) all = SendDele(n) && all;
    return all;
  }
  std::string commands;
  for (const int n : messageNumbers) commands += "DELE " + std::to_string(n) + kCrLf;
  failureReason_.clear();
  talkFailure_ = teNoError;
  // Each reply is one status line.
  LimitReply(ToSize(std::uint64_t{kMaxStatusReply} * messageNumbers.size()), kLineTooLong);
  // One line per reply; gathered until all of them are in, or the wait
  // fails (time-out, error, closed connection).
  const std::string& gathered = socketTalk_->LastResponse();
  size_t replies = 0;
  socketTalk_->Talk(commands, kCrLf, stDele);
  for (;;) {
    socketTalk_->WaitServer();
    const size_t now = static_cast<size_t>(std::count(gathered.begin(), gathered.end(), '\n'));
    if (now >= messageNumbers.size() || talkFailure_ != teNoError || !SocketOpen() || now == replies) {
      replies = now;
      break;
    }
    replies = now;
    socketTalk_->Resume(kCrLf, stDele);
  }
  if (replies < messageNumbers.size()) {
    NoteFailure();
    return false;
  }
  // Every reply is one line; the first refusal is the reason.
  for (size_t start = 0; start < gathered.size();) {
    const size_t end = std::min(gathered.find('\n', start), gathered.size());
    if (gathered.compare(start, 3, "+OK") != 0) {
      failureReason_ = "the server answered \"" + TrimControls(std::string_view(gathered).substr(start, end - start)) + "\"";
      return false;
    }
    start = end + 1;
  }
  return true;
}

bool TREZ2000::Quit() {
  if (busy_ || !connected_ || !SocketOpen()) return Refuse();
  TBusyFlag busy(busy_);
  if (!Step("QUIT" + kCrLf, kCrLf, stQuit)) return false;
  socketTalk_->Socket().Close();
  ResetSession();
  return true;
}

void TREZ2000::Abort() {
  socketTalk_->Socket().Close();
  // A connection attempt that is still under way ends without a disconnect
  // notification; its wait must end too.
  if (socketTalk_->Waiting()) socketTalk_->Cancel();
  ResetSession();
}

void TREZ2000::EndOfData(TComponent*, TSessionState SessionState, const std::string& Data, bool& ServerResult) {
  switch (SessionState) {
    case stConnect:
    case stUser:
    case stPass:
    case stStat:
    case stList:
    case stRetr:
    case stDele:
    case stUIDL:
    case stQuit:
      ServerResult = StartsWith(Data, "+OK");
      break;
    default:
      break;
  }
}

void TREZ2000::ReceiveData(TComponent*, TSessionState, const std::string&, bool& ServerResult) {
  // A refused LIST, RETR or TOP is a single "-ERR" line that never carries
  // the dot line. It is judged on the whole reply so far: a chunk in the
  // middle of a message may well start with "-ERR".
  const std::string& reply = socketTalk_->LastResponse();
  if (StartsWith(reply, "-ERR") && EndsWith(reply, kCrLf)) {
    ServerResult = false;
    socketTalk_->Cancel();
  }
}

void TREZ2000::SocketTalkError(TComponent*, TSessionState, TTalkError TalkError) {
  talkFailure_ = TalkError;
  socketTalk_->Cancel();
  if (TalkError == teReplyTooLong) {
    // Closed at once, so nothing more of the reply is taken in, and without
    // QUIT: the server then never enters the UPDATE state and deletes
    // nothing (RFC 1939 section 6).
    closedReason_ = tooLong_;
    socketTalk_->Socket().Close();
  }
}

void TREZ2000::SocketDisconnect(TComponent*) { ResetSession(); }

}  // namespace Vizu2000
