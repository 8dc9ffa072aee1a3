#pragma once
// TREZ2000 fetches mail from a POP3 server: Connect, Login (which also lists
// the mailbox), then GetUIDL / RetrieveMessage / RetrieveHeader /
// DeleteMessage, and last Quit or Abort. Every step is one Talk and one
// WaitServer of its own TSocketTalk; window events keep flowing while it
// waits. Protocol failures (refusals, time-outs, socket errors, a closed
// connection) come back as false or empty results, never as exceptions.
//
// One operation at a time: an operation started from an event handler while
// another is waiting is refused (false / empty) without sending anything.
// Abort is the exception: it may be called at any time.
#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "mail/net/sasl.h"
#include "mail/net/session_tls.h"
#include "mail/net/socket_talk.h"
#include "platform/component.h"
#include "platform/events.h"

namespace Vizu2000 {

class TVeraDudurur2000;

// Message sizes in octets by message number; element 0 is 0.
using TMessageSize = std::vector<int>;
// Unique ids by message number (only numbers LIST named).
using TUniqueIds = std::unordered_map<int, std::string>;

class TREZ2000 : public TComponent {
 public:
  explicit TREZ2000(TComponent* owner);
  ~TREZ2000() override;

  const std::string& UserName() const { return userName_; }
  void SetUserName(std::string value) { userName_ = std::move(value); }
  const std::string& Password() const { return password_; }
  void SetPassword(std::string value) { password_ = std::move(value); }
  // How Login signs in: USER and PASS (the default), or AUTH with a SASL
  // mechanism (RFC 5034): PLAIN with the password, XOAUTH2 or OAUTHBEARER
  // with AccessToken.
  TAuthMechanism AuthMechanism() const { return authMechanism_; }
  void SetAuthMechanism(TAuthMechanism value) { authMechanism_ = value; }
  // An OAuth2 access token (RFC 6750 section 2.1), for XOAUTH2 and
  // OAUTHBEARER.
  const std::string& AccessToken() const { return accessToken_; }
  void SetAccessToken(std::string value) { accessToken_ = std::move(value); }
  int Port() const { return port_; }
  void SetPort(int value) { port_ = value; }
  // A host name, or a numeric address that is used as it is.
  const std::string& Host() const { return host_; }
  void SetHost(std::string value) { host_ = std::move(value); }
  // Receives retrieved messages; not owned, and must outlive the binding.
  TVeraDudurur2000* MailMessage() const { return mailMessage_; }
  void SetMailMessage(TVeraDudurur2000* message) { mailMessage_ = message; }
  // Seconds of silence that end a wait; 0: no time-out.
  int TimeOut() const { return socketTalk_->TimeOut(); }
  void SetTimeOut(int seconds) { socketTalk_->SetTimeOut(seconds); }
  bool DeleteOnRetrieve() const { return deleteOnRetrieve_; }
  void SetDeleteOnRetrieve(bool value) { deleteOnRetrieve_ = value; }
  // With tmSTLS, Connect succeeds only once the server has offered STLS (in
  // CAPA), accepted it and completed the handshake; anything less ends the
  // session before a password could be sent in the clear.
  TTLSMode TLSMode() const { return tlsMode_; }
  void SetTLSMode(TTLSMode value) { tlsMode_ = value; }
  // Trusted besides the system's CA store: a PEM file path or the SHA-256
  // fingerprint of the server's certificate (see TClientSocket); empty: the
  // system's CAs only.
  const std::string& TrustedCertificate() const { return trustedCertificate_; }
  void SetTrustedCertificate(std::string value) { trustedCertificate_ = std::move(value); }
  // Why the last Connect failed for a TLS reason, in plain words
  // ("Certificate not trusted: ...", "Server does not offer STLS", "Server
  // refused STLS: -ERR ..."); empty when it did not fail for a TLS reason.
  const std::string& TLSFailure() const { return tlsFailure_; }

  // Raised with this client as Sender while a message or header arrives:
  // Total is the size from LIST, Current the bytes gathered (status line and
  // terminator included, so it may pass Total).
  TProgressEvent OnProgress;

  // Number of messages (the number on the last LIST line); -1: not known.
  int MessageCount() const { return messageCount_; }
  const TMessageSize& MessageSizes() const { return messageSizes_; }
  // The message numbers that LIST named, ascending, each once: the ones to
  // visit. A listing cannot make a caller walk numbers it never named.
  const std::vector<int>& ListedNumbers() const { return listedNumbers_; }
  bool Connected() const { return connected_; }
  bool LoggedIn() const { return loggedIn_; }
  // The last retrieved message or header, byte for byte, with CR LF line
  // ends and without the POP3 dot-stuffing, status line and end line.
  const std::string& LastMessage() const { return lastMessage_; }
  // Hands LastMessage over without a copy and leaves it empty, its memory
  // with the caller: a large message costs nothing here once taken.
  std::string TakeLastMessage() { return std::exchange(lastMessage_, std::string()); }

  // Opens the connection and waits for a "+OK" greeting; then, with tmSTLS,
  // CAPA, STLS and the handshake. Refused while a session or its socket is
  // open. A Connect that fails for any reason (no greeting in time, a
  // refused or foreign greeting, a TLS failure, a closed connection) closes
  // what it opened, so the next Connect starts afresh; FailureReason and
  // TLSFailure say why. Errors of the platform socket while opening pass
  // out unchanged.
  bool Connect();
  // USER, PASS, then LIST for MessageCount and MessageSizes. True once PASS
  // is accepted, also when LIST is refused or its reply passes its limit
  // (which ends the session). Raises EVizuError when a LIST line's message
  // number is not a number (the session stays open).
  //
  // With a SASL AuthMechanism, CAPA and then AUTH take the place of USER
  // and PASS. The secret goes only to a server whose CAPA names the
  // mechanism ("the server does not offer sign-in with XOAUTH2"), and
  // always in a second line, after the server's "+" (RFC 5034 section 4).
  // A refusal reads "wrong user name or password" for PLAIN; for a token,
  // what the server's error challenge said ("invalid token", "token
  // expired", ...), and TokenRefused tells whether a new token may help.
  bool Login();
  // The SASL mechanisms the server's CAPA named before the last SASL
  // sign-in, in upper case.
  const std::vector<std::string>& SaslMechanisms() const { return saslMechanisms_; }
  // The last Login failed because the server refused the access token as
  // invalid or expired (RFC 6750 section 3.1): a renewed token may pass.
  bool TokenRefused() const { return tokenRefused_; }
  // The unique id of a message; empty on any failure.
  std::string GetUIDL(int messageNumber);
  // The unique ids of the listed messages in one round trip ("UIDL"
  // without an argument, RFC 1939 section 7): only numbers in
  // ListedNumbers are kept, and lines without a number and an id are left
  // out, as GetUIDL would give them no id either. False, and ids empty,
  // when the server refuses it, the session fails, or LIST gave no listing
  // this session (then nothing is sent: no id could be matched with a
  // message; GetUIDL still asks message by message).
  bool GetUIDLs(TUniqueIds& ids);
  // RETR into LastMessage and, when bound, into MailMessage (Reset + Fill,
  // whose parse errors pass out). With DeleteOnRetrieve, DELE follows an
  // accepted RETR; its verdict does not change the result.
  bool RetrieveMessage(int messageNumber);
  // RETR into LastMessage alone, without the DELE and without filling
  // MailMessage: for a caller that stores the bytes as they came and
  // deletes only once it has put them somewhere safe.
  bool FetchMessage(int messageNumber);
  // TOP: the header and the first `lines` body lines into LastMessage and,
  // when bound, as MailMessage's header lines (after Reset).
  bool RetrieveHeader(int messageNumber, int lines);
  bool DeleteMessage(int messageNumber);
  // DELE for each of the messages; true when every one was accepted. When
  // the server announces PIPELINING (RFC 2449, asked once a session with
  // CAPA), the commands go out together and cost one round trip, not one
  // each.
  bool DeleteMessages(const std::vector<int>& messageNumbers);
  // QUIT; true when it was accepted and the connection is closed. A refused
  // QUIT leaves everything as it was.
  bool Quit();
  // Closes the connection without QUIT and ends any pending wait.
  void Abort();
  // Why the last operation failed, in plain lower-case words for a person:
  // "connection refused", "host not found", "no answer from the server",
  // "connection closed by the server", "wrong user name or password", the
  // server's own refusal, or TLSFailure. A reply that grows past its limit
  // closes the connection without QUIT, so the server deletes nothing, and
  // reads "reply too long: the server sent more than N bytes for message M
  // of S bytes" (or "... a line of more than 65536 bytes", "... for its
  // capabilities", "... for a listing of K messages", "... for the unique
  // ids of K messages"). The limits: a line of 64 KiB; a message twice its
  // LIST size and 16 MiB (2 GiB and 16 MiB when LIST did not size it);
  // CAPA 64 KiB; LIST 64 KiB and 64 bytes for each line that names a
  // message; UIDL 64 KiB and 128 bytes for each listed message. Empty
  // after an operation that succeeded.
  const std::string& FailureReason() const { return failureReason_; }
  // The raw text of the last reply, status line included; after a RETR or
  // TOP that succeeded, only its status line: the rest is LastMessage, and
  // holding a large message twice would double the memory it costs. After
  // LIST and UIDL, the status line and the reply's last few bytes: their
  // lines are read as they arrive and not kept. After a reply of more than
  // 1 MiB that failed, only its status line.
  const std::string& LastResponse() const { return socketTalk_->LastResponse(); }
  std::string GetLastResponse() const { return socketTalk_->LastResponse(); }

  TSocketTalk& SocketTalk() { return *socketTalk_; }

  // The handlers bound to the engine.
  void EndOfData(TComponent* Sender, TSessionState SessionState, const std::string& Data, bool& ServerResult);
  void ReceiveData(TComponent* Sender, TSessionState SessionState, const std::string& Data, bool& ServerResult);
  void SocketTalkError(TComponent* Sender, TSessionState SessionState, TTalkError TalkError);
  void SocketDisconnect(TComponent* Sender);

 private:

  bool SocketOpen();
  bool InTransaction() { return connected_ && loggedIn_ && SocketOpen(); }
  // One command and its reply; returns the verdict. A one-line reply may be
  // a status line of 64 KiB; a longer one, maxReply bytes (0: as much as a
  // listing may be), and the failure then names subject (" for message 3
  // of 120 bytes"). A reply past its limit ends the session without QUIT.
  bool Step(const std::string& command, const std::string& expectedEnd, TSessionState state,
            int expectedSize = 0, std::size_t maxReply = 0, const std::string& subject = "");
  // Sets how long the next reply may grow and the failure that says it grew
  // longer.
  void LimitReply(std::size_t bytes, std::string tooLong);
  // Sets FailureReason after a wait that ended without a verdict of "+OK";
  // refusal is the words for a server that answered "-ERR" (empty: quote it).
  void NoteFailure(const std::string& refusal = "");
  // Sets FailureReason for an operation whose precondition does not hold
  // (unless another operation is running); returns false.
  bool Refuse();
  // LIST, read as it arrives into MessageCount, MessageSizes and
  // ListedNumbers.
  void ReadListing();
  // A LIST or UIDL step whose lines go to listing as they arrive; the reply
  // may bring maxReply bytes at most whatever listing allows, and the
  // failure then names subject.
  struct TListing;
  bool StepListing(const std::string& command, TSessionState state, TListing& listing, std::uint64_t maxReply,
                   const std::string& subject);
  void ReadListingLines();
  bool Retrieve(const std::string& command, int messageNumber);
  bool Fetch(int messageNumber, bool deleteAfter, bool parse);
  bool SendDele(int messageNumber);
  // Asks CAPA once a session; true when the server pipelines.
  bool CanPipeline();
  // CAPA (RFC 2449): whether the server offers STLS and PIPELINING, and its
  // SASL mechanisms; false when the server refused it or the step failed.
  struct TCapabilities {
    bool stls = false;
    bool pipelining = false;
    std::vector<std::string> sasl;
  };
  bool ReadCapabilities(TCapabilities& capabilities);
  // CAPA, then AUTH and its continuation lines; true once signed in.
  bool Authenticate();
  // One line of an AUTH exchange; the reply's kind.
  enum TAuthReply { arAccepted, arContinue, arRefused };
  TAuthReply AuthStep(const std::string& line);
  // USER and PASS; true once PASS is accepted.
  bool SendUserPass();
  // After a failed sign-in: a reason or a kept reply that quotes the secret
  // (or response, the base64 line that carried it) loses it.
  void Conceal(const std::string& response);
  // CAPA, STLS and the handshake; false with TLSFailure set.
  bool StartTls();
  // Ends a session that failed for a TLS reason / another reason; false.
  bool FailTls(std::string reason);
  bool EndSession();
  // Ends a Connect that failed: closed, reset, and later refusals say why.
  bool FailConnect();
  int ListedSize(int messageNumber) const;
  void ResetSession();

  std::string userName_;
  std::string password_;
  TAuthMechanism authMechanism_ = amUserPass;
  std::string accessToken_;
  std::vector<std::string> saslMechanisms_;
  bool tokenRefused_ = false;
  int port_ = 110;
  std::string host_;
  TVeraDudurur2000* mailMessage_ = nullptr;
  bool deleteOnRetrieve_ = false;
  TTLSMode tlsMode_ = tmNone;
  std::string trustedCertificate_;
  std::string tlsFailure_;

  int messageCount_ = -1;
  TMessageSize messageSizes_;
  std::vector<int> listedNumbers_;
  bool listKnown_ = false;  // LIST was answered in this session
  bool capabilitiesKnown_ = false;
  bool pipelining_ = false;
  bool connected_ = false;
  bool loggedIn_ = false;
  std::string lastMessage_;
  std::string failureReason_;
  std::string tooLong_;       // FailureReason when the pending reply passes its limit
  std::string closedReason_;  // why this client closed the session, for later refusals
  TTalkError talkFailure_ = teNoError;
  TSocketTalk* socketTalk_ = nullptr;  // owned as a component
  TListing* listing_ = nullptr;        // the listing being read, during its step
  bool busy_ = false;
};

// The text of a POP3 multi-line reply: the status line and the final line
// are dropped, every line break (CR LF, lone CR, lone LF) becomes CR LF and
// a line that starts with ".." loses its first dot. NUL bytes are kept.
std::string MultiLineReplyText(std::string_view reply);
// The same, made in reply's own buffer when its line breaks are all CR LF.
void TakeMultiLineReplyText(std::string& reply);

}  // namespace Vizu2000
