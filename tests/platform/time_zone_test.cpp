#include <gtest/gtest.h>

#include <cmath>

#include "platform/time_zone.h"
#include "support/forced_zone.h"

using namespace Vizu2000;

namespace {

TDateTime At(int year, int month, int day, int hour = 0, int minute = 0, int second = 0) {
  TDateTime date = 0;
  EXPECT_TRUE(TryEncodeDate(year, month, day, date));
  return date + EncodeTime(hour, minute, second, 0);
}

}  // namespace

TEST(TimeZone, OffsetsFollowTheZoneRules) {
  ForcedZone forced("CET-1CEST,M3.5.0,M10.5.0/3");
  EXPECT_EQ(LocalOffsetAtUtc(At(2003, 3, 30, 0, 59, 59)), 3600);
  EXPECT_EQ(LocalOffsetAtUtc(At(2003, 3, 30, 1, 0, 0)), 7200);
  EXPECT_EQ(LocalOffsetAtLocal(At(2003, 3, 30, 1, 59, 59)), 3600);
  EXPECT_EQ(LocalOffsetAtLocal(At(2003, 3, 30, 3, 0, 0)), 7200);
  EXPECT_EQ(LocalOffsetAtLocal(At(1970, 1, 1, 0, 59, 59)), 3600);  // time_t -1
  EXPECT_EQ(LocalOffsetAtLocal(At(1, 1, 1)), 3600);
  EXPECT_EQ(LocalOffsetAtUtc(At(9999, 7, 1)), 7200);
  // Beyond what a date can name, nothing is told.
  for (double value : {At(1, 1, 1) - 1, 1e12, -1e12, std::nan("")}) {
    EXPECT_EQ(LocalOffsetAtUtc(value), 0) << value;
    EXPECT_EQ(LocalOffsetAtLocal(value), 0) << value;
  }
}
