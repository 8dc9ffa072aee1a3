#pragma once
// TDUZA2000 hands messages to an SMTP server (RFC 5321): Connect (greeting
// and HELO), any number of sends, then Quit or Abort. Like the POP3 client,
// every step is one Talk and one WaitServer of its own TSocketTalk, so the
// window's events keep flowing while it waits. Protocol failures (refusals,
// time-outs, socket errors, a closed connection) come back as false; misuse
// (nothing to send, a message that still needs rebuilding, no recipients, an
// empty recipient, an address holding a blank, a control character or an
// angle bracket) raises EVizuError before anything is sent.
//
// One operation at a time: an operation started from an event handler while
// another is waiting is refused (false) without sending anything. Abort may
// be called at any time.
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "mail/net/socket_talk.h"
#include "platform/component.h"
#include "platform/events.h"

namespace Vizu2000 {

class TVeraDudurur2000;

class TDUZA2000 : public TComponent {
 public:
  explicit TDUZA2000(TComponent* owner);
  ~TDUZA2000() override;

  int Port() const { return port_; }
  void SetPort(int value) { port_ = value; }
  // A host name, or a numeric address that is used as it is.
  const std::string& Host() const { return host_; }
  void SetHost(std::string value) { host_ = std::move(value); }
  // Seconds of silence that end a wait; 0: no time-out.
  int TimeOut() const { return socketTalk_->TimeOut(); }
  void SetTimeOut(int seconds) { socketTalk_->SetTimeOut(seconds); }
  // The message SendMessage and SendMessageTo send; not owned.
  TVeraDudurur2000* MailMessage() const { return mailMessage_; }
  void SetMailMessage(TVeraDudurur2000* message) { mailMessage_ = message; }
  // Bytes per chunk while a message's content is sent; 0: one piece.
  int PacketSize() const { return packetSize_; }
  void SetPacketSize(int value) { packetSize_ = value; }
  // Raised with this client as Sender after each chunk of content.
  TProgressEvent OnProgress;

  // The greeting and HELO were accepted on the open connection.
  bool Connected() const { return connected_; }

  // Opens the connection, awaits the "220" greeting and sends HELO. Refused
  // while a connection is open (also after a refused greeting: Abort first)
  // and without a Host. Errors of the platform socket while opening pass out
  // unchanged.
  bool Connect();
  // Sends the bound message to every address of its To, Cc and Bcc lists,
  // from the address of its From field. Raises "<Name>: MailMessage
  // unassigned" without a bound message.
  bool SendMessage();
  bool SendMessageJC() { return SendMessage(); }
  // Sends the bound message to Destinations (addresses separated by commas
  // or blanks, double quotes around one that holds a comma). The message
  // gets a new Message-ID; its Bcc fields are left out of what is sent and
  // are back in place afterwards. Raises "<Name>: MailMessage unassigned",
  // "<Name>: MailMessage need rebuild", "<Name>: No recipients to send
  // message" or "<Name>: Invalid address"; false without raising when not
  // connected.
  bool SendMessageTo(std::string_view fromAddress, std::string_view destinations);
  // Sends a ready message text, its line ends made CR LF; no bound message
  // is needed or changed.
  bool SendStringTo(std::string_view messageText, std::string_view fromAddress,
                    std::string_view destinations);
  // QUIT; true when it was accepted and the connection is closed. A refused
  // QUIT leaves the connection open.
  bool Quit();
  // Closes the connection without QUIT and ends any pending wait.
  void Abort();

  // The last reply that decided an operation, every line of it. After a
  // refused recipient, data or content it is the refusal, not the reply to
  // the RSET that follows.
  const std::string& LastResponse() const { return lastResponse_; }
  std::string GetLastResponse() const { return lastResponse_; }

  TSocketTalk& SocketTalk() { return *socketTalk_; }

  // The handlers bound to the engine.
  void EndOfData(TComponent* Sender, TSessionState SessionState, const std::string& Data, bool& ServerResult);
  void ReceiveData(TComponent* Sender, TSessionState SessionState, const std::string& Data, bool& ServerResult);
  void SocketTalkError(TComponent* Sender, TSessionState SessionState, TTalkError TalkError);
  void SocketDisconnect(TComponent* Sender);

 private:
  bool SocketOpen();
  bool Ready() { return connected_ && SocketOpen(); }
  // Waits for the whole reply to the step in hand, continuation lines and
  // all; returns the verdict and keeps the reply in LastResponse. A session
  // that can no longer be trusted to be in step (a time-out, an overlong
  // reply) is closed.
  bool Await(TSessionState state);
  bool Step(const std::string& command, TSessionState state);
  // After a refusal inside a transaction: RSET, so the next send starts
  // clean, with LastResponse kept as the refusal.
  void ClearTransaction();
  // MAIL FROM, then RCPT TO for each recipient.
  bool Envelope(std::string_view fromAddress, const std::vector<std::string>& recipients);
  // DATA, then the content that makeContent gives once DATA is accepted.
  bool SendData(const std::function<std::string()>& makeContent);
  std::vector<std::string> CheckedRecipients(std::string_view fromAddress,
                                             std::string_view destinations) const;
  [[noreturn]] void Raise(const char* what) const;

  TSocketTalk* socketTalk_ = nullptr;
  TVeraDudurur2000* mailMessage_ = nullptr;
  std::string host_;
  std::string lastResponse_;
  int port_ = 25;
  int packetSize_ = 102400;
  bool connected_ = false;
  bool busy_ = false;
  bool overlong_ = false;
  TTalkError talkFailure_ = teNoError;  // the engine's error in the step in hand
};

// The destinations text cut into addresses: blanks (codes 1 to 32) and
// commas separate them, an address in double quotes runs to the closing
// quote, and an empty one stands between two commas. Sorted without regard
// to case, each address once (the first spelling kept).
std::vector<std::string> RecipientAddresses(std::string_view destinations);

// What HELO names this end with (RFC 5321 section 4.1.1.1): the host name
// when it is a valid Domain, else the connection's local address as an
// address literal ("[192.0.2.1]", "[IPv6:2001:db8::1]"), else "localhost".
std::string HeloDomain(std::string_view hostName, std::string_view localAddress);

// The content as it goes after DATA: head and body read as one text whose
// every CR, LF and CR LF becomes CR LF (RFC 5321 section 2.3.8); then a line
// that begins with "." gets one more in front (section 4.5.2), and the end
// of data follows.
std::string TransparentContent(std::string_view head, std::string_view body);

}  // namespace Vizu2000
