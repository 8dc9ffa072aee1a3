#include "mail/net/pop3_replies.h"

#include <algorithm>
#include <charconv>
#include <cstring>

#include "platform/error.h"
#include "platform/int_conv.h"
#include "platform/text_chars.h"
#include "platform/text_lines.h"

namespace Vizu2000 {

namespace {

// Walks the text of a multi-line reply: the status line and the final line
// are dropped, a line that starts with ".." loses its first dot (RFC 1939
// section 3) and every line break becomes CR LF. emit(data, size) receives
// the pieces in order; runs of ordinary CR LF lines come as one piece.
template <typename Emit>
void WalkMultiLineReply(std::string_view reply, Emit emit) {
  if (reply.empty()) return;
  TLineCutter lines(reply);
  const char* const base = reply.data();
  auto lineEnd = [&lines](size_t from, size_t& next) {
    const size_t end = lines.LineEnd(from);
    next = end + lines.BreakLength(end);
    return end;
  };
  size_t p = 0;
  lineEnd(0, p);  // the status line
  size_t run = p;
  while (p < reply.size()) {
    size_t next;
    const size_t end = lineEnd(p, next);
    if (next >= reply.size()) break;  // the "." line
    const bool stuffed = end - p >= 2 && reply[p] == '.' && reply[p + 1] == '.';
    if (stuffed || next - end != 2) {
      emit(base + run, p - run);
      const size_t from = p + (stuffed ? 1 : 0);
      emit(base + from, end - from);
      emit("\r\n", 2);
      run = next;
    }
    p = next;
  }
  emit(base + run, p - run);
}

// True when every line break is CR LF: the text can then only shrink, so it
// can be made in the reply's own buffer.
bool OnlyCrLf(std::string_view text) {
  const char* p = text.data();
  const char* const end = p + text.size();
  size_t lineFeeds = 0;
  while (const char* lf = static_cast<const char*>(std::memchr(p, '\n', static_cast<size_t>(end - p)))) {
    if (lf == text.data() || lf[-1] != '\r') return false;
    ++lineFeeds;
    p = lf + 1;
  }
  return static_cast<size_t>(std::count(text.begin(), text.end(), '\r')) == lineFeeds;
}

}  // namespace

// "<number> <id>" of a UIDL reply (RFC 1939 section 7), cut at the line's
// end: the number in plain decimal digits, not in the other forms that the
// library's integer reading takes ("0x1", "+1"), so an id is never filed
// under a number the server did not name. More than one blank may stand
// around the number, though the RFC says one: some servers pad.
bool ReadUidLine(std::string_view line, int& number, std::string_view& id) {
  line = line.substr(0, line.find_first_of("\r\n"));
  size_t p = 0;
  while (p < line.size() && IsWsp(line[p])) ++p;
  size_t digits = p;
  while (digits < line.size() && line[digits] >= '0' && line[digits] <= '9') ++digits;
  if (digits == p || digits == line.size() || !IsWsp(line[digits])) return false;
  const auto [end, error] = std::from_chars(line.data() + p, line.data() + digits, number);
  if (error != std::errc() || end != line.data() + digits) return false;
  id = line.substr(digits);
  while (!id.empty() && static_cast<unsigned char>(id.front()) <= 32) id.remove_prefix(1);
  while (!id.empty() && static_cast<unsigned char>(id.back()) <= 32) id.remove_suffix(1);
  return !id.empty();
}

void TakeMultiLineReplyText(std::string& reply) {
  const char* const begin = reply.data();
  if (OnlyCrLf(reply)) {
    // The usual case, and the one that matters for a large message: no
    // second copy of it.
    char* out = reply.data();
    WalkMultiLineReply(std::string_view(begin, reply.size()), [&out](const char* data, size_t size) {
      std::memmove(out, data, size);
      out += size;
    });
    reply.resize(static_cast<size_t>(out - reply.data()));
    return;
  }
  std::string text;
  text.reserve(reply.size() + reply.size() / 8);
  WalkMultiLineReply(std::string_view(begin, reply.size()),
                     [&text](const char* data, size_t size) { text.append(data, size); });
  reply.swap(text);
}

std::string MultiLineReplyText(std::string_view reply) {
  std::string text(reply);
  TakeMultiLineReplyText(text);
  return text;
}

void TScanListing::Line(std::string_view line) {
  ++lines_;
  // The count is the number on the last scan line, as the status line's
  // count is not reliably there.
  const std::string_view trimmed = TrimSpaces(line);
  const std::string_view first = FirstWord(trimmed);
  int count = -1;
  if (trimmed.find(' ') == std::string_view::npos || !TryStrToInt(first, count)) count = -1;
  count_ = count;
  if (bad_) return;  // the lines after a bad one do not count
  int number = 0;
  const bool isNumber = TryStrToInt(first, number);
  if (!isNumber || number > kMaxMessageNumber) {
    // Raised once the reply is in; here, inside the socket's notification,
    // it would cross the event loop.
    try {
      if (isNumber) throw EVizuError(owner_ + ": Message number out of range: " + std::to_string(number));
      StrToInt(first);  // raises the conversion error
    } catch (const EVizuError&) {
      bad_ = std::current_exception();
    }
    return;
  }
  const size_t space = line.find(' ');
  const int size = space == std::string_view::npos ? 0 : StrToIntDef(line.substr(space + 1, 99), 0);
  if (number > 0) ++named_;
  minCut_ = std::min(minCut_, std::max(number + 1, 0));
  while (!alive_.empty() && alive_.back().number > number) alive_.pop_back();
  if (number > 0) {
    if (!alive_.empty() && alive_.back().number == number)
      alive_.back().size = size;
    else
      alive_.push_back({number, size});
  }
  lastNumber_ = number;
  applied_ = true;
}

void TScanListing::Apply(TMessageSize& sizes, std::vector<int>& listed) const {
  listed.clear();
  if (applied_) {
    TMessageSize result(static_cast<size_t>(std::max(lastNumber_ + 1, 0)), 0);
    const size_t kept = std::min({sizes.size(), result.size(), static_cast<size_t>(minCut_)});
    std::copy_n(sizes.begin(), kept, result.begin());
    for (const TEntry& entry : alive_) {
      result[static_cast<size_t>(entry.number)] = entry.size;
      listed.push_back(entry.number);
    }
    sizes = std::move(result);
    if (!sizes.empty()) sizes[0] = 0;
  }
  if (bad_) std::rethrow_exception(bad_);
}

}  // namespace Vizu2000
