#include "mail/mime/charsets.h"

#include <gtest/gtest.h>

using namespace Vizu2000;

namespace {

// The converted text, or "<failed>" with out seen untouched.
std::string Convert(std::string_view bytes, std::string_view from, std::string_view to) {
  std::string out = "<failed>";
  bool ok = ConvertCharset(bytes, from, to, out);
  EXPECT_EQ(ok, out != "<failed>") << from << " -> " << to;
  return out;
}

}  // namespace

TEST(Charsets, ConvertsExactlyOrNotAtAll) {
  EXPECT_EQ(Convert("\xe9t\xe9.txt", "iso-8859-1", "utf-8"), "\xc3\xa9t\xc3\xa9.txt");
  EXPECT_EQ(Convert("\x80 5", "Windows-1252", "UTF-8"), "\xe2\x82\xac 5");
  EXPECT_EQ(Convert("\xe2\x82\xac", "utf-8", "iso-8859-15"), "\xa4");
  EXPECT_EQ(Convert("", "us-ascii", "iso-8859-1"), "");
  // Nothing dropped, replaced or guessed.
  EXPECT_EQ(Convert("\xe2\x82\xac.pdf", "utf-8", "iso-8859-1"), "<failed>");
  EXPECT_EQ(Convert("a\xe9", "us-ascii", "utf-8"), "<failed>");
  EXPECT_EQ(Convert("a\xff", "utf-8", "utf-8"), "<failed>");
  EXPECT_EQ(Convert("a\xe2\x82", "utf-8", "utf-16"), "<failed>");
  EXPECT_EQ(Convert("abc", "no-such-charset", "utf-8"), "<failed>");
  EXPECT_EQ(Convert("abc", "", "utf-8"), "<failed>");  // not the locale's
  EXPECT_EQ(Convert("\xe2\x82\xac", "utf-8", "iso-8859-1//TRANSLIT"), "<failed>");
}

TEST(Charsets, StatefulTargetsEndInTheirInitialState) {
  // ISO-2022-JP shifts to JIS X 0208 for the kana and must shift back.
  EXPECT_EQ(Convert("\xe3\x81\x82", "utf-8", "iso-2022-jp"), "\x1b$B$\"\x1b(B");
  std::string utf8;
  for (int i = 0; i < 5000; ++i) utf8 += "\xc3\xa9";
  EXPECT_EQ(Convert(std::string(5000, '\xe9'), "latin1", "utf-8"), utf8);  // outgrows the buffer
}
