#pragma once
// TDateTime: days since 1899-12-30 as a double; the fraction is the time of
// day. Local time unless a caller says otherwise.
#include <cstdint>

namespace Vizu2000 {

using TDateTime = double;

// False when the fields do not form a valid date (year 1..9999).
bool TryEncodeDate(int year, int month, int day, TDateTime& date);
TDateTime EncodeTime(int hour, int minute, int second, int msec);
void DecodeDate(TDateTime date, int& year, int& month, int& day);
void DecodeTime(TDateTime date, int& hour, int& minute, int& second, int& msec);
// 1 = Sunday .. 7 = Saturday.
int DayOfWeek(TDateTime date);
bool IsLeapYear(int year);
int DaysInMonth(int year, int month);

TDateTime Now();
// Milliseconds from a steady clock, for tick comparisons.
std::uint64_t GetTickCount64();

}  // namespace Vizu2000
