// The system socket and timer adapters, and the engine over them, against a
// tiny in-process server on 127.0.0.1.
#include <gtest/gtest.h>

#include <QByteArray>
#include <QHostAddress>
#include <QTcpServer>
#include <QTcpSocket>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "mail/net/socket_talk.h"
#include "platform/client_socket.h"
#include "platform/error.h"
#include "platform/event_pump.h"
#include "platform/timer.h"
#include "support/loopback_script_server.h"
#include "support/timing.h"

using namespace Vizu2000;
using namespace std::string_literals;
using VizuTest::Clock;
using VizuTest::CpuSeconds;
using VizuTest::PumpFor;
using VizuTest::PumpUntil;
using VizuTest::Seconds;

namespace {

// Accepts connections on 127.0.0.1 and keeps the latest one.
class LocalServer {
 public:
  LocalServer() {
    EXPECT_TRUE(server.listen(QHostAddress::LocalHost, 0));
    QObject::connect(&server, &QTcpServer::newConnection, [this] {
      peer = server.nextPendingConnection();
      QObject::connect(peer, &QTcpSocket::readyRead, [this, p = peer] {
        received += p->readAll().toStdString();
        if (onData) onData(p);
      });
      QObject::connect(peer, &QTcpSocket::disconnected, [this] { ++peerClosed; });
      if (onConnection) onConnection(peer);
    });
  }
  int port() const { return server.serverPort(); }

  QTcpServer server;
  QTcpSocket* peer = nullptr;
  std::string received;
  int peerClosed = 0;
  std::function<void(QTcpSocket*)> onConnection;
  std::function<void(QTcpSocket*)> onData;
};

// Records what a socket announces.
struct Notes {
  explicit Notes(TClientSocket& socket) : s(socket) {
    s.OnConnect = [this] { ++connects; };
    s.OnRead = [this] {
      std::string buf(static_cast<std::size_t>(s.BytesReady()), '\0');
      buf.resize(static_cast<std::size_t>(s.Read(buf.data(), static_cast<int>(buf.size()))));
      data += buf;
    };
    s.OnWrite = [this] { ++writables; };
    s.OnDisconnect = [this] { ++disconnects; };
    s.OnError = [this](TSocketError kind, int& code) {
      errors.push_back(kind);
      code = 0;
    };
  }
  TClientSocket& s;
  int connects = 0, writables = 0, disconnects = 0;
  std::string data;
  std::vector<TSocketError> errors;
};

TEST(SystemSocket, ConnectsExchangesBytesAndSeesTheServerClose) {
  LocalServer server;
  auto socket = CreateSystemClientSocket();
  Notes notes(*socket);
  socket->SetAddress("127.0.0.1");
  socket->SetPort(server.port());
  socket->Open();
  EXPECT_TRUE(socket->Opened());
  EXPECT_FALSE(socket->Active()) << "Open does not wait for the connection";
  EXPECT_THROW(socket->Open(), EVizuError);
  EXPECT_THROW(socket->SetPort(1), EVizuError);
  ASSERT_TRUE(PumpUntil([&] { return socket->Active() && server.peer; }));
  EXPECT_EQ(notes.connects, 1);
  EXPECT_EQ(socket->LocalAddress(), "127.0.0.1");
  EXPECT_FALSE(socket->LocalHostName().empty());

  EXPECT_EQ(socket->Send("USER a\r\n", 8), 8);
  ASSERT_TRUE(PumpUntil([&] { return server.received.size() == 8; }));
  EXPECT_EQ(server.received, "USER a\r\n");

  const std::string reply = "+OK \0binary\xff\r\n"s;
  server.peer->write(reply.data(), static_cast<qint64>(reply.size()));
  ASSERT_TRUE(PumpUntil([&] { return notes.data.size() == reply.size(); }));
  EXPECT_EQ(notes.data, reply);

  // Bytes sent just before the close still reach the reader, then the close.
  server.peer->write("bye");
  server.peer->disconnectFromHost();
  ASSERT_TRUE(PumpUntil([&] { return notes.disconnects == 1; }));
  EXPECT_EQ(notes.data, reply + "bye");
  EXPECT_FALSE(socket->Active());
  EXPECT_FALSE(socket->Opened());
  EXPECT_TRUE(notes.errors.empty());
  EXPECT_EQ(socket->Send("x", 1), 0);
  EXPECT_EQ(socket->LocalAddress(), "");
}

TEST(SystemSocket, ResolvesANameAndClosesWithANotificationFirst) {
  LocalServer server;
  auto socket = CreateSystemClientSocket();
  Notes notes(*socket);
  socket->SetHost("localhost");
  socket->SetPort(server.port());
  socket->Open();
  ASSERT_TRUE(PumpUntil([&] { return socket->Active(); }));

  socket->Close();
  EXPECT_EQ(notes.disconnects, 1) << "told before Close returns";
  EXPECT_FALSE(socket->Active());
  ASSERT_TRUE(PumpUntil([&] { return server.peerClosed == 1; }));
  socket->Close();
  EXPECT_EQ(notes.disconnects, 1);

  // The socket can be opened again, and dies quietly while connected.
  socket->Open();
  ASSERT_TRUE(PumpUntil([&] { return socket->Active(); }));
  socket.reset();
  PumpFor(20);
  EXPECT_EQ(notes.disconnects, 1);
  EXPECT_TRUE(notes.errors.empty());
}

TEST(SystemSocket, FailedAttemptsAreConnectErrors) {
  int deadPort = 0;
  {
    QTcpServer probe;
    ASSERT_TRUE(probe.listen(QHostAddress::LocalHost, 0));
    deadPort = probe.serverPort();
  }
  auto socket = CreateSystemClientSocket();
  Notes notes(*socket);
  EXPECT_THROW(socket->Open(), EVizuError) << "nothing to connect to";

  socket->SetAddress("127.0.0.1");
  socket->SetPort(deadPort);
  socket->Open();
  ASSERT_TRUE(PumpUntil([&] { return !notes.errors.empty(); }));
  EXPECT_EQ(notes.errors, std::vector<TSocketError>{seConnect});
  EXPECT_FALSE(socket->Opened());

  for (const char* bad : {"999.1.1.1", "1.2.3"}) {
    notes.errors.clear();
    socket->SetAddress(bad);
    socket->Open();
    ASSERT_TRUE(PumpUntil([&] { return !notes.errors.empty(); })) << bad;
    EXPECT_EQ(notes.errors, std::vector<TSocketError>{seConnect}) << bad;
  }
  notes.errors.clear();
  socket->SetAddress("127.0.0.1");
  socket->SetPort(70000);
  socket->Open();
  ASSERT_TRUE(PumpUntil([&] { return !notes.errors.empty(); }));
  EXPECT_EQ(notes.errors, std::vector<TSocketError>{seConnect});
  EXPECT_EQ(notes.connects, 0);
  EXPECT_EQ(notes.disconnects, 0);
}

TEST(SystemSocket, RefusesDataWhileItsSendBufferIsFull) {
  LocalServer server;
  auto socket = CreateSystemClientSocket();
  Notes notes(*socket);
  socket->SetAddress("127.0.0.1");
  socket->SetPort(server.port());
  socket->Open();
  ASSERT_TRUE(PumpUntil([&] { return socket->Active(); }));

  const std::string block(64 * 1024, 'x');
  std::size_t taken = 0;
  int answer = 0;
  for (int i = 0; i < 100 && answer != -1; ++i) {
    answer = socket->Send(block.data(), static_cast<int>(block.size()));
    if (answer > 0) taken += static_cast<std::size_t>(answer);
  }
  EXPECT_EQ(answer, -1);
  EXPECT_LE(taken, 512u * 1024u) << "what waits unsent stays bounded";
  ASSERT_TRUE(PumpUntil([&] { return server.received.size() == taken; }));
  EXPECT_GT(notes.writables, 0);
  EXPECT_GT(socket->Send(block.data(), 10), 0);
}

TEST(SystemSocket, NothingIsSentWhileTheTlsHandshakeIsUnderWay) {
  LocalServer server;
  auto socket = CreateSystemClientSocket();
  Notes notes(*socket);
  socket->SetAddress("127.0.0.1");
  socket->SetPort(server.port());
  socket->Open();
  ASSERT_TRUE(PumpUntil([&] { return socket->Active() && server.peer; }));
  socket->StartTls();
  // The server never answers the handshake: what the client would send now
  // could only go out in the clear or into the handshake.
  EXPECT_THROW(socket->Send("USER a\r\n", 8), EVizuError);
  PumpFor(100);
  EXPECT_EQ(server.received.find("USER"), std::string::npos);
  ASSERT_FALSE(server.received.empty());
  EXPECT_EQ(server.received[0], '\x16') << "a TLS handshake record";
  EXPECT_FALSE(socket->Encrypted());
  socket->Close();
}

TEST(SystemSocket, TalkOverTheRealSocketMovesLargeDataExactly) {
  LocalServer server;
  const std::size_t bigSize = 3 * 1024 * 1024 + 17;
  server.onConnection = [](QTcpSocket* peer) { peer->write("+OK hello\r\n"); };
  server.onData = [&](QTcpSocket* peer) {
    if (server.received.size() == bigSize) peer->write("+OK got it\r\n");
  };
  TComponent owner(nullptr);
  TSocketTalk talk(&owner);
  talk.SetTimeOut(10);
  talk.OnEndOfData = [](TComponent*, TSessionState, const std::string& data, bool& result) {
    result = data.compare(0, 3, "+OK") == 0;
  };
  std::vector<int> progress;
  talk.OnProgress = [&](TComponent*, int, int current) { progress.push_back(current); };

  talk.Socket().SetAddress("127.0.0.1");
  talk.Socket().SetPort(server.port());
  talk.ForceState(stConnect);
  talk.Socket().Open();
  talk.WaitServer();
  ASSERT_TRUE(talk.ServerResult());
  EXPECT_EQ(talk.LastResponse(), "+OK hello\r\n");

  std::string big(bigSize, '\0');
  for (std::size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>(i * 31 % 256);
  talk.SetSendPacketSize(1024 * 1024);
  talk.Talk(big, "\r\n", stSendData);
  talk.WaitServer();
  EXPECT_TRUE(talk.ServerResult());
  EXPECT_EQ(talk.TalkError(), teNoError);
  EXPECT_TRUE(server.received == big) << "got " << server.received.size() << " bytes";
  EXPECT_EQ(progress, (std::vector<int>{0, 1048576, 2097152, 3145728, int(bigSize), int(bigSize)}));
}

TEST(SystemSocket, UnreadDataWaitsInTheNetworkNotInMemory) {
  const std::string pattern = "0123456789abcdefghijklmnopqrstuvwxyz\r\n";
  const std::size_t total = 32u << 20;
  VizuTest::LoopbackScriptServer server;
  server.flood(pattern, total);
  server.start();
  auto socket = CreateSystemClientSocket();
  bool reading = false;
  std::size_t got = 0;
  bool exact = true;
  socket->OnRead = [&] {
    if (!reading) return;
    std::string buf(static_cast<std::size_t>(socket->BytesReady()), '\0');
    buf.resize(static_cast<std::size_t>(socket->Read(buf.data(), static_cast<int>(buf.size()))));
    for (const char c : buf) exact = exact && c == pattern[got++ % pattern.size()];
  };
  socket->SetAddress("127.0.0.1");
  socket->SetPort(server.port());
  socket->Open();
  ASSERT_TRUE(PumpUntil([&] { return socket->Active(); }));

  // Nobody reads: the socket takes in what its buffer holds, then the
  // server is held back.
  for (std::size_t last = SIZE_MAX; server.flooded() != last;) {
    last = server.flooded();
    PumpFor(100);
  }
  EXPECT_LE(socket->BytesReady(), 1 << 20);
  EXPECT_GT(socket->BytesReady(), 0);
  EXPECT_LT(server.flooded(), total);

  // Once read, the rest comes, every byte in order.
  reading = true;
  socket->OnRead();
  EXPECT_TRUE(PumpUntil([&] { return got == total; }, 20000)) << got;
  EXPECT_TRUE(exact);
  socket->Close();
}

TEST(SystemSocket, DataArrivingWhileAHandlerProcessesEventsIsStillRead) {
  LocalServer server;
  server.onConnection = [](QTcpSocket* peer) { peer->write("+OK hello\r\n"); };
  server.onData = [](QTcpSocket* peer) { peer->write("+OK 20 octets\r\nfirst"); };
  TComponent owner(nullptr);
  TSocketTalk talk(&owner);
  talk.SetTimeOut(3);
  talk.OnEndOfData = [](TComponent*, TSessionState, const std::string&, bool& result) { result = true; };
  // A progress display that keeps the window painted processes events while
  // the rest of the reply arrives.
  bool restSent = false;
  talk.OnProgress = [&](TComponent*, int, int) {
    if (restSent) return;
    restSent = true;
    server.peer->write(" line\r\n.\r\n");
    PumpFor(300);
  };

  talk.Socket().SetAddress("127.0.0.1");
  talk.Socket().SetPort(server.port());
  talk.ForceState(stConnect);
  talk.Socket().Open();
  talk.WaitServer();
  ASSERT_TRUE(talk.ServerResult());

  talk.SetExpectedSize(20);
  talk.Talk("RETR 1\r\n", "\r\n.\r\n", stRetr);
  const auto start = Clock::now();
  talk.WaitServer();
  EXPECT_TRUE(restSent);
  EXPECT_TRUE(talk.ServerResult());
  EXPECT_EQ(talk.TalkError(), teNoError);
  EXPECT_EQ(talk.LastResponse(), "+OK 20 octets\r\nfirst line\r\n.\r\n");
  EXPECT_LT(Seconds(start), 2.0);
}

TEST(SystemSocket, WaitingForASilentServerCostsNoCpu) {
  LocalServer server;  // accepts and never says a word
  TSocketTalk talk(nullptr);
  talk.SetTimeOut(10);
  std::vector<TTalkError> errors;
  talk.OnSocketTalkError = [&](TComponent*, TSessionState, TTalkError e) { errors.push_back(e); };
  talk.Socket().SetAddress("127.0.0.1");
  talk.Socket().SetPort(server.port());

  const double cpuBefore = CpuSeconds();
  const auto start = Clock::now();
  talk.ForceState(stConnect);
  talk.Socket().Open();
  talk.WaitServer();
  const double waited = Seconds(start);
  const double cpu = CpuSeconds() - cpuBefore;
  EXPECT_GE(waited, 9.9);
  EXPECT_LT(waited, 12.0);
  EXPECT_LT(cpu, 0.2) << "CPU seconds spent waiting";
  EXPECT_EQ(errors, std::vector<TTalkError>{teTimeout});
  EXPECT_TRUE(talk.Socket().Active());
  RecordProperty("wait_cpu_ms", static_cast<int>(cpu * 1000));
}

TEST(Timer, FiresEveryIntervalWhileEnabledOnly) {
  TTimer timer;
  int fired = 0;
  timer.OnTimer = [&] { ++fired; };
  EXPECT_FALSE(timer.Enabled());
  timer.SetInterval(40);
  PumpFor(100);
  EXPECT_EQ(fired, 0) << "disabled";

  timer.SetEnabled(true);
  PumpFor(230);
  EXPECT_GE(fired, 3);
  EXPECT_LE(fired, 6);
  timer.SetEnabled(false);
  const int atStop = fired;
  PumpFor(100);
  EXPECT_EQ(fired, atStop);

  // An interval of 0 never fires.
  timer.SetInterval(0);
  timer.SetEnabled(true);
  PumpFor(60);
  EXPECT_EQ(fired, atStop);
}

TEST(Timer, OnlyADisableOrANewIntervalRestartsIt) {
  TTimer timer;
  timer.SetInterval(300);
  double firstAt = -1;
  auto start = Clock::now();
  timer.OnTimer = [&] {
    if (firstAt < 0) firstAt = Seconds(start);
  };

  // Enabling again, and setting the same interval, keep the running interval.
  timer.SetEnabled(true);
  PumpFor(200);
  timer.SetEnabled(true);
  timer.SetInterval(300);
  ASSERT_TRUE(PumpUntil([&] { return firstAt >= 0; }));
  EXPECT_GE(firstAt, 0.29);
  EXPECT_LT(firstAt, 0.45);

  // A new interval starts afresh.
  timer.SetEnabled(false);
  firstAt = -1;
  start = Clock::now();
  timer.SetEnabled(true);
  PumpFor(200);
  timer.SetInterval(301);
  ASSERT_TRUE(PumpUntil([&] { return firstAt >= 0; }));
  EXPECT_GE(firstAt, 0.49);
}

}  // namespace
