#pragma once
// TDUZA2000 hands messages to an SMTP server (RFC 5321): Connect (greeting
// and HELO), any number of sends, then Quit or Abort. Like the POP3 client,
// every step is one Talk and one WaitServer of its own TSocketTalk, so the
// window's events keep flowing while it waits. Protocol failures (refusals,
// time-outs, socket errors, a closed connection) come back as false, and
// FailureReason says why; misuse (nothing to send, a message that still
// needs rebuilding, no recipients, an empty recipient, an address holding a
// blank, a control character or an angle bracket) raises EVizuError before
// anything is sent.
//
// Left as they are, the settings below the Part's own properties change
// nothing of the dialogue: HELO, no TLS, no sign-in, one command at a time.
// Any of UseEHLO, a TLS mode or a user name makes it a session of a
// submission client (RFC 6409): EHLO, then STARTTLS, AUTH, SIZE, 8BITMIME,
// SMTPUTF8 and PIPELINING where the server offers them.
//
// One operation at a time: an operation started from an event handler while
// another is waiting is refused (false) without sending anything. Abort may
// be called at any time.
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "mail/net/session_tls.h"
#include "mail/net/smtp_replies.h"
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

  // EHLO instead of HELO (RFC 5321 section 4.1.1.1), and HELO once more
  // when the server answers EHLO with 500 or 502. A TLS mode or a user name
  // asks for EHLO too.
  bool UseEHLO() const { return useEhlo_; }
  void SetUseEHLO(bool value) { useEhlo_ = value; }
  // With tmSTLS, Connect succeeds only once the server has offered STARTTLS,
  // accepted it and completed the handshake (RFC 3207), and then answered
  // EHLO again; anything less ends the session, never falling back to the
  // clear. tmImplicitTLS speaks TLS from the first byte on (RFC 8314; port
  // 465 is the caller's to set).
  TTLSMode TLSMode() const { return tlsMode_; }
  void SetTLSMode(TTLSMode value) { tlsMode_ = value; }
  // Trusted besides the system's CA store: a PEM file path or the SHA-256
  // fingerprint of the server's certificate (see TClientSocket).
  const std::string& TrustedCertificate() const { return trustedCertificate_; }
  void SetTrustedCertificate(std::string value) { trustedCertificate_ = std::move(value); }
  // With a user name, Connect signs in (AUTH, RFC 4954) with OAuthToken when
  // one is set (OAUTHBEARER, RFC 7628, or else XOAUTH2), otherwise with
  // Password (PLAIN, or else LOGIN). AuthMechanism names the one mechanism
  // to use instead; empty: the choice above.
  const std::string& UserName() const { return userName_; }
  void SetUserName(std::string value) { userName_ = std::move(value); }
  const std::string& Password() const { return password_; }
  void SetPassword(std::string value) { password_ = std::move(value); }
  const std::string& OAuthToken() const { return oauthToken_; }
  void SetOAuthToken(std::string value) { oauthToken_ = std::move(value); }
  const std::string& AuthMechanism() const { return authMechanism_; }
  void SetAuthMechanism(std::string value) { authMechanism_ = std::move(value); }
  // A password or token goes only over an encrypted connection unless this
  // is set (for a test server on the loopback, say).
  bool AllowUnencryptedAuth() const { return allowUnencryptedAuth_; }
  void SetAllowUnencryptedAuth(bool value) { allowUnencryptedAuth_ = value; }

  // The greeting and HELO were accepted on the open connection (and
  // STARTTLS, EHLO and AUTH, as the settings ask).
  bool Connected() const { return connected_; }

  // What the server's last EHLO reply listed in this session; nothing after
  // HELO. HasExtension takes a keyword in any case ("SIZE", "pipelining").
  bool HasExtension(std::string_view keyword) const { return extensions_.Has(keyword); }
  // The largest message the server accepts (SIZE, RFC 1870); 0: no limit
  // announced.
  std::uint64_t SizeLimit() const { return extensions_.SizeLimit(); }
  // The sign-in mechanisms the server offers, upper case, in its order.
  std::vector<std::string> AuthMechanisms() const { return extensions_.AuthMechanisms(); }

  // Opens the connection, awaits the "220" greeting and sends HELO (or EHLO,
  // STARTTLS, EHLO again and AUTH, as the settings ask). Refused while a
  // connection is open and without a Host. A Connect that fails for any
  // reason closes what it opened, so the next Connect starts afresh;
  // FailureReason says why. Errors of the platform socket while opening
  // pass out unchanged.
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
  // In a session with EHLO, a send says first what it will send: MAIL FROM
  // carries SIZE=<n> (the content with CR LF line ends) when the server
  // offers SIZE, BODY=8BITMIME when the content holds 8-bit bytes and
  // SMTPUTF8 when an address is not ASCII. A message larger than the
  // server's limit, 8-bit content without 8BITMIME, or an address that is
  // not ASCII without SMTPUTF8 is refused before anything is sent. With
  // PIPELINING (RFC 2920) MAIL, every RCPT and DATA go out together; with or
  // without it every recipient is asked and judged on its own, and the
  // message goes to those the server accepted: the send is true when it
  // reached at least one, and RefusedRecipients names the others.

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
  // Why the last operation failed, in plain lower-case words for a person:
  // "connection refused", "no answer from the server", "certificate not
  // trusted: ...", "the server does not offer STARTTLS", "sign-in refused:
  // 535 5.7.8 ...", "message too large: 30 MB, the server accepts 25 MB",
  // "sender refused: ...", "recipient refused: <x@y>: 550 5.1.1 ...",
  // "message refused: ...", with the server's reply and its enhanced status
  // code (RFC 3463) where it gave one. After a send that reached only some
  // recipients, it names those refused though the send is true. Empty after
  // an operation that fully succeeded. Neither this nor LastResponse ever
  // holds the password or token, in any form.
  const std::string& FailureReason() const { return failureReason_; }
  // The recipients the server refused in the last send, in the order asked.
  const std::vector<std::string>& RefusedRecipients() const { return refusedRecipients_; }

  TSocketTalk& SocketTalk() { return *socketTalk_; }

  // The handlers bound to the engine.
  void EndOfData(TComponent* Sender, TSessionState SessionState, const std::string& Data, bool& ServerResult);
  void ReceiveData(TComponent* Sender, TSessionState SessionState, const std::string& Data, bool& ServerResult);
  void SocketTalkError(TComponent* Sender, TSessionState SessionState, TTalkError TalkError);
  void SocketDisconnect(TComponent* Sender);

 private:
  // The content of a send: Prepare puts it in place (a bound message gets
  // its new Message-ID and loses its Bcc fields for the while), and Head and
  // Body then read as one text.
  struct TContent {
    std::function<void()> prepare;
    std::string_view head;
    std::string_view body;
  };

  bool SocketOpen();
  bool Ready() { return connected_ && SocketOpen(); }
  // Waits for the whole reply to the step in hand, continuation lines and
  // all; returns the verdict and keeps the reply in LastResponse. A session
  // that can no longer be trusted to be in step (a time-out, an overlong
  // reply) is closed.
  bool Await(TSessionState state);
  bool Step(const std::string& command, TSessionState state);
  // Waits until count whole replies have come since the last Talk, however
  // the network cuts them; false, with FailureReason set and a session out
  // of step closed, when the wait ends without them.
  bool Gather(size_t count, TSessionState state);
  // After a refusal inside a transaction: RSET, so the next send starts
  // clean, with LastResponse kept as the refusal.
  void ClearTransaction();
  // EHLO (or HELO, as the session is), after the greeting and after TLS.
  bool Greet();
  bool StartTls();
  bool SignIn();
  // The transaction as the Part speaks it, or as a session with EHLO does.
  bool Transaction(std::string_view fromAddress, const std::vector<std::string>& recipients, TContent& content);
  bool ExtendedTransaction(std::string_view fromAddress, const std::vector<std::string>& recipients,
                           TContent& content);
  // The MAIL FROM line with what the server is told of the content, or
  // empty, with FailureReason set, when it cannot take the content at all.
  std::string MailCommand(std::string_view fromAddress, const std::vector<std::string>& recipients,
                          const TContent& content);
  // MAIL, every RCPT and DATA, pipelined where the server offers it, and
  // their replies (empty for a command never sent); false when the session
  // failed under them.
  bool Exchange(const std::vector<std::string>& commands, std::vector<std::string>& replies);
  // MAIL FROM, then RCPT TO for each recipient.
  bool Envelope(std::string_view fromAddress, const std::vector<std::string>& recipients);
  // DATA, then the content that makeContent gives once DATA is accepted.
  bool SendData(const std::function<std::string()>& makeContent);
  // The content after an accepted DATA, and its verdict.
  bool SendContent(const std::function<std::string()>& makeContent);
  std::vector<std::string> CheckedRecipients(std::string_view fromAddress,
                                             std::string_view destinations) const;
  // FailureReason for a step that did not get the reply it wanted: the
  // connection's failure, or refused + ": " + the server's words. False.
  bool NoteFailure(const std::string& refused);
  bool Fail(std::string reason);
  // Ends a Connect that failed: closed, so the next one starts afresh.
  bool FailConnect();
  // FailureReason for an operation whose precondition does not hold.
  bool Refuse();
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

  bool useEhlo_ = false;
  TTLSMode tlsMode_ = tmNone;
  std::string trustedCertificate_;
  std::string userName_;
  std::string password_;
  std::string oauthToken_;
  std::string authMechanism_;
  bool allowUnencryptedAuth_ = false;
  bool extended_ = false;  // this session began with EHLO
  TSmtpExtensions extensions_;
  std::string failureReason_;
  std::vector<std::string> refusedRecipients_;
  size_t expectedReplies_ = 1;  // replies the wait in hand gathers
  size_t replyLimit_ = 0;       // bytes they may bring
  // While signing in: the forms of the secret that no kept reply may hold.
  std::vector<std::string> secretForms_;
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
