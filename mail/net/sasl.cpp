#include "mail/net/sasl.h"

#include <algorithm>

#include "mail/mime/codecs.h"
#include "platform/text_chars.h"

namespace Vizu2000 {
namespace {

// RFC 6750 section 2.1: b64token = 1*( ALPHA / DIGIT / "-" / "." / "_" /
// "~" / "+" / "/" ) *"=". Anything else would end the "auth=Bearer" value
// early or smuggle in a key of its own.
bool IsBearerToken(std::string_view token) {
  const size_t padding = token.find('=');
  if (padding == 0) return false;
  if (padding != std::string_view::npos && token.find_first_not_of('=', padding) != std::string_view::npos)
    return false;
  const std::string_view body = token.substr(0, padding);
  return std::all_of(body.begin(), body.end(), [](char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
           std::string_view("-._~+/").find(c) != std::string_view::npos;
  });
}

// RFC 5801 section 4: in a saslname, "," and "=" are written =2C and =3D.
std::string SaslNameOf(std::string_view user) {
  std::string out;
  for (const char c : user) {
    if (c == ',')
      out += "=2C";
    else if (c == '=')
      out += "=3D";
    else
      out += c;
  }
  return out;
}

struct TJsonReader {
  std::string_view text;
  size_t p = 0;

  void SkipSpace() {
    while (p < text.size() && IsWspOrLineBreak(text[p])) ++p;
  }
  bool Take(char c) {
    SkipSpace();
    if (p >= text.size() || text[p] != c) return false;
    ++p;
    return true;
  }
  int Hex(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    c = static_cast<char>(c | 0x20);
    return c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
  }
  // A string whose opening quote is at p.
  bool String(std::string& out) {
    out.clear();
    if (!Take('"')) return false;
    while (p < text.size()) {
      const char c = text[p++];
      if (c == '"') return true;
      if (c != '\\') {
        out += c;
        continue;
      }
      if (p >= text.size()) return false;
      const char e = text[p++];
      switch (e) {
        case 'b': out += '\b'; break;
        case 'f': out += '\f'; break;
        case 'n': out += '\n'; break;
        case 'r': out += '\r'; break;
        case 't': out += '\t'; break;
        case 'u': {
          if (text.size() - p < 4) return false;
          int code = 0;
          for (int i = 0; i < 4; ++i) {
            const int digit = Hex(text[p++]);
            if (digit < 0) return false;
            code = code * 16 + digit;
          }
          out += code < 0x80 ? static_cast<char>(code) : '?';
          break;
        }
        default: out += e; break;  // '"', '\\', '/'
      }
    }
    return false;
  }
  // Any value; a scalar's text goes to out, a nested object or array is
  // passed over (its strings read, so a bracket inside one does not count).
  bool Value(std::string& out) {
    SkipSpace();
    if (p >= text.size()) return false;
    if (text[p] == '"') return String(out);
    out.clear();
    if (text[p] != '{' && text[p] != '[') {
      const size_t start = p;
      while (p < text.size() && std::string_view(",}] \t\r\n").find(text[p]) == std::string_view::npos) ++p;
      out = text.substr(start, p - start);
      return p > start;
    }
    size_t depth = 0;
    std::string ignored;
    while (p < text.size()) {
      const char c = text[p];
      if (c == '"') {
        if (!String(ignored)) return false;
        continue;
      }
      ++p;
      if (c == '{' || c == '[') ++depth;
      if ((c == '}' || c == ']') && --depth == 0) return true;
    }
    return false;
  }
};

}  // namespace

std::string_view SaslName(TAuthMechanism mechanism) {
  switch (mechanism) {
    case amPlain: return "PLAIN";
    case amXOAuth2: return "XOAUTH2";
    case amOAuthBearer: return "OAUTHBEARER";
    default: return "";
  }
}

std::string SaslCredentialsFault(TAuthMechanism mechanism, std::string_view user, std::string_view secret) {
  // NUL ends a field of PLAIN (RFC 4616 section 2), %x01 a key of the token
  // messages (RFC 7628 section 3.1); neither can stand in a user name.
  if (user.empty()) return "no user name";
  if (user.find_first_of(std::string_view("\0\1", 2)) != std::string_view::npos)
    return "the user name holds a control character";
  if (mechanism == amPlain) {
    if (secret.empty()) return "no password";
    if (secret.find('\0') != std::string_view::npos) return "the password holds a NUL byte";
    return "";
  }
  if (secret.empty()) return "no access token";
  if (!IsBearerToken(secret)) return "the access token holds characters a token cannot have";
  return "";
}

std::string SaslInitialResponse(TAuthMechanism mechanism, std::string_view user, std::string_view secret,
                                std::string_view host, int port) {
  const std::string bearer = "auth=Bearer " + std::string(secret) + "\x01";
  switch (mechanism) {
    case amPlain:
      // No authorization identity: the user signs in as themselves.
      return std::string(1, '\0') + std::string(user) + '\0' + std::string(secret);
    case amXOAuth2:
      return "user=" + std::string(user) + "\x01" + bearer + "\x01";
    case amOAuthBearer:
      return "n,a=" + SaslNameOf(user) + ",\x01host=" + std::string(host) + "\x01port=" + std::to_string(port) +
             "\x01" + bearer + "\x01";
    default:
      return "";
  }
}

std::string_view SaslErrorAcknowledgement(TAuthMechanism mechanism) {
  return mechanism == amOAuthBearer ? std::string_view("\x01") : std::string_view();
}

TSaslTokenRefusal ReadSaslErrorChallenge(std::string_view base64) {
  TSaslTokenRefusal refusal;
  std::string status;
  if (!JsonMember(DecodeBASE64(base64), "status", status)) {
    refusal.words = "token refused";
    refusal.tokenRefused = true;
    return refusal;
  }
  status.resize(std::min<size_t>(status.size(), 64));
  for (char& c : status)
    if (static_cast<unsigned char>(c) < 32 || static_cast<unsigned char>(c) > 126) c = '?';
  refusal.status = status;
  std::string lower = status;
  for (char& c : lower) c = LowCaseChar(c);
  // RFC 6750 section 3.1 codes; servers that follow the older XOAUTH2 form
  // send the HTTP status that goes with them instead.
  if (lower.find("expired") != std::string::npos) {
    refusal.words = "token expired";
    refusal.tokenRefused = true;
  } else if (lower == "invalid_token" || lower == "401") {
    refusal.words = "invalid token";
    refusal.tokenRefused = true;
  } else if (lower == "insufficient_scope" || lower == "403") {
    refusal.words = "the token does not grant mail access";
  } else if (lower == "invalid_request" || lower == "400") {
    refusal.words = "the server found the sign-in request malformed";
  } else {
    refusal.words = "token refused with status \"" + status + "\"";
  }
  return refusal;
}

bool JsonMember(std::string_view text, std::string_view name, std::string& value) {
  TJsonReader json{text};
  if (!json.Take('{')) return false;
  if (json.Take('}')) return false;
  std::string key, item;
  do {
    json.SkipSpace();
    if (!json.String(key) || !json.Take(':') || !json.Value(item)) return false;
    if (key == name) {
      value = std::move(item);
      return true;
    }
  } while (json.Take(','));
  return false;
}

}  // namespace Vizu2000
