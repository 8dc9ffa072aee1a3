#include "platform/client_socket.h"

#include <QCoreApplication>
#include <QHostAddress>
#include <QHostInfo>
#include <QTcpSocket>
#include <QTimer>
#include <algorithm>
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

namespace {

// QTcpSocket buffers without limit; capping what may wait unsent gives the
// caller the "cannot take data now" answer and keeps a large upload from
// being copied into memory all at once.
constexpr qint64 kSendBufferLimit = 256 * 1024;

class TQtClientSocket final : public TClientSocket {
 public:
  TQtClientSocket() {
    QObject::connect(&socket_, &QTcpSocket::connected, &context_, [this] { HandleConnected(); });
    QObject::connect(&socket_, &QTcpSocket::readyRead, &context_, [this] { HandleReadyRead(); });
    QObject::connect(&socket_, &QTcpSocket::bytesWritten, &context_, [this](qint64) {
      if (connected_ && OnWrite) OnWrite();
    });
    QObject::connect(&socket_, &QTcpSocket::disconnected, &context_, [this] { HandleDisconnected(); });
    QObject::connect(&socket_, &QTcpSocket::errorOccurred, &context_,
                     [this](QAbstractSocket::SocketError error) { HandleError(error); });
  }

  ~TQtClientSocket() override {
    // Closing on destruction reaches nobody.
    OnConnect = nullptr;
    OnRead = nullptr;
    OnWrite = nullptr;
    OnDisconnect = nullptr;
    OnError = nullptr;
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
    if (wasConnected) socket_.flush();
    socket_.abort();
    if (wasConnected && OnDisconnect) OnDisconnect();
  }

  bool Active() const override { return connected_; }
  bool Opened() const override { return opened_; }

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
    while (connected_ && OnRead && socket_.bytesAvailable() > 0) {
      const std::uint64_t readBefore = bytesRead_;
      OnRead();
      if (bytesRead_ == readBefore) break;
    }
  }

  void HandleConnected() {
    if (!opened_) return;
    connected_ = true;
    if (OnConnect) OnConnect();
  }

  void HandleDisconnected() {
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
    if (ErrorText().empty()) {
      // Qt's own words, as a reason inside a sentence.
      std::string text = socket_.errorString().toStdString();
      if (!text.empty() && text[0] >= 'A' && text[0] <= 'Z' && !(text.size() > 1 && text[1] >= 'A' && text[1] <= 'Z'))
        text[0] = static_cast<char>(text[0] - 'A' + 'a');
      SetErrorText(text);
    }
    int code = static_cast<int>(socket_.error()) + 1;
    if (OnError) OnError(kind, code);
    // A code left set is not raised: an exception must not cross the event
    // loop. The failure has already ended the step through the notification.
  }

  QObject context_;
  QTcpSocket socket_;
  unsigned generation_ = 0;
  std::uint64_t bytesRead_ = 0;
  bool opened_ = false;
  bool connected_ = false;
};

TClientSocketFactory& InstalledFactory() {
  static TClientSocketFactory factory;
  return factory;
}

}  // namespace

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
