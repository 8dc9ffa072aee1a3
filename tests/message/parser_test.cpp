#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "mail/message/dash_lines.h"
#include "mail/message/mail_message.h"
#include "mail/mime/codec_paths.h"
#include "platform/error.h"
#include "platform/memory.h"
#include "tests/message/compose_tree.h"

using namespace Vizu2000;

namespace {

std::vector<std::string> Bodies(const TMailPart& part) {
  std::vector<std::string> out;
  for (const TMailPart* child : part.SubPartList()) out.emplace_back(child->Body().View());
  return out;
}

}  // namespace

// Lines that start with "--", by the plainest reading of a line start.
std::vector<size_t> DashLinesOf(std::string_view text) {
  std::vector<size_t> starts;
  for (size_t i = 0; i + 1 < text.size(); ++i) {
    bool lineStart = i == 0 || text[i - 1] == '\r' || text[i - 1] == '\n';
    if (lineStart && text[i] == '-' && text[i + 1] == '-') starts.push_back(i);
  }
  return starts;
}

// Both paths note the same lines and copy the same bytes, wherever the
// text and its copy start, and a large copy (which goes around the cache)
// is as exact as a small one.
TEST(Parser, DashLinesAreFoundAlikeOnBothPaths) {
  std::mt19937 random(2045);
  const char alphabet[] = "-\r\n-a";
  auto check = [](std::string_view text, char* copy, const std::string& what) {
    const std::vector<size_t> expected = DashLinesOf(text);
    for (TCodecPath path : {TCodecPath::Scalar, TCodecPath::Vector}) {
      TCodecPath before = SetCodecPath(path);
      if (copy) std::memset(copy, 0, text.size() + 1);
      TDashLines lines = FindDashLines(text, copy, DashLineLimit(text.size()));
      SetCodecPath(before);
      ASSERT_TRUE(lines.complete) << what;
      ASSERT_EQ(lines.starts, expected) << what;
      if (copy) {
        ASSERT_EQ(std::string_view(copy, text.size()), text) << what;
        ASSERT_EQ(copy[text.size()], 0) << what << ": written past the copy";
      }
    }
  };
  std::string room(400, '\0');
  for (size_t length = 0; length < 300; length += 1 + length / 16) {
    for (size_t offset = 0; offset < 32; ++offset) {
      std::string text(offset + length, 'x');
      for (size_t i = offset; i < text.size(); ++i) text[i] = alphabet[random() % 5];
      std::string_view view(text.data() + offset, length);
      std::string what = "length " + std::to_string(length) + " offset " + std::to_string(offset);
      check(view, room.data() + (offset * 7) % 32, what);
      check(view, nullptr, what + " without a copy");
    }
  }

  check(std::string_view(), room.data(), "an empty view");

  std::string large(5 << 20, 'a');
  for (size_t i = 0; i < large.size(); i += 1 + random() % 200) large[i] = alphabet[random() % 5];
  TByteBlock aligned(large.size() + 1);
  check(large, aligned.Data(), "large");
}

// A text of more dash lines than are worth a list still copies whole, and
// its delimiters are then found by searching the text, with the same result.
TEST(Parser, DelimitersAreFoundAlikeWithoutTheDashLineList) {
  const std::string body =
      "Content-Type: multipart/mixed; boundary=b\r\n\r\n--b\r\n"
      "Content-Type: multipart/alternative; boundary=b_alt\r\n\r\n"
      "--b_alt\r\n\r\nplain\r\n-- \r\nsignature\r\n--b x\r\n--b_alt--\r\n"
      "--b\r\n\r\nsecond\r--b_\r\n--b\t \r\n\r\nthird\r\n--b-- \r\n";
  std::string dashes;
  for (int i = 0; i < 6000; ++i) dashes += "--\r\n";
  const std::string crowded = "X-Dashes: many\r\n" + body.substr(0, body.find("\r\n\r\n")) +
                              "\r\n\r\n" + dashes + body.substr(body.find("\r\n\r\n") + 4);

  TDashLines lines = FindDashLines(crowded, nullptr, DashLineLimit(crowded.size()));
  EXPECT_FALSE(lines.complete);
  EXPECT_TRUE(lines.starts.empty());
  std::string copy(crowded.size(), '\0');
  FindDashLines(crowded, copy.data(), 10);
  EXPECT_EQ(copy, crowded);

  TVeraDudurur2000 listed(nullptr), searched(nullptr);
  listed.SetSource(body);
  searched.SetSource(crowded);
  ASSERT_EQ(listed.SubPartList().Count(), 3);
  ASSERT_EQ(searched.SubPartList().Count(), 3);
  EXPECT_EQ(Bodies(searched), Bodies(listed));
  EXPECT_EQ(Bodies(*searched.SubPartList()[0]), Bodies(*listed.SubPartList()[0]));
  EXPECT_EQ(Bodies(*listed.SubPartList()[0]),
            (std::vector<std::string>{"plain\r\n-- \r\nsignature\r\n--b x"}));
  EXPECT_EQ(Bodies(listed)[1], "second\r--b_");
  EXPECT_EQ(searched.Body().View(), dashes);
}

TEST(Parser, UnfoldsAndNormalizesHeader) {
  TVeraDudurur2000 message(nullptr);
  message.SetSource(
      "From mailbox-separator line\r\n"
      "subject: a\r\n\tb\r\n   c\r\n"
      "X-Blank: v\r\n   \r\n"
      "message-id: <id>\r\n"
      "\r\nbody\r\n");
  ASSERT_EQ(message.Header().Count(), 4);
  EXPECT_EQ(message.Header()[0], "From mailbox-Separator line ");
  EXPECT_EQ(message.Header()[1], "Subject: a b c");
  EXPECT_EQ(message.Header()[2], "X-Blank: v");
  EXPECT_EQ(message.Header()[3], "Message-ID: <id>");
  EXPECT_EQ(message.Body().Data(), "body\r\n");

  message.SetSource("Subject: all header\r\nTo: x");
  EXPECT_EQ(message.Header().Count(), 2);
  EXPECT_EQ(message.Body().Size(), 0);
  message.SetSource("\r\nSubject: not a header");
  EXPECT_EQ(message.Header().Count(), 0);
  EXPECT_EQ(message.Body().Data(), "Subject: not a header");
  message.SetSource(" leading: blank\r\n\r\n");
  EXPECT_EQ(message.GetLabelValue("Leading"), "blank");

  // Without a header, the whole text is the body.
  message.Fill("Subject: x\r\n\r\nrest", false);
  EXPECT_EQ(message.Header().Count(), 0);
  EXPECT_EQ(message.Body().Data(), "Subject: x\r\n\r\nrest");
}

TEST(Parser, SplitsMultipartChildren) {
  TVeraDudurur2000 message(nullptr);
  message.SetSource(
      "Content-Type: Multipart/Alternative; boundary=xyz\r\n\r\n"
      "preamble\r\n"
      "--xyz   \r\nContent-Type: text/plain\r\n\r\none\r\n"
      "--xyzabc\r\n\r\ntwo\r\n\r\n"  // another boundary that starts like this one
      "--XYZ\r\nstill one\r\n"      // boundaries are case-sensitive
      "--xyz--x\r\nstill one\r\n"   // neither open nor close delimiter
      "--xyz\r\n"                     // ends the first child
      "--xyz\t\r\n\r\n"              // nothing before it: no child; then one empty line
      "--xyz-- \r\nepilogue\r\n--xyz\r\nignored\r\n");
  EXPECT_EQ(message.Body().Data(), "preamble\r\n");
  std::vector<std::string> expected{
      "one\r\n--xyzabc\r\n\r\ntwo\r\n\r\n--XYZ\r\nstill one\r\n--xyz--x\r\nstill one", ""};
  EXPECT_EQ(Bodies(message), expected);
  EXPECT_EQ(message.SubPartList()[0]->GetLabelValue("Content-Type"), "text/plain");
  for (TMailPart* child : message.SubPartList()) {
    EXPECT_EQ(child->ParentBoundary(), "xyz");
    EXPECT_EQ(child->ParentPart(), &message);
    EXPECT_EQ(child->OwnerMessage(), &message);
    EXPECT_EQ(child->Owner(), &message);
  }

  // A multipart without a boundary has no delimiter lines: a signature
  // separator or a diff line must not cut its text into parts.
  const std::string unbounded = "--\r\n\r\na\r\n--x\r\n-- \r\nb\r\n----\r\n";
  message.SetSource("Content-Type: multipart/mixed\r\n\r\n" + unbounded);
  EXPECT_TRUE(message.SubPartList().Empty());
  EXPECT_EQ(message.Body().Data(), unbounded);

  // Boundaries are not limited in length.
  std::string longBoundary(300, 'q');
  message.SetSource("Content-Type: multipart/mixed; boundary=" + longBoundary + "\r\n\r\n--" +
                    longBoundary + "\r\n\r\nlong\r\n--" + longBoundary + "--\r\n");
  EXPECT_EQ(Bodies(message), (std::vector<std::string>{"long"}));

  // The delimiter text in the middle of a line does not split.
  message.SetSource(
      "Content-Type: multipart/mixed; boundary=b\r\n\r\n--b\r\n\r\nx --b y\r\n--b\r\n\r\nz\r\n--b--");
  EXPECT_EQ(Bodies(message), (std::vector<std::string>{"x --b y", "z"}));
}

TEST(Parser, KeepsAnUnterminatedLastChild) {
  TVeraDudurur2000 message(nullptr);
  message.SetSource(
      "Content-Type: multipart/mixed; boundary=b\r\n\r\n--b\r\n\r\none\r\n--b\r\n\r\ntwo\r\n");
  EXPECT_EQ(Bodies(message), (std::vector<std::string>{"one", "two\r\n"}));
  // A last delimiter line with nothing after it makes no child.
  message.SetSource("Content-Type: multipart/mixed; boundary=b\r\n\r\n--b\r\n\r\none\r\n--b\r\n");
  EXPECT_EQ(Bodies(message), (std::vector<std::string>{"one"}));
}

TEST(Parser, ContentIsByteExact) {
  TVeraDudurur2000 message(nullptr);
  static const char raw[] =
      "Content-Type: multipart/mixed; boundary=b\r\n\r\n--b\r\n\r\na\0b\r\n--b\r\n"
      "Content-Type: text/plain\r\n\r\n\0\0\r\n--b--\r\n";
  std::string text(raw, sizeof(raw) - 1);
  std::string copy = text;
  message.SetSource(text);
  EXPECT_EQ(text, copy);
  EXPECT_EQ(Bodies(message), (std::vector<std::string>{std::string("a\0b", 3), std::string(2, '\0')}));

  TMemoryStream stream(std::string("Subject: s\r\n\r\nx\0y", 17));
  message.LoadFromStream(stream);
  EXPECT_EQ(message.Body().Data(), std::string("x\0y", 3));

  // Bare LF and bare CR end lines too; bodies keep their own line ends.
  message.SetSource("Content-Type: multipart/mixed; boundary=b\n\n--b\nContent-Type: text/plain\n\nl1\nl2\n--b--\n");
  EXPECT_EQ(Bodies(message), (std::vector<std::string>{"l1\nl2"}));
  message.SetSource("Subject: s\rContent-Type: multipart/mixed; boundary=b\r\r--b\r\ra\r\r\n--b--");
  EXPECT_EQ(message.GetLabelValue("Subject"), "s");
  EXPECT_EQ(Bodies(message), (std::vector<std::string>{"a\r"}));

  // Filling from the message's own storage is safe.
  message.SetSource("Subject: s\r\n\r\nSubject: inner\r\n\r\ninner body");
  message.SetSource(message.Body().View());
  EXPECT_EQ(message.GetLabelValue("Subject"), "inner");
  EXPECT_EQ(message.Body().Data(), "inner body");
}

TEST(Parser, TurnsUuencodedBlocksIntoAttachments) {
  TVeraDudurur2000 message(nullptr);
  message.SetCharset("utf-8");
  message.SetSource(
      "Subject: files\r\n\r\n"
      "Hello =\r\n"
      "begin 644 a.txt\r\n#86)C\r\n`\r\nend\r\n"
      "between\r\n"
      "begin 644 b.bin\r\n\"86(\r\nend\r\n"
      "\r\n"
      "begin 600 c.txt\r\n#86)C\r\n`\r\nend\r\n"
      "bye\r\nbegin 644 never-closed\r\n#86)C\r\n");
  EXPECT_EQ(message.GetAttachInfo(), "multipart/mixed");
  std::string boundary = message.GetBoundary();
  EXPECT_EQ(boundary.substr(0, 8), "boundary");
  EXPECT_EQ(message.Body().Data(), "Hello =\r\n");
  const TMailPartList& kids = message.SubPartList();
  ASSERT_EQ(kids.Count(), 6);
  EXPECT_EQ(kids[0]->Header()[0], "Content-Type: text/plain; charset=\"utf-8\"");
  EXPECT_EQ(kids[0]->Header()[1], "Content-Transfer-Encoding: quoted-printable");
  EXPECT_EQ(kids[0]->Body().Data(), "Hello =3D\r\n");
  EXPECT_EQ(kids[1]->Header()[0], "Content-Transfer-Encoding: base64");
  EXPECT_EQ(kids[1]->GetLabelParamValue("Content-Type", "name"), "a.txt");
  EXPECT_EQ(kids[1]->GetLabelValue("Content-Disposition"), "attachment");
  EXPECT_EQ(kids[1]->GetLabelParamValue("Content-Disposition", "filename"), "a.txt");
  EXPECT_EQ(kids[1]->Decoded().Data(), "abc");
  EXPECT_EQ(kids[2]->Body().Data(), "between\r\n");  // text between blocks is kept
  EXPECT_EQ(kids[3]->Decoded().Data(), "ab");
  EXPECT_EQ(kids[4]->Decoded().Data(), "abc");       // blank text between is not a part
  kids[5]->Decode();
  EXPECT_EQ(kids[5]->Decoded().Data(), "bye\r\nbegin 644 never-closed\r\n#86)C\r\n");
  for (TMailPart* kid : kids) EXPECT_EQ(kid->ParentBoundary(), boundary);

  // A typed body is never scanned; an untyped one without a closed block
  // stays as it is.
  message.SetSource("Content-Type: text/plain\r\n\r\nbegin 644 a.txt\r\n#86)C\r\nend\r\n");
  EXPECT_EQ(message.SubPartList().Count(), 0);
  message.SetSource("\r\nSee you at\r\nbegin 6 pm sharp\r\nbye\r\n");
  EXPECT_EQ(message.SubPartList().Count(), 0);
  EXPECT_EQ(message.Body().Data(), "See you at\r\nbegin 6 pm sharp\r\nbye\r\n");
  EXPECT_FALSE(message.LabelExists("Content-Type"));

  // Lines that only look like a block (plain text that happens to begin a
  // line with "begin 6") stay text: the message can still be stored whole.
  const std::string plain = "\r\nbegin 6pm meeting\r\nbring snacks\r\nend of it\r\n";
  EXPECT_NO_THROW(message.SetSource(plain));
  EXPECT_EQ(message.SubPartList().Count(), 0);
  EXPECT_EQ(message.Body().Data(), plain.substr(2));
  EXPECT_NO_THROW(message.SetSource(
      "\r\nbegin 644 a.txt\r\n#86)C\r\nend\r\nbegin 644 x\r\n#abc\r\nend\r\nbye\r\n"));
  ASSERT_EQ(message.SubPartList().Count(), 3);
  EXPECT_EQ(message.SubPartList()[1]->Decoded().Data(), "abc");
  message.SubPartList()[2]->Decode();
  EXPECT_EQ(message.SubPartList()[2]->Decoded().Data(), "begin 644 x\r\n#abc\r\nend\r\nbye\r\n");
}

// A uuencoded file is named as an attached file is: quoted when the name
// is plain ASCII, as it always was, else in the RFC 2231 form, so no raw
// byte, quote or encoded-word text of the begin line reaches a field.
TEST(Parser, NamesUuencodedFilesAsAttachedFilesAreNamed) {
  for (const std::string& name :
       {std::string("a.txt"), std::string("caf\xe9 r\xe9sum\xe9.txt"), std::string("quote\"d;semi.txt"),
        std::string("=?utf-8?Q?x?=.txt"), std::string(120, 'n') + ".txt"}) {
    SCOPED_TRACE(name);
    TVeraDudurur2000 message(nullptr);  // iso-8859-1, the begin line's guessed charset
    message.SetSource("Subject: files\r\n\r\nhello\r\nbegin 644 " + name + "\r\n#86)C\r\n`\r\nend\r\n");
    ASSERT_EQ(message.SubPartList().Count(), 2);
    const TMailPart* file = message.SubPartList()[1];
    EXPECT_EQ(file->GetLabelParamValue("Content-Type", "name"), name);
    EXPECT_EQ(file->GetLabelParamValue("Content-Disposition", "filename"), name);
    for (const std::string& entry : file->Header()) {
      EXPECT_EQ(entry.find("=?"), std::string::npos) << entry;
      EXPECT_EQ(std::count(entry.begin(), entry.end(), '"') % 2, 0) << entry;
      EXPECT_TRUE(std::all_of(entry.begin(), entry.end(), [](unsigned char c) { return c < 0x80; }))
          << entry;
    }
    if (name == "a.txt") {
      EXPECT_EQ(file->Header()[1], "Content-Type: text/plain; name=\"a.txt\"");
    }
    message.Normalize(nrForce);
    compose_test::ExpectPythonReadsAsComposed(message);
  }
}

// A sender that leaves out the empty line after the header: the first line
// that is no field starts the body (RFC 5322 section 2.2), in a part as in
// the message, and what was obsolete before a colon is not kept.
TEST(Parser, ALineWithoutAColonStartsTheBody) {
  TVeraDudurur2000 message(nullptr);
  message.SetSource("From sender Mon Jan  1 00:00:00 2024\r\nSubject : s\r\nno colon\r\nX: not a field\r\n");
  EXPECT_EQ(message.Header().Count(), 2);
  EXPECT_EQ(message.Header()[1], "Subject: s");
  EXPECT_EQ(message.Body().View(), "no colon\r\nX: not a field\r\n");
  message.SetSource("Content-Type: multipart/mixed; boundary=b\r\n\r\n--b\r\njust text\r\n--b--\r\n");
  ASSERT_EQ(message.SubPartList().Count(), 1);
  EXPECT_EQ(message.SubPartList()[0]->Header().Count(), 0);
  EXPECT_EQ(message.SubPartList()[0]->Body().View(), "just text");
}

TEST(Parser, NestingIsBounded) {
  // 100000 nested multiparts: the tree stops at a fixed depth and the rest
  // stays the body of the deepest part, whole.
  std::string text;
  size_t deepBody = 0;
  for (int i = 0; i < 100000; ++i) {
    std::string boundary = "b" + std::to_string(i) + "_";  // none a prefix of another
    text += "Content-Type: multipart/mixed; boundary=" + boundary + "\r\n\r\n";
    if (i == 64) deepBody = text.size();
    text += "--" + boundary + "\r\n";
  }
  text += "\r\nleaf";
  TVeraDudurur2000 message(nullptr);
  message.SetSource(text);
  int depth = 0;
  const TMailPart* part = &message;
  while (part->SubPartList().Count() == 1) {
    part = part->SubPartList()[0];
    ++depth;
  }
  EXPECT_EQ(depth, 64);
  EXPECT_EQ(part->SubPartList().Count(), 0);
  EXPECT_EQ(part->Body().View(), std::string_view(text).substr(deepBody));
  message.RebuildBody();
  std::string source = message.GetSource();
  TVeraDudurur2000 again(nullptr);
  again.SetSource(source);
  const TMailPart* deep = &again;
  for (int i = 0; i < 64; ++i) deep = deep->SubPartList()[0];
  EXPECT_EQ(deep->Body().View(), part->Body().View());
}

TEST(Parser, NestedBoundariesThatShareAPrefixStayApart) {
  // Read as a prefix match, "--b_alt" would end the outer part's child and
  // the alternative would fall apart into siblings of the attachment.
  TVeraDudurur2000 message(nullptr);
  message.SetSource(
      "Content-Type: multipart/mixed; boundary=b\r\n\r\n"
      "--b\r\nContent-Type: multipart/alternative; boundary=b_alt\r\n\r\n"
      "--b_alt\r\nContent-Type: text/plain\r\n\r\nplain\r\n"
      "--b_alt\r\nContent-Type: text/html\r\n\r\n<p>html</p>\r\n"
      "--b_alt--\r\n"
      "--b\r\nContent-Type: application/pdf\r\n\r\n%PDF\r\n"
      "--b--\r\n");
  ASSERT_EQ(message.SubPartList().Count(), 2);
  const TMailPart* alternative = message.SubPartList()[0];
  EXPECT_EQ(Bodies(*alternative), (std::vector<std::string>{"plain", "<p>html</p>"}));
  EXPECT_EQ(message.SubPartList()[1]->Body().View(), "%PDF");
}

size_t Occurrences(std::string_view text, std::string_view what) {
  size_t n = 0;
  for (size_t at = text.find(what); at != std::string_view::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

TEST(Parser, FloodsOfPartsAndFieldsAreBounded) {
  // Empty parts, each a few bytes of text and hundreds of bytes in memory:
  // past the limit the rest of the multipart is one last part that keeps
  // the remaining delimiter lines, and rebuilding writes them all again.
  const int flood = 40'000;
  std::string text = "Content-Type: multipart/mixed; boundary=b\r\n\r\n";
  for (int i = 0; i < flood; ++i) text += "--b\r\n\r\n";
  text += "--b\r\n\r\nlast\r\n--b--\r\n";
  TVeraDudurur2000 message(nullptr);
  message.SetSource(text);
  const int parts = message.SubPartList().Count();
  EXPECT_GE(parts, 20'000);
  EXPECT_LT(parts, flood);
  const std::string_view rest = message.SubPartList()[parts - 1]->Body().View();
  EXPECT_EQ(Occurrences(rest, "--b\r\n\r\n"), static_cast<size_t>(flood - parts + 1));
  EXPECT_TRUE(rest.ends_with("\r\n\r\nlast"));
  // Rebuilt, the last part still holds them, so the container takes a new
  // boundary (RFC 2046 section 5.1.1) and the parts stay as they were read.
  message.RebuildBody();
  EXPECT_NE(message.GetBoundary(), "b");
  const std::string source = message.GetSource();
  EXPECT_EQ(Occurrences(source, "\r\n--b\r\n"), static_cast<size_t>(flood - parts + 1));
  EXPECT_EQ(Occurrences(source, "\r\n--" + message.GetBoundary() + "\r\n"),
            static_cast<size_t>(parts));

  // Header lines: past the field limit the header ends and the rest is the
  // body, whole.
  std::string fields;
  for (int i = 0; i < 200'000; ++i) fields += "a:\r\n";
  message.SetSource("Subject: many\r\n" + fields + "\r\nbody");
  const size_t kept = message.Header().Count();
  EXPECT_GE(kept, 10'000u);
  EXPECT_LT(kept, 200'000u);
  EXPECT_EQ(message.Body().View(), fields.substr(4 * (kept - 1)) + "\r\nbody");
  // A real header is far below the limit.
  message.SetSource("Subject: few\r\n" + fields.substr(0, 4 * 5000) + "\r\nbody");
  EXPECT_EQ(message.Header().Count(), 5001);
  EXPECT_EQ(message.Body().View(), "body");
}

TEST(Parser, ReportsProgress) {
  TVeraDudurur2000 message(nullptr);
  std::string text = "Content-Type: multipart/mixed; boundary=b\r\n\r\n";
  for (int i = 0; i < 20; ++i) text += "--b\r\n\r\n" + std::string(100000, 'x') + "\r\n";
  text += "--b--\r\n";
  std::vector<int> reports;
  int totals = 0;
  message.OnProgress = [&](TComponent* sender, int total, int current) {
    EXPECT_EQ(sender, &message);
    totals += total == static_cast<int>(text.size());
    reports.push_back(current);
    // A handler must not refill or reset the message being parsed.
    EXPECT_THROW(message.Reset(), EVizuError);
    EXPECT_THROW(message.SetSource("x"), EVizuError);
  };
  message.SetSource(text);
  ASSERT_GE(reports.size(), 10u);
  EXPECT_EQ(reports.front(), 0);
  EXPECT_EQ(reports.back(), static_cast<int>(text.size()));
  EXPECT_EQ(totals, static_cast<int>(reports.size()));
  for (size_t i = 1; i < reports.size(); ++i) EXPECT_LE(reports[i - 1], reports[i]);
  EXPECT_EQ(message.SubPartList().Count(), 20);

  // Child parts report nothing.
  reports.clear();
  message.SubPartList()[0]->Fill(text, true);
  EXPECT_TRUE(reports.empty());
}

TEST(Parser, LoadsFiles) {
  std::string file = ::testing::TempDir() + "parser_load.eml";
  {
    TFileStream out(file, fmCreate);
    out.WriteString(std::string("Subject: s\n\nline\rend\0x", 22));
  }
  TVeraDudurur2000 message(nullptr);
  message.LoadFromFile(file);
  EXPECT_EQ(message.GetLabelValue("Subject"), "s");
  EXPECT_EQ(message.Body().Data(), std::string("line\r\nend\0x\r\n", 13));
  std::remove(file.c_str());
  EXPECT_THROW(message.LoadFromFile(file), EVizuError);
}

// The bodies of a parsed message are pieces of one copy of its text: the
// caller's text is free to change at once, and a change to one body, or to
// content decoded from it, reaches nothing else.
TEST(Parser, BodiesShareOneCopyOfTheTextAndChangesStayPrivate) {
  std::string text =
      "Content-Type: multipart/mixed; boundary=b\r\n\r\npre\r\n--b\r\nContent-Type: text/plain\r\n\r\n"
      "first\r\n--b\r\nContent-Transfer-Encoding: 7bit\r\n\r\nsecond\r\n--b--\r\n";
  const std::string original = text;
  TVeraDudurur2000 message(nullptr);
  message.SetSource(text);
  text.assign(text.size(), 'X');
  const TMailPartList& parts = static_cast<const TVeraDudurur2000&>(message).SubPartList();
  ASSERT_EQ(parts.Count(), 2);
  EXPECT_EQ(Bodies(message), (std::vector<std::string>{"first", "second"}));
  EXPECT_NE(parts[0]->Body().Block(), nullptr);
  EXPECT_EQ(parts[0]->Body().Block(), parts[1]->Body().Block());

  // Unencoded content is its body, shared as well.
  parts[1]->Decode();
  EXPECT_EQ(parts[1]->Decoded().View().data(), parts[1]->Body().View().data());
  parts[1]->Decoded().WriteString("S");
  EXPECT_EQ(parts[1]->Decoded().View(), "Second");
  EXPECT_EQ(parts[1]->Body().View(), "second");

  TMemoryStream& first = parts[0]->Body();
  first.SetPosition(first.Size());
  first.WriteString(" and more");
  EXPECT_EQ(parts[0]->Body().View(), "first and more");
  EXPECT_EQ(parts[1]->Body().View(), "second");

  // The rebuilt message carries the one change; saved twice over into the
  // same stream, it does not grow.
  message.RebuildBody();
  TMemoryStream saved;
  message.SaveToStream(saved);
  message.SaveToStream(saved);
  const std::string source = message.GetSource();
  EXPECT_EQ(saved.View(), source);
  EXPECT_NE(source.find("\r\n\r\nfirst and more\r\n--b\r\n"), std::string::npos);
  EXPECT_NE(source.find("\r\n\r\nsecond\r\n--b--\r\n"), std::string::npos);
  // A write after saving goes to the end, as after any save.
  saved.WriteString("!");
  EXPECT_EQ(saved.View(), source + "!");

  // Taken over, the text is parsed where it lies.
  std::string taken = original;
  const char* bytes = taken.data();
  TVeraDudurur2000 other(nullptr);
  other.TakeSource(std::move(taken));
  const TMailPart* firstTaken = static_cast<const TVeraDudurur2000&>(other).SubPartList()[0];
  EXPECT_EQ(firstTaken->Body().View(), "first");
  EXPECT_EQ(firstTaken->Body().View().data(), bytes + original.find("first\r\n"));
}
