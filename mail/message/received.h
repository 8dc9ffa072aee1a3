#pragma once
// Trace hops: what one "Received" field says about the host that handed a
// message on, the host that took it, the recipient and the time
// (RFC 5322 section 3.6.7).
#include <string>
#include <string_view>

#include "platform/date_time.h"

namespace Vizu2000 {

// The states of the hop reader. reDate is never entered: the date is taken
// at the semicolon.
enum TReceivedField { reFrom, reBy, reFor, reDate, reNone };

struct TReceived {
  std::string From;  // the word after "from"
  std::string By;    // the word after "by"
  std::string For;   // the word after "for", without angle brackets
  TDateTime Date = 0;  // local time; 0 when the hop has no readable date
};

// Reads the value of one Received field (the text after "Received:"). Any
// bytes give a result; nothing raises.
TReceived ParseReceived(std::string_view value);

}  // namespace Vizu2000
