// The header accessors of the message object: sender and reply address,
// subject, date, message identifier and trace hops.
#include <cctype>
#include <cstdio>

#include "mail/message/mail_message.h"
#include "mail/mime/codecs.h"
#include "mail/mime/header_fields.h"
#include "mail/mime/mail_dates.h"
#include "platform/error.h"
#include "platform/random.h"
#include "platform/text_chars.h"

namespace Vizu2000 {

namespace {

// dot-atom-text or no-fold-literal (RFC 5322 section 3.6.4).
bool IsIdRight(std::string_view host) {
  if (host.size() >= 2 && host.front() == '[' && host.back() == ']') {
    for (unsigned char c : host.substr(1, host.size() - 2))
      if (c < 33 || c > 126 || c == '[' || c == ']' || c == '\\') return false;
    return true;
  }
  const std::string_view specials = "!#$%&'*+-/=?^_`{|}~";
  bool atomStarted = false;
  for (unsigned char c : host) {
    if (c == '.') {
      if (!atomStarted) return false;
      atomStarted = false;
    } else if (std::isalnum(c) || specials.find(static_cast<char>(c)) != std::string_view::npos) {
      atomStarted = true;
    } else {
      return false;
    }
  }
  return atomStarted;
}

std::string DecodeOrKeep(const std::string& text) {
  // A malformed encoded word must not make a field unreadable: keep it as
  // written.
  try {
    return DecodeLine7Bit(text);
  } catch (const EVizuError&) {
    return text;
  }
}

// The display name between double quotes. A double quote inside it would
// end the quoted string early (RFC 5322 section 3.2.4), so such a name goes
// out as an encoded word, whose Q encoding escapes the quote (RFC 2047
// section 4.2), as the recipient lists write it; control characters are
// encoded either way.
std::string QuotedDisplayName(std::string_view name, const std::string& charset) {
  std::string out = "\"";
  if (name.find('"') == std::string_view::npos)
    out += EncodeLine7Bit(name, charset);
  else
    out += "=?" + charset + "?Q?" + EncodeQuotedPrintable(name, true) + "?=";
  out += '"';
  return out;
}

// Hex digits, colons and dots (an embedded IPv4 tail), with at least one
// colon, up to an optional "%zone".
bool IsIPv6Address(std::string_view host) {
  host = host.substr(0, host.find('%'));
  if (host.find(':') == std::string_view::npos) return false;
  for (char c : host)
    if (!std::isxdigit(static_cast<unsigned char>(c)) && c != ':' && c != '.') return false;
  return true;
}

int FindField(const TStringList& header, std::string_view label) {
  std::string prefix(label);
  prefix += ':';
  return SearchStringList(&header, prefix, 0);
}

// Hands each character of the index-th entry of an address list to take,
// with whether it stands inside quotes, until take answers false. Quotes
// are dropped; a comma or semicolon outside quotes separates entries.
template <typename Take>
void WalkEntry(std::string_view value, int index, Take take) {
  bool quoted = false;
  int entry = 0;
  for (char c : value) {
    if (c == '"') {
      quoted = !quoted;
      continue;
    }
    if (!quoted && (c == ',' || c == ';')) {
      if (++entry > index) return;
      continue;
    }
    if (entry == index && !take(c, quoted)) return;
  }
}

}  // namespace

std::string TVeraDudurur2000::GetDestName(std::string_view label, int index) const {
  std::string name;
  bool angle = false;
  WalkEntry(TrimSpace(GetLabelValue(label)), index, [&](char c, bool quoted) {
    if (!quoted && c == '<') {
      angle = true;
      return false;
    }
    name.push_back(c);
    return true;
  });
  // An entry without an angle address is a bare address, with no display
  // name (RFC 5322 section 3.4).
  if (!angle) return {};
  return DecodeOrKeep(std::string(TrimWspOrLineBreaks(name)));
}

std::string TVeraDudurur2000::GetDestAddress(std::string_view label, int index) const {
  std::string address;
  WalkEntry(TrimSpace(GetLabelValue(label)), index, [&](char c, bool quoted) {
    if (quoted) return true;
    if (c == '<') {
      address.clear();  // what came before was the display name
    } else if (c == '>') {
      return false;
    } else if (!IsWspOrLineBreak(c)) {
      // An address holds no folding whitespace (RFC 5322 section 3.4.1);
      // a TAB left by unfolding is not part of it.
      address.push_back(c);
    }
    return true;
  });
  return address;
}

void TVeraDudurur2000::SetAddressField(std::string_view label, std::string_view name,
                                       std::string_view address) {
  const std::string cleanAddress = SafeHeaderValue(TrimSpace(address));
  if (cleanAddress.empty()) {
    SetLabelValue(label, "");
    return;
  }
  const std::string cleanName = TrimSpace(name);
  std::string value;
  if (!cleanName.empty()) value = QuotedDisplayName(cleanName, charset_) + ' ';
  value += '<' + cleanAddress + '>';
  SetLabelValue(label, value);
}

void TVeraDudurur2000::SetFrom(std::string_view name, std::string_view address) {
  SetAddressField("From", name, address);
}

void TVeraDudurur2000::SetReplyTo(std::string_view name, std::string_view address) {
  SetAddressField("Reply-To", name, address);
}

std::string TVeraDudurur2000::GetSubject() const {
  // The whole unstructured text after the colon (RFC 5322 section 3.6.5): a
  // semicolon or double quote in a subject is ordinary text, not the start
  // of parameters or a quoted value.
  const int i = FindField(Header(), "Subject");
  if (i < 0) return {};
  const std::string& line = Header()[i];
  std::string_view text(line);
  text.remove_prefix(line.find(':') + 1);
  return DecodeOrKeep(TrimSpace(text));
}

void TVeraDudurur2000::SetSubject(std::string_view text) {
  // Written whole rather than through the parameter-aware field writer, so
  // an old subject's text after a semicolon does not survive. Control
  // characters, CR and LF among them, make EncodeLine7Bit write an encoded
  // word, so the line stays one field.
  const int i = FindField(Header(), "Subject");
  const std::string clean = TrimSpace(text);
  if (clean.empty()) {
    if (i >= 0) Header().Delete(i);
    return;
  }
  // "Subject: " is on the encoded word's line too: counted, the first line
  // stays within 76 characters (RFC 2047 section 2).
  std::string line = "Subject: " + EncodeLine7Bit(clean, charset_, 9);
  if (i >= 0)
    Header()[i] = std::move(line);
  else
    Header().Add(std::move(line));
}

TDateTime TVeraDudurur2000::GetDate() const {
  const std::string raw = TrimSpace(GetLabelValue("Date"));
  if (raw.empty()) return 0;
  try {
    return MailDateToDateTime(raw);
  } catch (const EVizuError&) {
    return 0;
  }
}

std::string TVeraDudurur2000::GetDateRaw() const { return GetLabelValue("Date"); }

void TVeraDudurur2000::SetDate(TDateTime localDateTime) {
  SetLabelValue("Date", SafeHeaderValue(DateTimeToMailDate(localDateTime)));
}

std::string TVeraDudurur2000::GetMessageId() const { return GetLabelValue("Message-ID"); }

void TVeraDudurur2000::SetMessageId(std::string_view domain) {
  std::string host = SafeHeaderValue(TrimSpace(domain));
  // An IPv6 address is not a dot-atom; as an address literal (RFC 5321
  // section 4.1.3) the identifier stays well-formed (RFC 5322 section
  // 3.6.4). A zone index names a local interface only and is dropped.
  if (IsIPv6Address(host)) host = "[IPv6:" + host.substr(0, host.find('%')) + "]";
  // Anything else that is no id-right (an unknown local address among
  // them) would make the whole identifier unreadable.
  if (!IsIdRight(host)) host = "localhost";
  int year, month, day, hour, minute, second, msec;
  const TDateTime now = Now();
  DecodeDate(now, year, month, day);
  DecodeTime(now, hour, minute, second, msec);
  // The uniqueness rests on 128 bits from the system, not on the clock
  // (RFC 5322 section 3.6.4): two hosts sharing a name and a second still
  // give different identifiers.
  char stamp[32];
  std::snprintf(stamp, sizeof stamp, "%04d%02d%02d%02d%02d%02d", year, month, day, hour, minute,
                second);
  SetLabelValue("Message-ID", "<" + std::string(stamp) + "." + RandomToken(16) + "@" + host + ">");
}

int TVeraDudurur2000::GetReceivedCount() const {
  int count = 0;
  while (SearchStringList(&Header(), "Received:", count) >= 0) ++count;
  return count;
}

TReceived TVeraDudurur2000::GetReceived(int index) const {
  const int i = index < 0 ? -1 : SearchStringList(&Header(), "Received:", index);
  if (i < 0) throw EVizuError("List index out of bounds (" + std::to_string(index) + ")");
  return ParseReceived(std::string_view(Header()[i]).substr(9));
}

void TVeraDudurur2000::AddHop(std::string_view from, std::string_view by, std::string_view with,
                              std::string_view forAddress) {
  std::string line = "Received:";
  auto part = [&line](const char* keyword, std::string_view text) {
    const std::string clean = SafeHeaderValue(text);
    if (clean.empty()) return false;
    line += keyword;
    line += clean;
    return true;
  };
  part(" from ", from);
  part(" by ", by);
  part(" with ", with);
  if (part(" for <", forAddress)) line += '>';
  line += "; " + SafeHeaderValue(DateTimeToMailDate(Now()));
  Header().Insert(0, std::move(line));
}

}  // namespace Vizu2000
