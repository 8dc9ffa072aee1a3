#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>

#include "platform/component.h"
#include "platform/date_time.h"
#include "platform/error.h"
#include "platform/int_conv.h"
#include "platform/streams.h"
#include "platform/string_list.h"

using namespace Vizu2000;

TEST(IntConv, AcceptsDecimalHexAndLeadingSpacesOnly) {
  int v = 0;
  EXPECT_TRUE(TryStrToInt("  42", v));
  EXPECT_EQ(v, 42);
  EXPECT_TRUE(TryStrToInt("-2147483648", v));
  EXPECT_EQ(v, INT32_MIN);
  EXPECT_TRUE(TryStrToInt("$1F", v));
  EXPECT_EQ(v, 31);
  EXPECT_TRUE(TryStrToInt("0x0A", v));
  EXPECT_EQ(v, 10);
  EXPECT_TRUE(TryStrToInt("X10", v));
  EXPECT_EQ(v, 16);
  EXPECT_TRUE(TryStrToInt("$FFFFFFFF", v));
  EXPECT_EQ(v, -1);
  v = 7;
  for (const char* bad : {"", " ", "42 ", "4 2", "2147483648", "-2147483649", "0x", "$", "1e3", "+", "0xG"}) {
    EXPECT_FALSE(TryStrToInt(bad, v)) << bad;
    EXPECT_EQ(v, 7) << bad;
  }
  EXPECT_EQ(StrToIntDef("abc", 5), 5);
  try {
    StrToInt("abc");
    FAIL();
  } catch (const EVizuError& e) {
    EXPECT_STREQ(e.what(), "'abc' is not a valid integer value");
  }
}

TEST(StringList, SplitsAtEveryLineBreakAndJoinsWithCrLf) {
  TStringList list;
  list.SetText(std::string("a\r\nb\rc\nd\n\ne\0f", 14));
  ASSERT_EQ(list.Count(), 6);
  EXPECT_EQ(list[0], "a");
  EXPECT_EQ(list[3], "d");
  EXPECT_EQ(list[4], "");
  EXPECT_EQ(list[5], "e");
  EXPECT_EQ(list.Text(), "a\r\nb\r\nc\r\nd\r\n\r\ne\r\n");
  EXPECT_EQ(list.TextLength(), list.Text().size());
  list.SetText("");
  EXPECT_EQ(list.Count(), 0);
  EXPECT_EQ(list.Text(), "");
}

TEST(StringList, BadIndexesRaiseAndChangeNothing) {
  TStringList list;
  list.Add("a");
  list.Insert(1, "b");
  list.Insert(0, "z");
  EXPECT_EQ(list.Text(), "z\r\na\r\nb\r\n");
  try {
    list.Delete(3);
    FAIL();
  } catch (const EVizuError& e) {
    EXPECT_STREQ(e.what(), "List index out of bounds (3)");
  }
  EXPECT_THROW(list.Delete(-1), EVizuError);
  EXPECT_THROW(list.Insert(4, "x"), EVizuError);
  EXPECT_THROW(list.Insert(-1, "x"), EVizuError);
  EXPECT_THROW(list.SetString(3, "x"), EVizuError);
  EXPECT_THROW(list.Strings(-1), EVizuError);
  EXPECT_EQ(list.Text(), "z\r\na\r\nb\r\n");
  list.Delete(2);
  list.SetString(0, "y");
  EXPECT_EQ(list.Strings(1), "a");
  EXPECT_EQ(list.Text(), "y\r\na\r\n");
}

TEST(StringList, IndexOfIgnoresAsciiCase) {
  TStringList list;
  list.Add("plain");
  list.Add("with space");
  EXPECT_EQ(list.IndexOf("WITH SPACE"), 1);
  EXPECT_EQ(list.IndexOf("with  space"), -1);
}

TEST(Component, OwnerFreesWhatItOwnsAndChildrenDetach) {
  static int alive = 0;
  struct Counted : TComponent {
    explicit Counted(TComponent* o) : TComponent(o) { ++alive; }
    ~Counted() override { --alive; }
  };
  {
    Counted root(nullptr);
    auto* a = new Counted(&root);
    new Counted(a);
    auto* b = new Counted(&root);
    EXPECT_EQ(alive, 4);
    delete b;  // an owned child removes itself from its owner
    EXPECT_EQ(root.ComponentCount(), 1);
    EXPECT_EQ(alive, 3);
  }
  EXPECT_EQ(alive, 0);
}

TEST(Streams, MemoryStreamReadsWritesAndSeeks) {
  TMemoryStream m;
  m.WriteString("hello");
  m.SetPosition(1);
  m.WriteString("EL");
  EXPECT_EQ(m.Data(), "hELlo");
  m.Seek(-2, soEnd);
  EXPECT_EQ(m.ReadRest(), "lo");
  // Seeking past the end reads nothing and leaves the size alone; only a
  // write there fills the gap with zeros.
  EXPECT_EQ(m.Seek(7, soBeginning), 7);
  EXPECT_EQ(m.Size(), 5);
  EXPECT_EQ(m.ReadRest(), "");
  EXPECT_EQ(m.Size(), 5);
  m.WriteString("!");
  EXPECT_EQ(m.Data(), std::string("hELlo\0\0!", 8));
  TMemoryStream copy;
  EXPECT_EQ(copy.CopyFrom(m, 0), 8);
  EXPECT_EQ(copy.Data(), m.Data());
}

TEST(Streams, FileStreamCreatesReadsAndReportsFailures) {
  auto dir = std::filesystem::temp_directory_path() / "vizu_stream_test";
  std::filesystem::create_directories(dir);
  std::string name = (dir / "f.bin").string();
  {
    TFileStream f(name, fmCreate);
    f.WriteString(std::string("a\0b", 3));
    f.Sync();
    EXPECT_EQ(f.Size(), 3);
  }
  EXPECT_EQ(ReadWholeFile(name), std::string("a\0b", 3));
  EXPECT_THROW(TFileStream((dir / "missing").string(), fmOpenRead), EVizuError);
  try {
    TFileStream f(dir.string(), fmCreate);
    FAIL();
  } catch (const EVizuError& e) {
    EXPECT_EQ(std::string(e.what()), "Cannot create file " + dir.string());
  }
  std::filesystem::remove_all(dir);
}

TEST(DateTime, CalendarRoundTripsAndKnowsItsEpoch) {
  TDateTime d = 0;
  ASSERT_TRUE(TryEncodeDate(1899, 12, 30, d));
  EXPECT_EQ(d, 0);
  ASSERT_TRUE(TryEncodeDate(2003, 7, 1, d));
  EXPECT_EQ(d, 37803);
  EXPECT_EQ(DayOfWeek(d), 3);  // a Tuesday
  EXPECT_FALSE(TryEncodeDate(2003, 2, 29, d));
  EXPECT_TRUE(TryEncodeDate(2000, 2, 29, d));
  EXPECT_FALSE(TryEncodeDate(0, 1, 1, d));
  for (int days : {1, 59, 60, 366, 36524, 146097, 2958465}) {
    int y, m, dd;
    DecodeDate(days - 693594.0, y, m, dd);
    TDateTime back = 0;
    ASSERT_TRUE(TryEncodeDate(y, m, dd, back));
    EXPECT_EQ(back, days - 693594.0);
  }
  int h, mi, s, ms;
  DecodeTime(37803 + EncodeTime(10, 52, 37, 0), h, mi, s, ms);
  EXPECT_EQ(h * 10000 + mi * 100 + s, 105237);
}
