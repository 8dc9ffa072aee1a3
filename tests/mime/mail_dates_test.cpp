#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <unistd.h>

#include "mail/mime/mail_dates.h"
#include "platform/time_zone.h"
#include "support/forced_zone.h"

using namespace Vizu2000;

namespace {

constexpr const char* kCentralEurope = "CET-1CEST,M3.5.0,M10.5.0/3";
constexpr const char* kMinus0330 = "<-0330>3:30";
constexpr const char* kPlus0100 = "<+01>-1";
constexpr double kMillisecond = 1.0 / 86400000.0;

TDateTime At(int year, int month, int day, int hour = 0, int minute = 0, int second = 0) {
  TDateTime date = 0;
  EXPECT_TRUE(TryEncodeDate(year, month, day, date));
  return date + EncodeTime(hour, minute, second, 0);
}

std::string Show(TDateTime value) {
  if (value == 0) return "0";
  int y, m, d, h, mi, s, ms;
  DecodeDate(value, y, m, d);
  DecodeTime(value, h, mi, s, ms);
  char buffer[40];
  std::snprintf(buffer, sizeof buffer, "%04d-%02d-%02d %02d:%02d:%02d.%03d", y, m, d, h, mi, s, ms);
  return buffer;
}

#define EXPECT_DATE(actual, expected) EXPECT_EQ(Show(actual), Show(expected))

// Dates whose reading does not depend on the zone rules: each is written
// with its own offset, so the expected value is given in UTC.
struct Reading {
  std::string text;
  TDateTime utc;
};

std::vector<Reading> ZoneFreeReadings() {
  return {
      {"Tue, 1 Jul 2003 10:52:37 +0200", At(2003, 7, 1, 8, 52, 37)},
      {"1 Jul 2003 10:52:37 GMT", At(2003, 7, 1, 10, 52, 37)},
      {"01/07/2003 10:52:37", At(2003, 7, 1, 10, 52, 37)},
      {"Tue, 1 Jul 03 10:52 -0500", At(2003, 7, 1, 15, 52, 0)},
      {"Thu, 1 Jul 99 10:52 -0500", At(1999, 7, 1, 15, 52, 0)},
      {"Thu, 1 Jul 49 10:52:00 +0000", At(2049, 7, 1, 10, 52, 0)},
      {"Sat, 1 Jul 50 10:52:00 +0000", At(1950, 7, 1, 10, 52, 0)},
      {"Tue, 1 Jul 2003 10:52:37 +0200 (CEST)", At(2003, 7, 1, 8, 52, 37)},
      {"Tue, 1 Jul 2003 10:52:37 -0330", At(2003, 7, 1, 14, 22, 37)},
      // A name that is not a month reads January; time fields are not
      // range-checked, and an unreadable one reads 0.
      {"Tue, 1 Foo 2003 10:52:37 GMT", At(2003, 1, 1, 10, 52, 37)},
      // Month names in any case, written out or not.
      {"Tue, 1 JUL 2003 10:52:37 GMT", At(2003, 7, 1, 10, 52, 37)},
      {"Mon, 1 september 2003 10:52:37 GMT", At(2003, 9, 1, 10, 52, 37)},
      {"Mon, 1 Dec. 2003 10:52:37 GMT", At(2003, 12, 1, 10, 52, 37)},
      {"Tue, 1 Jul 2003 10:75:37 GMT", At(2003, 7, 1, 11, 15, 37)},
      {"Tue, 1 Jul 2003 ab:52:37 GMT", At(2003, 7, 1, 0, 52, 37)},
      // Numbers are read by the library's integer reading.
      {"Fri, $1F Jan 2003 00:00:00 GMT", At(2003, 1, 31)},
      {"Fri, 0x1F 0X1 2003 00:00:00 GMT", At(2003, 1, 31)},
      // "/" and ":" separate too; a missing year is 2000.
      {"1/7/2003/10/52/37", At(2003, 7, 1, 10, 52, 37)},
      {"Sat, 1 Jul", At(2000, 7, 1)},
      // A zone field that is not five characters or a known name reads 0,
      // its sign defaults to "+", and whatever follows the zone is ignored.
      {"Tue, 1 Jul 2003 10:52:37 CEST", At(2003, 7, 1, 10, 52, 37)},
      {"Tue, 1 Jul 2003 10:52:37 0200", At(2003, 7, 1, 10, 52, 37)},
      {"Tue, 1 Jul 2003 10:52:37 x0200", At(2003, 7, 1, 8, 52, 37)},
      {"Tue, 1 Jul 2003 10:52:37 -0000 and more words", At(2003, 7, 1, 10, 52, 37)},
  };
}

// A run of blanks (folding white space, RFC 5322 section 3.2.2) is one
// separator, and blanks before the text are no field.
std::vector<Reading> BlankRunReadings() {
  TDateTime expected = At(2003, 7, 1, 8, 52, 37);
  return {
      {"Tue,  1 Jul 2003 10:52:37 +0200", expected},
      {"Tue, 1   Jul\t2003  10:52:37   +0200", expected},
      {"Tue, 1 Jul 2003\r\n 10:52:37 +0200", expected},
      {"  Tue, 1 Jul 2003 10:52:37 +0200", expected},
      {" \t01 Jul 2003 10:52:37 +0200 ", expected},
      {"Tue,  1 Jul 2003 10:52  +0200", At(2003, 7, 1, 8, 52, 0)},
  };
}

// The zone names of RFC 5322 section 4.3 carry their offsets, in any case;
// other names read 0.
std::vector<Reading> NamedZoneReadings() {
  std::vector<Reading> readings;
  const struct {
    const char* name;
    int hours;
  } zones[] = {{"UT", 0},   {"GMT", 0},  {"Z", 0},    {"EST", -5}, {"EDT", -4}, {"CST", -6},
               {"CDT", -5}, {"MST", -7}, {"MDT", -6}, {"PST", -8}, {"PDT", -7}, {"pdt", -7},
               {"Est", -5}, {"A", 0},    {"NZDT", 0}, {"UTC", 0}};
  for (const auto& zone : zones)
    readings.push_back({std::string("Tue, 1 Jul 2003 10:00:00 ") + zone.name,
                        At(2003, 7, 1, 10 - zone.hours, 0, 0)});
  return readings;
}

void ExpectReadings(const std::vector<Reading>& readings, double offsetHours) {
  for (const Reading& r : readings)
    EXPECT_DATE(MailDateToDateTime(r.text), r.utc + offsetHours / 24.0) << r.text;
}

}  // namespace

TEST(MailDates, BiasIsTheOffsetInForceNow) {
  {
    ForcedZone zone("UTC0");
    EXPECT_EQ(GetTimeZoneBias(), 0.0);
  }
  {
    ForcedZone zone(kMinus0330);
    EXPECT_DOUBLE_EQ(GetTimeZoneBias(), -3.5 / 24.0);
  }
  {
    ForcedZone zone(kCentralEurope);
    std::time_t now = std::time(nullptr);
    std::tm local {};
    localtime_r(&now, &local);
    EXPECT_DOUBLE_EQ(GetTimeZoneBias(), (local.tm_isdst > 0 ? 2.0 : 1.0) / 24.0);
  }
}

TEST(MailDates, ReadsEachFieldRuleInEveryZone) {
  const struct {
    const char* tz;
    double hours;  // offset in force in July 2003 and the other dates read
  } zones[] = {{"UTC0", 0}, {kPlus0100, 1}, {kMinus0330, -3.5}};
  for (const auto& zone : zones) {
    SCOPED_TRACE(zone.tz);
    ForcedZone forced(zone.tz);
    ExpectReadings(ZoneFreeReadings(), zone.hours);
    ExpectReadings(BlankRunReadings(), zone.hours);
    ExpectReadings(NamedZoneReadings(), zone.hours);
  }
  ForcedZone forced(kPlus0100);
  EXPECT_DATE(MailDateToDateTime("Tue, 1 Jul 2003 10:52:37 +0200"), At(2003, 7, 1, 9, 52, 37));
}

TEST(MailDates, TextsThatNameNoDateReadZero) {
  ForcedZone forced(kCentralEurope);
  for (const char* text :
       {"", "   ", "Tue", "Tue,", "Tue, 1", "Tue, 31 Feb 2003 10:52:37 +0200",
        "Tue, 29 Feb 2003 10:52:37 GMT", "Tue, 0 Jul 2003 10:52:37 GMT",
        "Tue, 1 0 2003 10:52:37 GMT", "Tue, 1 13 2003 10:52:37 GMT",
        "Tue, 1 Jul 10000 10:52:37 GMT", "Tue, 1 Jul 2003 10:52:37 +2500",
        "Tue, 1 Jul 2003 10:52:37 +0060", "Tue, 1 Jul 2003 10:52:37 +-100",
        "Tue,1 Jul 2003 10:52:37 +0200"})
    EXPECT_EQ(MailDateToDateTime(text), 0.0) << text;
  // A NUL byte is an ordinary character: here it makes the day unreadable.
  constexpr char withNul[] = "Tue, 1\0 Jul 2003 10:52:37 GMT";
  EXPECT_EQ(MailDateToDateTime(std::string_view(withNul, sizeof withNul - 1)), 0.0);
}

TEST(MailDates, EachDateReadsWithTheOffsetInForceOnThatDate) {
  ForcedZone forced(kCentralEurope);
  // Winter and summer dates are read in the same run.
  EXPECT_DATE(MailDateToDateTime("Wed, 15 Jan 2003 12:00:00 +0000"), At(2003, 1, 15, 13, 0, 0));
  EXPECT_DATE(MailDateToDateTime("Tue, 1 Jul 2003 10:52:37 +0200"), At(2003, 7, 1, 10, 52, 37));
  // Spring switch at 01:00 UTC on 30 March 2003: 02:00 local becomes 03:00.
  EXPECT_DATE(MailDateToDateTime("Sun, 30 Mar 2003 00:59:59 GMT"), At(2003, 3, 30, 1, 59, 59));
  EXPECT_DATE(MailDateToDateTime("Sun, 30 Mar 2003 01:00:00 GMT"), At(2003, 3, 30, 3, 0, 0));
  // Autumn switch at 01:00 UTC on 26 October 2003: 02:30 local happens twice.
  EXPECT_DATE(MailDateToDateTime("Sun, 26 Oct 2003 00:30:00 GMT"), At(2003, 10, 26, 2, 30, 0));
  EXPECT_DATE(MailDateToDateTime("Sun, 26 Oct 2003 01:30:00 GMT"), At(2003, 10, 26, 2, 30, 0));
  EXPECT_DATE(MailDateToDateTime("Sun, 26 Oct 2003 02:30:00 +0100"), At(2003, 10, 26, 2, 30, 0));
}

TEST(MailDates, WritesLocalTimeWithTheOffsetInForceThen) {
  TDateTime july = At(2003, 7, 1, 10, 52, 37);
  {
    ForcedZone forced("UTC0");
    EXPECT_EQ(DateTimeToMailDate(july), "Tue, 01 Jul 2003 10:52:37 GMT");
    EXPECT_EQ(DateTimeToMailDate(0), "Sat, 30 Dec 1899 00:00:00 GMT");
    EXPECT_EQ(DateTimeToMailDate(At(1, 1, 1)), "Mon, 01 Jan 0001 00:00:00 GMT");
    EXPECT_EQ(DateTimeToMailDate(At(9999, 12, 31, 23, 59, 59)), "Fri, 31 Dec 9999 23:59:59 GMT");
  }
  {
    ForcedZone forced(kMinus0330);
    EXPECT_EQ(DateTimeToMailDate(july), "Tue, 01 Jul 2003 10:52:37 -0330");
  }
  {
    ForcedZone forced(kCentralEurope);
    EXPECT_EQ(DateTimeToMailDate(july), "Tue, 01 Jul 2003 10:52:37 +0200");
    EXPECT_EQ(DateTimeToMailDate(At(2003, 3, 29, 12, 0, 0)), "Sat, 29 Mar 2003 12:00:00 +0100");
    EXPECT_EQ(DateTimeToMailDate(At(2003, 3, 30, 12, 0, 0)), "Sun, 30 Mar 2003 12:00:00 +0200");
    EXPECT_EQ(DateTimeToMailDate(At(2003, 10, 26, 3, 0, 0)), "Sun, 26 Oct 2003 03:00:00 +0100");
    // Day and month names come from fixed English tables.
    const char* days[] = {"Wed", "Thu", "Fri", "Sat", "Sun", "Mon", "Tue"};
    const char* months[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                            "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    for (int month = 1; month <= 12; ++month) {
      std::string text = DateTimeToMailDate(At(2003, month, 1, 12, 0, 0));
      EXPECT_EQ(text.substr(8, 3), months[month - 1]) << text;
    }
    for (int day = 1; day <= 7; ++day) {
      std::string text = DateTimeToMailDate(At(2003, 1, day, 12, 0, 0));
      EXPECT_EQ(text.substr(0, 4), std::string(days[day - 1]) + ",") << text;
    }
  }
  {
    // A hair below midnight is midnight, not the day before at 23:59:59.
    ForcedZone forced("UTC0");
    EXPECT_EQ(DateTimeToMailDate(At(2003, 7, 2) - 1e-11), "Wed, 02 Jul 2003 00:00:00 GMT");
    EXPECT_EQ(DateTimeToMailDate(At(1886, 2, 1) - 1e-11), "Mon, 01 Feb 1886 00:00:00 GMT");
    EXPECT_EQ(DateTimeToMailDate(At(1886, 2, 1, 12, 0, 0)), "Mon, 01 Feb 1886 12:00:00 GMT");
    EXPECT_EQ(DateTimeToMailDate(At(9999, 12, 31, 23, 59, 59) + 0.999 / 86400), "Fri, 31 Dec 9999 23:59:59 GMT");
    EXPECT_EQ(DateTimeToMailDate(At(10000 - 1, 12, 31) + 1 - 1e-11), "");
  }
  // Values outside years 1..9999 name no date.
  for (double value : {At(1, 1, 1) - 1, At(9999, 12, 31) + 1, std::nan(""), HUGE_VAL, -HUGE_VAL, 1e300})
    EXPECT_EQ(DateTimeToMailDate(value), "") << value;
}

TEST(MailDates, WrittenDatesReadBackToTheSameValue) {
  for (const char* tz : {"UTC0", kMinus0330, kCentralEurope}) {
    SCOPED_TRACE(tz);
    ForcedZone forced(tz);
    // Every 29 hours and 17 minutes over four years, both switches included;
    // local times that the spring switch skips do not exist and are left out.
    for (TDateTime value = At(2002, 1, 1, 0, 7, 11); value < At(2006, 1, 1);
         value += (29 * 60 + 17) / 1440.0) {
      int hour, minute, second, msec;
      DecodeTime(value, hour, minute, second, msec);
      if (hour == 2) continue;
      std::string text = DateTimeToMailDate(value);
      EXPECT_NEAR(MailDateToDateTime(text), value, kMillisecond) << text;
    }
    // Dates before 1899-12-30 are negative values.
    TDateTime early = MailDateToDateTime("Sat, 1 Jan 52 -577777:00 +0000");
    EXPECT_NEAR(MailDateToDateTime(DateTimeToMailDate(early)), early, kMillisecond);
    TDateTime repeated = At(2003, 10, 26, 2, 30, 0);
    EXPECT_NEAR(MailDateToDateTime(DateTimeToMailDate(repeated)), repeated, kMillisecond);
  }
}

namespace {

// Splits at CR LF, a lone CR or a lone LF.
std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::string line;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\r' || text[i] == '\n') {
      lines.push_back(line);
      line.clear();
      if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') ++i;
    } else {
      line.push_back(text[i]);
    }
  }
  if (!line.empty()) lines.push_back(line);
  return lines;
}

std::string ReadAll(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

// The unfolded values of the Date fields in the header of a message file.
std::vector<std::string> DateFields(const std::filesystem::path& path) {
  std::vector<std::string> dates;
  bool inDate = false;
  for (const std::string& line : Lines(ReadAll(path))) {
    if (line.empty()) break;
    if (line[0] == ' ' || line[0] == '\t') {
      if (inDate) dates.back() += line;
      continue;
    }
    inDate = line.size() >= 5 && (line.compare(0, 5, "Date:") == 0 || line.compare(0, 5, "date:") == 0);
    if (inDate) dates.push_back(line.substr(5));
  }
  return dates;
}

}  // namespace

TEST(MailDates, AgreesWithPythonsReaderOnRealDates) {
  const std::filesystem::path data = VIZU_TEST_DATA;
  std::vector<std::string> dates;
  for (const char* folder : {"messages", "fragile"})
    for (const auto& entry : std::filesystem::directory_iterator(data / folder))
      if (entry.path().extension() == ".eml")
        for (const std::string& date : DateFields(entry.path())) dates.push_back(date);
  size_t fromMessages = dates.size();
  ASSERT_GT(fromMessages, 0u);
  for (const std::string& line : Lines(ReadAll(data / "dates.txt")))
    if (!line.empty() && line[0] != '#') dates.push_back(line);

  const auto dir = std::filesystem::temp_directory_path();
  const auto stem = "mail_dates_test_" + std::to_string(::getpid());
  const auto input = dir / (stem + ".txt");
  const auto script = dir / (stem + ".py");
  {
    std::ofstream out(input, std::ios::binary);
    for (const std::string& date : dates) out << date << '\n';
    std::ofstream(script) <<
        "import datetime, email.utils, sys\n"
        "for line in open(sys.argv[1], encoding='latin-1').read().split('\\n')[:-1]:\n"
        "    try:\n"
        "        d = email.utils.parsedate_to_datetime(line)\n"
        "        if d.tzinfo is None:\n"
        "            d = d.replace(tzinfo=datetime.timezone.utc)\n"
        "        print(int(d.timestamp()))\n"
        "    except Exception:\n"
        "        print('-')\n";
  }
  std::string command = "TZ=UTC0 /usr/bin/python3 " + script.string() + " " + input.string();
  std::vector<std::string> answers;
  if (FILE* pipe = ::popen(command.c_str(), "r")) {
    char buffer[128];
    while (std::fgets(buffer, sizeof buffer, pipe)) {
      std::string answer(buffer);
      if (!answer.empty() && answer.back() == '\n') answer.pop_back();
      answers.push_back(answer);
    }
    EXPECT_EQ(::pclose(pipe), 0);
  }
  std::filesystem::remove(input);
  std::filesystem::remove(script);
  ASSERT_EQ(answers.size(), dates.size());

  ForcedZone forced("UTC0");
  size_t compared = 0;
  for (size_t i = 0; i < dates.size(); ++i) {
    TDateTime ours = MailDateToDateTime(dates[i]);
    if (ours == 0 || answers[i] == "-") continue;
    ++compared;
    EXPECT_EQ(std::llround((ours - 25569.0) * 86400.0), std::stoll(answers[i])) << dates[i];
  }
  // Every message date and all but the three non-dates of the list.
  EXPECT_EQ(compared, dates.size() - 3);
}
