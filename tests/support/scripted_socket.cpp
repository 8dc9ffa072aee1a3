#include "support/scripted_socket.h"

#include <QObject>
#include <QTimer>
#include <algorithm>
#include <functional>
#include <utility>

#include "platform/error.h"

namespace VizuTest {

using Vizu2000::TSocketError;

ServerScript& ServerScript::chunk(std::string bytes) {
  steps.push_back({StepKind::Chunk, std::move(bytes)});
  return *this;
}

ServerScript& ServerScript::pause(int ms) {
  steps.push_back({StepKind::Pause, {}, ms});
  return *this;
}

ServerScript& ServerScript::expect(std::string bytes) {
  steps.push_back({StepKind::Expect, std::move(bytes)});
  return *this;
}

ServerScript& ServerScript::close() {
  steps.push_back({StepKind::Close, {}});
  return *this;
}

ServerScript& ServerScript::fail(TSocketError kind) {
  steps.push_back({StepKind::Fail, {}, 0, kind});
  return *this;
}

ServerScript& ServerScript::expectTls() {
  steps.push_back({StepKind::Tls, {}});
  return *this;
}

ServerScript& ServerScript::refuseConnect() {
  refuseNextConnect = true;
  return *this;
}

ServerScript& ServerScript::failLookup() {
  failNextLookup = true;
  return *this;
}

namespace {

class ScriptedSocket final : public Vizu2000::TClientSocket {
 public:
  explicit ScriptedSocket(std::shared_ptr<ServerScript> script) : script_(std::move(script)) {}

  ~ScriptedSocket() override {
    OnConnect = nullptr;
    OnRead = nullptr;
    OnWrite = nullptr;
    OnDisconnect = nullptr;
    OnError = nullptr;
    OnEncrypted = nullptr;
  }

  void Open() override {
    if (opened_) throw Vizu2000::EVizuError("The connection is already open");
    opened_ = true;
    ++script_->opens;
    script_->host = Host();
    script_->address = Address();
    script_->port = Port();
    script_->implicitTls = ImplicitTls();
    SetErrorText("");
    encrypted_ = false;
    tlsPending_ = false;
    inbox_.clear();
    expectMark_ = script_->sent.size();
    Later(0, [this] {
      if (script_->failNextLookup) {
        script_->failNextLookup = false;
        opened_ = false;
        if (OnDisconnect) OnDisconnect();
      } else if (script_->refuseNextConnect) {
        script_->refuseNextConnect = false;
        opened_ = false;
        Report(Vizu2000::seConnect);
      } else if (ImplicitTls() && !script_->tlsFailure.empty()) {
        opened_ = false;
        SetErrorText(script_->tlsFailure, true);
        Report(Vizu2000::seConnect);
      } else {
        encrypted_ = ImplicitTls();
        connected_ = true;
        if (OnConnect) OnConnect();
        Play();
      }
    });
  }

  void Close() override {
    ++generation_;
    scheduled_ = false;
    const bool wasConnected = connected_;
    connected_ = false;
    opened_ = false;
    if (wasConnected) {
      ++script_->clientCloses;
      if (OnDisconnect) OnDisconnect();
    }
  }

  bool Active() const override { return connected_; }
  bool Opened() const override { return opened_; }
  bool Encrypted() const override { return connected_ && encrypted_; }

  void StartTls() override {
    if (!connected_) throw Vizu2000::EVizuError("No connection to encrypt");
    script_->tlsStarts.push_back(script_->sent.size());
    tlsPending_ = true;
    Play();
  }

  int BytesReady() override { return static_cast<int>(inbox_.size() - readPos_); }

  int Read(char* buffer, int count) override {
    const std::size_t n = std::min<std::size_t>(std::max(count, 0), inbox_.size() - readPos_);
    std::copy_n(inbox_.data() + readPos_, n, buffer);
    readPos_ += n;
    if (readPos_ == inbox_.size()) {
      inbox_.clear();
      readPos_ = 0;
    }
    return static_cast<int>(n);
  }

  int Send(const char* data, int count) override {
    int answer = 0;
    if (!connected_ || count <= 0) {
      answer = 0;
    } else if (script_->failNextSend) {
      script_->failNextSend = false;
      Report(Vizu2000::seSend);
      Close();
      answer = -1;
    } else if (script_->refuseSends != 0) {
      if (script_->refuseSends > 0) {
        --script_->refuseSends;
        Later(script_->writableAfterMs, [this] {
          if (OnWrite) OnWrite();
        });
      }
      answer = -1;
    } else {
      answer = script_->sendLimit > 0 ? std::min(count, script_->sendLimit) : count;
      script_->sent.append(data, static_cast<std::size_t>(answer));
      Play();
    }
    script_->sendAnswers.push_back(answer);
    return answer;
  }

  std::string LocalHostName() override { return script_->localHostName; }
  std::string LocalAddress() override { return connected_ ? "127.0.0.1" : ""; }

 private:
  void Later(int ms, std::function<void()> action) {
    const unsigned generation = generation_;
    QTimer::singleShot(ms, &context_, [this, generation, action = std::move(action)] {
      if (generation == generation_) action();
    });
  }

  // Moves the script on as far as it can go without waiting; every step
  // that reaches the client runs in an event of its own.
  void Play() {
    while (connected_ && !scheduled_ && !script_->finished()) {
      const ServerScript::Step& step = script_->steps[script_->cursor];
      if (step.kind == ServerScript::StepKind::Tls) {
        if (!tlsPending_) return;  // the client has not asked yet
        tlsPending_ = false;
        scheduled_ = true;
        Later(0, [this] {
          scheduled_ = false;
          ++script_->cursor;
          Handshake();
          Play();
        });
        return;
      }
      if (step.kind != ServerScript::StepKind::Expect) {
        scheduled_ = true;
        Later(step.kind == ServerScript::StepKind::Pause ? step.ms : 0, [this] {
          scheduled_ = false;
          RunStep();
          Play();
        });
        return;
      }
      const std::size_t have = script_->sent.size() - expectMark_;
      if (have < step.bytes.size()) return;  // the client has not said it yet
      const std::string got = script_->sent.substr(expectMark_, step.bytes.size());
      if (got != step.bytes) {
        script_->mismatches.push_back("expected [" + step.bytes + "] got [" + got + "]");
      }
      expectMark_ += step.bytes.size();
      ++script_->cursor;
    }
  }

  void RunStep() {
    if (!connected_ || script_->finished()) return;
    const ServerScript::Step step = script_->steps[script_->cursor++];
    switch (step.kind) {
      case ServerScript::StepKind::Chunk:
        inbox_ += step.bytes;
        if (OnRead) OnRead();
        break;
      case ServerScript::StepKind::Close:
        connected_ = false;
        opened_ = false;
        if (OnDisconnect) OnDisconnect();
        break;
      case ServerScript::StepKind::Fail:
        Report(step.error);
        break;
      case ServerScript::StepKind::Pause:
      case ServerScript::StepKind::Expect:
      case ServerScript::StepKind::Tls:
        break;
    }
  }

  void Handshake() {
    if (script_->tlsFailure.empty()) {
      encrypted_ = true;
      if (OnEncrypted) OnEncrypted();
      return;
    }
    // The socket gives up on its own: the connection ends as a server's
    // close would end it.
    SetErrorText(script_->tlsFailure, true);
    Report(Vizu2000::seConnect);
    if (!connected_) return;
    connected_ = false;
    opened_ = false;
    if (OnDisconnect) OnDisconnect();
  }

  void Report(TSocketError kind) {
    int code = 10000 + static_cast<int>(kind);
    if (OnError) OnError(kind, code);
    script_->lastErrorCode = code;
  }

  std::shared_ptr<ServerScript> script_;
  QObject context_;  // pending steps die with the socket
  std::string inbox_;
  std::size_t readPos_ = 0;
  std::size_t expectMark_ = 0;
  unsigned generation_ = 0;
  bool opened_ = false;
  bool connected_ = false;
  bool scheduled_ = false;
  bool encrypted_ = false;
  bool tlsPending_ = false;  // StartTls called, its expectTls step not reached
};

}  // namespace

Vizu2000::TClientSocketFactory ScriptedSocketFactory(std::shared_ptr<ServerScript> script) {
  return [script]() -> std::unique_ptr<Vizu2000::TClientSocket> {
    return std::make_unique<ScriptedSocket>(script);
  };
}

}  // namespace VizuTest
