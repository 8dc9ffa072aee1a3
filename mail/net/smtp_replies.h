#pragma once
// How the SMTP client reads what the server says: replies cut out of the
// gathered bytes (RFC 5321 section 4.2.1), their codes, the words a person
// is shown, and the service extensions an EHLO reply lists (section
// 4.1.1.1). Internal to the client and its tests; not part of the
// library's face.
#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <vector>

namespace Vizu2000 {

// The whole replies at the start of text, in order: every line but the
// last of a reply has a hyphen right after its code, and a reply ends with
// the CR LF of its last line. What follows the last whole reply is not
// taken.
std::vector<std::string_view> WholeReplies(std::string_view text);
// Whether text ends with the last line of a reply: it ends with CR LF, and
// its last line has no hyphen right after a code (RFC 5321 section 4.2.1).
bool ReplyComplete(std::string_view text);
// The last line of a text that ends with CR LF, without its line break.
std::string_view LastLine(std::string_view text);
// The code a reply begins with, 0 when it begins with no three digits.
int ReplyCode(std::string_view reply);
// A reply as a person is shown it: its first line, the hyphen after a code
// read as a blank, at most 200 characters, and only the bytes a person can
// read. The enhanced status code (RFC 3463) that follows the code stays.
std::string ReplyWords(std::string_view reply);

// The service extensions of an EHLO reply: every line after the first
// names one keyword and its parameters.
class TSmtpExtensions {
 public:
  // Replaces what is known with the extensions the reply lists.
  void Read(std::string_view ehloReply);
  void Clear() { keywords_.clear(); }

  // Whether the server lists the keyword (any case).
  bool Has(std::string_view keyword) const;
  // Its parameters as listed, blanks between them; empty when it has none.
  std::string Parameters(std::string_view keyword) const;
  // SIZE's fixed maximum (RFC 1870 section 4); 0 when none is announced.
  std::uint64_t SizeLimit() const;
  // The SASL mechanisms of AUTH (RFC 4954 section 3), upper case, in the
  // server's order.
  std::vector<std::string> AuthMechanisms() const;

 private:
  std::map<std::string, std::string> keywords_;  // upper-case keyword -> parameters
};

}  // namespace Vizu2000
