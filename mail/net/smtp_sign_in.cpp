#include "mail/net/smtp_sign_in.h"

#include <algorithm>

#include "mail/mime/codecs.h"
#include "platform/streams.h"
#include "platform/string_list.h"

namespace Vizu2000 {
namespace {

// RFC 5321 section 4.5.3.1.4: a command line is at most 512 octets, CR LF
// included.
constexpr size_t kMaxCommandLine = 512;

bool Offered(const std::vector<std::string>& offered, std::string_view name) {
  return std::find(offered.begin(), offered.end(), name) != offered.end();
}

// RFC 5801 section 4: a saslname writes "," as "=2C" and "=" as "=3D".
std::string SaslName(std::string_view user) {
  std::string name;
  for (char c : user) name += c == ',' ? "=2C" : c == '=' ? "=3D" : std::string(1, c);
  return name;
}

}  // namespace

std::string PickMechanism(const std::vector<std::string>& offered, std::string_view wanted, bool token) {
  if (!wanted.empty()) {
    const std::string upper = UpperCase(wanted);
    const bool known = upper == "PLAIN" || upper == "LOGIN" || upper == "XOAUTH2" || upper == "OAUTHBEARER";
    return known && Offered(offered, upper) ? upper : std::string();
  }
  static const char* const kTokenFirst[] = {"OAUTHBEARER", "XOAUTH2"};
  static const char* const kPasswordFirst[] = {"PLAIN", "LOGIN"};
  for (const char* name : token ? kTokenFirst : kPasswordFirst)
    if (Offered(offered, name)) return name;
  return "";
}

bool SendableCredential(std::string_view text) { return text.find_first_of(std::string_view("\0\1", 2)) == std::string_view::npos; }

TSaslClient::TSaslClient(std::string mechanism, std::string_view user, std::string_view secret,
                         std::string_view host, int port)
    : command_("AUTH " + mechanism) {
  std::string initial;
  if (mechanism == "PLAIN") {
    // RFC 4616 section 2: no authorization identity, the user, the password.
    initial = Base64Text(std::string(1, '\0') + std::string(user) + '\0' + std::string(secret));
  } else if (mechanism == "LOGIN") {
    answers_ = {Base64Text(user), Base64Text(secret)};
    secretForms_.push_back(answers_.back());
  } else if (mechanism == "XOAUTH2") {
    initial = Base64Text("user=" + std::string(user) + "\1auth=Bearer " + std::string(secret) + "\1\1");
    answers_ = {""};
  } else if (mechanism == "OAUTHBEARER") {
    // RFC 7628 section 3.1: the GS2 header, then the host, port and token.
    initial = Base64Text("n,a=" + SaslName(user) + ",\1host=" + std::string(host) + "\1port=" +
                         std::to_string(port) + "\1auth=Bearer " + std::string(secret) + "\1\1");
    answers_ = {Base64Text("\1")};
  }
  if (!initial.empty()) {
    secretForms_.push_back(initial);
    if (command_.size() + 1 + initial.size() + 2 <= kMaxCommandLine)
      command_ += " " + initial;
    else
      answers_.insert(answers_.begin(), initial);
  }
  secretForms_.emplace_back(secret);
}

std::string TSaslClient::Answer() { return next_ < answers_.size() ? answers_[next_++] : "*"; }

std::string Base64Text(std::string_view bytes) {
  TMemoryStream input{std::string(bytes)};
  TMemoryStream output;
  EncodeBASE64(output, input);
  std::string text = output.Release();
  text.erase(std::remove_if(text.begin(), text.end(), [](char c) { return c == '\r' || c == '\n'; }), text.end());
  return text;
}

void HideSecrets(std::string& text, const std::vector<std::string>& forms) {
  for (const std::string& form : forms) {
    if (form.size() < 3) continue;
    for (size_t at; (at = text.find(form)) != std::string::npos;) text.replace(at, form.size(), "***");
  }
}

}  // namespace Vizu2000
