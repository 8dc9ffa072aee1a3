// Arbitrary bytes as what an SMTP server says (see server_chunks.h), while
// the client goes through a whole session: greeting and HELO, the input
// itself as a ready text to two recipients, a composed message with a blind
// copy (in packets, so an early chunk can come while the content is still
// going), QUIT. An input that begins with 0xFC, 0xFB or 0xFA (dropped) makes
// it a submission session: EHLO, then STARTTLS and a sign-in with a password
// (0xFC); TLS from the first byte and a sign-in with a token (0xFB); a
// sign-in with a password in the clear, which the caller allowed (0xFA).
// The played TLS handshake always succeeds.
// No error of the library may escape: every misuse it raises for is ruled
// out by what the session sends. Every byte the client sends is kept, and
// the target aborts when a CR or LF goes on the wire outside a CR LF, when a
// message's data does not end with exactly one CR LF "." CR LF after which
// nothing but RSET follows, or when the ready text's data is not that text
// with its line ends made CR LF and every leading dot doubled (RFC 5321
// sections 2.3.8 and 4.5.2): a server that reads it otherwise could take
// the rest for commands. It also aborts when a Connect that failed leaves
// its connection open, when AUTH goes out in the clear though the caller
// did not allow it, or when anything but EHLO follows the handshake (RFC
// 3207 section 4.2).
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <string_view>

#include "fuzz/server_chunks.h"
#include "mail/message/mail_message.h"
#include "mail/net/smtp_client.h"

using namespace Vizu2000;

namespace {

std::string g_wire;  // every byte the client's sockets took, in order
size_t g_tlsAt = std::string::npos;  // where in g_wire the connection became encrypted

// Says which rule an input broke before it aborts.
#define Require(condition) \
  do {                     \
    if (!(condition)) {    \
      std::fprintf(stderr, "fuzz_smtp: broken: %s\n", #condition); \
      std::abort();        \
    }                      \
  } while (false)

// The chunk server's socket, with every byte it takes written down.
class TRecordingSocket final : public TClientSocket {
 public:
  TRecordingSocket() : inner_(std::make_unique<VizuFuzz::TChunkSocket>()) {
    inner_->OnConnect = [this] { if (OnConnect) OnConnect(); };
    inner_->OnRead = [this] { if (OnRead) OnRead(); };
    inner_->OnWrite = [this] { if (OnWrite) OnWrite(); };
    inner_->OnDisconnect = [this] { if (OnDisconnect) OnDisconnect(); };
    inner_->OnEncrypted = [this] { if (OnEncrypted) OnEncrypted(); };
    inner_->OnError = [this](TSocketError kind, int& code) { if (OnError) OnError(kind, code); };
  }
  void Open() override {
    encrypted_ = ImplicitTls();
    if (encrypted_) g_tlsAt = g_wire.size();
    inner_->Open();
  }
  void Close() override {
    encrypted_ = false;
    inner_->Close();
  }
  // The handshake is played: it succeeds at once.
  void StartTls() override {
    encrypted_ = true;
    g_tlsAt = g_wire.size();
    if (OnEncrypted) OnEncrypted();
  }
  bool Encrypted() const override { return encrypted_ && inner_->Active(); }
  bool Active() const override { return inner_->Active(); }
  bool Opened() const override { return inner_->Opened(); }
  int BytesReady() override { return inner_->BytesReady(); }
  int Read(char* buffer, int count) override { return inner_->Read(buffer, count); }
  int Send(const char* data, int count) override {
    // Kept before the server may answer, and the client send again, from
    // inside the send; what was not taken goes again.
    const size_t before = g_wire.size();
    const size_t offered = count > 0 ? static_cast<size_t>(count) : 0;
    g_wire.append(data, offered);
    const int taken = inner_->Send(data, count);
    const size_t kept = taken > 0 ? static_cast<size_t>(taken) : 0;
    g_wire.erase(before + kept, offered - kept);
    return taken;
  }
  std::string LocalHostName() override { return inner_->LocalHostName(); }
  std::string LocalAddress() override { return inner_->LocalAddress(); }

 private:
  std::unique_ptr<TClientSocket> inner_;
  bool encrypted_ = false;
};

// The text as it must go after DATA, made one byte at a time.
std::string ExpectedData(std::string_view text) {
  std::string out;
  bool lineStart = true;
  for (size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '\r' || c == '\n') {
      if (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n') ++i;
      out += "\r\n";
      lineStart = true;
      continue;
    }
    if (lineStart && c == '.') out += '.';
    out += c;
    lineStart = false;
  }
  if (!lineStart) out += "\r\n";
  return out + ".\r\n";
}

// The data of one send, from the bytes the send put on the wire. Checks
// that it ends once and that only RSET may follow; empty when the send did
// not get to the data.
std::string_view SentData(std::string_view sent, bool accepted, bool& complete) {
  complete = false;
  const size_t command = sent.find("\r\nDATA\r\n");
  if (command == std::string_view::npos) {
    Require(!accepted);
    return {};
  }
  std::string_view data = sent.substr(command + 8);
  const size_t end = data.starts_with(".\r\n") ? 0 : data.find("\r\n.\r\n");
  if (end == std::string_view::npos) {
    // Cut short: the server answered early or went away.
    Require(!accepted);
    return data;
  }
  const size_t size = end == 0 ? 3 : end + 5;
  const std::string_view rest = data.substr(size);
  Require(rest.empty() || rest == "RSET\r\n");
  complete = true;
  return data.substr(0, size);
}

void RequireOnlyCrLf(std::string_view wire) {
  for (size_t i = 0; i < wire.size(); ++i) {
    // A CR may end the wire when the connection was dropped between the
    // two halves of a CR LF.
    if (wire[i] == '\r') Require(i + 1 == wire.size() || wire[i + 1] == '\n');
    if (wire[i] == '\n') Require(i > 0 && wire[i - 1] == '\r');
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
  VizuFuzz::InstallChunkServer(argc, argv);
  SetClientSocketFactory([] { return std::make_unique<TRecordingSocket>(); });
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const uint8_t mode = size > 0 && data[0] >= 0xFA && data[0] <= 0xFC ? data[0] : 0;
  if (mode != 0) ++data, --size;
  VizuFuzz::ChunkSession session(data, size, /*earlyChunks=*/true);
  g_wire.clear();
  g_tlsAt = std::string::npos;
  TVeraDudurur2000 message(nullptr);
  message.SetFrom("Ann", "ann@example.org");
  message.ToList().Add("Bob", "bob@example.org");
  message.BccList().Add("", "carl@example.org");
  message.SetSubject("fuzz");
  message.SetTextPlain(".first\r\n..\r\nx\n.\r\ny\r.\r\n" + std::string(300, 'x') + "\r\n.");
  message.RebuildBody();

  TDUZA2000 client(nullptr);
  session.Serve(client.SocketTalk());
  client.SetHost("127.0.0.1");
  client.SetTimeOut(1);  // a safety net: no wait is left unserved
  client.SetMailMessage(&message);
  if (mode != 0) {
    client.SetUserName("joe");
    client.SetPassword("s3cr3t");
  }
  if (mode == 0xFC) client.SetTLSMode(tmSTLS);
  if (mode == 0xFB) {
    client.SetTLSMode(tmImplicitTLS);
    client.SetOAuthToken("tok3n");
  }
  if (mode == 0xFA) {
    client.SetUseEHLO(true);
    client.SetAllowUnencryptedAuth(true);
  }
  const bool connected = client.Connect();
  Require(connected || !client.SocketTalk().Socket().Opened());
  if (mode != 0 && mode != 0xFA)
    Require(std::string_view(g_wire).substr(0, g_tlsAt).find("AUTH ") == std::string_view::npos);
  if (mode == 0xFC && g_tlsAt < g_wire.size()) Require(g_wire.compare(g_tlsAt, 5, "EHLO ") == 0);
  if (connected) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    size_t before = g_wire.size();
    bool accepted = client.SendStringTo(text, "ann@example.org", "bob@example.org, carl@example.org");
    bool complete = false;
    std::string_view sent = SentData(std::string_view(g_wire).substr(before), accepted, complete);
    const std::string expected = ExpectedData(text);
    // A pipelined DATA that was accepted with no recipient taken is ended
    // with an empty message.
    if (complete)
      Require(sent == expected || (!accepted && sent == ".\r\n"));
    else  // cut short, or DATA refused and the transaction cleared
      Require(std::string_view(expected).starts_with(sent) || sent == "RSET\r\n");

    client.SetPacketSize(100);
    before = g_wire.size();
    accepted = client.SendMessage();
    SentData(std::string_view(g_wire).substr(before), accepted, complete);
  }
  client.Quit();
  client.Abort();
  RequireOnlyCrLf(g_wire);
  return 0;
}
