#include "platform/client_socket.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QFile>
#include <QHostAddress>
#include <QHostInfo>
#include <QSslCertificate>
#include <QSslConfiguration>
#include <QSslError>
#include <QSslSocket>
#include <QTimer>
#include <QUrl>
#include <algorithm>
#include <cctype>
#include <climits>
#include <cstdint>
#include <utility>

#include "platform/error.h"

namespace Vizu2000 {

void TClientSocket::CheckNotOpen() const {
  if (Opened()) throw EVizuError("Cannot change the endpoint of an open connection");
}

void TClientSocket::SetHost(const std::string& host) {
  CheckNotOpen();
  host_ = host;
}

void TClientSocket::SetAddress(const std::string& address) {
  CheckNotOpen();
  address_ = address;
}

void TClientSocket::SetPort(int port) {
  CheckNotOpen();
  port_ = port;
}

void TClientSocket::SetImplicitTls(bool value) {
  CheckNotOpen();
  implicitTls_ = value;
}

void TClientSocket::SetTrustedCertificate(const std::string& value) {
  CheckNotOpen();
  trustedCertificate_ = value;
}

void TClientSocket::StartTls() { throw EVizuError("This connection cannot be encrypted"); }

std::string NormalizedFingerprint(const std::string& text) {
  // "sha256 Fingerprint=AB:CD:..." as the openssl command prints it.
  const size_t equals = text.find('=');
  const std::string digits = equals == std::string::npos ? text : text.substr(equals + 1);
  std::string hex;
  for (const char c : digits) {
    const unsigned char u = static_cast<unsigned char>(c);
    if (c == ':' || std::isspace(u)) continue;
    if (!std::isxdigit(u)) return {};
    hex += static_cast<char>(std::tolower(u));
  }
  return hex.size() == 64 ? hex : std::string();
}

namespace {

// Qt's messages begin with a capital; inside a sentence of ours they do not.
std::string AsReason(const QString& qtText) {
  std::string text = qtText.toStdString();
  if (!text.empty() && text[0] >= 'A' && text[0] <= 'Z' && !(text.size() > 1 && text[1] >= 'A' && text[1] <= 'Z'))
    text[0] = static_cast<char>(text[0] - 'A' + 'a');
  return text;
}

// Reading the whole system store means parsing every certificate in it, a
// quarter of a second of CPU here and more than a poll of a thousand
// messages costs otherwise; read once for the program's life, as a change of
// the system's authorities is rare enough to wait for the next start.
const QList<QSslCertificate>& SystemAnchors() {
  static const QList<QSslCertificate> store = QSslConfiguration::systemCaCertificates();
  return store;
}

// Verification errors that only say the chain does not reach a trusted
// anchor: a certificate the user vouched for (by file or fingerprint) makes
// them moot, the other errors stand.
bool IsChainError(QSslError::SslError error) {
  switch (error) {
    case QSslError::UnableToGetIssuerCertificate:
    case QSslError::UnableToGetLocalIssuerCertificate:
    case QSslError::UnableToVerifyFirstCertificate:
    case QSslError::SelfSignedCertificate:
    case QSslError::SelfSignedCertificateInChain:
    case QSslError::CertificateUntrusted:
    case QSslError::InvalidCaCertificate:
    case QSslError::PathLengthExceeded:
    case QSslError::InvalidPurpose:
      return true;
    default:
      return false;
  }
}

// The sentence for one verification error, and how much it says: the first
// thing a user must know is whether the certificate is trusted at all.
std::pair<int, std::string> Describe(const QSslError& error) {
  switch (error.error()) {
    case QSslError::SelfSignedCertificate:
    case QSslError::SelfSignedCertificateInChain:
      return {0, "Certificate not trusted: self-signed certificate"};
    case QSslError::UnableToGetIssuerCertificate:
    case QSslError::UnableToGetLocalIssuerCertificate:
    case QSslError::UnableToVerifyFirstCertificate:
      return {0, "Certificate not trusted: unknown issuer"};
    case QSslError::CertificateExpired:
      return {1, "Certificate expired"};
    case QSslError::CertificateNotYetValid:
      return {1, "Certificate not yet valid"};
    case QSslError::CertificateRevoked:
      return {1, "Certificate revoked"};
    case QSslError::NoPeerCertificate:
      return {1, "Certificate missing: the server sent none"};
    default:
      if (IsChainError(error.error())) return {0, "Certificate not trusted: " + AsReason(error.errorString())};
      return {2, "Certificate not accepted: " + AsReason(error.errorString())};
  }
}

// RFC 6125 section 6: an address is matched against the iPAddress entries
// only; a name against the DNS entries, where "*" may stand for the whole
// left-most label (6.4.3). The common name stands in only for a certificate
// without DNS and IP entries (6.4.4): one that has them names its hosts
// there, and a common name beside them may say anything. A name is
// compared in its ASCII form (section 6.4.2); one that has none names
// nothing.
bool NameMatches(const QSslCertificate& certificate, const std::string& reference) {
  const auto names = certificate.subjectAlternativeNames();
  QHostAddress address;
  if (address.setAddress(QString::fromStdString(reference))) {
    for (auto it = names.constFind(QSsl::IpAddressEntry); it != names.cend() && it.key() == QSsl::IpAddressEntry; ++it)
      if (QHostAddress(it.value()) == address) return true;
    return false;
  }
  QString name = QString::fromLatin1(QUrl::toAce(QString::fromStdString(reference)))
                     .toLower();
  if (name.endsWith('.')) name.chop(1);
  if (name.isEmpty()) return false;
  QStringList presented = names.values(QSsl::DnsEntry);
  if (presented.isEmpty() && !names.contains(QSsl::IpAddressEntry))
    presented = certificate.subjectInfo(QSslCertificate::CommonName);
  for (QString pattern : presented) {
    pattern = pattern.toLower();
    if (pattern.endsWith('.')) pattern.chop(1);
    if (pattern == name) return true;
    const qsizetype dot = name.indexOf('.');
    if (pattern.startsWith("*.") && pattern.indexOf('.', 2) > 0 && dot > 0 && pattern.mid(1) == name.mid(dot))
      return true;
  }
  return false;
}

// QTcpSocket buffers without limit; capping what may wait unsent gives the
// caller the "cannot take data now" answer and keeps a large upload from
// being copied into memory all at once.
constexpr qint64 kSendBufferLimit = 256 * 1024;

// Qt also keeps what arrives, without limit, until it is read. The engine
// reads all of it at each notification and applies the reply limits a user
// sees; this cap holds back only a peer that sends while nothing is read
// (during a TLS handshake, with no reader): Qt stops reading and TCP flow
// control makes the peer wait, with no error and no data lost. It also
// bounds each read handed over, so a reply is caught within one read of
// its limit.
constexpr qint64 kReadBufferLimit = 1 << 20;

class TQtClientSocket final : public TClientSocket {
 public:
  TQtClientSocket() {
    socket_.setReadBufferSize(kReadBufferLimit);
    QObject::connect(&socket_, &QTcpSocket::connected, &context_, [this] { HandleConnected(); });
    QObject::connect(&socket_, &QTcpSocket::readyRead, &context_, [this] { HandleReadyRead(); });
    QObject::connect(&socket_, &QTcpSocket::bytesWritten, &context_, [this](qint64) {
      if (connected_ && OnWrite) OnWrite();
    });
    QObject::connect(&socket_, &QTcpSocket::disconnected, &context_, [this] { HandleDisconnected(); });
    QObject::connect(&socket_, &QTcpSocket::errorOccurred, &context_,
                     [this](QAbstractSocket::SocketError error) { HandleError(error); });
    QObject::connect(&socket_, &QSslSocket::sslErrors, &context_,
                     [this](const QList<QSslError>& errors) { HandleSslErrors(errors); });
    QObject::connect(&socket_, &QSslSocket::encrypted, &context_, [this] { HandleEncrypted(); });
  }

  ~TQtClientSocket() override {
    // Closing on destruction reaches nobody.
    OnConnect = nullptr;
    OnRead = nullptr;
    OnWrite = nullptr;
    OnDisconnect = nullptr;
    OnError = nullptr;
    OnEncrypted = nullptr;
    ++generation_;
    QObject::disconnect(&socket_, nullptr, &context_, nullptr);
    socket_.abort();
  }

  void Open() override {
    if (opened_) throw EVizuError("The connection is already open");
    if (!QCoreApplication::instance()) throw EVizuError("No event loop to run the connection on");
    if (Host().empty() && Address().empty()) throw EVizuError("No host or address to connect to");
    opened_ = true;
    SetErrorText("");
    ResetTls();
    const unsigned generation = ++generation_;
    if (Port() < 0 || Port() > 65535) {
      SetErrorText("port " + std::to_string(Port()) + " out of range");
      Later(generation, [this] { FailAttempt(seConnect); });
      return;
    }
    if (!Host().empty()) {
      QHostInfo::lookupHost(QString::fromStdString(Host()), &context_,
                            [this, generation](const QHostInfo& info) {
                              if (generation == generation_) HandleLookup(info);
                            });
      return;
    }
    QHostAddress address;
    if (!address.setAddress(QString::fromStdString(Address()))) {
      SetErrorText("invalid address " + Address());
      Later(generation, [this] { FailAttempt(seConnect); });
      return;
    }
    socket_.connectToHost(address, static_cast<quint16>(Port()));
  }

  void Close() override {
    ++generation_;  // drops a pending lookup or deferred notification
    const bool wasConnected = connected_;
    connected_ = false;
    opened_ = false;
    ResetTls();
    if (wasConnected) socket_.flush();
    socket_.abort();
    if (wasConnected && OnDisconnect) OnDisconnect();
  }

  bool Active() const override { return connected_; }
  bool Opened() const override { return opened_; }
  bool Encrypted() const override { return encrypted_; }

  void StartTls() override {
    if (!connected_) throw EVizuError("No connection to encrypt");
    if (handshaking_ || encrypted_) throw EVizuError("The connection is already encrypted");
    BeginTls();
  }

  int BytesReady() override {
    return static_cast<int>(std::min<qint64>(socket_.bytesAvailable(), INT_MAX));
  }

  int Read(char* buffer, int count) override {
    if (count <= 0) return 0;
    const qint64 got = socket_.read(buffer, count);
    if (got < 0) {
      Report(seReceive);
      return 0;
    }
    bytesRead_ += static_cast<std::uint64_t>(got);
    return static_cast<int>(got);
  }

  int Send(const char* data, int count) override {
    if (!connected_ || socket_.state() != QAbstractSocket::ConnectedState) return 0;
    // Bytes written now would go out in the clear after the client asked
    // for TLS, or into the handshake itself.
    if (handshaking_) throw EVizuError("Cannot send while the TLS handshake is under way");
    if (count <= 0) return 0;
    const qint64 room = kSendBufferLimit - socket_.bytesToWrite();
    if (room <= 0) return -1;
    const qint64 taken = socket_.write(data, std::min<qint64>(count, room));
    if (taken < 0) {
      Report(seSend);
      Close();
      return -1;
    }
    return static_cast<int>(taken);
  }

  std::string LocalHostName() override { return QHostInfo::localHostName().toStdString(); }

  std::string LocalAddress() override {
    if (!connected_) return {};
    QHostAddress local = socket_.localAddress();
    bool isV4 = false;
    const quint32 v4 = local.toIPv4Address(&isV4);  // also unwraps v4-mapped v6
    if (isV4) return QHostAddress(v4).toString().toStdString();
    return local.toString().toStdString();
  }

 private:
  template <typename F>
  void Later(unsigned generation, F&& action) {
    QTimer::singleShot(0, &context_, [this, generation, action = std::forward<F>(action)] {
      if (generation == generation_) action();
    });
  }

  void HandleLookup(const QHostInfo& info) {
    const QList<QHostAddress> addresses = info.addresses();
    if (info.error() != QHostInfo::NoError || addresses.isEmpty()) {
      // A failed lookup closes the attempt like a closed connection.
      SetErrorText("host not found");
      opened_ = false;
      if (OnDisconnect) OnDisconnect();
      return;
    }
    QHostAddress chosen = addresses.first();
    for (const QHostAddress& a : addresses) {
      if (a.protocol() == QAbstractSocket::IPv4Protocol) {
        chosen = a;
        break;
      }
    }
    socket_.connectToHost(chosen, static_cast<quint16>(Port()));
  }

  // Data that arrives while the read handler is still running (one that
  // processes events, say) is buffered but never announced again, so it is
  // handed over before returning. A handler that reads nothing is not pressed.
  void HandleReadyRead() {
    if (handshaking_) return;  // nothing in the clear once TLS was asked for
    while (connected_ && OnRead && socket_.bytesAvailable() > 0) {
      const std::uint64_t readBefore = bytesRead_;
      OnRead();
      if (bytesRead_ == readBefore) break;
    }
  }

  void HandleConnected() {
    if (!opened_) return;
    // RFC 8314 section 3: the handshake comes first; the connection counts
    // as established once it has succeeded.
    if (ImplicitTls()) {
      BeginTls();
      return;
    }
    connected_ = true;
    if (OnConnect) OnConnect();
  }

  void ResetTls() {
    handshaking_ = false;
    encrypted_ = false;
    tlsReason_.clear();
    anchors_.clear();
    pin_.clear();
  }

  // Reads the extra trust source; false with a reason when it is unusable.
  bool LoadTrust(std::string& problem) {
    const std::string& trusted = TrustedCertificate();
    if (trusted.empty()) return true;
    const std::string fingerprint = NormalizedFingerprint(trusted);
    if (!fingerprint.empty()) {
      pin_ = QByteArray::fromHex(QByteArray::fromStdString(fingerprint));
      return true;
    }
    QFile file(QString::fromStdString(trusted));
    if (!file.open(QIODevice::ReadOnly)) {
      problem = "Trusted certificate cannot be read: " + trusted;
      return false;
    }
    anchors_ = QSslCertificate::fromData(file.readAll(), QSsl::Pem);
    if (anchors_.isEmpty()) {
      problem = "Trusted certificate file holds no certificate: " + trusted;
      return false;
    }
    return true;
  }

  void BeginTls() {
    handshaking_ = true;
    tlsReason_.clear();
    std::string problem;
    if (!QSslSocket::supportsSsl()) {
      problem = "TLS handshake failed: TLS is not available on this system";
    } else if (LoadTrust(problem)) {
      QSslConfiguration config = QSslConfiguration::defaultConfiguration();
      config.setPeerVerifyMode(QSslSocket::VerifyPeer);
      // Setting anchors turns off the system store's loading on demand, so
      // it is named along with them.
      if (!anchors_.isEmpty()) config.setCaCertificates(SystemAnchors() + anchors_);
      socket_.setSslConfiguration(config);
      socket_.setPeerVerifyName(QString::fromStdString(PeerName()));
      socket_.startClientEncryption();
      return;
    }
    // Announced later, as every outcome of the handshake is.
    Later(generation_, [this, problem] { FailTls(problem); });
  }

  const std::string& PeerName() const { return Host().empty() ? Address() : Host(); }

  bool Pinned(const QSslCertificate& peer) const {
    return !pin_.isEmpty() && peer.digest(QCryptographicHash::Sha256) == pin_;
  }

  // Called during the handshake with what the chain check found; errors left
  // unignored make Qt fail the handshake, and the reason is kept for that.
  void HandleSslErrors(const QList<QSslError>& errors) {
    if (!handshaking_) return;
    const QSslCertificate peer = socket_.peerCertificate();
    const bool vouched = Pinned(peer) || (!peer.isNull() && anchors_.contains(peer));
    int rank = INT_MAX;
    for (const QSslError& error : errors) {
      // The name is checked in HandleEncrypted, on RFC 6125's terms.
      if (error.error() == QSslError::HostNameMismatch) continue;
      if (vouched && IsChainError(error.error())) continue;
      auto [level, text] = Describe(error);
      if (level < rank) {
        rank = level;
        tlsReason_ = std::move(text);
      }
    }
    if (tlsReason_.empty()) socket_.ignoreSslErrors();
  }

  void HandleEncrypted() {
    if (!handshaking_) return;
    const QSslCertificate peer = socket_.peerCertificate();
    if (!Pinned(peer) && !NameMatches(peer, PeerName())) {
      // Failed outside Qt's own signal, where closing the socket is safe;
      // until then nothing is read, as the handshake counts as under way.
      tlsReason_ = "Certificate name does not match: " + PeerName();
      Later(generation_, [this] { FailTls(tlsReason_); });
      return;
    }
    handshaking_ = false;
    encrypted_ = true;
    const unsigned generation = generation_;
    if (!connected_) {
      connected_ = true;
      if (OnConnect) OnConnect();
    } else if (OnEncrypted) {
      OnEncrypted();
    }
    // Data that came with the end of the handshake was held back until now.
    if (generation == generation_ && socket_.bytesAvailable() > 0) HandleReadyRead();
  }

  // Ends a failed handshake: the reason in ErrorText, seConnect, the
  // connection closed.
  void FailTls(std::string reason) {
    handshaking_ = false;
    encrypted_ = false;
    const bool wasConnected = connected_;
    ++generation_;
    connected_ = false;
    opened_ = false;
    SetErrorText(std::move(reason), true);
    socket_.abort();
    Report(seConnect);
    if (wasConnected && OnDisconnect) OnDisconnect();
  }

  void HandleDisconnected() {
    if (handshaking_) {
      FailTls(!tlsReason_.empty() ? tlsReason_ : "TLS handshake failed: connection closed by the server");
      return;
    }
    if (!connected_) return;  // our own Close has already told
    // Whatever arrived before the close is handed over first.
    if (socket_.bytesAvailable() > 0 && OnRead) OnRead();
    if (!connected_) return;
    connected_ = false;
    opened_ = false;
    if (OnDisconnect) OnDisconnect();
  }

  void HandleError(QAbstractSocket::SocketError error) {
    if (!opened_) return;
    if (handshaking_) {
      FailTls(!tlsReason_.empty() ? tlsReason_ : "TLS handshake failed: " + AsReason(socket_.errorString()));
      return;
    }
    if (error == QAbstractSocket::RemoteHostClosedError) return;  // an ordinary close
    if (!connected_) {
      FailAttempt(seConnect);
      return;
    }
    // Qt does not say which direction failed; unsent data points at a write.
    if (socket_.bytesToWrite() > 0) {
      Report(seSend);
    } else if (socket_.state() == QAbstractSocket::UnconnectedState) {
      Report(seDisconnect);
    } else {
      Report(seGeneral);
    }
  }

  void FailAttempt(TSocketError kind) {
    opened_ = false;
    socket_.abort();
    Report(kind);
  }

  void Report(TSocketError kind) {
    if (ErrorText().empty()) SetErrorText(AsReason(socket_.errorString()));
    int code = static_cast<int>(socket_.error()) + 1;
    if (OnError) OnError(kind, code);
    // A code left set is not raised: an exception must not cross the event
    // loop. The failure has already ended the step through the notification.
  }

  QObject context_;
  QSslSocket socket_;
  unsigned generation_ = 0;
  std::uint64_t bytesRead_ = 0;
  bool opened_ = false;
  bool connected_ = false;
  // TLS: the handshake is under way / has succeeded; why the chain check
  // failed; the anchors and the pinned SHA-256 digest from TrustedCertificate.
  bool handshaking_ = false;
  bool encrypted_ = false;
  std::string tlsReason_;
  QList<QSslCertificate> anchors_;
  QByteArray pin_;
};

TClientSocketFactory& InstalledFactory() {
  static TClientSocketFactory factory;
  return factory;
}

}  // namespace

bool CertificateNames(const std::string& pem, const std::string& reference) {
  const QList<QSslCertificate> certificates = QSslCertificate::fromData(QByteArray::fromStdString(pem), QSsl::Pem);
  return !certificates.isEmpty() && NameMatches(certificates.first(), reference);
}

std::unique_ptr<TClientSocket> CreateSystemClientSocket() {
  return std::make_unique<TQtClientSocket>();
}

std::unique_ptr<TClientSocket> CreateClientSocket() {
  const TClientSocketFactory& factory = InstalledFactory();
  if (factory) return factory();
  return CreateSystemClientSocket();
}

TClientSocketFactory SetClientSocketFactory(TClientSocketFactory factory) {
  return std::exchange(InstalledFactory(), std::move(factory));
}

}  // namespace Vizu2000
