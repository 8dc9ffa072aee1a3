#include "platform/date_time.h"

#include <chrono>
#include <cmath>
#include <ctime>

namespace Vizu2000 {

namespace {
// Days from 0001-01-01 (day 1) to 1899-12-30.
constexpr std::int64_t kDelta = 693594;

std::int64_t DaysBeforeYear(int year) {
  std::int64_t y = year - 1;
  return y * 365 + y / 4 - y / 100 + y / 400;
}
}  // namespace

bool IsLeapYear(int year) { return year % 4 == 0 && (year % 100 != 0 || year % 400 == 0); }

int DaysInMonth(int year, int month) {
  static const int kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  if (month < 1 || month > 12) return 0;
  return kDays[month - 1] + (month == 2 && IsLeapYear(year) ? 1 : 0);
}

bool TryEncodeDate(int year, int month, int day, TDateTime& date) {
  if (year < 1 || year > 9999 || month < 1 || month > 12) return false;
  if (day < 1 || day > DaysInMonth(year, month)) return false;
  std::int64_t days = DaysBeforeYear(year);
  for (int m = 1; m < month; ++m) days += DaysInMonth(year, m);
  days += day;
  date = static_cast<double>(days - kDelta);
  return true;
}

TDateTime EncodeTime(int hour, int minute, int second, int msec) {
  return (hour * 3600000.0 + minute * 60000.0 + second * 1000.0 + msec) / 86400000.0;
}

void DecodeDate(TDateTime date, int& year, int& month, int& day) {
  std::int64_t days = static_cast<std::int64_t>(std::floor(date)) + kDelta;  // day 1 = 0001-01-01
  if (days <= 0) {
    year = month = day = 0;
    return;
  }
  // Walk 400/100/4/1-year cycles, as the proleptic Gregorian calendar repeats.
  std::int64_t d = days - 1;
  int y = 1;
  y += static_cast<int>(d / 146097) * 400;
  d %= 146097;
  std::int64_t c = d / 36524;
  if (c == 4) c = 3;
  y += static_cast<int>(c) * 100;
  d -= c * 36524;
  y += static_cast<int>(d / 1461) * 4;
  d %= 1461;
  std::int64_t yy = d / 365;
  if (yy == 4) yy = 3;
  y += static_cast<int>(yy);
  d -= yy * 365;
  int m = 1;
  while (d >= DaysInMonth(y, m)) {
    d -= DaysInMonth(y, m);
    ++m;
  }
  year = y;
  month = m;
  day = static_cast<int>(d) + 1;
}

void DecodeTime(TDateTime date, int& hour, int& minute, int& second, int& msec) {
  double frac = date - std::floor(date);
  auto ms = static_cast<std::int64_t>(std::llround(frac * 86400000.0));
  if (ms >= 86400000) ms = 86399999;
  hour = static_cast<int>(ms / 3600000);
  minute = static_cast<int>(ms / 60000 % 60);
  second = static_cast<int>(ms / 1000 % 60);
  msec = static_cast<int>(ms % 1000);
}

int DayOfWeek(TDateTime date) {
  // 1899-12-30 was a Saturday.
  std::int64_t days = static_cast<std::int64_t>(std::floor(date));
  return static_cast<int>(((days % 7) + 7 + 6) % 7) + 1;
}

TDateTime Now() {
  std::time_t t = std::time(nullptr);
  std::tm local {};
  localtime_r(&t, &local);
  TDateTime date = 0;
  TryEncodeDate(local.tm_year + 1900, local.tm_mon + 1, local.tm_mday, date);
  auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                std::chrono::system_clock::now().time_since_epoch()).count() % 1000;
  return date + EncodeTime(local.tm_hour, local.tm_min, local.tm_sec, static_cast<int>(ms));
}

std::uint64_t GetTickCount64() {
  return static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
      std::chrono::steady_clock::now().time_since_epoch()).count());
}

}  // namespace Vizu2000
