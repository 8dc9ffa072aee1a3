#include "mail/net/smtp_client.h"

#include <algorithm>
#include <cstdint>
#include <cstring>

#include "mail/message/mail_message.h"
#include "mail/mime/header_fields.h"
#include "mail/net/smtp_sign_in.h"
#include "platform/error.h"
#include "platform/memory.h"
#include "platform/string_list.h"

namespace Vizu2000 {
namespace {

const std::string kCrLf = "\r\n";

// A reply may not grow without end: RFC 5321 section 4.5.3.1.5 allows 512
// octets a line, and no reply a client waits for needs many lines.
constexpr size_t kMaxReply = 64 * 1024;
// Pipelined commands are answered together: each may bring a line more.
constexpr size_t kReplyRoom = 1024;
// A sign-in that is still asked for more after this many answers has gone
// wrong; the last answer cancels it.
constexpr int kMaxSignInRounds = 4;

const char* AcceptedCode(TSessionState state) {
  switch (state) {
    case stConnect:
    case stStartTls:  // RFC 3207 section 4
      return "220";
    case stHelo:
    case stMail:
    case stRcpt:
    case stSendData:
    case stRset:
      return "250";
    case stData:
      return "354";
    case stQuit:
      return "221";
    default:
      return nullptr;
  }
}

// A name HELO can carry (RFC 5321 section 4.1.2, Domain): letters, digits
// and hyphens in dot-separated labels of 1 to 63 characters that neither
// begin nor end with a hyphen.
bool IsHostName(std::string_view name) {
  if (name.empty() || name.size() > 253) return false;
  size_t start = 0;
  while (start <= name.size()) {
    size_t dot = name.find('.', start);
    std::string_view label = name.substr(start, dot == std::string_view::npos ? std::string_view::npos : dot - start);
    if (label.empty() || label.size() > 63 || label.front() == '-' || label.back() == '-') return false;
    for (char c : label)
      if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '-')) return false;
    if (dot == std::string_view::npos) break;
    start = dot + 1;
  }
  return true;
}

// RFC 5321 section 4.1.2: a Path is "<" Mailbox ">", and no form of a
// Mailbox holds a control character, a blank outside a quoted local part or
// an angle bracket. Refusing them also keeps an address from ending the
// command line and starting one of the caller's making.
bool ValidAddress(std::string_view address) {
  for (char c : address) {
    const auto u = static_cast<unsigned char>(c);
    if (u <= 32 || u == 127 || c == '<' || c == '>') return false;
  }
  return true;
}

// Writes content as it goes after DATA, in one pass over any number of
// pieces that read as one text. A lone CR or LF is a line end to some
// servers and plain data to others (RFC 5321 section 2.3.8 forbids it on
// the wire), so a dot after one could end the data early for the one and
// not for the other, and what follows would be read as commands (SMTP
// smuggling). Every CR, LF and CR LF therefore goes as CR LF, and only
// then are leading dots doubled (section 4.5.2).
class TTransparentWriter {
 public:
  explicit TTransparentWriter(std::string& out) : out_(out) {}

  void Append(std::string_view text) {
    const char* p = text.data();
    const char* const end = p + text.size();
    // The next CR and LF, found once and kept while they lie ahead: a text
    // with LF line ends only must not have the rest searched for a CR at
    // every line.
    const char* cr = nullptr;
    const char* lf = nullptr;
    while (p < end) {
      if (afterCr_) {
        afterCr_ = false;
        if (*p == '\n') {  // the LF of a CR LF that was written whole
          ++p;
          continue;
        }
      }
      if (lineStart_ && *p == '.') out_ += '.';
      if (!cr || cr < p) cr = Find(p, end, '\r');
      if (!lf || lf < p) lf = Find(p, end, '\n');
      const char* brk = std::min(cr, lf);
      if (brk > p) {
        out_.append(p, brk);
        lineStart_ = false;
      }
      if (brk == end) break;
      out_ += kCrLf;
      lineStart_ = true;
      afterCr_ = *brk == '\r';
      p = brk + 1;
    }
  }

  // RFC 5321 section 4.1.1.4: the data ends with CR LF "." CR LF, whose
  // CR LF is the last line's own when it has one.
  void Finish() {
    if (!lineStart_) out_ += kCrLf;
    out_ += ".\r\n";
  }

  // The most a text can grow by: every byte a line end that goes as two,
  // or a dot that gets a second one; and the end of data.
  static size_t Bound(size_t size) { return 2 * size + 5; }

 private:
  static const char* Find(const char* p, const char* end, char c) {
    const void* hit = std::memchr(p, c, static_cast<size_t>(end - p));
    return hit ? static_cast<const char*>(hit) : end;
  }

  std::string& out_;
  bool lineStart_ = true;
  bool afterCr_ = false;  // a CR was written as CR LF; an LF next is part of it
};

bool IsAscii(std::string_view text) {
  return std::all_of(text.begin(), text.end(), [](char c) { return static_cast<unsigned char>(c) < 128; });
}

// What a send declares before it sends (RFC 1870 section 3, RFC 6152
// section 3): the size with every line end as CR LF, dots not doubled, and
// whether any byte has its high bit set. The head and the body are counted
// apart, so a CR LF cut between them counts four bytes, never fewer than
// are sent.
struct TContentFacts {
  std::uint64_t size = 0;
  bool eightBit = false;

  void Add(std::string_view text) {
    if (text.empty()) return;
    size_t crs = 0, pairs = 0;
    for (const char* p = text.data(), *end = p + text.size();
         (p = static_cast<const char*>(std::memchr(p, '\r', static_cast<size_t>(end - p)))) != nullptr; ++p) {
      ++crs;
      if (p + 1 < end && p[1] == '\n') ++pairs;
    }
    const auto lfs = static_cast<size_t>(std::count(text.begin(), text.end(), '\n'));
    size += text.size() + (crs - pairs) + (lfs - pairs);
    if (text.back() != '\r' && text.back() != '\n') size += 2;
    eightBit = eightBit || HasEightBit(text);
  }

  // Eight bytes at a time: a 100 MB message is looked through in
  // milliseconds.
  static bool HasEightBit(std::string_view text) {
    size_t i = 0;
    for (; i + 8 <= text.size(); i += 8) {
      std::uint64_t word;
      std::memcpy(&word, text.data() + i, 8);
      if (word & 0x8080808080808080u) return true;
    }
    for (; i < text.size(); ++i)
      if (static_cast<unsigned char>(text[i]) >= 128) return true;
    return false;
  }
};

// A size for a person: "30 MB", "2.5 MB", "12 KB", "800 bytes" (1 MB =
// 1024 KB = 1048576 bytes, as mail providers state their limits).
std::string SizeText(std::uint64_t bytes) {
  const auto inUnits = [](std::uint64_t n, int shift, const char* unit) {
    const std::uint64_t tenths = (n * 10 + (std::uint64_t{1} << (shift - 1))) >> shift;
    std::string text = std::to_string(tenths / 10);
    if (tenths % 10 != 0) text += "." + std::to_string(tenths % 10);
    return text + unit;
  };
  if (bytes >= (1u << 20)) return inUnits(bytes, 20, " MB");
  if (bytes >= 1024) return inUnits(bytes, 10, " KB");
  return std::to_string(bytes) + " bytes";
}

// Both sizes, in bytes where rounding would make them read the same.
std::string TooLarge(std::uint64_t size, std::uint64_t limit) {
  std::string sizeText = SizeText(size), limitText = SizeText(limit);
  if (sizeText == limitText) {
    sizeText = std::to_string(size) + " bytes";
    limitText = std::to_string(limit) + " bytes";
  }
  return "message too large: " + sizeText + ", the server accepts " + limitText;
}

// The socket words its failures as sentences ("Certificate not trusted:
// ..."); this client's reasons are lower-case words. An acronym stays.
std::string LowerFirst(std::string text) {
  if (text.size() >= 2 && text[0] >= 'A' && text[0] <= 'Z' && !(text[1] >= 'A' && text[1] <= 'Z'))
    text[0] = static_cast<char>(text[0] + 32);
  return text;
}

bool Accepted(std::string_view reply) { return ReplyCode(reply) / 100 == 2; }

}  // namespace

std::vector<std::string> RecipientAddresses(std::string_view text) {
  auto blank = [](char c) { return c >= 1 && c <= 32; };
  std::vector<std::string> items;
  size_t i = 0;
  const size_t n = text.size();
  while (i < n && blank(text[i])) ++i;
  while (i < n) {
    std::string item;
    if (text[i] == '"') {
      size_t close = text.find('"', i + 1);
      if (close == std::string_view::npos) close = n;
      item.assign(text.substr(i + 1, close - i - 1));
      i = close < n ? close + 1 : n;
    } else {
      size_t start = i;
      while (i < n && text[i] != ',' && !blank(text[i])) ++i;
      item.assign(text.substr(start, i - start));
    }
    items.push_back(std::move(item));
    while (i < n && blank(text[i])) ++i;
    if (i < n && text[i] == ',') {
      ++i;
      while (i < n && blank(text[i])) ++i;
      // A comma at the very end closes the list without an item of its own.
    }
  }
  std::stable_sort(items.begin(), items.end(),
                   [](const std::string& a, const std::string& b) { return LowerCase(a) < LowerCase(b); });
  items.erase(std::unique(items.begin(), items.end(),
                          [](const std::string& a, const std::string& b) { return SameText(a, b); }),
              items.end());
  return items;
}

std::string HeloDomain(std::string_view hostName, std::string_view localAddress) {
  if (IsHostName(hostName)) return std::string(hostName);
  // RFC 5321 section 4.1.3: an IPv6 address literal carries its tag; a zone
  // index ("%eth0") is no part of the address the server sees.
  if (localAddress.find(':') != std::string_view::npos)
    return "[IPv6:" + std::string(localAddress.substr(0, localAddress.find('%'))) + "]";
  if (!localAddress.empty()) return "[" + std::string(localAddress) + "]";
  // "[]" is no address literal; a plain name is what section 4.1.4 leaves
  // to a client that cannot tell who it is.
  return "localhost";
}

std::string TransparentContent(std::string_view head, std::string_view body) {
  std::string out;
  // Reserved for the worst case, so the text is never moved while it grows:
  // pages that are not written are never backed by memory.
  ReserveLarge(out, TTransparentWriter::Bound(head.size() + body.size()));
  TTransparentWriter writer(out);
  writer.Append(head);
  writer.Append(body);
  writer.Finish();
  return out;
}

TDUZA2000::TDUZA2000(TComponent* owner) : TComponent(owner), replyLimit_(kMaxReply) {
  socketTalk_ = new TSocketTalk(this);
  BindClient(*socketTalk_, this);
}

// The engine is freed after us, with the other owned components; it must not
// call back into a client that is gone.
TDUZA2000::~TDUZA2000() { UnbindClient(*socketTalk_); }

void TDUZA2000::Raise(const char* what) const { throw EVizuError(Name() + what); }

bool TDUZA2000::SocketOpen() {
  TClientSocket& socket = socketTalk_->Socket();
  return socket.Active() || socket.Opened();
}

// ---------------------------------------------------------------------------
// Engine handlers

void TDUZA2000::EndOfData(TComponent*, TSessionState SessionState, const std::string& Data,
                          bool& ServerResult) {
  // A chunk that ends inside a multi-line reply ends the engine's wait but
  // not the reply: Await gathers the rest before anything is judged.
  if (!ReplyComplete(Data)) return;
  // RFC 4954 section 4: a challenge (334) goes on with the exchange, 235
  // ends it signed in.
  if (SessionState == stAuth) {
    const int code = ReplyCode(LastLine(Data));
    ServerResult = code == 235 || code == 334;
    return;
  }
  const char* code = AcceptedCode(SessionState);
  if (code) ServerResult = LastLine(Data).substr(0, 3) == code;
}

void TDUZA2000::ReceiveData(TComponent*, TSessionState, const std::string& Data, bool& ServerResult) {
  const std::string& reply = socketTalk_->LastResponse();
  if (reply.size() > replyLimit_) {
    overlong_ = true;
    ServerResult = false;
    socketTalk_->Cancel();
    return;
  }
  // A refusal ends the wait at once, also while content is still being
  // sent; only a whole reply is taken as one. Pipelined commands are
  // answered reply by reply, each judged once all are in.
  if (expectedReplies_ > 1) return;
  if (ReplyCode(Data) >= 500 && Data.ends_with(kCrLf) && ReplyComplete(reply)) {
    ServerResult = false;
    socketTalk_->Cancel();
  }
}

void TDUZA2000::SocketTalkError(TComponent*, TSessionState, TTalkError TalkError) {
  talkFailure_ = TalkError;
  socketTalk_->Cancel();
}

void TDUZA2000::SocketDisconnect(TComponent*) { connected_ = false; }

// ---------------------------------------------------------------------------
// Steps

bool TDUZA2000::Await(TSessionState state) {
  overlong_ = false;
  talkFailure_ = teNoError;
  for (;;) {
    socketTalk_->WaitServer();
    if (socketTalk_->ServerResult() || overlong_ || talkFailure_ != teNoError || !SocketOpen()) break;
    const std::string& reply = socketTalk_->LastResponse();
    if (reply.empty() || ReplyComplete(reply)) break;
    socketTalk_->Resume(kCrLf, state);
  }
  const std::string& reply = socketTalk_->LastResponse();
  bool accepted = socketTalk_->ServerResult();
  // The last piece of a reply can come in the same pass of the event loop
  // as the piece before it, before the wait was armed again: the engine
  // then takes it in but judges it for no step. It is judged here.
  if (!accepted && !overlong_ && talkFailure_ == teNoError && ReplyComplete(reply))
    EndOfData(this, state, reply, accepted);
  lastResponse_ = reply;
  if (!secretForms_.empty()) {
    // A server may echo the command it refuses: what it said is kept only
    // without the secret, here and in the engine.
    HideSecrets(lastResponse_, secretForms_);
    socketTalk_->ConsumeReply(0, socketTalk_->LastResponse().size());
  }
  // A reply that never came may still come, and would then be taken as the
  // reply to the next command: the session is out of step for good.
  if (!accepted && (overlong_ || talkFailure_ == teTimeout)) Abort();
  return accepted;
}

bool TDUZA2000::Step(const std::string& command, TSessionState state) {
  socketTalk_->Talk(command, kCrLf, state);
  return Await(state);
}

bool TDUZA2000::Gather(size_t count, TSessionState state) {
  overlong_ = false;
  talkFailure_ = teNoError;
  expectedReplies_ = count;
  replyLimit_ = kMaxReply + kReplyRoom * count;
  size_t whole = 0;
  for (;;) {
    socketTalk_->WaitServer();
    whole = WholeReplies(socketTalk_->LastResponse()).size();
    if (whole >= count || overlong_ || talkFailure_ != teNoError || !SocketOpen()) break;
    socketTalk_->Resume(kCrLf, state);
  }
  expectedReplies_ = 1;
  replyLimit_ = kMaxReply;
  lastResponse_ = socketTalk_->LastResponse();
  if (whole >= count) return true;
  NoteFailure("the server answered");
  if (overlong_ || talkFailure_ == teTimeout) Abort();
  return false;
}

void TDUZA2000::ClearTransaction() {
  if (!Ready()) return;
  std::string refusal = std::move(lastResponse_);
  // Without it the server stays inside the refused transaction and answers
  // the next MAIL FROM with 503 (RFC 5321 section 4.1.1.5).
  if (!Step("RSET" + kCrLf, stRset)) Abort();
  lastResponse_ = std::move(refusal);
}

bool TDUZA2000::NoteFailure(const std::string& refused) {
  if (overlong_) {
    failureReason_ = "reply too long: the server sent more than " + std::to_string(replyLimit_) + " bytes";
    return false;
  }
  const std::string lost = ConnectionFailure(talkFailure_, socketTalk_->Socket());
  failureReason_ = lost.empty() ? refused + ": " + ReplyWords(lastResponse_) : LowerFirst(lost);
  return false;
}

bool TDUZA2000::Fail(std::string reason) {
  failureReason_ = std::move(reason);
  return false;
}

bool TDUZA2000::FailConnect() {
  // Whatever went wrong, nothing of the attempt stays open: the next
  // Connect starts on a new connection.
  Abort();
  return false;
}

bool TDUZA2000::Refuse() {
  // A nested call leaves the running operation's reason alone.
  if (!busy_) failureReason_ = "not connected";
  return false;
}

bool TDUZA2000::Connect() {
  if (busy_ || connected_ || SocketOpen() || host_.empty()) {
    if (!busy_) failureReason_ = connected_ || SocketOpen() ? "a session is already open" : "no server name";
    return false;
  }
  TBusyFlag busy(busy_);
  failureReason_.clear();
  refusedRecipients_.clear();
  extensions_.Clear();
  extended_ = useEhlo_ || tlsMode_ != tmNone || !userName_.empty();
  PrepareTls(*socketTalk_, tlsMode_, trustedCertificate_);
  socketTalk_->OpenForGreeting(host_, port_);
  if (!Await(stConnect)) {
    if (ReplyCode(lastResponse_) != 0 || overlong_ || !ConnectionFailure(talkFailure_, socketTalk_->Socket()).empty())
      NoteFailure("the server refused the connection");
    else  // a port that expects TLS at once answers nothing, one of another protocol its own words
      Fail("the server did not greet as an SMTP server: \"" + ReadableBytes(StatusLine(lastResponse_)) + "\"");
    return FailConnect();
  }
  if (!Greet()) return FailConnect();
  if (tlsMode_ == tmSTLS && !StartTls()) return FailConnect();
  if (!userName_.empty() && !SignIn()) return FailConnect();
  connected_ = true;
  return true;
}

bool TDUZA2000::Greet() {
  TClientSocket& socket = socketTalk_->Socket();
  const std::string domain = HeloDomain(socket.LocalHostName(), socket.LocalAddress());
  if (extended_) {
    if (Step("EHLO " + domain + kCrLf, stHelo)) {
      extensions_.Read(lastResponse_);
      return true;
    }
    const int code = ReplyCode(lastResponse_);
    // RFC 5321 section 3.2: a server that does not know EHLO says so, and is
    // spoken to as before it; any other refusal is the server's last word.
    if ((code != 500 && code != 502) || !SocketOpen() || talkFailure_ != teNoError) return NoteFailure("EHLO refused");
  }
  return Step("HELO " + domain + kCrLf, stHelo) || NoteFailure("HELO refused");
}

bool TDUZA2000::StartTls() {
  if (!extensions_.Has("STARTTLS")) return Fail("the server does not offer STARTTLS");
  const bool agreed = Step("STARTTLS" + kCrLf, stStartTls);
  // "220" and more in one piece is judged by its last reply; the "220"
  // came, and so did bytes that must not count as the server's under TLS.
  const std::vector<std::string_view> replies = WholeReplies(socketTalk_->LastResponse());
  if (!agreed && (replies.size() < 2 || ReplyCode(replies[0]) != 220)) return NoteFailure("STARTTLS refused");
  std::string failure;
  talkFailure_ = teNoError;
  if (!UpgradeToTls(*socketTalk_, replies.empty() ? 0 : replies[0].size(), talkFailure_, failure))
    return failure.empty() ? NoteFailure("STARTTLS refused") : Fail(LowerFirst(failure));
  // RFC 3207 section 4.2: what the server said in the clear may have been
  // forged on the way; only what it says under TLS counts.
  extensions_.Clear();
  return Greet();
}

bool TDUZA2000::SignIn() {
  if (!socketTalk_->Socket().Encrypted() && !allowUnencryptedAuth_)
    return Fail("sign-in needs an encrypted connection: no password or token goes in the clear");
  const bool token = !oauthToken_.empty();
  const std::string& secret = token ? oauthToken_ : password_;
  if (!SendableCredential(userName_) || !SendableCredential(secret))
    return Fail("the user name or password holds a byte no sign-in can carry (NUL or 0x01)");
  const std::string mechanism = PickMechanism(extensions_.AuthMechanisms(), authMechanism_, token);
  if (mechanism.empty()) {
    if (!extensions_.Has("AUTH")) return Fail("the server does not offer sign-in");
    return Fail("the server offers no sign-in this client can use: AUTH " + ReadableBytes(extensions_.Parameters("AUTH")));
  }
  TSaslClient sasl(mechanism, userName_, secret, host_, port_);
  secretForms_ = sasl.SecretForms();
  struct TForget {
    std::vector<std::string>& forms;
    ~TForget() { forms.clear(); }
  } forget{secretForms_};
  bool going = Step(sasl.Command() + kCrLf, stAuth);
  for (int round = 0; going && ReplyCode(lastResponse_) == 334 && round < kMaxSignInRounds; ++round)
    going = Step(sasl.Answer() + kCrLf, stAuth);
  if (going && ReplyCode(lastResponse_) == 235) return true;
  return NoteFailure("sign-in refused");
}

std::vector<std::string> TDUZA2000::CheckedRecipients(std::string_view fromAddress,
                                                      std::string_view destinations) const {
  std::vector<std::string> recipients = RecipientAddresses(destinations);
  if (recipients.empty()) Raise(": No recipients to send message");
  // The empty reverse-path is the null sender (RFC 5321 section 4.5.5); a
  // forward-path is never empty (section 4.1.1.3).
  if (!ValidAddress(fromAddress)) Raise(": Invalid address");
  for (const std::string& address : recipients)
    if (address.empty() || !ValidAddress(address)) Raise(": Invalid address");
  return recipients;
}

bool TDUZA2000::Transaction(std::string_view fromAddress, const std::vector<std::string>& recipients,
                            TContent& content) {
  failureReason_.clear();
  refusedRecipients_.clear();
  if (extended_) return ExtendedTransaction(fromAddress, recipients, content);
  if (!Envelope(fromAddress, recipients)) return false;
  content.prepare();
  return SendData([&content] { return TransparentContent(content.head, content.body); });
}

bool TDUZA2000::Envelope(std::string_view fromAddress, const std::vector<std::string>& recipients) {
  // RFC 5321 section 4.1.1.2 puts no blank after the colon, and strict
  // servers refuse one.
  if (!Step("MAIL FROM:<" + std::string(fromAddress) + ">" + kCrLf, stMail)) return NoteFailure("sender refused");
  for (const std::string& address : recipients) {
    if (!Step("RCPT TO:<" + address + ">" + kCrLf, stRcpt)) {
      NoteFailure("recipient refused: <" + address + ">");
      if (SocketOpen()) refusedRecipients_.push_back(address);
      ClearTransaction();
      return false;
    }
  }
  return true;
}

bool TDUZA2000::SendData(const std::function<std::string()>& makeContent) {
  if (!Step("DATA" + kCrLf, stData)) {
    NoteFailure("message refused");
    ClearTransaction();
    return false;
  }
  return SendContent(makeContent);
}

bool TDUZA2000::SendContent(const std::function<std::string()>& makeContent) {
  std::string content = makeContent();
  socketTalk_->SetSendPacketSize(packetSize_);
  socketTalk_->Talk(content, kCrLf, stSendData);
  const bool sentAll = socketTalk_->SentAll();
  const bool accepted = Await(stSendData);
  if (!accepted) NoteFailure("message refused");
  if (!sentAll) {
    // The server answered before it had all the content and may still be
    // reading the rest as message text: a command sent now would become part
    // of it. Nothing can be trusted on this connection any more.
    Abort();
    return false;
  }
  if (!accepted) ClearTransaction();
  return accepted;
}

std::string TDUZA2000::MailCommand(std::string_view fromAddress, const std::vector<std::string>& recipients,
                                   const TContent& content) {
  TContentFacts facts;
  facts.Add(content.head);
  facts.Add(content.body);
  if (facts.eightBit && !extensions_.Has("8BITMIME")) {
    Fail("the content holds 8-bit bytes, and the server does not offer 8BITMIME");
    return "";
  }
  // RFC 6531 section 3.4: an address that is not ASCII needs SMTPUTF8.
  bool utf8 = !IsAscii(fromAddress);
  for (const std::string& address : recipients) utf8 = utf8 || !IsAscii(address);
  if (utf8 && !extensions_.Has("SMTPUTF8")) {
    Fail("an address is not ASCII, and the server does not offer SMTPUTF8");
    return "";
  }
  const std::uint64_t limit = extensions_.SizeLimit();
  if (limit > 0 && facts.size > limit) {
    Fail(TooLarge(facts.size, limit));
    return "";
  }
  std::string mail = "MAIL FROM:<" + std::string(fromAddress) + ">";
  if (extensions_.Has("SIZE")) mail += " SIZE=" + std::to_string(facts.size);
  if (facts.eightBit) mail += " BODY=8BITMIME";
  if (utf8) mail += " SMTPUTF8";
  return mail + kCrLf;
}

bool TDUZA2000::Exchange(const std::vector<std::string>& commands, std::vector<std::string>& replies) {
  replies.clear();
  // RFC 2920 section 3.1: MAIL, RCPT and DATA may go together, each still
  // answered on its own.
  if (extensions_.Has("PIPELINING")) {
    std::string all;
    for (const std::string& command : commands) all += command;
    socketTalk_->Talk(all, kCrLf, stMail);
    if (!Gather(commands.size(), stMail)) return false;
    for (std::string_view reply : WholeReplies(lastResponse_)) replies.emplace_back(reply);
  } else {
    // One by one, no RCPT follows a refused MAIL, and no DATA a transaction
    // without recipients.
    bool anyone = false;
    for (size_t i = 0; i < commands.size(); ++i) {
      if (i > 0 && !Accepted(replies[0])) break;
      if (i + 1 == commands.size() && !anyone) break;
      socketTalk_->Talk(commands[i], kCrLf, i == 0 ? stMail : stRcpt);
      if (!Gather(1, stMail)) return false;
      replies.emplace_back(WholeReplies(lastResponse_).front());
      anyone = anyone || (i > 0 && Accepted(replies.back()));
    }
  }
  replies.resize(commands.size());  // the commands never sent have no reply
  return true;
}

bool TDUZA2000::ExtendedTransaction(std::string_view fromAddress, const std::vector<std::string>& recipients,
                                    TContent& content) {
  // Everything the server is told first is known before a byte goes: the
  // bound message takes its new Message-ID now, so the size is the size
  // sent.
  content.prepare();
  const std::string mail = MailCommand(fromAddress, recipients, content);
  if (mail.empty()) return false;
  std::vector<std::string> commands = {mail};
  for (const std::string& address : recipients) commands.push_back("RCPT TO:<" + address + ">" + kCrLf);
  commands.push_back("DATA" + kCrLf);
  std::vector<std::string> replies;
  if (!Exchange(commands, replies)) return false;

  size_t accepted = 0;
  std::string refusedWords;
  for (size_t i = 0; i < recipients.size(); ++i) {
    const std::string& reply = replies[i + 1];
    if (Accepted(reply)) {
      ++accepted;
    } else if (!reply.empty()) {
      refusedRecipients_.push_back(recipients[i]);
      refusedWords += (refusedWords.empty() ? "recipient refused: <" : "; <") + recipients[i] + ">: " + ReplyWords(reply);
    }
  }
  const std::string& dataReply = replies.back();
  const bool dataGoes = ReplyCode(dataReply) == 354;
  std::string refusal;
  if (!Accepted(replies[0])) {
    lastResponse_ = replies[0];
    refusal = "sender refused: " + ReplyWords(replies[0]);
  } else if (accepted == 0) {
    lastResponse_ = replies[1];
    refusal = refusedWords;
  } else if (!dataGoes) {
    lastResponse_ = dataReply;
    refusal = "message refused: " + ReplyWords(dataReply);
  }
  if (!refusal.empty()) {
    // RFC 2920 section 3.1: a DATA that was accepted though nothing may be
    // sent gets an empty message, which the server then refuses or drops.
    const std::string kept = lastResponse_;
    if (dataGoes) Step("." + kCrLf, stSendData);
    lastResponse_ = kept;
    if (Accepted(replies[0])) ClearTransaction();
    return Fail(refusal);
  }
  if (!SendContent([&content] { return TransparentContent(content.head, content.body); })) return false;
  failureReason_ = refusedWords;
  return true;
}

bool TDUZA2000::SendMessage() {
  if (!mailMessage_) Raise(": MailMessage unassigned");
  std::string destinations;
  for (TMailRecipients* list : {&mailMessage_->ToList(), &mailMessage_->CcList(), &mailMessage_->BccList()}) {
    if (list->GetCount() <= 0) continue;
    if (!destinations.empty()) destinations += ',';
    destinations += list->GetAllAddresses();
  }
  return SendMessageTo(mailMessage_->GetFromAddress(), destinations);
}

bool TDUZA2000::SendMessageTo(std::string_view fromAddress, std::string_view destinations) {
  if (busy_) return false;
  if (!Ready()) return Refuse();
  if (!mailMessage_) Raise(": MailMessage unassigned");
  if (mailMessage_->NeedRebuild()) Raise(": MailMessage need rebuild");
  std::vector<std::string> recipients = CheckedRecipients(fromAddress, destinations);
  TBusyFlag busy(busy_);

  TVeraDudurur2000& message = *mailMessage_;
  TStringList kept;
  bool changed = false;
  std::string head;
  TContent content;
  content.prepare = [&] {
    if (changed) return;
    message.SetMessageId(socketTalk_->Socket().LocalAddress());
    kept = message.Header();
    changed = true;
    // Blind copies must not show to anyone: every Bcc field goes, not only
    // the first (RFC 5322 section 3.6.3), and all come back in place
    // afterwards.
    for (int i; (i = SearchStringList(&message.Header(), "Bcc:", 0)) >= 0;) message.Header().Delete(i);
    const TMailPart& source = message;
    head = source.HeaderSource();
    content.head = head;
    content.body = source.Body().View();
  };
  struct TRestore {
    TVeraDudurur2000& message;
    TStringList& kept;
    const bool& changed;
    ~TRestore() {
      if (changed) message.Header() = std::move(kept);
    }
  } restore{message, kept, changed};
  return Transaction(fromAddress, recipients, content);
}

bool TDUZA2000::SendStringTo(std::string_view messageText, std::string_view fromAddress,
                             std::string_view destinations) {
  if (busy_) return false;
  if (!Ready()) return Refuse();
  std::vector<std::string> recipients = CheckedRecipients(fromAddress, destinations);
  TBusyFlag busy(busy_);
  TContent content;
  content.prepare = [] {};
  content.body = messageText;
  return Transaction(fromAddress, recipients, content);
}

bool TDUZA2000::Quit() {
  if (busy_) return false;
  if (!Ready()) return Refuse();
  TBusyFlag busy(busy_);
  failureReason_.clear();
  if (!Step("QUIT" + kCrLf, stQuit)) return NoteFailure("QUIT refused");
  socketTalk_->Socket().Close();
  connected_ = false;
  return true;
}

void TDUZA2000::Abort() {
  socketTalk_->Cancel();
  socketTalk_->Socket().Close();
  connected_ = false;
}

}  // namespace Vizu2000
