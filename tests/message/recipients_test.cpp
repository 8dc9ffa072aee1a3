#include <gtest/gtest.h>

#include "mail/message/mail_message.h"
#include "mail/message/recipients.h"
#include "platform/error.h"

using namespace Vizu2000;

namespace {

// A message whose header holds the given lines, and "To" recipients on it.
struct Fixture {
  TVeraDudurur2000 message{nullptr};
  TMailRecipients to{&message, "To"};
  explicit Fixture(std::initializer_list<const char*> lines = {}) {
    for (const char* line : lines) message.Header().Add(line);
  }
  std::string Field() { return message.GetLabelValue("To"); }
};

}  // namespace

TEST(MailRecipients, ParsesTheFieldIntoNamesAndAddresses) {
  Fixture f({"From: x@y", "To: \"One, Name\" <addr1>, addr3"});
  ASSERT_EQ(f.to.GetCount(), 2);
  EXPECT_EQ(f.to.GetName(0), "One, Name");
  EXPECT_EQ(f.to.GetAddress(0), "addr1");
  EXPECT_EQ(f.to.GetName(1), "");
  EXPECT_EQ(f.to.GetAddress(1), "addr3");
  // The two lists themselves, current with the header.
  f.message.SetLabelValue("To", "<addr9>");
  EXPECT_EQ(f.to.Names().Text(), "\r\n");
  EXPECT_EQ(f.to.Addresses().Text(), "addr9\r\n");

  Fixture semicolon({"To: addrA; addrB"});
  EXPECT_EQ(semicolon.to.GetAllAddresses(), "addrA");
  Fixture trailing({"to: addrA,"});
  EXPECT_EQ(trailing.to.GetAllAddresses(), "addrA,");
  Fixture odd({"To: =?iso-8859-1?Q?Ren=E9?= < r e >junk, \"a;b\" <c>"});
  ASSERT_EQ(odd.to.GetCount(), 2);
  EXPECT_EQ(odd.to.GetName(0), "Ren\xE9");
  EXPECT_EQ(odd.to.GetAddress(0), "rejunk");
  EXPECT_EQ(odd.to.GetName(1), "a;b");
  Fixture badWord({"To: =?x?U?zzzz?= <a>"});
  EXPECT_EQ(badWord.to.GetName(0), "=?x?U?zzzz?=");
  Fixture none({"Subject: hi"});
  EXPECT_EQ(none.to.GetCount(), 0);
  EXPECT_EQ(none.to.FindName(""), -1);
}

TEST(MailRecipients, EditsAreWrittenBackAtOnce) {
  Fixture f({"Subject: s"});
  f.to.Add("", "addrA");
  EXPECT_EQ(f.message.Header()[1], "To: <addrA>");
  f.to.Add("  Bob  ", " b@x ");
  EXPECT_EQ(f.Field(), "<addrA>, \"Bob\" <b@x>");
  EXPECT_EQ(f.to.GetName(1), "  Bob  ");  // own writes are not parsed back
  f.to.Replace(0, "Ann", "a@x");
  f.to.SetAddress(1, "bob@x");
  EXPECT_EQ(f.Field(), "\"Ann\" <a@x>, \"Bob\" <bob@x>");
  f.to.Delete(0);
  f.to.SetName(0, "");
  EXPECT_EQ(f.Field(), "<bob@x>");
  f.to.Delete(0);
  EXPECT_FALSE(f.message.LabelExists("To"));
  EXPECT_EQ(f.message.Header().Count(), 1);

  f.message.SetCharset("utf-8");
  f.to.Add("Ren\xE9", "r@x");
  EXPECT_EQ(f.Field().rfind("\"=?utf-8?Q?", 0), 0u) << f.Field();
  TMailRecipients fresh(&f.message, "To");
  EXPECT_EQ(fresh.GetName(0), "Ren\xE9");

  // A double quote inside a name cannot end the quoted name early: read back
  // elsewhere, name and address are what was written.
  f.message.SetCharset("iso-8859-1");
  f.to.Add("Bob \"The\" \"Builder", "bob@x");
  TMailRecipients again(&f.message, "To");
  ASSERT_EQ(again.GetCount(), 2);
  EXPECT_EQ(again.GetName(1), "Bob \"The\" \"Builder");
  EXPECT_EQ(again.GetAddress(1), "bob@x");

  // Parameters of the field survive; line breaks never reach the header.
  Fixture params({"To: a@x; x=y"});
  params.to.Add("", "b@x\r\nBcc: evil");
  EXPECT_EQ(params.message.Header()[0], "To: <a@x>, <b@xBcc: evil>; x=y");
}

TEST(MailRecipients, RefreshesWheneverTheFieldTextChanges) {
  Fixture f({"To: <a@x>", "Cc: <c@x>"});
  EXPECT_EQ(f.to.GetAddress(0), "a@x");
  f.message.Header()[0] = "To: <b@x>";  // same header length
  EXPECT_EQ(f.to.GetAddress(0), "b@x");
  f.message.Header().Delete(0);
  EXPECT_EQ(f.to.GetCount(), 0);
  f.message.Header().Add("To: <d@x>, <e@x>");
  EXPECT_EQ(f.to.GetAllAddresses(), "d@x,e@x");
  f.message.Header().Add("To: <second@x>");
  f.to.Clear();
  EXPECT_FALSE(f.message.LabelExists("To"));
  EXPECT_EQ(f.to.GetCount(), 0);
  EXPECT_EQ(f.message.GetLabelValue("Cc"), "<c@x>");
}

TEST(MailRecipients, CommaTextsInAndOut) {
  Fixture f;
  f.to.SetAll("\"Name One\",Three", "addr1,addr3");
  ASSERT_EQ(f.to.GetCount(), 2);
  EXPECT_EQ(f.to.GetName(0), "Name One");
  EXPECT_EQ(f.to.GetAllNames(), "\"Name One\",Three");
  EXPECT_EQ(f.Field(), "\"Name One\" <addr1>, \"Three\" <addr3>");

  f.to.SetAll("", "");
  EXPECT_EQ(f.to.GetCount(), 1);
  EXPECT_EQ(f.Field(), "<>");
  EXPECT_EQ(f.to.GetAllAddresses(), "\"\"");

  f.to.SetAll("a b c", " x ,, \"y\"\"z\"\t\"open");
  EXPECT_EQ(f.to.GetAllAddresses(), "x,,\"y\"\"z\",open");
  EXPECT_EQ(f.to.GetAllNames(), "a,b,c,");
  f.to.SetAll("", "addrA,\"addr B\",\"t\tab\"");
  EXPECT_EQ(f.to.GetAllAddresses(), "addrA,\"addr B\",\"t\tab\"");
  EXPECT_EQ(f.to.GetAllNames(), ",,");

  TStringList names, addresses;
  names.Add("keep");
  f.to.AddNamesTo(names);
  f.to.AddAddressesTo(addresses);
  EXPECT_EQ(names.Count(), 4);
  EXPECT_EQ(addresses[1], "addr B");
  EXPECT_EQ(f.to.GetCount(), 3);
}

TEST(MailRecipients, FindsByPrefixAndRejectsBadIndexes) {
  Fixture f({"To: \"Bob\" <ABCD@x>, <ab@y>"});
  EXPECT_EQ(f.to.FindAddress("ab"), 0);
  EXPECT_EQ(f.to.FindAddress("ab@"), 1);
  EXPECT_EQ(f.to.FindAddress("zz"), -1);
  EXPECT_EQ(f.to.FindName("bo"), 0);
  EXPECT_EQ(f.to.FindName(""), 0);

  std::string before = f.message.Header().Text();
  EXPECT_THROW(f.to.GetName(-1), EVizuError);
  EXPECT_THROW(f.to.GetAddress(2), EVizuError);
  EXPECT_THROW(f.to.SetName(2, "n"), EVizuError);
  EXPECT_THROW(f.to.SetAddress(-1, "a"), EVizuError);
  EXPECT_THROW(f.to.Replace(5, "n", "a"), EVizuError);
  try {
    f.to.Delete(2);
    FAIL();
  } catch (const EVizuError& e) {
    EXPECT_STREQ(e.what(), "List index out of bounds (2)");
  }
  EXPECT_EQ(f.message.Header().Text(), before);
  EXPECT_EQ(f.to.GetCount(), 2);
}
