#pragma once
// What the POP3 and SMTP clients share about protected sessions and about
// saying why a session failed: the TLS modes, the upgrade of an open
// connection once the server has agreed to it, and the plain words for a
// connection that failed under a step.
#include <cstddef>
#include <string>
#include <string_view>

#include "mail/net/socket_talk.h"

namespace Vizu2000 {

// How a session is protected: not at all, by an upgrade after the greeting
// (STLS, RFC 2595; STARTTLS, RFC 3207), or by TLS from the first byte on
// (RFC 8314).
enum TTLSMode { tmNone, tmSTLS, tmImplicitTLS };

// Points the engine's socket, while it is closed, at the mode and the extra
// trust source (a PEM file path or a SHA-256 fingerprint; see
// TClientSocket::SetTrustedCertificate) before it opens.
void PrepareTls(TSocketTalk& talk, TTLSMode mode, const std::string& trustedCertificate);

// Upgrades the open connection to TLS once the server has agreed to it in
// a reply of replyLength bytes, the last gathered. True once the handshake
// has completed. Otherwise false with failure set to a TLS reason ("TLS
// handshake failed: the server sent data before it", the socket's
// "Certificate not trusted: ...", "TLS handshake failed: no answer from
// the server"), or left empty when the connection had already gone.
// talkFailure is the client's record of the engine's error during the
// handshake (its OnSocketTalkError handler keeps it).
bool UpgradeToTls(TSocketTalk& talk, std::size_t replyLength, const TTalkError& talkFailure,
                  std::string& failure);

// Why a step's wait ended without a reply, when the connection is the
// reason, in plain words: "no answer from the server" after a time-out, the
// socket's own words after its error ("connection refused", "host not
// found", a TLS failure), "connection failed" for an error it did not name,
// "connection closed by the server". Empty while the connection stands and
// no error came: the server answered, and its answer is the reason.
std::string ConnectionFailure(TTalkError talkFailure, const TClientSocket& socket);

// A reply's first line, within reason (200 bytes), without the control
// characters and blanks around it: to quote to a person.
std::string StatusLine(std::string_view reply);
// The bytes a person can read; others, from a server that speaks no text,
// as '?'.
std::string ReadableBytes(std::string text);

}  // namespace Vizu2000
