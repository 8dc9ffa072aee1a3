#include "mail/net/pop3_client.h"

#include <algorithm>
#include <charconv>
#include <climits>
#include <cstdint>
#include <cstring>
#include <exception>
#include <functional>
#include <vector>

#include "mail/message/mail_message.h"
#include "mail/mime/codecs.h"
#include "mail/net/pop3_replies.h"
#include "platform/error.h"
#include "platform/int_conv.h"
#include "platform/string_list.h"
#include "platform/text_chars.h"
#include "platform/text_lines.h"

namespace Vizu2000 {
namespace {

const std::string kCrLf = "\r\n";
const std::string kDotLineEnd = "\r\n.\r\n";

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
// CAPA (RFC 2449) names a handful of capabilities, and comes in the clear,
// before STLS, from anyone on the path.
constexpr std::size_t kMaxCapabilities = 64 * 1024;

std::size_t ToSize(std::uint64_t bytes) {
  return static_cast<std::size_t>(std::min<std::uint64_t>(bytes, std::string().max_size()));
}

const std::string kLineTooLong =
    "reply too long: the server sent a line of more than " + std::to_string(kMaxStatusLine) + " bytes";


std::string TrimControls(std::string_view text) { return std::string(TrimCtlOrSpace(text)); }

bool SameLetters(std::string_view text, std::string_view lower) {
  if (text.size() != lower.size()) return false;
  for (size_t i = 0; i < text.size(); ++i) {
    const char c = text[i] >= 'A' && text[i] <= 'Z' ? static_cast<char>(text[i] + 32) : text[i];
    if (c != lower[i]) return false;
  }
  return true;
}

// Where the line that starts at from ends, and where the next one starts:
// false until its line break (CR LF, a lone CR or a lone LF) is all there.
// A CR at the very end may yet be followed by its LF.
bool NextLine(std::string_view text, size_t from, size_t& end, size_t& next) {
  end = text.find_first_of("\r\n", from);
  if (end == std::string_view::npos) return false;
  if (text[end] == '\n') {
    next = end + 1;
    return true;
  }
  if (end + 1 == text.size()) return false;
  next = end + (text[end + 1] == '\n' ? 2 : 1);
  return true;
}

// The mechanism names of a "SASL" capability line (RFC 5034 section 6),
// in upper case; RFC 4422 section 3.1 makes a name 1 to 20 characters of
// A-Z, 0-9, "-" and "_". A line may repeat; a few dozen names are all any
// server has.
void ReadSaslNames(std::string_view line, std::vector<std::string>& names) {
  constexpr size_t kMaxNames = 32;
  size_t p = line.find_first_of(" \t");
  while (p < line.size() && names.size() < kMaxNames) {
    p = line.find_first_not_of(" \t", p);
    if (p == std::string_view::npos) break;
    const size_t end = std::min(line.find_first_of(" \t", p), line.size());
    std::string name(line.substr(p, end - p));
    for (char& c : name) c = UpCaseChar(c);
    if (name.size() <= 20 && name.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789-_") == std::string::npos)
      names.push_back(std::move(name));
    p = end;
  }
}

std::string Messages(size_t count) { return std::to_string(count) + (count == 1 ? " message" : " messages"); }

std::string ListingTooLong(std::uint64_t bytes, const std::string& subject) {
  return "reply too long: the server sent more than " + std::to_string(bytes) + " bytes" + subject;
}

}  // namespace

// A LIST or UIDL reply, read line by line while it arrives (RFC 1939
// section 3): each line goes to onLine and is then dropped, so the reply
// costs what onLine keeps of it. The lines after the "." line are no part
// of the listing.
struct TREZ2000::TListing {
  std::function<void(std::string_view line)> onLine;
  // The bytes the reply may have brought by now, and the subject of the
  // failure that says it brought more (" for ...").
  std::function<std::uint64_t()> allowance;
  std::function<std::string()> subject;
  size_t statusEnd = std::string::npos;  // in the gathered reply
  size_t next = 0;                       // where the next unread line starts
  bool ended = false;                    // the "." line has come
};

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
  listKnown_ = false;
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
    LimitReply(maxReply, ListingTooLong(maxReply, subject));
  }
  socketTalk_->SetExpectedSize(expectedSize);
  socketTalk_->Talk(command, expectedEnd, state);
  socketTalk_->WaitServer();
  if (socketTalk_->ServerResult()) return true;
  NoteFailure();
  // A large reply that failed is of no more use than its status line.
  socketTalk_->ReleaseReply();
  return false;
}

bool TREZ2000::StepListing(const std::string& command, TSessionState state, TListing& listing,
                           std::uint64_t maxReply, const std::string& subject) {
  listing_ = &listing;
  struct TDone {
    TListing*& listing;
    ~TDone() { listing = nullptr; }
  } done{listing_};
  const bool result = Step(command, kDotLineEnd, state, 0, ToSize(maxReply), subject);
  socketTalk_->ReleaseReply();
  return result;
}

void TREZ2000::ReadListingLines() {
  TListing& listing = *listing_;
  const std::string& reply = socketTalk_->LastResponse();
  const auto tooLong = [this](std::string reason) {
    tooLong_ = std::move(reason);
    socketTalk_->FailReplyTooLong();
  };
  size_t end = 0, next = 0;
  if (listing.statusEnd == std::string::npos) {
    if (!NextLine(reply, 0, end, next)) {
      if (reply.size() > kMaxStatusReply) tooLong(kLineTooLong);
      return;
    }
    if (end > kMaxStatusLine) return tooLong(kLineTooLong);
    listing.statusEnd = listing.next = next;
  }
  while (NextLine(reply, listing.next, end, next)) {
    if (end - listing.next > kMaxStatusLine) return tooLong(kLineTooLong);
    const std::string_view line(reply.data() + listing.next, end - listing.next);
    if (line == ".")
      listing.ended = true;
    else if (!listing.ended)
      listing.onLine(line);
    listing.next = next;
  }
  if (reply.size() - listing.next > kMaxStatusReply) return tooLong(kLineTooLong);
  const std::uint64_t allowed = listing.allowance();
  if (socketTalk_->ReplySize() > allowed) return tooLong(ListingTooLong(allowed, listing.subject()));
  listing.next -= socketTalk_->ConsumeReply(listing.statusEnd, listing.next - listing.statusEnd);
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
  if (talkFailure_ == teReplyTooLong) {
    failureReason_ = tooLong_;
    return;
  }
  failureReason_ = ConnectionFailure(talkFailure_, socketTalk_->Socket());
  if (!failureReason_.empty()) return;
  // The server answered: the caller's words for its refusal, or its own.
  failureReason_ = !refusal.empty() ? refusal : "the server answered \"" + StatusLine(socketTalk_->LastResponse()) + "\"";
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
  PrepareTls(*socketTalk_, tlsMode_, trustedCertificate_);
  socketTalk_->OpenForGreeting(host_, port_);
  socketTalk_->WaitServer();
  connected_ = socketTalk_->ServerResult();
  if (!connected_) {
    // RFC 1939 section 4: a greeting is "+OK"; "-ERR" refuses the session,
    // and anything else is not a POP3 server at all (a port that expects
    // TLS at once answers nothing, one of another protocol its own words).
    const std::string& greeting = socketTalk_->LastResponse();
    NoteFailure(greeting.starts_with("-ERR") ? "the server refused the connection"
                                             : "the server did not greet as a POP3 server: \"" +
                                                   ReadableBytes(StatusLine(greeting)) + "\"");
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
  TCapabilities capabilities;
  if (!ReadCapabilities(capabilities) && lost()) return EndSession();
  if (!capabilities.stls) return FailTls("Server does not offer STLS");
  if (!Step("STLS" + kCrLf, kCrLf, stStat)) {
    if (lost()) return EndSession();
    return FailTls("Server refused STLS: " + StatusLine(socketTalk_->LastResponse()));
  }
  talkFailure_ = teNoError;
  std::string failure;
  if (UpgradeToTls(*socketTalk_, socketTalk_->LastResponse().find('\n') + 1, talkFailure_, failure)) return true;
  if (!failure.empty()) return FailTls(std::move(failure));
  NoteFailure();
  return EndSession();
}

bool TREZ2000::Login() {
  if (busy_ || !connected_ || !SocketOpen()) return Refuse();
  tokenRefused_ = false;
  TBusyFlag busy(busy_);
  if (!(authMechanism_ == amUserPass ? SendUserPass() : Authenticate())) {
    Conceal("");
    return loggedIn_;
  }
  loggedIn_ = true;
  ReadListing();
  return true;
}

bool TREZ2000::SendUserPass() {
  // A line break would smuggle further commands into the session.
  if (HasLineBreak(userName_) || HasLineBreak(password_)) {
    failureReason_ = "the user name or password holds a line break";
    return false;
  }
  const std::string refused = "wrong user name or password";
  if (!Step("USER " + userName_ + kCrLf, kCrLf, stUser) || !Step("PASS " + password_ + kCrLf, kCrLf, stPass)) {
    NoteFailure(refused);
    return false;
  }
  return true;
}

bool TREZ2000::Authenticate() {
  const TAuthMechanism mechanism = authMechanism_;
  const std::string name(SaslName(mechanism));
  const std::string& secret = UsesAccessToken(mechanism) ? accessToken_ : password_;
  if (std::string fault = SaslCredentialsFault(mechanism, userName_, secret); !fault.empty()) {
    failureReason_ = std::move(fault);
    return false;
  }
  // RFC 5034 section 6: CAPA's SASL line names the mechanisms; a secret
  // goes to no server that did not ask for it in that form. Under STLS
  // this is the CAPA after the handshake, not the one in the clear.
  TCapabilities capabilities;
  const bool listed = ReadCapabilities(capabilities);
  saslMechanisms_ = std::move(capabilities.sasl);
  if (!listed && (talkFailure_ != teNoError || !SocketOpen())) return false;
  if (std::find(saslMechanisms_.begin(), saslMechanisms_.end(), name) == saslMechanisms_.end()) {
    failureReason_ = "the server does not offer sign-in with " + name;
    return false;
  }
  // RFC 5034 section 4 lets the initial response ride on the AUTH line,
  // but a server that limits that line refuses a long token there ("-ERR
  // Protocol error"): it always waits for the server's "+".
  TAuthReply reply = AuthStep("AUTH " + name + kCrLf);
  if (reply != arContinue) {
    if (reply == arAccepted) failureReason_ = "the server accepted AUTH " + name + " without a response";
    return false;
  }
  const std::string response = EncodeBASE64Line(SaslInitialResponse(mechanism, userName_, secret, host_, port_));
  reply = AuthStep(response + kCrLf);
  TSaslTokenRefusal refusal;
  if (reply == arContinue && UsesAccessToken(mechanism)) {
    // An error challenge (RFC 7628 section 3.2.2): what it says is the
    // reason, and the answer lets the server send its final "-ERR".
    const std::string_view line = socketTalk_->LastResponse();
    refusal = ReadSaslErrorChallenge(line.substr(1, line.find_first_of("\r\n") - 1));
    reply = AuthStep(EncodeBASE64Line(SaslErrorAcknowledgement(mechanism)) + kCrLf);
  }
  // A server that keeps asking is answered with a cancel (RFC 5034
  // section 4), which it must refuse.
  if (reply == arContinue) reply = AuthStep("*" + kCrLf);
  if (reply == arAccepted) return true;
  Conceal(response);
  if (talkFailure_ != teNoError || !SocketOpen()) return false;
  if (mechanism == amPlain) {
    failureReason_ = "wrong user name or password";
  } else if (!refusal.words.empty()) {
    failureReason_ = refusal.words;
    tokenRefused_ = refusal.tokenRefused;
  } else {
    // A plain "-ERR" after the token: nothing tells expired from invalid.
    failureReason_ = "token refused";
    tokenRefused_ = true;
  }
  return false;
}

TREZ2000::TAuthReply TREZ2000::AuthStep(const std::string& line) {
  if (Step(line, kCrLf, stPass)) return arAccepted;
  // RFC 5034 section 4: a continuation is "+" and a space (some servers
  // leave the space out of an empty one) and base64.
  const std::string& reply = socketTalk_->LastResponse();
  if (talkFailure_ == teNoError && SocketOpen() && reply.size() >= 2 && reply[0] == '+' &&
      (reply[1] == ' ' || reply[1] == '\r' || reply[1] == '\n'))
    return arContinue;
  return arRefused;
}

void TREZ2000::Conceal(const std::string& response) {
  // A server that quotes the secret (or what carried it) back must not
  // leave it in a reason or a reply: both reach logs and status lines.
  const std::string& secret = UsesAccessToken(authMechanism_) ? accessToken_ : password_;
  if (secret.empty()) return;
  if (failureReason_.find(secret) != std::string::npos)
    failureReason_ = UsesAccessToken(authMechanism_) ? "token refused" : "wrong user name or password";
  const std::string& reply = socketTalk_->LastResponse();
  if (reply.find(secret) != std::string::npos || (!response.empty() && reply.find(response) != std::string::npos))
    socketTalk_->ConsumeReply(0, reply.size());
}

void TREZ2000::ReadListing() {
  TScanListing scan(Name());
  TListing listing;
  listing.onLine = [&scan](std::string_view line) { scan.Line(line); };
  listing.allowance = [&scan] { return scan.Allowance(); };
  listing.subject = [&scan] { return " for a listing of " + Messages(scan.Named()); };
  if (!StepListing("LIST" + kCrLf, stList, listing, kMaxListReply,
                   " for a listing of " + Messages(kMaxMessageNumber)))
    return;
  listKnown_ = true;
  listedNumbers_.clear();
  if (scan.Empty()) {
    messageCount_ = 0;
    messageSizes_.clear();
    return;
  }
  messageCount_ = scan.Count();
  if (messageCount_ <= 0) return;
  scan.Apply(messageSizes_, listedNumbers_);
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
  std::string_view id;
  if (reply.empty() || !IsWsp(reply[0]) || !ReadUidLine(reply, named, id) || named != messageNumber) return "";
  return std::string(id);
}

bool TREZ2000::GetUIDLs(TUniqueIds& ids) {
  ids.clear();
  if (busy_ || !InTransaction()) return Refuse();
  // Without a listing no id could be filed under a message to visit; the
  // caller can still ask message by message.
  if (!listKnown_) {
    failureReason_ = "no message list to match unique ids with";
    return false;
  }
  TBusyFlag busy(busy_);
  const std::vector<int>& listed = listedNumbers_;
  const std::uint64_t maxReply = kListingSlack + kUidLineBytes * listed.size();
  TListing listing;
  listing.onLine = [&ids, &listed](std::string_view line) {
    // "<number> <id>", read as GetUIDL reads its one-line answer; only a
    // number LIST named is kept.
    int number = 0;
    std::string_view id;
    if (ReadUidLine(line, number, id) && std::binary_search(listed.begin(), listed.end(), number))
      ids.emplace(number, std::string(id));
  };
  listing.allowance = [maxReply] { return maxReply; };
  const size_t count = listed.size();
  listing.subject = [count] { return " for the unique ids of " + Messages(count); };
  if (StepListing("UIDL" + kCrLf, stUIDL, listing, maxReply, listing.subject())) return true;
  ids.clear();
  return false;
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

bool TREZ2000::RetrieveMessage(int messageNumber) { return Fetch(messageNumber, deleteOnRetrieve_, true); }

bool TREZ2000::FetchMessage(int messageNumber) { return Fetch(messageNumber, false, false); }

bool TREZ2000::Fetch(int messageNumber, bool deleteAfter, bool parse) {
  // A nested call leaves the text alone: the running one may be parsing it.
  if (busy_) return false;
  // The last message's memory goes now, not once the next one is in.
  std::string().swap(lastMessage_);
  if (!InTransaction()) return Refuse();
  TBusyFlag busy(busy_);
  if (!Retrieve("RETR " + std::to_string(messageNumber) + kCrLf, messageNumber)) return false;
  if (parse && mailMessage_) {
    mailMessage_->Reset();
    mailMessage_->Fill(lastMessage_, true);
  }
  if (deleteAfter) SendDele(messageNumber);
  return true;
}

bool TREZ2000::RetrieveHeader(int messageNumber, int lines) {
  if (busy_) return false;
  std::string().swap(lastMessage_);
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
  TCapabilities capabilities;
  ReadCapabilities(capabilities);
  pipelining_ = capabilities.pipelining;
  return pipelining_;
}

bool TREZ2000::ReadCapabilities(TCapabilities& capabilities) {
  capabilities = TCapabilities();
  // CAPA has no state of its own; stStat is judged like every other POP3
  // reply.
  if (!Step("CAPA" + kCrLf, kDotLineEnd, stStat, 0, kMaxCapabilities, " for its capabilities")) return false;
  const std::string_view reply = socketTalk_->LastResponse();
  TLineCutter lines(reply);
  size_t p = lines.LineEnd(0);
  p += lines.BreakLength(p);  // past the status line
  while (p < reply.size()) {
    const size_t lineEnd = lines.LineEnd(p);
    const size_t next = lineEnd + lines.BreakLength(lineEnd);
    if (next >= reply.size()) break;  // the "." line
    const std::string_view capability = TrimSpaces(reply.substr(p, lineEnd - p));
    capabilities.stls = capabilities.stls || SameLetters(capability, "stls");
    capabilities.pipelining = capabilities.pipelining || SameLetters(capability, "pipelining");
    if (SameLetters(capability.substr(0, capability.find_first_of(" \t")), "sasl"))
      ReadSaslNames(capability, capabilities.sasl);
    p = next;
  }
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
      ServerResult = Data.starts_with("+OK");
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
  if (reply.starts_with("-ERR") && reply.ends_with(kCrLf)) {
    ServerResult = false;
    socketTalk_->Cancel();
    return;
  }
  if (listing_ && socketTalk_->Waiting()) ReadListingLines();
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
