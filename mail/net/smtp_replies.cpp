#include "mail/net/smtp_replies.h"

#include <algorithm>
#include <charconv>

#include "mail/net/session_tls.h"
#include "platform/string_list.h"
#include "platform/text_chars.h"

namespace Vizu2000 {
namespace {

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// Every line of a reply but the last has a hyphen right after its code.
bool GoesOn(std::string_view line) {
  return line.size() >= 4 && IsDigit(line[0]) && IsDigit(line[1]) && IsDigit(line[2]) && line[3] == '-';
}

}  // namespace

std::vector<std::string_view> WholeReplies(std::string_view text) {
  std::vector<std::string_view> replies;
  size_t start = 0;
  for (size_t line = 0; line < text.size();) {
    const size_t end = text.find("\r\n", line);
    if (end == std::string_view::npos) break;
    const std::string_view content = text.substr(line, end - line);
    line = end + 2;
    if (GoesOn(content)) continue;
    replies.push_back(text.substr(start, line - start));
    start = line;
  }
  return replies;
}

bool ReplyComplete(std::string_view text) { return text.ends_with("\r\n") && !GoesOn(LastLine(text)); }

std::string_view LastLine(std::string_view text) {
  const std::string_view body = text.substr(0, text.size() - 2);
  const size_t lf = body.rfind('\n');
  return lf == std::string_view::npos ? body : body.substr(lf + 1);
}

int ReplyCode(std::string_view reply) {
  if (reply.size() < 3 || !IsDigit(reply[0]) || !IsDigit(reply[1]) || !IsDigit(reply[2])) return 0;
  return (reply[0] - '0') * 100 + (reply[1] - '0') * 10 + (reply[2] - '0');
}

std::string ReplyWords(std::string_view reply) {
  std::string line = StatusLine(reply);
  if (line.size() >= 4 && ReplyCode(line) != 0 && line[3] == '-') line[3] = ' ';
  return ReadableBytes(std::move(line));
}

void TSmtpExtensions::Read(std::string_view ehloReply) {
  keywords_.clear();
  const size_t first = ehloReply.find("\r\n");
  if (first == std::string_view::npos) return;
  for (size_t line = first + 2; line < ehloReply.size();) {
    size_t end = ehloReply.find("\r\n", line);
    if (end == std::string_view::npos) end = ehloReply.size();
    std::string_view text = ehloReply.substr(line, end - line);
    line = end + 2;
    if (text.size() < 4) continue;
    text = TrimSpaces(text.substr(4));
    // "AUTH=LOGIN PLAIN" is how servers of the time before RFC 4954 said
    // AUTH, and some still say both.
    const size_t cut = std::min(text.find(' '), text.find('='));
    const std::string keyword = UpperCase(text.substr(0, cut));
    if (keyword.empty()) continue;
    std::string parameters(cut == std::string_view::npos ? std::string_view() : TrimSpaces(text.substr(cut + 1)));
    std::string& kept = keywords_[keyword];
    if (!kept.empty() && !parameters.empty()) kept += ' ';
    kept += parameters;
  }
}

bool TSmtpExtensions::Has(std::string_view keyword) const { return keywords_.count(UpperCase(keyword)) > 0; }

std::string TSmtpExtensions::Parameters(std::string_view keyword) const {
  const auto found = keywords_.find(UpperCase(keyword));
  return found == keywords_.end() ? std::string() : found->second;
}

std::uint64_t TSmtpExtensions::SizeLimit() const {
  const std::string limit = Parameters("SIZE");
  std::uint64_t value = 0;
  const auto [end, error] = std::from_chars(limit.data(), limit.data() + limit.size(), value);
  return error == std::errc() && end == limit.data() + limit.size() ? value : 0;
}

std::vector<std::string> TSmtpExtensions::AuthMechanisms() const {
  std::vector<std::string> mechanisms;
  const std::string listed = UpperCase(Parameters("AUTH"));
  for (size_t start = 0; start < listed.size();) {
    const size_t end = std::min(listed.find(' ', start), listed.size());
    const std::string name = listed.substr(start, end - start);
    if (!name.empty() && std::find(mechanisms.begin(), mechanisms.end(), name) == mechanisms.end())
      mechanisms.push_back(name);
    start = end + 1;
  }
  return mechanisms;
}

}  // namespace Vizu2000
