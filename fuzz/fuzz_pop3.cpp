// Arbitrary bytes as what a POP3 server says: the input, cut at every 0xFF
// byte, is played as the chunks the server sends, one or more per step,
// while the client goes through a whole session (greeting, login and
// listing, unique ids, retrieval into a message, TOP, DELE, QUIT). An input
// that begins with 0xFC (dropped) asks for STLS, so CAPA is read in the
// clear first. An input that begins (after that) with 0xFB and a byte
// (both dropped) signs in with AUTH: the byte picks PLAIN, XOAUTH2 or
// OAUTHBEARER, so CAPA, the continuations and the error challenges are
// played too. Long chunks (see server_chunks.h) reach the reply limits:
// 64 KiB for CAPA and for what a listing brings beyond the messages it
// names, 128 bytes an id for UIDL. Aborts when a failed Connect leaves its
// connection open, when a reply past its limit does not end the session at
// once, when a unique id is kept for a number LIST did not name, or when a
// listing is still held after it was read, or when the password or the
// token shows in the reply kept or the failure reason of a refused
// sign-in. Only the library's own errors (a
// LIST number that is not a number, a malformed uuencoded block, a TLS
// upgrade the played socket cannot make) may escape.
#include <algorithm>
#include <vector>

#include "fuzz/server_chunks.h"
#include "mail/message/mail_message.h"
#include "mail/net/pop3_client.h"
#include "platform/error.h"

using namespace Vizu2000;

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
  VizuFuzz::InstallChunkServer(argc, argv);
  return 0;
}

namespace {

// A read listing leaves its status line and a few bytes; a reply that
// failed, what the last read brought, within the 1 MiB a reply keeps.
constexpr size_t kMaxHeldReply = (1u << 20) + (64u << 10);

void Check(bool holds) {
  if (!holds) __builtin_trap();
}

// A limit passed: closed without QUIT, so nothing may be sent after.
void CheckLimit(TREZ2000& client) {
  Check(!client.FailureReason().starts_with("reply too long: ") || !client.Connected());
}

const char* const kPassword = "fuzz-pass_0123";
const char* const kToken = "fuzz-token_0123";

// After a refused sign-in, whatever the server said.
void CheckNoSecret(TREZ2000& client) {
  const char* secret = UsesAccessToken(client.AuthMechanism()) ? kToken : kPassword;
  for (const std::string* text : {&client.FailureReason(), &client.LastResponse()})
    Check(text->find(secret) == std::string::npos);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const bool stls = size > 0 && data[0] == 0xFC;
  if (stls) ++data, --size;
  TAuthMechanism mechanism = amUserPass;
  if (size >= 2 && data[0] == 0xFB) {
    mechanism = static_cast<TAuthMechanism>(amPlain + data[1] % 3);
    data += 2, size -= 2;
  }
  VizuFuzz::ChunkSession session(data, size, /*earlyChunks=*/false, /*longChunks=*/true);
  TVeraDudurur2000 message(nullptr);
  TREZ2000 client(nullptr);
  session.Serve(client.SocketTalk());
  client.SetHost("127.0.0.1");
  client.SetUserName("user");
  client.SetPassword(kPassword);
  client.SetAccessToken(kToken);
  client.SetAuthMechanism(mechanism);
  client.SetMailMessage(&message);
  if (stls) client.SetTLSMode(tmSTLS);
  try {
    const bool connected = client.Connect();
    Check(connected || !client.SocketTalk().Socket().Opened());
    CheckLimit(client);
    const bool loggedIn = connected && client.Login();
    if (connected && !loggedIn) CheckNoSecret(client);
    if (loggedIn) {
      CheckLimit(client);
      Check(client.LastResponse().size() <= kMaxHeldReply);
      TUniqueIds ids;
      client.GetUIDLs(ids);
      CheckLimit(client);
      Check(client.LastResponse().size() <= kMaxHeldReply);
      const std::vector<int>& listed = client.ListedNumbers();
      for (const auto& [number, id] : ids) Check(std::binary_search(listed.begin(), listed.end(), number));
      // The numbers a poll visits: only the listed ones, a few of them.
      std::vector<int> numbers = client.ListedNumbers();
      if (numbers.size() > 3) numbers.resize(3);
      for (const int n : numbers) {
        client.GetUIDL(n);
        client.FetchMessage(n);
        client.RetrieveMessage(n);
      }
      CheckLimit(client);
      client.RetrieveHeader(1, 2);
      const std::string taken = client.TakeLastMessage();
      Check(client.LastMessage().empty());
      client.DeleteMessage(1);
      client.DeleteMessages(numbers);
      CheckLimit(client);
    }
    client.Quit();
  } catch (const EVizuError&) {
  }
  client.Abort();
  return 0;
}
