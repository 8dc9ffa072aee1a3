#pragma once
// How the POP3 client reads its multi-line replies: the limits a listing
// is held to, LIST's scan lines and UIDL's unique-id lines as they arrive,
// and the text of a retrieved message. Internal to the client and its
// tests; not part of the library's face.
#include <climits>
#include <cstdint>
#include <exception>
#include <string>
#include <string_view>
#include <vector>

#include "mail/net/pop3_client.h"

namespace Vizu2000 {

// MessageSizes grows to the highest number a LIST line names; a hostile
// server must not make that an allocation of gigabytes.
inline constexpr int kMaxMessageNumber = 10000000;

// LIST and UIDL are read line by line as they arrive and keep only what
// the lines say, so what a listing may bring is bounded by what an honest
// server needs for the messages it names. Each may bring 64 KiB besides.
inline constexpr std::uint64_t kListingSlack = 64 * 1024;
// A scan line (RFC 1939 section 5) is "<number> <size>": at most 8 + 1 + 10
// digits and CR LF for a number of kMaxMessageNumber and a size of 32 bits.
// Some servers pad with blanks; 64 bytes leaves them room. A LIST reply may
// bring that much for every line that names a message, and never more than
// a listing of kMaxMessageNumber messages.
inline constexpr std::uint64_t kScanLineBytes = 64;
inline constexpr std::uint64_t kMaxListReply = kListingSlack + kScanLineBytes * kMaxMessageNumber;
// A UIDL line (section 7) is "<number> <id>" with an id of at most 70
// characters: 81 bytes and some padding. The count is known by then, from
// LIST.
inline constexpr std::uint64_t kUidLineBytes = 128;

// The text in front of the first space (all of it when there is none).
inline std::string_view FirstWord(std::string_view text) { return text.substr(0, text.find(' ')); }

// "<number> <id>" of a UIDL reply line; false when the line holds no such
// pair.
bool ReadUidLine(std::string_view line, int& number, std::string_view& id);

// LIST's scan lines (RFC 1939 section 5), taken in as they arrive. Each
// line cuts the sizes back to its number + 1 and then sets its own entry,
// so an entry survives only when no later line cut below it. The surviving
// entries are a stack of ascending numbers: a line pops those above its
// own number and then sets or pushes its own, which costs each entry once
// however the numbers jump, and memory for the entries alone.
class TScanListing {
 public:
  explicit TScanListing(std::string owner) : owner_(std::move(owner)) {}

  void Line(std::string_view line);

  // The bytes the reply may have brought by now.
  std::uint64_t Allowance() const {
    return std::min(kMaxListReply, kListingSlack + kScanLineBytes * static_cast<std::uint64_t>(named_));
  }
  std::size_t Named() const { return named_; }
  bool Empty() const { return lines_ == 0; }
  int Count() const { return count_; }

  // Sizes as the lines left them, over what sizes held before; listed gets
  // the numbers the surviving lines set, ascending. Then raises the error
  // of the first bad line, if any: the lines before it have taken effect.
  void Apply(TMessageSize& sizes, std::vector<int>& listed) const;

 private:
  struct TEntry {
    int number;
    int size;
  };
  std::string owner_;
  std::vector<TEntry> alive_;
  int lastNumber_ = 0;
  int minCut_ = INT_MAX;  // the smallest length a line cut the sizes to
  bool applied_ = false;
  int count_ = -1;
  size_t lines_ = 0;
  size_t named_ = 0;  // lines that named a message
  std::exception_ptr bad_;
};

}  // namespace Vizu2000
