// Arbitrary bytes as what an SMTP server says (see server_chunks.h), while
// the client goes through a whole session: greeting and HELO, a ready text
// with dot lines to two recipients, a composed message with a blind copy
// (in packets, so an early chunk can come while the content is still
// going), QUIT.
// No error of the library may escape: every misuse it raises for is ruled
// out by what the session sends.
#include "fuzz/server_chunks.h"
#include "mail/message/mail_message.h"
#include "mail/net/smtp_client.h"

using namespace Vizu2000;

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
  VizuFuzz::InstallChunkServer(argc, argv);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  VizuFuzz::ChunkSession session(data, size, /*earlyChunks=*/true);
  TVeraDudurur2000 message(nullptr);
  message.SetFrom("Ann", "ann@example.org");
  message.ToList().Add("Bob", "bob@example.org");
  message.BccList().Add("", "carl@example.org");
  message.SetSubject("fuzz");
  message.SetTextPlain(".first\r\n..\r\n" + std::string(300, 'x') + "\r\n.");
  message.RebuildBody();

  TDUZA2000 client(nullptr);
  session.Serve(client.SocketTalk());
  client.SetHost("127.0.0.1");
  client.SetTimeOut(1);  // a safety net: no wait is left unserved
  client.SetMailMessage(&message);
  if (client.Connect()) {
    client.SendStringTo("Subject: x\r\n\r\n.\r\n.dot\r\nend", "ann@example.org", "bob@example.org, carl@example.org");
    client.SetPacketSize(100);
    client.SendMessage();
  }
  client.Quit();
  client.Abort();
  return 0;
}
