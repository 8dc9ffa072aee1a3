// Arbitrary bytes as what a POP3 server says: the input, cut at every 0xFF
// byte, is played as the chunks the server sends, one or more per step,
// while the client goes through a whole session (greeting, login and
// listing, unique ids, retrieval into a message, TOP, DELE, QUIT). Only the
// library's own errors (a LIST number that is not a number, a malformed
// uuencoded block) may escape.
#include <QCoreApplication>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "mail/message/mail_message.h"
#include "mail/net/pop3_client.h"
#include "platform/client_socket.h"
#include "platform/error.h"

using namespace Vizu2000;

namespace {

std::deque<std::string> g_chunks;
TREZ2000* g_client = nullptr;

// Answers synchronously: whenever the client has armed a wait (by opening or
// sending), chunks are handed over until the reply has ended; when they run
// out, the server hangs up. So no wait ever needs the event loop.
class TFuzzSocket final : public TClientSocket {
 public:
  void Open() override {
    opened_ = active_ = true;
    Serve();
  }
  void Close() override {
    if (!active_) return;
    opened_ = active_ = false;
    if (OnDisconnect) OnDisconnect();
  }
  bool Active() const override { return active_; }
  bool Opened() const override { return opened_; }
  int BytesReady() override { return static_cast<int>(pending_.size()); }
  int Read(char* buffer, int count) override {
    const size_t n = std::min(pending_.size(), static_cast<size_t>(count));
    pending_.copy(buffer, n);
    pending_.erase(0, n);
    return static_cast<int>(n);
  }
  int Send(const char*, int count) override {
    if (!active_) return 0;
    Serve();
    return count;
  }
  std::string LocalHostName() override { return "fuzz"; }
  std::string LocalAddress() override { return active_ ? "127.0.0.1" : ""; }

 private:
  void Serve() {
    while (active_ && g_client && g_client->SocketTalk().Waiting()) {
      if (g_chunks.empty()) {
        Close();
        return;
      }
      pending_ = std::move(g_chunks.front());
      g_chunks.pop_front();
      if (OnRead) OnRead();
    }
  }

  std::string pending_;
  bool opened_ = false;
  bool active_ = false;
};

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
  // Timers want an application object; the event loop itself never runs.
  new QCoreApplication(*argc, *argv);
  SetClientSocketFactory([] { return std::make_unique<TFuzzSocket>(); });
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  g_chunks.clear();
  std::string chunk;
  for (size_t i = 0; i < size; ++i) {
    if (data[i] == 0xFF) {
      g_chunks.push_back(std::move(chunk));
      chunk.clear();
    } else {
      chunk += static_cast<char>(data[i]);
    }
  }
  g_chunks.push_back(std::move(chunk));

  TVeraDudurur2000 message(nullptr);
  TREZ2000 client(nullptr);
  g_client = &client;
  client.SetHost("127.0.0.1");
  client.SetUserName("user");
  client.SetPassword("password");
  client.SetMailMessage(&message);
  try {
    if (client.Connect() && client.Login()) {
      TUniqueIds ids;
      client.GetUIDLs(ids);
      // The numbers a poll visits: only the listed ones, a few of them.
      std::vector<int> numbers = client.ListedNumbers();
      if (numbers.size() > 3) numbers.resize(3);
      for (const int n : numbers) {
        client.GetUIDL(n);
        client.FetchMessage(n);
        client.RetrieveMessage(n);
      }
      client.RetrieveHeader(1, 2);
      client.DeleteMessage(1);
      client.DeleteMessages(numbers);
    }
    client.Quit();
  } catch (const EVizuError&) {
  }
  client.Abort();
  g_client = nullptr;
  return 0;
}
