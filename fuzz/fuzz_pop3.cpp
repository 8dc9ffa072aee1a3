// Arbitrary bytes as what a POP3 server says: the input, cut at every 0xFF
// byte, is played as the chunks the server sends, one or more per step,
// while the client goes through a whole session (greeting, login and
// listing, unique ids, retrieval into a message, TOP, DELE, QUIT). Long
// chunks (see server_chunks.h) reach the reply limits; a reply past its
// limit must end the session at once. Only the library's own errors (a LIST
// number that is not a number, a malformed uuencoded block) may escape.
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

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  VizuFuzz::ChunkSession session(data, size, /*earlyChunks=*/false, /*longChunks=*/true);
  TVeraDudurur2000 message(nullptr);
  TREZ2000 client(nullptr);
  session.Serve(client.SocketTalk());
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
      // A limit passed: closed without QUIT, so nothing may be sent after.
      if (client.FailureReason().starts_with("reply too long: ") && client.Connected()) __builtin_trap();
      client.RetrieveHeader(1, 2);
      client.DeleteMessage(1);
      client.DeleteMessages(numbers);
    }
    client.Quit();
  } catch (const EVizuError&) {
  }
  client.Abort();
  return 0;
}
