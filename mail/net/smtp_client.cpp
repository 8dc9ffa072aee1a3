#include "mail/net/smtp_client.h"

#include <algorithm>
#include <cstring>

#include "mail/message/mail_message.h"
#include "mail/mime/header_fields.h"
#include "platform/error.h"
#include "platform/memory.h"
#include "platform/string_list.h"

namespace Vizu2000 {
namespace {

const std::string kCrLf = "\r\n";

// A reply may not grow without end: RFC 5321 section 4.5.3.1.5 allows 512
// octets a line, and a client that asks only HELO never needs many lines.
constexpr size_t kMaxReply = 64 * 1024;

bool EndsWithCrLf(std::string_view text) {
  return text.size() >= 2 && text[text.size() - 2] == '\r' && text.back() == '\n';
}

// The last line of a reply that ends with CR LF, without its line break.
std::string_view LastLine(std::string_view reply) {
  std::string_view body = reply.substr(0, reply.size() - 2);
  size_t lf = body.rfind('\n');
  return lf == std::string_view::npos ? body : body.substr(lf + 1);
}

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// RFC 5321 section 4.2.1: every line but the last of a reply has a hyphen
// right after its code; the last has a space, or nothing.
bool ReplyComplete(std::string_view reply) {
  if (!EndsWithCrLf(reply)) return false;
  std::string_view last = LastLine(reply);
  return !(last.size() >= 4 && IsDigit(last[0]) && IsDigit(last[1]) && IsDigit(last[2]) && last[3] == '-');
}

const char* AcceptedCode(TSessionState state) {
  switch (state) {
    case stConnect:
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
      if (!(IsDigit(c) || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '-')) return false;
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

TDUZA2000::TDUZA2000(TComponent* owner) : TComponent(owner) {
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
  const char* code = AcceptedCode(SessionState);
  if (code) ServerResult = LastLine(Data).substr(0, 3) == code;
}

void TDUZA2000::ReceiveData(TComponent*, TSessionState, const std::string& Data, bool& ServerResult) {
  const std::string& reply = socketTalk_->LastResponse();
  if (reply.size() > kMaxReply) {
    overlong_ = true;
    ServerResult = false;
    socketTalk_->Cancel();
    return;
  }
  // A refusal ends the wait at once, also while content is still being
  // sent; only a whole reply is taken as one.
  int code = 0;
  if (Data.size() >= 3 && IsDigit(Data[0]) && IsDigit(Data[1]) && IsDigit(Data[2]))
    code = (Data[0] - '0') * 100 + (Data[1] - '0') * 10 + (Data[2] - '0');
  if (code >= 500 && EndsWithCrLf(Data) && ReplyComplete(reply)) {
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
  lastResponse_ = socketTalk_->LastResponse();
  const bool accepted = socketTalk_->ServerResult();
  // A reply that never came may still come, and would then be taken as the
  // reply to the next command: the session is out of step for good.
  if (!accepted && (overlong_ || talkFailure_ == teTimeout)) Abort();
  return accepted;
}

bool TDUZA2000::Step(const std::string& command, TSessionState state) {
  socketTalk_->Talk(command, kCrLf, state);
  return Await(state);
}

void TDUZA2000::ClearTransaction() {
  if (!Ready()) return;
  std::string refusal = std::move(lastResponse_);
  // Without it the server stays inside the refused transaction and answers
  // the next MAIL FROM with 503 (RFC 5321 section 4.1.1.5).
  if (!Step("RSET" + kCrLf, stRset)) Abort();
  lastResponse_ = std::move(refusal);
}

bool TDUZA2000::Connect() {
  if (busy_ || connected_ || SocketOpen() || host_.empty()) return false;
  TBusyFlag busy(busy_);
  TClientSocket& socket = socketTalk_->Socket();
  socketTalk_->OpenForGreeting(host_, port_);
  if (!Await(stConnect)) return false;
  connected_ = Step("HELO " + HeloDomain(socket.LocalHostName(), socket.LocalAddress()) + kCrLf, stHelo);
  return connected_;
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

bool TDUZA2000::Envelope(std::string_view fromAddress, const std::vector<std::string>& recipients) {
  // RFC 5321 section 4.1.1.2 puts no blank after the colon, and strict
  // servers refuse one.
  if (!Step("MAIL FROM:<" + std::string(fromAddress) + ">" + kCrLf, stMail)) return false;
  for (const std::string& address : recipients) {
    if (!Step("RCPT TO:<" + address + ">" + kCrLf, stRcpt)) {
      ClearTransaction();
      return false;
    }
  }
  return true;
}

bool TDUZA2000::SendData(const std::function<std::string()>& makeContent) {
  if (!Step("DATA" + kCrLf, stData)) {
    ClearTransaction();
    return false;
  }
  std::string content = makeContent();
  socketTalk_->SetSendPacketSize(packetSize_);
  socketTalk_->Talk(content, kCrLf, stSendData);
  const bool sentAll = socketTalk_->SentAll();
  const bool accepted = Await(stSendData);
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
  if (busy_ || !Ready()) return false;
  if (!mailMessage_) Raise(": MailMessage unassigned");
  if (mailMessage_->NeedRebuild()) Raise(": MailMessage need rebuild");
  std::vector<std::string> recipients = CheckedRecipients(fromAddress, destinations);
  TBusyFlag busy(busy_);
  if (!Envelope(fromAddress, recipients)) return false;

  TVeraDudurur2000& message = *mailMessage_;
  message.SetMessageId(socketTalk_->Socket().LocalAddress());
  TStringList kept = message.Header();
  // Blind copies must not show to anyone: every Bcc field goes, not only the
  // first (RFC 5322 section 3.6.3), and all come back in place afterwards.
  for (int i; (i = SearchStringList(&message.Header(), "Bcc:", 0)) >= 0;) message.Header().Delete(i);
  bool accepted = false;
  try {
    accepted = SendData([&message] {
      const TMailPart& source = message;
      return TransparentContent(source.HeaderSource(), source.Body().View());
    });
  } catch (...) {
    message.Header() = std::move(kept);
    throw;
  }
  message.Header() = std::move(kept);
  return accepted;
}

bool TDUZA2000::SendStringTo(std::string_view messageText, std::string_view fromAddress,
                             std::string_view destinations) {
  if (busy_ || !Ready()) return false;
  std::vector<std::string> recipients = CheckedRecipients(fromAddress, destinations);
  TBusyFlag busy(busy_);
  if (!Envelope(fromAddress, recipients)) return false;
  return SendData([messageText] { return TransparentContent({}, messageText); });
}

bool TDUZA2000::Quit() {
  if (busy_ || !Ready()) return false;
  TBusyFlag busy(busy_);
  if (!Step("QUIT" + kCrLf, stQuit)) return false;
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
