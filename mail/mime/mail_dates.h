#pragma once
// Date texts of mail header fields (RFC 5322 section 3.3) and the library's
// date-time value. Dates read from mail become local time; dates written to
// mail are local time with the zone offset in force at that time. None of
// these raises.
#include <string>
#include <string_view>

#include "platform/date_time.h"

namespace Vizu2000 {

// Local time minus UTC at this moment, in days (positive east of
// Greenwich), daylight saving applied; 0 where it cannot be told.
double GetTimeZoneBias();

// Local date-time of a mail date text, or 0 when the text names no valid
// date. Fields are separated by "/", ":" and runs of blanks: an optional day
// name (when the text does not start with a digit), day, month, year, hour,
// minute, optional second, zone; whatever follows the zone is ignored.
TDateTime MailDateToDateTime(std::string_view date);

// "Tue, 01 Jul 2003 10:52:37 +0200" for a local date-time, with the offset
// in force at that time ("GMT" where it is 0). Empty for a value outside
// years 1..9999.
std::string DateTimeToMailDate(TDateTime localDateTime);

}  // namespace Vizu2000
