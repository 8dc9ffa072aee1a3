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
  EXPECT_EQ(Convert("\xc3\xa9t\xc3\xa9", "UTF-8", "ISO-8859-1"), "\xe9t\xe9");
  EXPECT_EQ(Convert("\x80 5", "Windows-1252", "utf-8"), "\xe2\x82\xac 5");
  EXPECT_EQ(Convert("\xe2\x82\xac", "utf-8", "iso-8859-15"), "\xa4");
  EXPECT_EQ(Convert("plain", "us-ascii", "utf-8"), "plain");
  EXPECT_EQ(Convert("", "utf-8", "iso-8859-1"), "");

  // Nothing dropped, replaced or guessed.
  EXPECT_EQ(Convert("\xe2\x82\xac.pdf", "utf-8", "iso-8859-1"), "<failed>");
  EXPECT_EQ(Convert("a\xe9", "us-ascii", "utf-8"), "<failed>");
  EXPECT_EQ(Convert("a\xff", "utf-8", "utf-8"), "<failed>");
  EXPECT_EQ(Convert("a\xe2\x82", "utf-8", "utf-16"), "<failed>");  // cut off
  EXPECT_EQ(Convert("abc", "no-such-charset", "utf-8"), "<failed>");
  EXPECT_EQ(Convert("abc", "", "utf-8"), "<failed>");
  EXPECT_EQ(Convert("abc", "utf-8", ""), "<failed>");
  EXPECT_EQ(Convert("\xe2\x82\xac", "utf-8", "iso-8859-1//TRANSLIT"), "<failed>");
  EXPECT_EQ(Convert("\xe2\x82\xac", "utf-8", "iso-8859-1//IGNORE"), "<failed>");
  EXPECT_TRUE(IsCharsetName("ISO_8859-1:1987"));
  EXPECT_FALSE(IsCharsetName("utf-8?Q?x"));
}

TEST(Charsets, StatefulTargetsEndInTheirInitialState) {
  // ISO-2022-JP shifts to JIS X 0208 for the kana and must shift back.
  std::string jis = Convert("\xe3\x81\x82", "utf-8", "iso-2022-jp");
  EXPECT_EQ(jis, "\x1b$B$\"\x1b(B");
  EXPECT_EQ(Convert(jis, "ISO-2022-JP", "UTF-8"), "\xe3\x81\x82");
  // A long text that outgrows the first output buffer.
  std::string latin(5000, '\xe9');
  std::string utf8;
  for (int i = 0; i < 5000; ++i) utf8 += "\xc3\xa9";
  EXPECT_EQ(Convert(latin, "latin1", "utf-8"), utf8);
}
