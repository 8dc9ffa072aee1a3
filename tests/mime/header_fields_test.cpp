#include <gtest/gtest.h>

#include <chrono>
#include <random>

#include "mail/mime/header_fields.h"

using namespace Vizu2000;

namespace {

std::string Unfold(std::string text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text.compare(i, 3, "\r\n\t") == 0) {
      out.push_back(' ');
      i += 2;
    } else {
      out.push_back(text[i]);
    }
  }
  return out;
}

std::vector<std::string> PCharLines(std::string_view text) {
  std::vector<std::string> lines;
  long long position = -1;
  size_t length = 0;
  const char* start = nullptr;
  bool done = false;
  for (int guard = 0; guard < 100000; ++guard) {
    DataLinePChar(text.data(), text.size(), position, length, start, done);
    if (done) break;
    EXPECT_GE(start, text.data());
    EXPECT_LE(start + length, text.data() + text.size());
    lines.emplace_back(start, length);
  }
  return lines;
}

}  // namespace

TEST(HeaderFields, TrimsOnlySpacesAndPads) {
  EXPECT_EQ(TrimSpace("   "), "");
  EXPECT_EQ(TrimSpace("  a b\t"), "a b\t");
  EXPECT_EQ(TrimLeftSpace("  a "), "a ");
  EXPECT_EQ(TrimRightSpace(" \ta  "), " \ta");
  EXPECT_EQ(TrimRightSpace(""), "");
  EXPECT_EQ(PadL(" A", 2, "0"), "0A");
  EXPECT_EQ(PadL("12345", 2, "0"), "45");
  EXPECT_EQ(PadL("7", 8, "0"), "00000007");
  EXPECT_EQ(PadL("   ", 2, "0"), "00");
  EXPECT_EQ(PadL("a", 4, ""), "a");
  EXPECT_EQ(PadL("a", 4, "xy"), "xyxya");  // the pad is whole, so it may overshoot
  EXPECT_EQ(PadL("abc", 0, "0"), "");
  EXPECT_EQ(PadL("abc", -3, "0"), "");
}

TEST(HeaderFields, SearchStringListCountsPrefixMatches) {
  TStringList list;
  for (const char* s : {"Received: a", "To-Do: x", "RECEIVED: b", "To: y", "Rec"}) list.Add(s);
  EXPECT_EQ(SearchStringList(&list, "received:", 0), 0);
  EXPECT_EQ(SearchStringList(&list, "Received:", 1), 2);
  EXPECT_EQ(SearchStringList(&list, "Received:", 2), -1);
  EXPECT_EQ(SearchStringList(&list, "To:", 0), 3);
  EXPECT_EQ(SearchStringList(&list, "Received: a and more", 0), -1);
  EXPECT_EQ(SearchStringList(&list, "", 4), 4);
  EXPECT_EQ(SearchStringList(&list, "", 5), -1);
  EXPECT_EQ(SearchStringList(&list, "To:", -1), -1);
  EXPECT_EQ(SearchStringList(nullptr, "To:", 0), -1);
}

TEST(HeaderFields, NormalizeLabelFixesCaseAndSpaces) {
  EXPECT_EQ(NormalizeLabel("content-type:   text/plain"), "Content-Type: text/plain");
  EXPECT_EQ(NormalizeLabel("MIME-Version: 1.0"), "Mime-Version: 1.0");
  EXPECT_EQ(NormalizeLabel("message-id: <a@b>"), "Message-ID: <a@b>");
  EXPECT_EQ(NormalizeLabel("Message-Id:<a@b>"), "Message-ID: <a@b>");
  EXPECT_EQ(NormalizeLabel("content-id:"), "Content-ID: ");
  EXPECT_EQ(NormalizeLabel("x-identity: a"), "X-Identity: a");
  EXPECT_EQ(NormalizeLabel("subject:   a   b  "), "Subject: a b");
  EXPECT_EQ(NormalizeLabel("subject: \"a   b\"   c"), "Subject: \"a   b\" c");
  EXPECT_EQ(NormalizeLabel("x-no colon-here"), "X-No colon-Here ");
  EXPECT_EQ(NormalizeLabel("x-tab \t: a"), "X-Tab: a");
  EXPECT_EQ(NormalizeLabel(""), " ");
  // An unclosed quote keeps its text, inner spaces included.
  EXPECT_EQ(NormalizeLabel("subject: x  \"a   b"), "Subject: x \"a   b");
  EXPECT_EQ(NormalizeLabel("subject: \""), "Subject: \"");
  std::string bytes("x-bin: a\0\xE9\xFF  b", 14);
  EXPECT_EQ(NormalizeLabel(bytes), std::string("X-Bin: a\0\xE9\xFF b", 13));
}

TEST(HeaderFields, LabelValueAndWriteLabelValue) {
  EXPECT_EQ(LabelValue("Content-Type: text/plain; charset=x"), "text/plain");
  EXPECT_EQ(LabelValue("X-A: \"a;b\"; c=d"), "a;b");
  EXPECT_EQ(LabelValue("Subject: Re: hi"), "Re: hi");
  EXPECT_EQ(LabelValue("\"a:b\": c"), "c");
  EXPECT_EQ(LabelValue("no colon"), "");
  EXPECT_EQ(LabelValue("X: \""), "");
  EXPECT_EQ(LabelValue("X: \"open; still"), "\"open; still");
  EXPECT_EQ(LabelValue("X:"), "");

  EXPECT_EQ(WriteLabelValue("Content-Type: text/plain; charset=x", "text/html"),
            "Content-Type: text/html; charset=x");
  EXPECT_EQ(WriteLabelValue("Content-Type: \"a;b\"; c=d", "  e  "), "Content-Type: e; c=d");
  EXPECT_EQ(WriteLabelValue("Subject: Re: hi", "z"), "Subject: z");
  EXPECT_EQ(WriteLabelValue("X:", ""), "X: ");
  EXPECT_EQ(WriteLabelValue("no colon", "v"), "no colon");
}

TEST(HeaderFields, LabelParamValueReadsParameters) {
  const char* type = "Content-Type: multipart/mixed; BOUNDARY=\"b1\"";
  EXPECT_EQ(LabelParamValue(type, "boundary"), "b1");
  EXPECT_EQ(LabelParamValue(type, " Boundary "), "b1");
  EXPECT_EQ(LabelParamValue(type, "charset"), "");
  EXPECT_EQ(LabelParamValue("X: v; charset = \"x\" ", "charset"), "x");
  EXPECT_EQ(LabelParamValue("X: v; boundary=a=b", "boundary"), "a");
  EXPECT_EQ(LabelParamValue("X: v; boundary=\"a=b\"", "boundary"), "a=b");
  EXPECT_EQ(LabelParamValue("X: v; name=\"a;b\"; size=3", "name"), "a;b");
  EXPECT_EQ(LabelParamValue("X: v; name=\"a;b\"; size=3", "size"), "3");
  EXPECT_EQ(LabelParamValue("X: v; a=1; a=2", "a"), "12");
  EXPECT_EQ(LabelParamValue("X: a=1; b=2", "a"), "");  // the field's value is no parameter
  EXPECT_EQ(LabelParamValue("charset=x", "charset"), "");
  EXPECT_EQ(LabelParamValue("Content-Type: text/plain", "charset"), "");
  // The closing semicolon the reader supplies never leaks into an open quote.
  EXPECT_EQ(LabelParamValue("X: v; name=\"abc", "name"), "\"abc");
}

// RFC 2231 values, read where no plain value is given.
TEST(HeaderFields, ReadsExtendedParameterValues) {
  TParamValue euro = ReadLabelParam("Content-Type: a/b; NAME*=UTF-8'en'%E2%82%AC.pdf", "Name");
  EXPECT_TRUE(euro.extended);
  EXPECT_EQ(euro.value, "\xE2\x82\xAC.pdf");
  EXPECT_EQ(euro.charset, "UTF-8");
  EXPECT_EQ(euro.language, "en");
  // Escapes that are broken or cut off stay as written; so does the whole
  // text without both apostrophes. Quotes, which some senders add, go.
  TParamValue bare = ReadLabelParam("X: v; name*=''%41%zz%4g%%4", "name");
  EXPECT_EQ(bare.value, "A%zz%4g%%4");
  EXPECT_EQ(bare.charset, "");
  EXPECT_EQ(LabelParamValue("X: v; name*=\"it's%20x\"", "name"), "it's x");
  EXPECT_EQ(LabelParamValue("X: v; name*=\"utf-8''a%3Bb\"; size=3", "name"), "a;b");
  EXPECT_EQ(LabelParamValue("X: v; name*=''%3D%3Fx%3FQ%3Fy%3F%3D", "name"), "=?x?Q?y?=");

  // A plain value wins, unless it is empty.
  TParamValue both = ReadLabelParam("X: v; name*=UTF-8''b; name=\"a\"; name*0=c", "name");
  EXPECT_EQ(both.value, "a");
  EXPECT_FALSE(both.extended);
  EXPECT_EQ(LabelParamValue("X: v; name=\"\"; name*=''b", "name"), "b");
  // Longer names, text inside quotes and the field's value are not it.
  EXPECT_EQ(LabelParamValue("X: v; names*=''a; filename*=''b; x=\"; name*=''c\"", "name"), "");
  EXPECT_EQ(LabelParamValue("X: name*=''a", "name"), "");
}

TEST(HeaderFields, JoinsParameterSections) {
  EXPECT_EQ(LabelParamValue("X: v; name*0=long; name*1=\"na;me\"; name*2=.txt", "name"), "longna;me.txt");
  // Only the first section names a charset: later apostrophes are text,
  // and a plain section keeps its percent signs.
  TParamValue split = ReadLabelParam("X: v; n*0*=x'y'%E2%82; N*1*=b'c'%AC; n*2=%43", "n");
  EXPECT_EQ(split.value, "\xE2\x82" "b'c'\xAC%43");
  EXPECT_EQ(split.charset, "x");
  EXPECT_EQ(split.language, "y");
  EXPECT_EQ(ReadLabelParam("X: v; n*0=it's; n*1*=%41", "n").charset, "");

  // Numeric order, not line order; a repeated number keeps its first
  // occurrence; the value ends at the first number missing.
  EXPECT_EQ(LabelParamValue("X: v; n*2=c; n*0=a; n*1=b; n*1=B", "n"), "abc");
  EXPECT_EQ(LabelParamValue("X: v; n*0=a; n*2=c", "n"), "a");
  EXPECT_FALSE(ReadLabelParam("X: v; n*1=b; n*2=c", "n").extended);
  EXPECT_EQ(LabelParamValue("X: v; n*00=a; n*+0=b; n*0x=c; n*0**=d", "n"), "");
  EXPECT_EQ(LabelParamValue("X: v; n*0=a; n*=''b", "n"), "b");  // a whole value wins

  std::string many = "X: v", expected;
  for (int i = 20000; i >= 0; --i) many += "; n*" + std::to_string(i) + "=" + std::to_string(i % 10);
  for (int i = 0; i <= 20000; ++i) expected += std::to_string(i % 10);
  EXPECT_EQ(LabelParamValue(many, "n"), expected);
}

TEST(HeaderFields, WriteLabelParamValueSetsOrAppends) {
  EXPECT_EQ(WriteLabelParamValue("Content-Type: text/plain", "charset", "\"x\""),
            "Content-Type: text/plain; charset=\"x\"");
  EXPECT_EQ(WriteLabelParamValue("Content-Type: ", "boundary", "b"), "Content-Type:; boundary=b");
  EXPECT_EQ(WriteLabelParamValue("Content-Disposition: attachment;", "filename", "f"),
            "Content-Disposition: attachment; filename=f");
  EXPECT_EQ(WriteLabelParamValue("Content-Type: text/plain; CHARSET=\"old\"; format=flowed", "charset",
                                 " \"new\" "),
            "Content-Type: text/plain; CHARSET=\"new\"; format=flowed");
  EXPECT_EQ(WriteLabelParamValue("X: v; a=1", "a", "2"), "X: v; a=2");
  EXPECT_EQ(WriteLabelParamValue("X: v; a=1;", "a", "2"), "X: v; a=2");
  EXPECT_EQ(WriteLabelParamValue("X: v; a=x=y; b=2", "a", "z"), "X: v; a=z; b=2");
  EXPECT_EQ(WriteLabelParamValue("X: v; a=1; a=2", "a", "3"), "X: v; a=3; a=2");
  EXPECT_EQ(WriteLabelParamValue("X: v; a=\"p;q\"; b=2", "a", "n"), "X: v; a=n; b=2");
  EXPECT_EQ(WriteLabelParamValue("X: v; a=\"p;q", "a", "n"), "X: v; a=n");
  EXPECT_EQ(WriteLabelParamValue("X: a=1", "a", "2"), "X: a=1; a=2");
  EXPECT_EQ(WriteLabelParamValue("", "a", "b"), "; a=b");
  std::string line = "Content-Type: text/plain";
  line = WriteLabelParamValue(line, "name", "\"a b;c.txt\"");
  line = WriteLabelParamValue(line, "charset", "us-ascii");
  EXPECT_EQ(LabelParamValue(line, "name"), "a b;c.txt");
  EXPECT_EQ(LabelParamValue(line, "charset"), "us-ascii");
  EXPECT_EQ(LabelValue(line), "text/plain");
}

TEST(HeaderFields, WrapHeaderBreaksLongLines) {
  // RFC 5322 section 2.1.1: 78 characters fit, 79 fold where they can.
  std::string line78 = "Subject: " + std::string(30, 'a') + " " + std::string(38, 'b');
  ASSERT_EQ(line78.size(), 78u);
  EXPECT_EQ(WrapHeader(line78), line78 + "\r\n");
  std::string line79 = "Subject: " + std::string(50, 'a') + " " + std::string(19, 'b');
  EXPECT_EQ(WrapHeader(line79), "Subject: " + std::string(50, 'a') + "\r\n\t" + std::string(19, 'b') + "\r\n");

  std::string to = "To: ";
  for (int i = 0; i < 6; ++i) to += "person" + std::to_string(i) + "@example.com,";
  to += "last@example.com";
  EXPECT_EQ(WrapHeader(to), to.substr(0, 64) + "\r\n\t" + to.substr(64) + "\r\n");
  std::string spaced = to.substr(0, 64) + " " + to.substr(64);
  EXPECT_EQ(WrapHeader(spaced), to.substr(0, 64) + "\r\n\t" + to.substr(64) + "\r\n");
  // Free text folds at blanks only: a break after "," would add a blank.
  std::string commas = "Subject: ";
  for (int i = 0; i < 12; ++i) commas += "item" + std::to_string(i) + ",";
  commas += " " + std::string(20, 'e');
  EXPECT_EQ(WrapHeader(commas), commas.substr(0, 83) + "\r\n\t" + std::string(20, 'e') + "\r\n");

  std::string solid = "X-Token: " + std::string(100, 'z');
  EXPECT_EQ(WrapHeader(solid), solid + "\r\n");
  // With no fold point within 78, the first one after is taken.
  EXPECT_EQ(WrapHeader(solid + " tail"), solid + "\r\n\ttail\r\n");
  // Spaces inside quotes are no break points; nor is anything before ": ".
  std::string quoted = "X-Long: first \"" + std::string(30, 'q') + " " + std::string(40, 'r') + "\"";
  EXPECT_EQ(WrapHeader(quoted), "X-Long: first\r\n\t" + quoted.substr(14) + "\r\n");
  std::string early = "A b c d: " + std::string(80, 'x');
  EXPECT_EQ(WrapHeader(early), early + "\r\n");
  std::string tail = std::string(28, 'a') + " " + std::string(60, 'b');
  EXPECT_EQ(WrapHeader("\t" + tail), "\t" + std::string(28, 'a') + "\r\n\t" + std::string(60, 'b') + "\r\n");
  EXPECT_EQ(WrapHeader("x" + tail), "x" + std::string(28, 'a') + "\r\n\t" + std::string(60, 'b') + "\r\n");

  // RFC 2047 section 2: never inside an encoded word, whatever it holds; a
  // blank between two words in quotes is a fold point, as readers drop it.
  std::string word = "=?utf-8?Q?" + std::string(20, 'w') + ",a;b'c" + std::string(20, 'w') + "?=";
  std::string words = "X-Name: " + word + "," + word;
  EXPECT_EQ(WrapHeader(words), "X-Name: " + word + ",\r\n\t" + word + "\r\n");
  std::string named = "From: \"" + word + " " + word + "\" <a@example.com>";
  EXPECT_EQ(WrapHeader(named), "From: \"" + word + "\r\n\t" + word + "\" <a@example.com>\r\n");

  EXPECT_EQ(WrapHeader("A: 1\nB: 2\rC: 3\r\n\r\n\n"), "A: 1\r\nB: 2\r\nC: 3\r\n");
  EXPECT_EQ(WrapHeader("A: 1\r\n\r\nB: 2"), "A: 1\r\n\r\nB: 2\r\n");
  EXPECT_EQ(WrapHeader("\r\n"), "");
}

TEST(HeaderFields, WrapHeaderRoundTripsAndStaysLinear) {
  std::mt19937 rng(7);
  const std::string plain = "abcxyz-.\xE9";
  const std::string tricky = "abcxyz\"'\t:-.\xE9";
  for (int round = 0; round < 300; ++round) {
    const std::string& alphabet = round % 2 ? plain : tricky;
    std::string line = "Subject: ";
    int words = static_cast<int>(rng() % 60);
    for (int w = 0; w < words; ++w) {
      int len = static_cast<int>(rng() % 25) + 1;
      for (int k = 0; k < len; ++k) line.push_back(alphabet[rng() % alphabet.size()]);
      line.push_back(' ');
    }
    line += "end";
    std::string wrapped = WrapHeader(line);
    ASSERT_EQ(Unfold(wrapped), line + "\r\n") << line;
    for (size_t from = 0, at; (at = wrapped.find("\r\n", from)) != std::string::npos; from = at + 2) {
      std::string_view out(wrapped.data() + from, at - from);
      if (&alphabet == &plain) {
        EXPECT_LE(out.size(), 78u) << out;
      }
    }
  }
  std::string big = "Subject:";
  while (big.size() < (1u << 20)) big += " word";
  std::string solid = "X-Data: " + std::string(1u << 20, 'y');
  std::string unclosed = "X-Words:";
  while (unclosed.size() < (1u << 20)) unclosed += "=?a?Q?x";
  auto started = std::chrono::steady_clock::now();
  std::string wrapped = WrapHeader(big);
  // RFC 5322 section 2.1.1: no line beyond 998, even where only a cut helps.
  for (const std::string* text : {&solid, &unclosed}) {
    std::string cut = WrapHeader(*text), joined;
    for (size_t from = 0, at; (at = cut.find("\r\n", from)) != std::string::npos; from = at + 2) {
      std::string_view out(cut.data() + from, at - from);
      EXPECT_LE(out.size(), 998u);
      joined.append(out.substr(from ? 1 : 0));
    }
    EXPECT_EQ(joined, *text);
  }
  std::string spaced = NormalizeLabel("x: a" + std::string(1u << 20, ' ') + "b");
  double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  EXPECT_EQ(Unfold(wrapped), big + "\r\n");
  EXPECT_EQ(spaced, "X: a b");
  EXPECT_LT(seconds, 5.0);
}

TEST(HeaderFields, DataLineAndDataLinePCharCutTheSameLines) {
  std::string line;
  int position = 1;
  std::string text = "a\r\nb";
  DataLine(text, line, position);
  EXPECT_EQ(line, "a\r\n");
  EXPECT_EQ(position, 4);
  DataLine(text, line, position);
  EXPECT_EQ(line, "b");
  EXPECT_EQ(position, -1);
  position = 1;
  DataLine("a\r\n", line, position);
  EXPECT_EQ(line, "a\r\n");
  EXPECT_EQ(position, -1);
  for (int bad : {0, -5, 4}) {
    position = bad;
    DataLine("abc", line, position);
    EXPECT_EQ(line, "");
    EXPECT_EQ(position, -1);
  }
  EXPECT_EQ(PCharLines(std::string("a\r\n\r\nb\rc\nd\r\r\nl\0st", 17)),
            (std::vector<std::string>{"a", "", "b\rc\nd\r", std::string("l\0st", 4)}));
  EXPECT_TRUE(PCharLines("").empty());
  EXPECT_EQ(PCharLines("x\r\n"), std::vector<std::string>{"x"});
  EXPECT_EQ(PCharLines("x\r"), std::vector<std::string>{"x\r"});

  // Every text of up to 7 bytes from {a, CR, LF, NUL}: both cutters agree and lose nothing.
  const char symbols[] = {'a', '\r', '\n', '\0'};
  for (int len = 1; len <= 7; ++len) {
    int total = 1 << (2 * len);
    for (int code = 0; code < total; ++code) {
      std::string sample;
      for (int k = 0; k < len; ++k) sample.push_back(symbols[(code >> (2 * k)) & 3]);
      std::vector<std::string> expected;
      std::string joined;
      position = 1;
      while (position > 0) {
        DataLine(sample, line, position);
        joined += line;
        if (line.size() >= 2 && line.compare(line.size() - 2, 2, "\r\n") == 0) line.resize(line.size() - 2);
        expected.push_back(line);
      }
      ASSERT_EQ(joined, sample);
      ASSERT_EQ(PCharLines(sample), expected);
    }
  }
}
