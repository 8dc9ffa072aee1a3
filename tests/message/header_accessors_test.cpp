#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <filesystem>
#include <map>
#include <regex>
#include <sstream>
#include <vector>

#include "mail/message/mail_message.h"
#include "mail/mime/codecs.h"
#include "mail/mime/mail_dates.h"
#include "platform/error.h"

using namespace Vizu2000;

namespace {

struct Message {
  TVeraDudurur2000 message{nullptr};
  explicit Message(std::initializer_list<const char*> lines = {}) {
    for (const char* line : lines) message.Header().Add(line);
  }
  TVeraDudurur2000* operator->() { return &message; }
};

// Every field label of a header, in order.
std::vector<std::string> Labels(const TStringList& header) {
  std::vector<std::string> labels;
  for (const std::string& line : header) labels.push_back(line.substr(0, line.find(':')));
  return labels;
}

// The header survives being written out and read back with the same fields:
// no value smuggled in a line of its own.
void ExpectIntactHeader(TVeraDudurur2000& message) {
  for (const std::string& line : message.Header()) {
    EXPECT_EQ(line.find('\r'), std::string::npos) << line;
    EXPECT_EQ(line.find('\n'), std::string::npos) << line;
  }
  TVeraDudurur2000 reread(nullptr);
  reread.SetSource(message.GetSource());
  EXPECT_EQ(Labels(reread.Header()), Labels(message.Header()));
}

// A malformed "U" encoded word: the decoder itself raises on it.
constexpr const char* kBrokenWord = "=?x?U?#86)c?=";

}  // namespace

TEST(HeaderAccessors, ReadsDisplayNamesAndAddressesOfAddressFields) {
  Message m({"From: \"Two, Name\" <addr2>", "Reply-To: =?iso-8859-1?Q?Ren=E9?= <rene@x>",
             "To: addrA, \"B\" <addrB>,\t\"C; c\"\t<\taddrC >"});
  EXPECT_EQ(m->GetFromName(), "Two, Name");
  EXPECT_EQ(m->GetFromAddress(), "addr2");
  EXPECT_EQ(m->GetReplyToName(), "Ren\xe9");
  EXPECT_EQ(m->GetReplyToAddress(), "rene@x");
  EXPECT_EQ(m->GetDestName("To", 0), "");
  EXPECT_EQ(m->GetDestAddress("To", 0), "addrA");
  EXPECT_EQ(m->GetDestName("to", 1), "B");
  EXPECT_EQ(m->GetDestAddress("to", 1), "addrB");
  // A quoted name with a semicolon is one name; whitespace left by unfolding
  // is not part of the address.
  EXPECT_EQ(m->GetDestName("To", 2), "C; c");
  EXPECT_EQ(m->GetDestAddress("To", 2), "addrC");
  EXPECT_EQ(m->GetDestName("To", 3), "");
  EXPECT_EQ(m->GetDestAddress("To", 3), "");

  Message bare({"From: addr2", "To: addrA; addrB", "Cc: Name <"});
  EXPECT_EQ(bare->GetFromName(), "");
  EXPECT_EQ(bare->GetFromAddress(), "addr2");
  EXPECT_EQ(bare->GetDestAddress("To", 0), "addrA");
  EXPECT_EQ(bare->GetDestAddress("To", 1), "");
  EXPECT_EQ(bare->GetDestName("Cc", 0), "Name");
  EXPECT_EQ(bare->GetReplyToName(), "");
  EXPECT_EQ(bare->GetReplyToAddress(), "");
}

TEST(HeaderAccessors, BrokenEncodedWordsComeBackAsWritten) {
  ASSERT_THROW(DecodeLine7Bit(kBrokenWord), EVizuError);
  Message m({"From: \"=?x?U?#86)c?=\" <a@b>", "Subject: =?x?U?#86)c?="});
  EXPECT_EQ(m->GetFromName(), kBrokenWord);
  EXPECT_EQ(m->GetSubject(), kBrokenWord);
  EXPECT_EQ(m->GetDestName("From", 0), kBrokenWord);
}

TEST(HeaderAccessors, SubjectIsReadWholeAndWrittenEncodedOnlyWhenNeeded) {
  Message m({"Subject: =?iso-8859-1?Q?Caf=E9?= \"menu\"; today"});
  EXPECT_EQ(m->GetSubject(), "Caf\xe9 \"menu\"; today");

  m->SetSubject("plain words; and more");
  EXPECT_EQ(m->Header()[0], "Subject: plain words; and more");
  EXPECT_EQ(m->GetSubject(), "plain words; and more");

  m->SetCharset("utf-8");
  m->SetSubject("Tr\xc3\xa4" "ffen");
  EXPECT_EQ(m->Header().Count(), 1);
  EXPECT_TRUE(m->Header()[0].starts_with("Subject: =?utf-8?Q?")) << m->Header()[0];
  EXPECT_EQ(m->GetSubject(), "Tr\xc3\xa4" "ffen");

  // The first encoded word shares its line with "Subject: " and still ends
  // by column 76 (RFC 2047 section 2); so does every later one.
  std::string longText;
  for (int i = 0; i < 12; ++i) longText += "W\xc3\xb6rter und S\xc3\xa4tze ";
  m->SetSubject(longText + "Ende");
  const std::string& line = m->Header()[0];
  for (size_t start = 0, space; start < line.size(); start = space + 1) {
    space = line.find(' ', start == 0 ? 9 : start);
    if (space == std::string::npos) space = line.size();
    EXPECT_LE(space - start, 76u) << line;
  }
  EXPECT_EQ(m->GetSubject(), longText + "Ende");
  ExpectIntactHeader(m.message);

  m->SetSubject("");
  EXPECT_EQ(m->Header().Count(), 0);
  EXPECT_EQ(m->GetSubject(), "");
}

TEST(HeaderAccessors, SetFromAndSetReplyToWriteTheFieldForms) {
  Message m({"Subject: s"});
  m->SetFrom("Name One", "addr1");
  EXPECT_EQ(m->GetLabelValue("From"), "\"Name One\" <addr1>");
  m->SetFrom("", "addrA");
  EXPECT_EQ(m->Header()[1], "From: <addrA>");
  m->SetReplyTo("Caf\xe9", "c@x");
  EXPECT_EQ(m->Header()[2], "Reply-To: \"=?iso-8859-1?Q?Caf=E9?=\" <c@x>");
  EXPECT_EQ(m->GetReplyToName(), "Caf\xe9");
  m->SetFrom("Name", "");
  m->SetReplyTo("", "");
  EXPECT_EQ(Labels(m->Header()), std::vector<std::string>{"Subject"});
}

TEST(HeaderAccessors, WrittenValuesNeverBreakTheHeaderAndReadBack) {
  Message m({"Subject: s", "To: t@x"});
  // A quote in a display name would end the quoted string early.
  m->SetFrom("Pat \"the boss\" O'Neil", "pat@x");
  EXPECT_EQ(m->GetFromName(), "Pat \"the boss\" O'Neil");
  EXPECT_EQ(m->GetFromAddress(), "pat@x");
  m->SetReplyTo("a\"b, c", "r@x");
  EXPECT_EQ(m->GetReplyToName(), "a\"b, c");

  // Line breaks in any value would start fields of their own.
  m->SetFrom("Eve\r\nBcc: victim@x", "eve@x\r\nBcc: victim2@x");
  EXPECT_EQ(m->GetFromName(), "Eve\r\nBcc: victim@x");
  EXPECT_EQ(m->GetFromAddress(), "eve@xBcc:victim2@x");
  m->SetSubject("hello\r\nBcc: victim@x");
  EXPECT_EQ(m->GetSubject(), "hello\r\nBcc: victim@x");
  m->AddHop("a\r\nBcc: v@x", "b\n", "c\r", "d\r\n");
  m->SetMessageId("host\r\nBcc: v@x");
  ExpectIntactHeader(m.message);
  EXPECT_FALSE(m->LabelExists("Bcc"));
  // A line break is written as a blank: the hop's own words end there.
  EXPECT_EQ(m->GetReceived(0).From, "a");
}

TEST(HeaderAccessors, DatesAreReadAndWrittenThroughTheMailDateForm) {
  Message m({"Date: garbage"});
  EXPECT_EQ(m->GetDateRaw(), "garbage");
  EXPECT_EQ(m->GetDate(), 0);
  Message none;
  EXPECT_EQ(none->GetDate(), 0);
  EXPECT_EQ(none->GetDateRaw(), "");

  TDateTime when;
  ASSERT_TRUE(TryEncodeDate(2003, 7, 1, when));
  when += EncodeTime(10, 52, 37, 0);
  m->SetDate(when);
  EXPECT_EQ(m->Header().Count(), 1);
  EXPECT_EQ(m->GetDateRaw(), DateTimeToMailDate(when));
  EXPECT_NEAR(m->GetDate(), when, 1.0 / 86400);
}

TEST(HeaderAccessors, MessageIdsAreWellFormedAndFresh) {
  Message m;
  const std::regex form(R"(<\d{14}\.[0-9A-F]{32}@([^<>\s]+)>)");
  m->SetMessageId("192.0.2.5");
  std::smatch match;
  std::string first = m->GetMessageId();
  ASSERT_TRUE(std::regex_match(first, match, form)) << first;
  EXPECT_EQ(match[1], "192.0.2.5");
  m->SetMessageId("192.0.2.5");
  EXPECT_NE(m->GetMessageId(), first);
  EXPECT_EQ(m->Header().Count(), 1);

  // An IPv6 address goes in as an address literal, without its zone.
  std::string v6;
  m->SetMessageId("2001:db8::5%eth0");
  v6 = m->GetMessageId();
  ASSERT_TRUE(std::regex_match(v6, match, form)) << v6;
  EXPECT_EQ(match[1], "[IPv6:2001:db8::5]");
  m->SetMessageId("[IPv6:2001:db8::7]");
  v6 = m->GetMessageId();
  ASSERT_TRUE(std::regex_match(v6, match, form)) << v6;
  EXPECT_EQ(match[1], "[IPv6:2001:db8::7]");

  // What the socket may give for a local address: loopback, nothing, or
  // text that is no id-right at all.
  for (const auto& [given, written] : std::vector<std::pair<std::string, std::string>>{
           {"::1", "[IPv6:::1]"}, {"", "localhost"}, {"  ", "localhost"},
           {"bad host", "localhost"}, {"a..b", "localhost"}, {"mx.example.org", "mx.example.org"}}) {
    m->SetMessageId(given);
    const std::string id = m->GetMessageId();
    ASSERT_TRUE(std::regex_match(id, match, form)) << id;
    EXPECT_EQ(match[1], written) << given;
  }
}

TEST(HeaderAccessors, ReadsTraceHopsWithCommentsAndBrackets) {
  Message m({
      "Return-Path: <u@x>",
      "Received: from relayA (relayA [192.0.2.1]) by mxB (mailer) with ESMTP id 4F2 for <addrU>; "
      "Tue, 1 Jul 2003 10:52:37 +0200",
      "Received-SPF: pass (from spoof by spoof) client-ip=192.0.2.1",
      "Received: from [10.0.0.5] (unknown [203.0.113.9])\tby\trelayA (mailer (nested; deep) 2)\t"
      "with ESMTPSA id 44B1\tfor 'u@x'",
      "Received: (from user@localhost) by ws.example.org id 45C1; no date here",
      "Received: from (only a comment) by hostC from hostD",
      "X-Received: by spoof",
      "Subject: s",
  });
  ASSERT_EQ(m->GetReceivedCount(), 4);

  TReceived hop = m->GetReceived(0);
  EXPECT_EQ(hop.From, "relayA");
  EXPECT_EQ(hop.By, "mxB");
  EXPECT_EQ(hop.For, "addrU");
  EXPECT_NE(hop.Date, 0);

  hop = m->GetReceived(1);  // the Received-SPF field is not counted
  EXPECT_EQ(hop.From, "[10.0.0.5]");
  EXPECT_EQ(hop.By, "relayA");
  EXPECT_EQ(hop.For, "u@x");
  EXPECT_EQ(hop.Date, 0);

  hop = m->GetReceived(2);
  EXPECT_EQ(hop.From, "");
  EXPECT_EQ(hop.By, "ws.example.org");
  EXPECT_EQ(hop.Date, 0);

  // A clause keyword is never a value; a repeated clause overwrites.
  hop = m->GetReceived(3);
  EXPECT_EQ(hop.From, "hostD");
  EXPECT_EQ(hop.By, "hostC");

  for (int bad : {-1, 4}) {
    try {
      m->GetReceived(bad);
      ADD_FAILURE() << bad;
    } catch (const EVizuError& e) {
      EXPECT_EQ(std::string(e.what()), "List index out of bounds (" + std::to_string(bad) + ")");
    }
  }
  EXPECT_EQ(m->Header().Count(), 8);
}

TEST(HeaderAccessors, AddHopPutsTheNewestHopOnTop) {
  Message m({"Received: from old by older; x", "Subject: s"});
  m->AddHop("hostA", "hostB", "ESMTP", "addrU");
  ASSERT_EQ(m->GetReceivedCount(), 2);
  const std::string stamp = m->Header()[0];
  const std::string prefix = "Received: from hostA by hostB with ESMTP for <addrU>; ";
  ASSERT_TRUE(stamp.starts_with(prefix)) << stamp;
  TReceived hop = m->GetReceived(0);
  EXPECT_EQ(hop.From, "hostA");
  EXPECT_EQ(hop.By, "hostB");
  EXPECT_EQ(hop.For, "addrU");
  EXPECT_NEAR(hop.Date, MailDateToDateTime(stamp.substr(prefix.size())), 1e-9);
  EXPECT_NEAR(hop.Date, Now(), 2.0 / 86400);
  EXPECT_EQ(m->GetReceived(1).From, "old");

  m->AddHop("", "", "", "");
  EXPECT_TRUE(m->Header()[0].starts_with("Received:; ")) << m->Header()[0];
  EXPECT_EQ(m->GetReceived(0).From, "");
  EXPECT_EQ(m->GetReceivedCount(), 3);
}

// The samples' hops as our reader sees them must match what Python's own
// mail reader finds in the same files.
TEST(HeaderAccessors, SampleHopsAgreeWithPythonsMailReader) {
  const char* python = "/usr/bin/python3";
  if (!std::filesystem::exists(python)) GTEST_SKIP() << "no " << python;
  std::vector<std::string> files;
  for (const char* folder : {"/messages", "/fragile"})
    for (const auto& entry : std::filesystem::directory_iterator(std::string(VIZU_TEST_DATA) + folder))
      if (entry.path().extension() == ".eml") files.push_back(entry.path().string());
  std::string command = std::string(python) + " -I " VIZU_TEST_DATA "/received_hops.py";
  for (const std::string& file : files) command += " '" + file + "'";
  FILE* pipe = popen(command.c_str(), "r");
  ASSERT_NE(pipe, nullptr);
  std::string output;
  char buffer[4096];
  for (size_t n; (n = fread(buffer, 1, sizeof buffer, pipe)) > 0;) output.append(buffer, n);
  ASSERT_EQ(pclose(pipe), 0) << output;

  std::istringstream lines(output);
  std::string line;
  int filesSeen = 0, hopsSeen = 0;
  while (std::getline(lines, line)) {
    const size_t space = line.rfind(' ');
    const std::string file = line.substr(0, space);
    const int count = std::stoi(line.substr(space + 1));
    SCOPED_TRACE(file);
    ++filesSeen;
    TVeraDudurur2000 message(nullptr);
    message.LoadFromFile(file);
    ASSERT_EQ(message.GetReceivedCount(), count);
    for (int i = 0; i < count; ++i, ++hopsSeen) {
      ASSERT_TRUE(std::getline(lines, line));
      const size_t tab = line.find('\t');
      TReceived hop = message.GetReceived(i);
      EXPECT_EQ(hop.From, line.substr(0, tab)) << "hop " << i;
      EXPECT_EQ(hop.By, line.substr(tab + 1)) << "hop " << i;
    }
  }
  EXPECT_EQ(filesSeen, static_cast<int>(files.size()));
  EXPECT_GE(hopsSeen, 6);
}
