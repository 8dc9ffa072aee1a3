#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <set>
#include <string>
#include <vector>

#include <unistd.h>

#include "mail/mime/mime_types.h"
#include "platform/random.h"
#include "platform/file_types.h"

using namespace Vizu2000;

namespace {

// Lookups run against a list of our own, so results do not depend on the
// machine's database; the system one comes back for the next suite.
class MimeTypesLookup : public ::testing::Test {
 protected:
  void SetUp() override {
    path_ = std::filesystem::temp_directory_path() /
            ("mime_types_test_" + std::to_string(::getpid()) + ".types");
    std::ofstream(path_) << "#image/x-comment cmt\n"
                            "image/gif\t\t\t\tgif\r\n"
                            "text/plain   txt text conf  # trailing comment\n"
                            "application/x-first dup\n"
                            "application/x-second dup other\n"
                            "Application/Mixed-Case MiXeD\n"
                            "text/plain later\n"
                            "application/no-extension\n"
                            "audio/x-last  mp9";
    ASSERT_TRUE(LoadFileTypes(path_.string()));
  }
  void TearDown() override {
    std::filesystem::remove(path_);
    ResetFileTypes();
  }
  std::filesystem::path path_;
};

}  // namespace

TEST_F(MimeTypesLookup, TypeOfFileNameUsesLastExtensionIgnoringCase) {
  EXPECT_EQ(GetMimeType("photo.GIF"), "image/gif");
  EXPECT_EQ(GetMimeType("archive.gif.txt"), "text/plain");
  EXPECT_EQ(GetMimeType(".txt"), "text/plain");
  EXPECT_EQ(GetMimeType("x.dup"), "application/x-first");
  EXPECT_EQ(GetMimeType("x.MIXED"), "Application/Mixed-Case");
  EXPECT_EQ(GetMimeType("C:\\mail\\note.txt"), "text/plain");
  EXPECT_EQ(GetMimeType("song.mp9"), "audio/x-last");
  // No extension, an empty one, an unknown one, or a dot that belongs to a
  // directory: the default.
  for (const char* name : {"README", "", "name.", "x.unknown", "x.cmt", "dir.txt\\file",
                           "dir.txt/file", "x.txt:stream"})
    EXPECT_EQ(GetMimeType(name), "application/octet-stream") << name;
}

TEST_F(MimeTypesLookup, ExtensionOfTypeIsTheFirstListedWithItsDot) {
  EXPECT_EQ(GetMimeExtension("image/gif"), ".gif");
  EXPECT_EQ(GetMimeExtension("IMAGE/Gif"), ".gif");
  EXPECT_EQ(GetMimeExtension("text/plain"), ".txt");
  EXPECT_EQ(GetMimeExtension("application/mixed-case"), ".MiXeD");
  for (const char* type : {"", "image/png", "application/no-extension", "image/gif; x=1", "gif",
                           "image/x-comment"})
    EXPECT_EQ(GetMimeExtension(type), "") << type;
}

TEST_F(MimeTypesLookup, WithoutAnyListTheDefaultsHold) {
  EXPECT_FALSE(LoadFileTypes((path_.string() + ".missing")));
  EXPECT_EQ(GetMimeType("photo.gif"), "application/octet-stream");
  EXPECT_EQ(GetMimeExtension("image/gif"), "");
}

TEST(GenerateBoundary, HoldsOneHundredTwentyEightRandomBitsInBchars) {
  std::set<std::string> seen;
  std::vector<std::set<char>> digits(32);
  for (int i = 0; i < 64; ++i) {
    std::string b = GenerateBoundary();
    ASSERT_EQ(b.size(), 40u) << b;
    EXPECT_EQ(b.substr(0, 8), "boundary");
    EXPECT_TRUE(IsBoundaryText(b)) << b;
    for (size_t k = 0; k < 32; ++k) {
      char c = b[8 + k];
      EXPECT_TRUE((c >= '0' && c <= '9') || (c >= 'A' && c <= 'F')) << b;
      digits[k].insert(c);
    }
    seen.insert(b);
  }
  EXPECT_EQ(seen.size(), 64u);
  // Every digit varies: no part of the text is fixed or padded.
  for (const auto& taken : digits) EXPECT_GE(taken.size(), 4u);

  std::string token = RandomToken(16);
  EXPECT_EQ(token.size(), 32u);
  EXPECT_EQ(token.find_first_not_of("0123456789ABCDEF"), std::string::npos) << token;
  EXPECT_NE(RandomToken(16), token);
  EXPECT_EQ(RandomToken(0), "");
  std::string big(100000, '\0');
  SystemRandomBytes(big.data(), big.size());
  std::set<char> values(big.begin(), big.end());
  EXPECT_EQ(values.size(), 256u);

  // RFC 2046 section 5.1.1: 1 to 70 bchars, the last not a space.
  EXPECT_TRUE(IsBoundaryText("a"));
  EXPECT_TRUE(IsBoundaryText("=_'()+_,-./:=? x"));
  EXPECT_TRUE(IsBoundaryText(std::string(70, 'b')));
  EXPECT_FALSE(IsBoundaryText(std::string(71, 'b')));
  EXPECT_FALSE(IsBoundaryText(""));
  EXPECT_FALSE(IsBoundaryText("ends "));
  for (std::string bad : {"a\"b", "a;b", "a\tb", "a\r\nb", "a@b", "a<b", "caf\xE9"})
    EXPECT_FALSE(IsBoundaryText(bad)) << bad;
}

TEST(ValidFileName, TrimsCutsAndReplacesUnsafeCharacters) {
  EXPECT_EQ(ValidFileName("  a:b/c?.txt  "), "a_b_c_.txt");
  EXPECT_EQ(ValidFileName("it's"), "it_s");
  EXPECT_EQ(ValidFileName(":\\/*?\"<>|'"), "__________");
  EXPECT_EQ(ValidFileName("a\tb\x01" "c\x1f"), "a_b_c_");
  EXPECT_EQ(ValidFileName(std::string("a\0b", 3)), "a_b");
  // Bytes above 127 and DEL are not control characters here.
  EXPECT_EQ(ValidFileName("r\xC3\xA9sum\xC3\xA9\x7F"), "r\xC3\xA9sum\xC3\xA9\x7F");
  // Only spaces are trimmed; a leading TAB is replaced.
  EXPECT_EQ(ValidFileName("\tx "), "_x");
  EXPECT_EQ(ValidFileName(""), "");
  EXPECT_EQ(ValidFileName("    "), "");
  // At most 254 characters, counted after trimming.
  EXPECT_EQ(ValidFileName(std::string(300, 'x')), std::string(254, 'x'));
  EXPECT_EQ(ValidFileName(std::string(254, 'y')), std::string(254, 'y'));
  EXPECT_EQ(ValidFileName("   " + std::string(254, 'z') + "   "), std::string(254, 'z'));
  EXPECT_EQ(ValidFileName(std::string(253, 'a') + "/b"), std::string(253, 'a') + "_");
}

TEST(IsIPAddress, EveryDotSeparatedPartMustBeANonNegativeInteger) {
  for (const char* yes : {"192.168.0.1", "1.2.3", "12345", "0x0A.1.1.1", "$FF.0", " 1. 2",
                          "999.999.999.999", "1.2.3.4.5", "2147483647"})
    EXPECT_TRUE(IsIPAddress(yes)) << yes;
  for (const char* no : {"mailhost", "1..2", "1.2.", ".1.2", "", ".", "10.-1.0.1",
                         "1.2.3.4 ", "$FFFFFFFF.1", "2147483648", "1.2.3.a", "::1", "-0x1"})
    EXPECT_FALSE(IsIPAddress(no)) << no;
}
