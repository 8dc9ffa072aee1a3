#include "mail/mime/mail_dates.h"

#include <array>
#include <cmath>
#include <cstdint>
#include <cstdlib>

#include "platform/int_conv.h"
#include "platform/time_zone.h"
#include "platform/text_chars.h"

namespace Vizu2000 {

namespace {

constexpr std::string_view kMonths = "Jan,Feb,Mar,Apr,May,Jun,Jul,Aug,Sep,Oct,Nov,Dec,";
constexpr std::string_view kDays = "Sun,Mon,Tue,Wed,Thu,Fri,Sat,";

constexpr double kFirstDay = -693593.0;     // 0001-01-01
constexpr double kPastLastDay = 2958466.0;  // 10000-01-01

enum Field { fDayName, fDay, fMonth, fYear, fHour, fMinute, fSecond, fZone, fCount };

// Folding white space (RFC 5322 section 3.2.2) may put any run of these
// between two fields.

int ReadInt(std::string_view text) {
  int value = 0;
  return TryStrToInt(text, value) ? value : 0;
}

bool EqualsNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    char x = a[i], y = b[i];
    if (x >= 'a' && x <= 'z') x = static_cast<char>(x - 'a' + 'A');
    if (x != y) return false;
  }
  return true;
}

// The zone names of RFC 5322 section 4.3, in minutes east of UTC. Military
// letters other than "Z" carry no reliable offset (section 4.3) and read 0
// like any unknown name.
bool NamedZone(std::string_view zone, int& minutes) {
  struct Named {
    std::string_view name;
    int hours;
  };
  static constexpr Named kZones[] = {{"UT", 0},   {"GMT", 0},  {"Z", 0},    {"EST", -5},
                                     {"EDT", -4}, {"CST", -6}, {"CDT", -5}, {"MST", -7},
                                     {"MDT", -6}, {"PST", -8}, {"PDT", -7}};
  for (const Named& z : kZones) {
    if (EqualsNoCase(zone, z.name)) {
      minutes = z.hours * 60;
      return true;
    }
  }
  return false;
}

// Zone offset in minutes east of UTC; false when a numeric zone is out of
// range.
bool ZoneOffset(std::string_view zone, int& minutes) {
  minutes = 0;
  while (!zone.empty() && static_cast<unsigned char>(zone.front()) <= ' ') zone.remove_prefix(1);
  while (!zone.empty() && static_cast<unsigned char>(zone.back()) <= ' ') zone.remove_suffix(1);
  if (NamedZone(zone, minutes)) return true;
  if (zone.size() != 5) return true;
  int hours = ReadInt(zone.substr(1, 2));
  int mins = ReadInt(zone.substr(3, 2));
  if (hours < 0 || hours > 23 || mins < 0 || mins > 59) return false;
  minutes = (zone[0] == '-' ? -1 : 1) * (hours * 60 + mins);
  return true;
}


int ReadMonth(std::string_view text) {
  if (text.front() >= '0' && text.front() <= '9') return ReadInt(text);
  // Month names are case-insensitive (RFC 5322 section 3.3 through RFC 5234
  // section 2.3), and senders write them out in full ("JUL", "July"): a
  // name is known by its first three letters, whatever their case.
  if (text.size() >= 3) {
    for (size_t m = 0; m < 12; ++m) {
      const std::string_view name = kMonths.substr(m * 4, 3);
      if (LowCaseChar(text[0]) == LowCaseChar(name[0]) && LowCaseChar(text[1]) == LowCaseChar(name[1]) && LowCaseChar(text[2]) == LowCaseChar(name[2]))
        return static_cast<int>(m) + 1;
    }
  }
  size_t at = kMonths.find(text);
  return at == std::string_view::npos ? 1 : static_cast<int>(at / 4) + 1;
}

void AppendTwoDigits(std::string& out, int value) {
  out.push_back(static_cast<char>('0' + value / 10 % 10));
  out.push_back(static_cast<char>('0' + value % 10));
}

}  // namespace

double GetTimeZoneBias() { return LocalOffsetNow() / 86400.0; }

TDateTime MailDateToDateTime(std::string_view date) {
  size_t i = 0;
  while (i < date.size() && IsWspOrLineBreak(date[i])) ++i;
  if (i == date.size()) return 0;

  std::array<std::string_view, fCount> fields {};
  int field = date[i] >= '0' && date[i] <= '9' ? fDay : fDayName;
  size_t start = i;  // first character of the current field
  for (; i < date.size() && field < fCount; ++i) {
    char c = date[i];
    if (IsWspOrLineBreak(c)) {
      // A run of blanks is one separator.
      if (!IsWspOrLineBreak(date[i - 1])) {
        fields[field] = date.substr(start, i - start);
        ++field;
        // A time without seconds is followed directly by the zone.
        if (field == fSecond) field = fZone;
      }
    } else if (c == '/' || c == ':') {
      fields[field] = date.substr(start, i - start);
      ++field;
    } else {
      continue;
    }
    start = i + 1;
  }
  if (field < fCount) fields[field] = date.substr(start);

  if (fields[fMonth].empty()) return 0;
  int month = ReadMonth(fields[fMonth]);
  int year = ReadInt(fields[fYear]);
  if (year < 100) year += year < 50 ? 2000 : 1900;
  if (year == 0 || month == 0) return 0;

  int zoneMinutes = 0;
  TDateTime value = 0;
  if (!ZoneOffset(fields[fZone], zoneMinutes) ||
      !TryEncodeDate(year, month, ReadInt(fields[fDay]), value))
    return 0;
  // Hour, minute and second are not range-checked: a minute of 75 adds 75
  // minutes.
  value += ReadInt(fields[fHour]) / 24.0 + ReadInt(fields[fMinute]) / 1440.0 +
           ReadInt(fields[fSecond]) / 86400.0;
  TDateTime utc = value - zoneMinutes / 1440.0;
  return utc + LocalOffsetAtUtc(utc) / 86400.0;
}

std::string DateTimeToMailDate(TDateTime localDateTime) {
  if (!std::isfinite(localDateTime) || localDateTime < kFirstDay - 1 || localDateTime > kPastLastDay)
    return {};
  // Rounded to whole milliseconds before date and time are taken apart, so
  // a value a hair below midnight does not write the day before with the
  // time 23:59:59.
  constexpr std::int64_t kMsPerDay = 86400000;
  std::int64_t ms = std::llround(localDateTime * kMsPerDay);
  std::int64_t days = ms / kMsPerDay - (ms % kMsPerDay < 0 ? 1 : 0);
  if (days < kFirstDay || days >= kPastLastDay) return {};
  int msOfDay = static_cast<int>(ms - days * kMsPerDay);
  TDateTime dateOnly = static_cast<double>(days);
  int year, month, day;
  DecodeDate(dateOnly, year, month, day);
  int hour = msOfDay / 3600000, minute = msOfDay / 60000 % 60, second = msOfDay / 1000 % 60;
  int zoneMinutes = static_cast<int>(
      std::lround(LocalOffsetAtLocal(dateOnly + msOfDay / static_cast<double>(kMsPerDay)) / 60.0));

  std::string out;
  out.reserve(31);
  out.append(kDays.substr(static_cast<size_t>(DayOfWeek(dateOnly) - 1) * 4, 4));
  out.push_back(' ');
  AppendTwoDigits(out, day);
  out.push_back(' ');
  out.append(kMonths.substr(static_cast<size_t>(month - 1) * 4, 3));
  out.push_back(' ');
  AppendTwoDigits(out, year / 100);
  AppendTwoDigits(out, year % 100);
  out.push_back(' ');
  AppendTwoDigits(out, hour);
  out.push_back(':');
  AppendTwoDigits(out, minute);
  out.push_back(':');
  AppendTwoDigits(out, second);
  out.push_back(' ');
  if (zoneMinutes == 0) {
    out.append("GMT");
  } else {
    out.push_back(zoneMinutes > 0 ? '+' : '-');
    int magnitude = std::abs(zoneMinutes);
    AppendTwoDigits(out, magnitude / 60);
    AppendTwoDigits(out, magnitude % 60);
  }
  return out;
}

}  // namespace Vizu2000
