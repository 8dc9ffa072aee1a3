#include "platform/time_zone.h"

#include <cmath>
#include <ctime>

namespace Vizu2000 {

namespace {

// 0001-01-01 and 10000-01-01 as date-time values.
constexpr double kFirstDay = -693593.0;
constexpr double kPastLastDay = 2958466.0;
// 1970-01-01, where time_t counts from.
constexpr double kUnixEpoch = 25569.0;

bool InRange(TDateTime value) {
  return std::isfinite(value) && value >= kFirstDay && value < kPastLastDay;
}

int OffsetOf(std::time_t instant) {
  std::tm local {};
  if (!localtime_r(&instant, &local)) return 0;
  return static_cast<int>(local.tm_gmtoff);
}

}  // namespace

int LocalOffsetNow() { return OffsetOf(std::time(nullptr)); }

int LocalOffsetAtUtc(TDateTime utcDateTime) {
  if (!InRange(utcDateTime)) return 0;
  auto seconds = static_cast<std::time_t>(std::floor((utcDateTime - kUnixEpoch) * 86400.0 + 0.5));
  return OffsetOf(seconds);
}

int LocalOffsetAtLocal(TDateTime localDateTime) {
  if (!InRange(localDateTime)) return 0;
  int year, month, day, hour, minute, second, msec;
  DecodeDate(localDateTime, year, month, day);
  DecodeTime(localDateTime, hour, minute, second, msec);
  std::tm fields {};
  fields.tm_year = year - 1900;
  fields.tm_mon = month - 1;
  fields.tm_mday = day;
  fields.tm_hour = hour;
  fields.tm_min = minute;
  fields.tm_sec = second;
  fields.tm_isdst = -1;  // let the zone's rules say whether daylight saving applies
  // -1 is also the answer for 1969-12-31 23:59:59 UTC, so a failure is told
  // by the fields mktime leaves untouched, not by the result.
  fields.tm_wday = -1;
  std::time_t instant = std::mktime(&fields);
  if (instant == static_cast<std::time_t>(-1) && fields.tm_wday == -1) return 0;
  return static_cast<int>(fields.tm_gmtoff);
}

}  // namespace Vizu2000
