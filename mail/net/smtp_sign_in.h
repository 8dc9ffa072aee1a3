#pragma once
// The SASL exchanges the SMTP client signs in with (AUTH, RFC 4954): PLAIN
// (RFC 4616) and LOGIN with a password, XOAUTH2 and OAUTHBEARER (RFC 7628)
// with a token the caller supplies. Internal to the client and its tests;
// not part of the library's face.
#include <string>
#include <string_view>
#include <vector>

namespace Vizu2000 {

// The mechanism a sign-in uses: wanted, when it is one of the four and the
// server offers it; without a wish, OAUTHBEARER or else XOAUTH2 for a
// token, PLAIN or else LOGIN for a password. Empty when the server offers
// none of these.
std::string PickMechanism(const std::vector<std::string>& offered, std::string_view wanted, bool token);

// Whether a user name or secret can go in the mechanisms' messages at all:
// PLAIN separates its fields with NUL, the OAuth mechanisms theirs with
// 0x01.
bool SendableCredential(std::string_view text);

// One sign-in: the AUTH command and the answers to the server's
// challenges, all base64 (RFC 4954 section 4).
class TSaslClient {
 public:
  TSaslClient(std::string mechanism, std::string_view user, std::string_view secret, std::string_view host,
              int port);

  // "AUTH <mechanism>", with the initial response when the mechanism has
  // one and it fits the 512-byte command line (RFC 5321 section
  // 4.5.3.1.4); otherwise the response waits for the server's first, empty
  // challenge. Without CR LF.
  const std::string& Command() const { return command_; }
  // The answer to the server's next 334 challenge: LOGIN's user name, then
  // its password; the initial response that did not fit the command; after
  // a refused token, the answer that lets the server end with its refusal
  // (an empty one for XOAUTH2, %x01 for OAUTHBEARER, RFC 7628 section
  // 3.2.3); "*" to anything beyond, which cancels the exchange.
  std::string Answer();
  // Every form in which the secret crosses the wire or could be echoed.
  const std::vector<std::string>& SecretForms() const { return secretForms_; }

 private:
  std::string command_;
  std::vector<std::string> answers_;
  size_t next_ = 0;
  std::vector<std::string> secretForms_;
};

// Bytes as base64 in one line, without line breaks.
std::string Base64Text(std::string_view bytes);
// Replaces every occurrence of each form in text with "***". Forms shorter
// than three bytes are left: they would blot out ordinary words, and no
// server echoes so short a command.
void HideSecrets(std::string& text, const std::vector<std::string>& forms);

}  // namespace Vizu2000
