// Mail dates from arbitrary bytes: reading never crashes, and every date it
// yields (from year 100 on, where the year is not read as two digits) is
// written as a text that reads back to the same instant.
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <ctime>
#include <string>
#include <string_view>

#include "mail/mime/mail_dates.h"

using namespace Vizu2000;

namespace {

void Check(bool ok) {
  if (!ok) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // A zone with daylight saving, so dates on both sides of a switch occur.
  setenv("TZ", "CET-1CEST,M3.5.0,M10.5.0/3", 1);
  tzset();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  TDateTime value = MailDateToDateTime(text);
  Check(std::isfinite(value));
  std::string written = DateTimeToMailDate(value);
  if (written.empty()) return 0;
  Check(written.size() >= 29 && written.size() <= 31);
  int year, month, day;
  DecodeDate(value, year, month, day);
  if (value != 0 && year >= 100) {
    TDateTime back = MailDateToDateTime(written);
    Check(std::fabs(back - value) * 86400.0 < 0.5);
  }
  return 0;
}
