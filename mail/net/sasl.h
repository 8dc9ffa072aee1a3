#pragma once
// The SASL messages (RFC 4422) a mail client signs in with: PLAIN (RFC
// 4616) with a password, OAUTHBEARER (RFC 7628) and XOAUTH2 with an OAuth2
// access token. XOAUTH2 is the older form of OAUTHBEARER that the large
// mail services still ask for. This unit knows what each mechanism sends
// and how a refusal of a token reads; the dialogue that carries them is the
// protocol client's.
#include <cstdint>
#include <string>
#include <string_view>

namespace Vizu2000 {

// How a client proves who the user is: the protocol's own user name and
// password commands, or a SASL mechanism.
enum TAuthMechanism : std::uint8_t { amUserPass, amPlain, amXOAuth2, amOAuthBearer };

// The name AUTH and CAPA give the mechanism; empty for amUserPass.
std::string_view SaslName(TAuthMechanism mechanism);
// Whether the mechanism's secret is an OAuth2 access token rather than a
// password.
constexpr bool UsesAccessToken(TAuthMechanism mechanism) {
  return mechanism == amXOAuth2 || mechanism == amOAuthBearer;
}

// Why user and secret cannot go into the mechanism's message, in plain
// words that never quote the secret; empty when they can.
std::string SaslCredentialsFault(TAuthMechanism mechanism, std::string_view user, std::string_view secret);
// The initial client response, not yet base64: for the token mechanisms
// host and port name the server, as RFC 7628 section 3.1 lets a client
// say. Call only when SaslCredentialsFault is empty.
std::string SaslInitialResponse(TAuthMechanism mechanism, std::string_view user, std::string_view secret,
                                std::string_view host, int port);
// What a client answers to an error challenge so that the server can end
// the exchange with its refusal, not yet base64: a lone %x01 for
// OAUTHBEARER (RFC 7628 section 3.2.3), an empty response for XOAUTH2.
std::string_view SaslErrorAcknowledgement(TAuthMechanism mechanism);

// What a server's error challenge said: RFC 7628 section 3.2.2 sends a JSON
// object, base64, whose "status" is an RFC 6750 section 3.1 error code (or,
// from some servers, an HTTP status).
struct TSaslTokenRefusal {
  std::string status;  // as the server wrote it, printable, at most 64 bytes
  // "invalid token", "token expired", ...: the status in plain words.
  std::string words;
  // The token itself was refused (invalid or expired): a new access token
  // may succeed where this one failed.
  bool tokenRefused = false;
};
TSaslTokenRefusal ReadSaslErrorChallenge(std::string_view base64);

// The value of a top-level string (or number, true, false, null: its
// text) member of a JSON object (RFC 8259); false when text is no JSON
// object or has no such member. Escapes are undone; a \u escape outside
// ASCII gives '?'.
bool JsonMember(std::string_view text, std::string_view name, std::string& value);

}  // namespace Vizu2000
