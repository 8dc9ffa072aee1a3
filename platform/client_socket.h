#pragma once
// The asynchronous TCP client socket as the mail library sees it. Nothing
// blocks: connecting, arriving data and closing are announced through the
// notifications below, delivered on the window thread while its events are
// processed. The notifications are plain callbacks for the one object that
// drives the socket; each is called only when set.
#include <functional>
#include <memory>
#include <string>

namespace Vizu2000 {

// The socket's own error kinds; the ordinals are part of the contract (the
// conversation engine stores them unchanged).
enum TSocketError : unsigned char {
  seGeneral = 0,     // any other failure
  seSend = 1,        // a write failed
  seReceive = 2,     // a read failed
  seConnect = 3,     // the connection attempt failed
  seDisconnect = 4,  // an established connection ended with an error
  seAccept = 5,      // accepting failed (never met by a client)
};

class TClientSocket {
 public:
  TClientSocket() = default;
  virtual ~TClientSocket() = default;
  TClientSocket(const TClientSocket&) = delete;
  TClientSocket& operator=(const TClientSocket&) = delete;

  // Exactly one of Host (a name to resolve) and Address (dotted IPv4) is
  // meant to be set when opening; Host wins when both are. The three can
  // only be changed while the socket is not open (raises EVizuError).
  const std::string& Host() const { return host_; }
  void SetHost(const std::string& host);
  const std::string& Address() const { return address_; }
  void SetAddress(const std::string& address);
  int Port() const { return port_; }
  void SetPort(int port);

  // TLS. With ImplicitTls the handshake follows the connection at once (RFC
  // 8314) and OnConnect waits for it; StartTls upgrades an open connection
  // (RFC 2595). Either way the peer must present a certificate that chains to
  // the system's CA store, names Host (or Address when no Host is set, RFC
  // 6125: in its subjectAltName entries when it has any, else in its common
  // name) and is within its validity dates. TrustedCertificate adds one more
  // trust source: a PEM file whose certificates are trusted as anchors and as
  // the peer's own certificate, or the SHA-256 fingerprint of the peer's
  // certificate (hex; colons, spaces, case and a leading "... Fingerprint="
  // ignored), which is then trusted whatever its chain and name. Both can
  // only be changed while the socket is not open (raises EVizuError).
  bool ImplicitTls() const { return implicitTls_; }
  void SetImplicitTls(bool value);
  const std::string& TrustedCertificate() const { return trustedCertificate_; }
  void SetTrustedCertificate(const std::string& value);

  // Starts resolving / connecting and returns at once. Raises EVizuError when
  // the socket is already open or cannot be opened at all. A failed lookup
  // is announced by OnDisconnect, a failed connection attempt by OnError
  // with seConnect.
  virtual void Open() = 0;
  // Ends the connection (or the attempt). When it was connected, OnDisconnect
  // is called before Close returns.
  virtual void Close() = 0;
  // True from the moment the connection is established until it closes.
  virtual bool Active() const = 0;
  // True from Open until the connection or the attempt has ended.
  virtual bool Opened() const = 0;

  // Received bytes that can be read now, and a read of up to count of them;
  // returns the number of bytes copied.
  virtual int BytesReady() = 0;
  virtual int Read(char* buffer, int count) = 0;

  // Accepts up to count bytes and returns how many it took (possibly fewer
  // than count); -1 when it cannot take data now (OnWrite tells when to try
  // again); 0 when not connected. A send that fails for another reason is
  // reported through OnError (seSend), closes the connection and answers -1.
  // Raises EVizuError while a StartTls handshake is under way: the bytes
  // would reach the peer in the clear after TLS was asked for, or break
  // the handshake.
  virtual int Send(const char* data, int count) = 0;

  // This machine's name, and the local dotted IPv4 address of the open
  // connection (empty when not connected).
  virtual std::string LocalHostName() = 0;
  virtual std::string LocalAddress() = 0;

  // Starts the TLS handshake on the established connection and returns at
  // once; nothing read or written meanwhile reaches the peer in the clear.
  // OnEncrypted announces success. A failure is announced by OnError with
  // seConnect, TlsFailed and ErrorText saying why, and the connection is
  // closed (OnDisconnect). Raises EVizuError when not connected or when the
  // socket cannot encrypt at all (the default).
  virtual void StartTls();
  // True once a handshake has completed on the open connection.
  virtual bool Encrypted() const { return false; }

  // Why the last attempt or connection failed, in plain lower-case words
  // ("connection refused", "host not found"); empty when nothing failed
  // since the last Open. A TLS failure reads as a sentence of its own:
  // "Certificate not trusted: self-signed certificate", "Certificate name
  // does not match: mail.example.org", "Certificate expired", "TLS handshake
  // failed: ...".
  const std::string& ErrorText() const { return errorText_; }
  // Whether ErrorText is a TLS failure.
  bool TlsFailed() const { return tlsFailed_; }

  std::function<void()> OnConnect;     // the connection is established
  std::function<void()> OnRead;        // data is ready
  std::function<void()> OnWrite;       // the socket can take data again
  std::function<void()> OnDisconnect;  // closed by either side, or the lookup failed
  std::function<void()> OnEncrypted;   // a StartTls handshake has completed
  // The handler may set code to 0 to say the failure has been dealt with.
  std::function<void(TSocketError kind, int& code)> OnError;

 protected:
  // Raises EVizuError when the endpoint may no longer be changed.
  void CheckNotOpen() const;
  void SetErrorText(std::string text, bool tls = false) {
    errorText_ = std::move(text);
    tlsFailed_ = tls;
  }

 private:
  std::string host_;
  std::string address_;
  int port_ = 0;
  bool implicitTls_ = false;
  std::string trustedCertificate_;
  std::string errorText_;
  bool tlsFailed_ = false;
};

// The SHA-256 fingerprint that text names, as 64 lower-case hex digits, or
// empty when text is not a fingerprint (a PEM file path, say). Accepts what
// "openssl x509 -noout -fingerprint -sha256" prints.
std::string NormalizedFingerprint(const std::string& text);

// Whether the first certificate in pem (PEM text) names reference, a host
// name or an IP address, by the rules the TLS handshake applies (RFC 6125).
bool CertificateNames(const std::string& pem, const std::string& reference);

using TClientSocketFactory = std::function<std::unique_ptr<TClientSocket>()>;

// Makes a socket through the factory installed below, or the system socket
// when none is installed.
std::unique_ptr<TClientSocket> CreateClientSocket();
// Installs the process-wide factory (an empty one restores the system
// socket) and returns the one it replaces. Meant for tests and other hosts.
TClientSocketFactory SetClientSocketFactory(TClientSocketFactory factory);
// The system socket, whatever factory is installed.
std::unique_ptr<TClientSocket> CreateSystemClientSocket();

}  // namespace Vizu2000
