#pragma once
// Offsets of local time from UTC, from the C library's local time rules
// (the TZ environment variable as last read by tzset(), or the system zone).
// Offsets are in seconds, local = UTC + offset, daylight saving applied;
// 0 wherever the rules cannot tell (the C library fails, or the date lies
// outside years 1..9999).
#include "platform/date_time.h"

namespace Vizu2000 {

// The offset in force at this moment.
int LocalOffsetNow();

// The offset in force at a wall-clock time of this zone. A time skipped by a
// switch to daylight saving, or repeated by the switch back, gets the offset
// the C library picks for it.
int LocalOffsetAtLocal(TDateTime localDateTime);

// The offset in force at an instant given as a UTC date-time.
int LocalOffsetAtUtc(TDateTime utcDateTime);

}  // namespace Vizu2000
