#include "mail/net/session_tls.h"

#include <algorithm>

#include "platform/text_chars.h"

namespace Vizu2000 {

void PrepareTls(TSocketTalk& talk, TTLSMode mode, const std::string& trustedCertificate) {
  TClientSocket& socket = talk.Socket();
  socket.SetImplicitTls(mode == tmImplicitTLS);
  socket.SetTrustedCertificate(trustedCertificate);
}

bool UpgradeToTls(TSocketTalk& talk, std::size_t replyLength, const TTalkError& talkFailure,
                  std::string& failure) {
  failure.clear();
  // Bytes after the reply came in the clear and could pose as the server's
  // first words under TLS (RFC 3207 section 4.2, RFC 2595 section 4).
  if (talk.LastResponse().size() != replyLength) {
    failure = "TLS handshake failed: the server sent data before it";
    return false;
  }
  TClientSocket& socket = talk.Socket();
  if (!socket.Active()) return false;
  if (talk.StartTls()) return true;
  failure = socket.TlsFailed() ? socket.ErrorText() : "TLS handshake failed: " + ConnectionFailure(talkFailure, socket);
  return false;
}

std::string ConnectionFailure(TTalkError talkFailure, const TClientSocket& socket) {
  if (talkFailure == teTimeout) return "no answer from the server";
  const bool open = socket.Active() || socket.Opened();
  if (talkFailure == teNoError && open) return "";
  if (!socket.ErrorText().empty()) return socket.ErrorText();
  return talkFailure != teNoError ? "connection failed" : "connection closed by the server";
}

std::string StatusLine(std::string_view reply) {
  return std::string(TrimCtlOrSpace(reply.substr(0, std::min(reply.find_first_of("\r\n"), std::size_t{200}))));
}

std::string ReadableBytes(std::string text) {
  for (char& c : text)
    if (static_cast<unsigned char>(c) < 32 || static_cast<unsigned char>(c) > 126) c = '?';
  return text;
}

}  // namespace Vizu2000
