#pragma once
// An in-memory stand-in for the client socket that plays a server script on
// the window thread, so chunk splits, silences, refusals and closes are exact
// and fast. Every chunk of the script reaches the client as one read
// notification, in its own event.
//
//   auto script = std::make_shared<VizuTest::ServerScript>();
//   script->chunk("+OK hi\r\n").expect("USER a\r\n").chunk("+O").chunk("K\r\n")
//          .expect("QUIT\r\n").close();
//   TSocketTalk talk(nullptr, VizuTest::ScriptedSocketFactory(script));
//   // or, for a client that makes its engine itself:
//   VizuTest::ScopedSocketFactory use(VizuTest::ScriptedSocketFactory(script));
//   ...
//   EXPECT_TRUE(script->mismatches.empty());
//   EXPECT_EQ(script->sent, "USER a\r\nQUIT\r\n");
//
// The script starts when the connection is established and runs until a
// step must wait: expect() holds it until the client has sent that many more
// bytes (and records a mismatch when they differ), pause() holds it for a
// while. One script serves every connection the socket makes, in order.
//
// TLS is played, not done: expectTls() holds the script until the client
// calls StartTls, whose handshake then succeeds, or fails with tlsFailure as
// the socket's reason (and the connection closed). With ImplicitTls set, a
// tlsFailure fails the connection attempt instead.
#include <memory>
#include <string>
#include <vector>

#include "platform/client_socket.h"

namespace VizuTest {

class ServerScript {
 public:
  enum class StepKind { Chunk, Pause, Expect, Close, Fail, Tls };
  struct Step {
    StepKind kind;
    std::string bytes;
    int ms = 0;
    Vizu2000::TSocketError error = Vizu2000::seGeneral;
  };

  ServerScript& chunk(std::string bytes);  // one read notification with these bytes
  ServerScript& pause(int ms);             // silence
  ServerScript& expect(std::string bytes); // wait for the client to send these bytes
  ServerScript& close();                   // the server hangs up
  ServerScript& fail(Vizu2000::TSocketError kind);  // an error notification
  ServerScript& expectTls();               // wait for the client's StartTls

  // How the next Open ends: refused (an error notification, seConnect), or a
  // failed name lookup (a disconnect notification). Each applies once.
  ServerScript& refuseConnect();
  ServerScript& failLookup();

  // Sending: at most sendLimit bytes are taken per Send (0: all); the next
  // refuseSends calls answer -1 (a negative count: every call), each refusal
  // followed by a "can take data again" notification after writableAfterMs
  // unless refusals go on for ever; failNextSend makes the next Send fail
  // hard (an error notification seSend, the connection closes, answer -1).
  std::string localHostName = "scripted.localhost";  // what the socket calls this machine
  int sendLimit = 0;
  int refuseSends = 0;
  int writableAfterMs = 2;
  bool failNextSend = false;
  std::string tlsFailure;  // empty: handshakes succeed

  // What happened.
  std::string sent;                     // every byte taken, in order
  std::vector<int> sendAnswers;         // the answer to every Send call
  std::vector<std::string> mismatches;  // expect() steps that saw other bytes
  std::string host, address;            // endpoint of the last Open
  int port = 0;
  int opens = 0;
  int clientCloses = 0;  // Close calls while connected
  std::vector<std::size_t> tlsStarts;  // size of sent at each StartTls
  bool implicitTls = false;           // how the last Open was asked to connect
  int lastErrorCode = -1;  // the code an error handler left behind

  std::vector<Step> steps;
  std::size_t cursor = 0;  // next step to play
  bool finished() const { return cursor >= steps.size(); }

  bool refuseNextConnect = false;
  bool failNextLookup = false;
};

Vizu2000::TClientSocketFactory ScriptedSocketFactory(std::shared_ptr<ServerScript> script);

// Installs a process-wide socket factory for the scope, restoring the
// previous one afterwards.
class ScopedSocketFactory {
 public:
  explicit ScopedSocketFactory(Vizu2000::TClientSocketFactory factory)
      : previous_(Vizu2000::SetClientSocketFactory(std::move(factory))) {}
  ~ScopedSocketFactory() { Vizu2000::SetClientSocketFactory(std::move(previous_)); }
  ScopedSocketFactory(const ScopedSocketFactory&) = delete;
  ScopedSocketFactory& operator=(const ScopedSocketFactory&) = delete;

 private:
  Vizu2000::TClientSocketFactory previous_;
};

}  // namespace VizuTest
