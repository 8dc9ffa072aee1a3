#pragma once
// Cuts 8-bit text into lines ended by CR LF, a lone LF or a lone CR, without
// copying. Mail stored on Unix often has bare LF line ends, so the message
// model accepts all three forms on input and writes CR LF.
#include <cstring>
#include <string>
#include <string_view>

namespace Vizu2000 {

class TLineCutter {
 public:
  explicit TLineCutter(std::string_view text) : text_(text) {}

  std::string_view Text() const { return text_; }

  // Offset of the line break that ends the line starting at `from`, or the
  // text's size. The next CR and LF are cached, so a walk over the whole
  // text costs one pass even where one kind of break never occurs.
  size_t LineEnd(size_t from) {
    if (!crKnown_ || cr_ < from) {
      cr_ = Find('\r', from);
      crKnown_ = true;
    }
    if (!lfKnown_ || lf_ < from) {
      lf_ = Find('\n', from);
      lfKnown_ = true;
    }
    return cr_ < lf_ ? cr_ : lf_;
  }

  // Length of the line break at `end` (0 at the end of the text).
  size_t BreakLength(size_t end) const {
    if (end >= text_.size()) return 0;
    if (text_[end] == '\r' && end + 1 < text_.size() && text_[end + 1] == '\n') return 2;
    return 1;
  }

  // Length of the line break that ends just before `lineStart` (0 when none).
  size_t BreakBefore(size_t lineStart, size_t floor = 0) const {
    if (lineStart <= floor) return 0;
    char c = text_[lineStart - 1];
    if (c == '\n') return (lineStart - 1 > floor && text_[lineStart - 2] == '\r') ? 2 : 1;
    return c == '\r' ? 1 : 0;
  }

  bool IsLineStart(size_t pos) const {
    return pos == 0 || text_[pos - 1] == '\n' || text_[pos - 1] == '\r';
  }

 private:
  size_t Find(char c, size_t from) const {
    if (from >= text_.size()) return text_.size();
    const void* hit = std::memchr(text_.data() + from, c, text_.size() - from);
    return hit ? static_cast<size_t>(static_cast<const char*>(hit) - text_.data()) : text_.size();
  }

  std::string_view text_;
  size_t cr_ = 0;
  size_t lf_ = 0;
  bool crKnown_ = false;
  bool lfKnown_ = false;
};

// Text with every line ended by CR LF (a last line without a break gains one).
inline std::string JoinLinesCRLF(std::string_view text) {
  std::string out;
  out.reserve(text.size() + text.size() / 32 + 2);
  TLineCutter cutter(text);
  size_t pos = 0;
  while (pos < text.size()) {
    size_t end = cutter.LineEnd(pos);
    out.append(text.data() + pos, end - pos);
    out += "\r\n";
    pos = end + cutter.BreakLength(end);
  }
  return out;
}

}  // namespace Vizu2000
