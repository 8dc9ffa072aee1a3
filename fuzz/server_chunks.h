#pragma once
// What the protocol targets share: arbitrary bytes as what a server says.
// The input, cut at every 0xFF byte, is played as the chunks the server
// sends, one or more per step; when they run out, the server hangs up.
// A server answers once the client has finished a line; where the target
// allows early chunks, one that begins with 0xFE (which is dropped) comes
// while the client is still in the middle of a line, as a reply that does
// not wait for the rest of a message's content. Where the target allows
// long chunks, one that begins with 0xFD and a count byte n (both dropped)
// is its rest repeated to (n + 1) * 64 KiB, so an input of a few bytes can
// reach the clients' reply limits; at most 48 MiB of an input is made so.
//
//   LLVMFuzzerInitialize: VizuFuzz::InstallChunkServer(argc, argv);
//   LLVMFuzzerTestOneInput:
//     VizuFuzz::ChunkSession session(data, size);
//     TSomeClient client(nullptr);
//     session.Serve(client.SocketTalk());
//     ... the whole session ...
#include <QCoreApplication>
#include <QTimer>
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <string>

#include "mail/net/socket_talk.h"
#include "platform/client_socket.h"

namespace VizuFuzz {

struct Chunk {
  std::string bytes;
  bool early = false;
};

struct ChunkPlay {
  std::deque<Chunk> chunks;
  Vizu2000::TSocketTalk* talk = nullptr;  // whose waits are served
};
inline ChunkPlay g_play;

// Answers synchronously: whenever the client has armed a wait (by opening or
// sending) and has finished a line, chunks are handed over until the wait
// has ended. A wait armed
// without sending (for more lines of a reply that came in pieces) is served
// from the event loop that the wait runs, so no wait lasts until its
// time-out.
class TChunkSocket final : public Vizu2000::TClientSocket {
 public:
  TChunkSocket() { current_ = this; }
  ~TChunkSocket() override {
    if (current_ == this) current_ = nullptr;
  }

  void Open() override {
    opened_ = active_ = true;
    lineEnded_ = true;
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
  int Send(const char* data, int count) override {
    if (!active_) return 0;
    if (count > 0) lineEnded_ = data[count - 1] == '\n';
    Serve();
    return count;
  }
  std::string LocalHostName() override { return "fuzz"; }
  std::string LocalAddress() override { return active_ ? "127.0.0.1" : ""; }

 private:
  bool Waited() const { return g_play.talk && g_play.talk->Waiting(); }

  void Serve() {
    while (active_ && Waited()) {
      if (g_play.chunks.empty()) {
        Close();
        return;
      }
      if (!lineEnded_ && !g_play.chunks.front().early) break;
      pending_ = std::move(g_play.chunks.front().bytes);
      g_play.chunks.pop_front();
      if (OnRead) OnRead();
    }
    // Only a reply already begun is served from the loop: a step that has
    // sent nothing yet (its content goes in packets, each after the loop
    // has run) must not be answered before it has sent anything.
    if (active_) QTimer::singleShot(0, [] {
        if (current_ && g_play.talk && !g_play.talk->LastResponse().empty()) current_->Serve();
      });
  }

  static inline TChunkSocket* current_ = nullptr;
  std::string pending_;
  bool opened_ = false;
  bool active_ = false;
  bool lineEnded_ = true;  // the last byte sent ended a line
};

// Timers want an application object; the event loop runs only inside waits.
inline void InstallChunkServer(int* argc, char*** argv) {
  new QCoreApplication(*argc, *argv);
  Vizu2000::SetClientSocketFactory([] { return std::make_unique<TChunkSocket>(); });
}

// One input's chunks, played to the client's engine for the scope.
class ChunkSession {
 public:
  ChunkSession(const uint8_t* data, size_t size, bool earlyChunks = false, bool longChunks = false) {
    g_play.chunks.clear();
    Chunk chunk;
    size_t longBytes = 0;  // made by repeating, kept within what an input may cost
    for (size_t i = 0; i <= size; ++i) {
      if (i < size && data[i] != 0xFF) {
        chunk.bytes += static_cast<char>(data[i]);
        continue;
      }
      if (earlyChunks && chunk.bytes.starts_with('\xFE')) {
        chunk.bytes.erase(0, 1);
        chunk.early = true;
      }
      const size_t length = chunk.bytes.size() > 2 ? (static_cast<unsigned char>(chunk.bytes[1]) + size_t{1}) << 16 : 0;
      if (longChunks && chunk.bytes.starts_with('\xFD') && length > 0 && longBytes + length <= (48u << 20)) {
        longBytes += length;
        chunk.bytes.erase(0, 2);
        chunk.bytes.reserve(length);
        while (chunk.bytes.size() < length)
          chunk.bytes.append(chunk.bytes, 0, std::min(chunk.bytes.size(), length - chunk.bytes.size()));
      }
      g_play.chunks.push_back(std::move(chunk));
      chunk = Chunk();
    }
  }
  ~ChunkSession() {
    g_play.talk = nullptr;
    // Serving left for the event loop must not reach the next input.
    QCoreApplication::processEvents();
  }
  ChunkSession(const ChunkSession&) = delete;
  ChunkSession& operator=(const ChunkSession&) = delete;

  void Serve(Vizu2000::TSocketTalk& talk) { g_play.talk = &talk; }
};

}  // namespace VizuFuzz
