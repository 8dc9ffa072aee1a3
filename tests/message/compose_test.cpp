// Composing a message: the shapes restructuring gives, text bodies and
// attachments, and that the result reads back as composed.
#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <climits>
#include <filesystem>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "mail/mime/header_fields.h"
#include "mail/mime/codecs.h"
#include "mail/mime/mime_types.h"
#include "platform/error.h"
#include "platform/file_types.h"
#include "tests/message/compose_tree.h"

using namespace Vizu2000;
using namespace compose_test;

namespace {

// One composing step: 'P' plain text, 'H' HTML text, 'A' attachment, 'E'
// embedded attachment.
struct TStep {
  char kind;
  std::string content;
  std::string name;
};

void Apply(TVeraDudurur2000& m, const TStep& step) {
  switch (step.kind) {
    case 'P':
      m.SetTextPlain(step.content);
      break;
    case 'H':
      m.SetTextHTML(step.content);
      break;
    case 'A':
      m.AttachString(step.content, step.name, "application/pdf", etBase64, false);
      break;
    case 'E':
      m.AttachString(step.content, step.name, "image/gif", etBase64, true);
      break;
  }
}

void ApplyAll(TVeraDudurur2000& m, const std::vector<TStep>& steps, size_t from = 0) {
  for (size_t i = from; i < steps.size(); ++i) Apply(m, steps[i]);
}

// Sent and read back, the message has the same tree, classification and
// contents. An empty message reads back as one empty attachment (a leaf
// that is no text), so only a message with content must classify the same.
void ExpectReadsBack(TVeraDudurur2000& m, const std::vector<std::string>& contents) {
  std::unique_ptr<TVeraDudurur2000> back = Reparsed(m);
  EXPECT_EQ(Shape(*back), Shape(m));
  if (!Shape(m).empty()) {
    EXPECT_EQ(Classes(*back), Classes(m));
  }
  EXPECT_EQ(LeafContents(*back), contents);
}

std::string Base64(std::string_view bytes) {
  TMemoryStream in{std::string(bytes)}, out;
  EncodeBASE64(out, in);
  return out.Data();
}

// A received single-part message that holds what the step would add.
std::string SinglePartSource(const TStep& step) {
  std::string head = "From: ann@example.org\r\nSubject: start\r\n";
  if (step.kind == 'P') return head + "Content-Type: text/plain\r\n\r\n" + step.content;
  if (step.kind == 'H') return head + "Content-Type: text/html\r\n\r\n" + step.content;
  return head + "Content-Type: application/pdf; name=\"" + step.name +
         "\"\r\nContent-Transfer-Encoding: base64\r\n\r\n" + Base64(step.content);
}

std::string Text(const TMailPart* part) {
  return part ? std::string(part->Decoded().View()) : "<no part>";
}

TStringList LinesOf(const TMailPart* part) {
  TStringList lines;
  if (part) lines.SetText(part->Decoded().View());
  return lines;
}

const TStep kPlain{'P', "plain words\r\n", ""};
const TStep kHtml{'H', "<p>html words</p>\r\n", ""};
const TStep kA1{'A', std::string("%PDF\0\x01\xff", 7), "a1.pdf"};
const TStep kA2{'A', "second attachment", "a2.pdf"};
const TStep kE1{'E', std::string("GIF89a\0\x80", 8), "e1.gif"};
const TStep kE2{'E', "GIF89a two", "e2.gif"};

struct TShapeCase {
  const char* what;
  std::vector<TStep> steps;
  std::string shape;
  std::string classes;
};

const TShapeCase kShapes[] = {
    {"one text", {kPlain}, "text/plain", "mixed=- related=- alternative=- plain=m html=- attach="},
    {"two texts",
     {kPlain, kHtml},
     "multipart/alternative(text/plain,text/html)",
     "mixed=- related=- alternative=m plain=m.0 html=m.1 attach="},
    {"one attachment only",
     {kA1},
     "application/pdf",
     "mixed=- related=- alternative=- plain=- html=- attach=m"},
    {"text and attachments",
     {kPlain, kA1, kA2},
     "multipart/mixed(text/plain,application/pdf,application/pdf)",
     "mixed=m related=- alternative=- plain=m.0 html=- attach=m.1,m.2"},
    {"two texts and attachments",
     {kPlain, kHtml, kA1, kA2},
     "multipart/mixed(multipart/alternative(text/plain,text/html),application/pdf,application/pdf)",
     "mixed=m related=- alternative=m.0 plain=m.0.0 html=m.0.1 attach=m.1,m.2"},
    {"HTML and embedded parts",
     {kHtml, kE1, kE2},
     "multipart/related(text/html,image/gif,image/gif)",
     "mixed=- related=m alternative=- plain=- html=m.0 attach=m.1(e),m.2(e)"},
    {"two texts and embedded parts",
     {kPlain, kHtml, kE1, kE2},
     "multipart/related(multipart/alternative(text/plain,text/html),image/gif,image/gif)",
     "mixed=- related=m alternative=m.0 plain=m.0.0 html=m.0.1 attach=m.1(e),m.2(e)"},
    {"texts, embedded parts and attachments",
     {kPlain, kHtml, kE1, kE2, kA1, kA2},
     "multipart/mixed(multipart/related(multipart/alternative(text/plain,text/html),image/gif,"
     "image/gif),application/pdf,application/pdf)",
     "mixed=m related=m.0 alternative=m.0.0 plain=m.0.0.0 html=m.0.0.1 "
     "attach=m.0.1(e),m.0.2(e),m.1,m.2"},
    {"two attachments",
     {kA1, kA2},
     "multipart/mixed(application/pdf,application/pdf)",
     "mixed=m related=- alternative=- plain=- html=- attach=m.0,m.1"},
};

void ExpectShape(TVeraDudurur2000& m, const TShapeCase& c) {
  EXPECT_EQ(Shape(m), c.shape);
  EXPECT_EQ(Classes(m), c.classes);
  EXPECT_EQ(Problems(m), "");
  std::vector<std::string> contents;
  for (const TStep& step : c.steps) contents.push_back(step.content);
  EXPECT_EQ(LeafContents(m), contents);
  if (m.AttachList().Count() == 1 && m.AttachList()[0] == &m) {
    EXPECT_EQ(m.GetLabelValue("Content-Transfer-Encoding"), "base64");
  }
  ExpectReadsBack(m, contents);
}

}  // namespace

// ---------------------------------------------------------------------------
// Shapes

TEST(ComposeShapes, FromAnEmptyMessage) {
  for (const TShapeCase& c : kShapes) {
    SCOPED_TRACE(c.what);
    TVeraDudurur2000 m(nullptr);
    ApplyAll(m, c.steps);
    ExpectShape(m, c);
  }
}

TEST(ComposeShapes, FromAParsedSinglePartMessage) {
  for (const TShapeCase& c : kShapes) {
    SCOPED_TRACE(c.what);
    TVeraDudurur2000 m(nullptr);
    m.SetSource(SinglePartSource(c.steps[0]));
    ApplyAll(m, c.steps, 1);
    m.Normalize(nrFirst);  // the one-step cases have not been restructured yet
    ExpectShape(m, c);
    EXPECT_EQ(m.GetLabelValue("Subject"), "start");
  }
}

// A parsed message already in one of the shapes keeps it when restructured
// again, and a second restructuring changes nothing but the boundaries.
TEST(ComposeShapes, ComposedTextParsedAndRestructuredKeepsItsShape) {
  for (const TShapeCase& c : kShapes) {
    SCOPED_TRACE(c.what);
    TVeraDudurur2000 composed(nullptr);
    ApplyAll(composed, c.steps);
    composed.RebuildBody();
    TVeraDudurur2000 m(nullptr);
    m.SetSource(composed.GetSource());
    m.Normalize(nrForce);
    ExpectShape(m, c);
    m.Normalize(nrForce);
    ExpectShape(m, c);
  }
}

// ---------------------------------------------------------------------------
// Text bodies

namespace {

struct TTextCase {
  const char* what;
  std::vector<TStep> start;
  TStep change;  // 'p' and 'h' remove the plain and the HTML text
  std::string shape;
  std::vector<std::string> contents;
};

const TTextCase kTextCases[] = {
    // No container: the message is the text.
    {"replace the only text", {kPlain}, {'P', "new plain", ""}, "text/plain", {"new plain"}},
    {"remove the only text", {kPlain}, {'p', "", ""}, "", {""}},
    {"add a second text",
     {kPlain},
     {'H', "new html", ""},
     "multipart/alternative(text/plain,text/html)",
     {kPlain.content, "new html"}},
    // Inside alternative.
    {"replace a text of two",
     {kPlain, kHtml},
     {'P', "new plain", ""},
     "multipart/alternative(text/plain,text/html)",
     {"new plain", kHtml.content}},
    {"remove the plain text of two", {kPlain, kHtml}, {'p', "", ""}, "text/html", {kHtml.content}},
    {"remove the HTML text of two", {kPlain, kHtml}, {'h', "", ""}, "text/plain", {kPlain.content}},
    // Inside related.
    {"replace the text beside embedded parts",
     {kHtml, kE1},
     {'H', "new html", ""},
     "multipart/related(text/html,image/gif)",
     {"new html", kE1.content}},
    {"remove the text beside embedded parts",
     {kHtml, kE1},
     {'h', "", ""},
     "multipart/related(image/gif)",
     {kE1.content}},
    {"add a text beside embedded parts",
     {kHtml, kE1},
     {'P', "new plain", ""},
     "multipart/related(multipart/alternative(text/html,text/plain),image/gif)",
     {kHtml.content, "new plain", kE1.content}},
    // Inside mixed.
    {"replace the text beside an attachment",
     {kPlain, kA1},
     {'P', "new plain", ""},
     "multipart/mixed(text/plain,application/pdf)",
     {"new plain", kA1.content}},
    {"add a text beside an attachment",
     {kPlain, kA1},
     {'H', "new html", ""},
     "multipart/mixed(multipart/alternative(text/plain,text/html),application/pdf)",
     {kPlain.content, "new html", kA1.content}},
    {"remove a text of two beside an attachment",
     {kPlain, kHtml, kA1},
     {'h', "", ""},
     "multipart/mixed(text/plain,application/pdf)",
     {kPlain.content, kA1.content}},
    // Every container.
    {"replace a text in the full shape",
     {kPlain, kHtml, kE1, kA1},
     {'H', "new html", ""},
     "multipart/mixed(multipart/related(multipart/alternative(text/plain,text/html),image/gif),"
     "application/pdf)",
     {kPlain.content, "new html", kE1.content, kA1.content}},
    {"remove a text in the full shape",
     {kPlain, kHtml, kE1, kA1},
     {'h', "", ""},
     "multipart/mixed(multipart/related(text/plain,image/gif),application/pdf)",
     {kPlain.content, kE1.content, kA1.content}},
};

void Change(TVeraDudurur2000& m, const TStep& change) {
  if (change.kind == 'p')
    m.RemoveTextPlain();
  else if (change.kind == 'h')
    m.RemoveTextHTML();
  else
    Apply(m, change);
}

}  // namespace

TEST(ComposeTexts, SetReplaceAndRemoveInEveryContainerState) {
  for (const TTextCase& c : kTextCases) {
    SCOPED_TRACE(c.what);
    TVeraDudurur2000 m(nullptr);
    ApplyAll(m, c.start);
    TMailPart* const replaced = c.change.kind == 'P'   ? m.TextPlainPart()
                                : c.change.kind == 'H' ? m.TextHTMLPart()
                                                       : nullptr;
    Change(m, c.change);
    EXPECT_EQ(Shape(m), c.shape);
    EXPECT_EQ(LeafContents(m), c.contents);
    EXPECT_EQ(Problems(m), "");
    // A replaced text stays where it was, as the same part.
    if (replaced && replaced != &m) {
      EXPECT_EQ(replaced, c.change.kind == 'P' ? m.TextPlainPart() : m.TextHTMLPart());
    }
    // The line lists follow the texts.
    EXPECT_EQ(m.TextPlain(), LinesOf(m.TextPlainPart()));
    EXPECT_EQ(m.TextHTML(), LinesOf(m.TextHTMLPart()));

    ExpectReadsBack(m, c.contents);
  }
}

// Mail lines end in CR LF (RFC 5322 section 2.3), whatever the caller used.
TEST(ComposeTexts, LineBreaksBecomeCRLF) {
  TVeraDudurur2000 m(nullptr);
  m.SetTextPlain("lone cr\rlone lf\nlf cr\n\rcr lf\r\nend\n\n");
  EXPECT_EQ(Text(m.TextPlainPart()), "lone cr\r\nlone lf\r\nlf cr\r\ncr lf\r\nend\r\n\r\n");
  m.SetTextHTML("<p>\n</p>\r");
  EXPECT_EQ(Text(m.TextHTMLPart()), "<p>\r\n</p>\r\n");
  EXPECT_EQ(Text(m.TextPlainPart()), "lone cr\r\nlone lf\r\nlf cr\r\ncr lf\r\nend\r\n\r\n");
  ExpectPythonReadsAsComposed(m);
}

TEST(ComposeTexts, CharsetAndQuotedPrintableByDefault) {
  TVeraDudurur2000 m(nullptr);
  m.SetTextPlain("caf\xe9 = ok");
  EXPECT_EQ(m.TextPlainPart(), &m);
  EXPECT_EQ(m.GetLabelValue("Content-Type"), "text/plain");
  EXPECT_EQ(m.GetLabelParamValue("Content-Type", "charset"), "iso-8859-1");
  EXPECT_EQ(m.GetLabelValue("Content-Transfer-Encoding"), "quoted-printable");
  EXPECT_EQ(m.GetLabelValue("Content-Disposition"), "inline");
  EXPECT_EQ(m.Body().Data(), "caf=E9 =3D ok");
  EXPECT_EQ(m.GetLabelValue("Content-Length"), "13");
  EXPECT_EQ(m.GetLabelValue("Mime-Version"), "1.0");

  // A second text moves the first into a part of its own; each keeps the
  // character set it was written in.
  m.SetCharset("utf-8");
  m.SetTextHTML("<p>caf\xc3\xa9</p>");
  ASSERT_EQ(Shape(m), "multipart/alternative(text/plain,text/html)");
  EXPECT_EQ(m.TextPlainPart()->GetLabelParamValue("Content-Type", "charset"), "iso-8859-1");
  EXPECT_EQ(m.TextHTMLPart()->GetLabelParamValue("Content-Type", "charset"), "utf-8");
  EXPECT_EQ(m.TextHTMLPart()->Body().Data(), "<p>caf=C3=A9</p>");
  EXPECT_EQ(m.GetLabelParamValue("Content-Type", "charset"), "");

  // Taking the text back over keeps its character set as well.
  m.RemoveTextPlain();
  EXPECT_EQ(m.GetLabelValue("Content-Type"), "text/html");
  EXPECT_EQ(m.GetLabelParamValue("Content-Type", "charset"), "utf-8");
  EXPECT_EQ(Text(&m), "<p>caf\xc3\xa9</p>");
  ExpectPythonReadsAsComposed(m);
}

TEST(ComposeTexts, Base64TextEncodingIsHonouredWhereverTheTextGoes) {
  TVeraDudurur2000 m(nullptr);
  m.SetTextEncoding(etBase64);
  m.SetTextPlain("plain");
  EXPECT_EQ(m.GetLabelValue("Content-Transfer-Encoding"), "base64");
  EXPECT_EQ(m.Body().Data(), "cGxhaW4=\r\n");
  m.SetTextHTML("html");
  m.AttachString("x", "x.bin", "", etBase64, false);
  for (TMailPart* text : {m.TextPlainPart(), m.TextHTMLPart()}) {
    EXPECT_EQ(text->GetLabelValue("Content-Transfer-Encoding"), "base64");
    EXPECT_EQ(text->GetLabelValue("Content-Length"), std::to_string(text->Body().Size()));
  }
  EXPECT_EQ(m.TextHTMLPart()->Body().Data(), "aHRtbA==\r\n");
  EXPECT_EQ(LeafContents(*Reparsed(m)), (std::vector<std::string>{"plain", "html", "x"}));
}

// An empty text is still the caller's text: it keeps a part of its own
// when a second text needs a container.
TEST(ComposeTexts, AnEmptyTextSurvivesASecondText) {
  TVeraDudurur2000 m(nullptr);
  m.SetTextPlain("");
  EXPECT_EQ(m.TextPlainPart(), &m);
  m.SetTextHTML("<p>x</p>");
  EXPECT_EQ(Shape(m), "multipart/alternative(text/plain,text/html)");
  EXPECT_EQ(Classes(m), "mixed=- related=- alternative=m plain=m.0 html=m.1 attach=");
  EXPECT_EQ(Text(m.TextPlainPart()), "");
  EXPECT_EQ(Problems(m), "");
  ExpectPythonReadsAsComposed(m);
}

TEST(ComposeTexts, RemovingTheTextBesideOneAttachmentLeavesTheMessageAsTheAttachment) {
  TVeraDudurur2000 m(nullptr);
  m.SetTextPlain("text");
  m.AttachString("report", "report.pdf", "application/pdf", etQuotedPrintable, false);
  m.RemoveTextPlain();
  EXPECT_EQ(Shape(m), "application/pdf");
  EXPECT_EQ(Classes(m), "mixed=- related=- alternative=- plain=- html=- attach=m");
  EXPECT_EQ(m.GetLabelValue("Content-Transfer-Encoding"), "base64");
  EXPECT_EQ(m.GetLabelParamValue("Content-Type", "name"), "report.pdf");
  EXPECT_EQ(m.GetLabelParamValue("Content-Disposition", "filename"), "report.pdf");
  EXPECT_EQ(m.GetLabelValue("Content-Disposition"), "attachment");
  EXPECT_EQ(m.Body().Data(), "cmVwb3J0\r\n");
  EXPECT_EQ(m.TextPlain().Count(), 0);
  EXPECT_EQ(Problems(m), "");
  // Removing a text that is not there changes nothing.
  const std::string before = m.GetSource();
  m.RemoveTextPlain();
  m.RemoveTextHTML();
  EXPECT_EQ(m.GetSource(), before);
  ExpectPythonReadsAsComposed(m);
}

// A received message's texts are found before a text is set, so the new
// text replaces the old one instead of joining it.
TEST(ComposeTexts, SettingAParsedMessagesTextReplacesIt) {
  TVeraDudurur2000 single(nullptr);
  single.SetSource("Subject: s\r\n\r\nold text\r\n");
  single.SetTextPlain("new text");
  EXPECT_EQ(Shape(single), "text/plain");
  EXPECT_EQ(LeafContents(single), std::vector<std::string>{"new text"});
  EXPECT_EQ(single.TextPlain().Text(), "new text\r\n");
  ExpectPythonReadsAsComposed(single);

  TVeraDudurur2000 mixed(nullptr);
  mixed.SetSource(
      "Content-Type: multipart/mixed; boundary=b\r\n\r\n--b\r\nContent-Type: text/plain\r\n\r\n"
      "old text\r\n--b\r\nContent-Type: application/pdf\r\n\r\n%PDF\r\n--b--\r\n");
  mixed.SetTextPlain("new text");
  EXPECT_EQ(Shape(mixed), "multipart/mixed(text/plain,application/pdf)");
  EXPECT_EQ(LeafContents(mixed), (std::vector<std::string>{"new text", "%PDF"}));
  ExpectPythonReadsAsComposed(mixed);

  TVeraDudurur2000 removed(nullptr);
  removed.SetSource(
      "Content-Type: multipart/alternative; boundary=b\r\n\r\n--b\r\nContent-Type: "
      "text/plain\r\n\r\n"
      "old text\r\n--b\r\nContent-Type: text/html\r\n\r\n<p>old</p>\r\n--b--\r\n");
  removed.RemoveTextPlain();
  EXPECT_EQ(Shape(removed), "text/html");
  EXPECT_EQ(LeafContents(removed), std::vector<std::string>{"<p>old</p>"});
  ExpectPythonReadsAsComposed(removed);
}

// ---------------------------------------------------------------------------
// Attachments

namespace {

class ComposeAttachments : public ::testing::Test {
 protected:
  void SetUp() override {
    SetFileTypesText("application/pdf pdf\nimage/gif gif\ntext/plain txt\n");
    dir_ = std::filesystem::temp_directory_path() /
           ("compose_test_" + std::to_string(::getpid()) + "_" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    std::filesystem::create_directories(dir_);
  }
  void TearDown() override {
    std::filesystem::remove_all(dir_);
    ResetFileTypes();
  }
  std::string Write(const std::string& name, std::string_view content) {
    const std::string path = (dir_ / name).string();
    TFileStream file(path, fmCreate);
    file.WriteString(content);
    return path;
  }
  std::filesystem::path dir_;
};

std::vector<std::string> Fields(const TMailPart* part) {
  return {part->Header().begin(), part->Header().end()};
}

// Everything a caller can see of the message, to show that a failed call
// changed nothing.
std::string State(const TVeraDudurur2000& m) {
  return m.GetSource() + "\n" + Classes(m) + "\n" + Shape(m);
}

}  // namespace

TEST_F(ComposeAttachments, FileStringAndStreamMakeTheSameFieldsInTheirOrder) {
  const std::string content("%PDF-1.4\0\xff binary", 17);
  const std::string path = Write("report.pdf", content);
  const std::string length = std::to_string(Base64(content).size());
  const std::vector<std::string> plain = {
      "Content-Transfer-Encoding: base64", "Content-Type: application/pdf; name=\"report.pdf\"",
      "Content-Disposition: attachment; filename=\"report.pdf\"", "Content-Length: " + length};
  std::vector<std::string> embedded = {"Content-Transfer-Encoding: base64",
                                       "Content-Type: application/pdf; name=\"report.pdf\"",
                                       "Content-Disposition: inline; filename=\"report.pdf\"",
                                       "Content-Length: " + length, "Content-ID: <report.pdf>"};

  TVeraDudurur2000 m(nullptr);
  m.SetTextHTML("<img src=\"cid:report.pdf\">");
  m.AttachFile(path, "", etBase64, false);
  m.AttachString(content, "C/report.pdf", "", etBase64, false);
  TMemoryStream stream{content};
  stream.SetPosition(5);  // the whole stream is read, not from where it stands
  m.AttachStream(stream, "report.pdf", "", etBase64, false);
  m.AttachFile(path, "", etBase64, true);
  m.AttachString(content, "report.pdf", "", etBase64, true);
  stream.SetPosition(stream.Size());
  m.AttachStream(stream, "dir/report.pdf", "", etBase64, true);
  ASSERT_EQ(m.AttachList().Count(), 6);
  for (int i = 0; i < 6; ++i) {
    SCOPED_TRACE(i);
    const TMailPart* part = m.AttachList()[i];
    EXPECT_EQ(Fields(part), i < 3 ? plain : embedded);
    EXPECT_EQ(part->Decoded().Data(), content);
    EXPECT_EQ(part->Body().Data(), Base64(content));
  }
  EXPECT_EQ(Shape(m),
            "multipart/mixed(multipart/related(text/html,application/pdf,application/pdf,"
            "application/pdf),application/pdf,application/pdf,application/pdf)");
  EXPECT_EQ(Problems(m), "");

  // Other encodings and a given type; no encoding writes no field for it.
  m.AttachString("line\r\n", "a.txt", "text/x-note", etQuotedPrintable, false);
  EXPECT_EQ(m.AttachList()[6]->Header()[0], "Content-Transfer-Encoding: quoted-printable");
  EXPECT_EQ(m.AttachList()[6]->Header()[1], "Content-Type: text/x-note; name=\"a.txt\"");
  m.AttachString("line\r\n", "b.txt", "", etNoEncoding, false);
  EXPECT_EQ(m.AttachList()[7]->Header()[0], "Content-Type: text/plain; name=\"b.txt\"");
  EXPECT_FALSE(m.AttachList()[7]->LabelExists("Content-Transfer-Encoding"));
  EXPECT_EQ(LeafContents(*Reparsed(m)), LeafContents(m));
}

// Content sent without a transfer encoding must be mail lines already
// (RFC 2045 sections 2.7 and 2.8, RFC 5322 section 2.1.1); content that is
// not goes quoted-printable, which keeps every byte.
TEST_F(ComposeAttachments, ContentThatIsNoMailLinesIsNotSentAsItStands) {
  const struct {
    std::string content;
    TEncodingType encoding;
    std::string written;
  } cases[] = {
      {"ok\r\n" + std::string(998, 'y'), et7Bit, "7bit"},
      {"caf\xe9\r\n", etNoEncoding, ""},
      {"caf\xe9\r\n", et7Bit, "quoted-printable"},
      {std::string(999, 'x'), etNoEncoding, "quoted-printable"},
      {"lone\nlf", et7Bit, "quoted-printable"},
      {"lone\rcr", etNoEncoding, "quoted-printable"},
      {std::string("nul\0", 4), et7Bit, "quoted-printable"},
  };
  TVeraDudurur2000 m(nullptr);
  m.SetTextPlain("text");
  for (const auto& c : cases) {
    m.AttachString(c.content, "a.txt", "text/plain", c.encoding, false);
    const TMailPart* part = m.AttachList()[m.AttachList().Count() - 1];
    EXPECT_EQ(part->GetLabelValue("Content-Transfer-Encoding"), c.written) << c.content;
  }
  std::unique_ptr<TVeraDudurur2000> back = Reparsed(m);
  EXPECT_EQ(LeafContents(*back), LeafContents(m));
  const std::string source = m.GetSource();
  for (size_t at = 0, end; at < source.size(); at = end + 2) {
    end = source.find("\r\n", at);
    ASSERT_NE(end, std::string::npos);
    EXPECT_LE(end - at, 998u);
    EXPECT_EQ(source.substr(at, end - at).find_first_of("\r\n"), std::string::npos);
  }
}

TEST_F(ComposeAttachments, TheMessageIsItsOnlyAttachmentAndBack) {
  TVeraDudurur2000 m(nullptr);
  m.AttachString("first", "one.pdf", "", etQuotedPrintable, false);
  EXPECT_EQ(Shape(m), "application/pdf");
  EXPECT_EQ(Classes(m), "mixed=- related=- alternative=- plain=- html=- attach=m");
  EXPECT_EQ(m.GetLabelValue("Content-Disposition"), "attachment");
  EXPECT_EQ(m.GetLabelValue("Content-Transfer-Encoding"), "quoted-printable");

  m.AttachString("second", "two.pdf", "", etBase64, false);
  EXPECT_EQ(Shape(m), "multipart/mixed(application/pdf,application/pdf)");
  EXPECT_EQ(Classes(m), "mixed=m related=- alternative=- plain=- html=- attach=m.0,m.1");
  EXPECT_EQ(LeafContents(m), (std::vector<std::string>{"first", "second"}));
  EXPECT_EQ(m.AttachList()[0]->GetFileName(), "one.pdf");
  EXPECT_EQ(Problems(m), "");

  // Back to one: the message takes the rest over, as base64.
  m.DetachFile("one.pdf");
  EXPECT_EQ(Shape(m), "application/pdf");
  EXPECT_EQ(Classes(m), "mixed=- related=- alternative=- plain=- html=- attach=m");
  EXPECT_EQ(m.GetFileName(), "two.pdf");
  EXPECT_EQ(m.GetLabelValue("Content-Transfer-Encoding"), "base64");
  EXPECT_EQ(LeafContents(*Reparsed(m)), std::vector<std::string>{"second"});

  m.DetachFile("two.pdf");
  EXPECT_EQ(Shape(m), "");
  EXPECT_EQ(m.AttachList().Count(), 0);
  EXPECT_EQ(m.Body().Size(), 0);
  EXPECT_FALSE(m.LabelExists("Content-Disposition"));

  // An embedded part alone still needs its related container.
  m.AttachString("gif", "logo.gif", "", etBase64, true);
  EXPECT_EQ(Shape(m), "multipart/related(image/gif)");
  EXPECT_EQ(Classes(m), "mixed=- related=m alternative=- plain=- html=- attach=m.0(e)");
  EXPECT_EQ(m.AttachList()[0]->GetLabelValue("Content-ID"), "<logo.gif>");
  ExpectPythonReadsAsComposed(m);
}

TEST_F(ComposeAttachments, DetachAndGetAttachMatchNamesIgnoringCase) {
  TVeraDudurur2000 m(nullptr);
  m.SetTextPlain("text");
  m.AttachString("a", "Report.PDF", "", etBase64, false);
  m.AttachString("b", "other.pdf", "", etBase64, false);
  // GetAttach compares the whole argument; DetachFile only its name part.
  EXPECT_EQ(m.GetAttach("report.pdf"), m.AttachList()[0]);
  EXPECT_EQ(m.GetAttach("REPORT.pdf"), m.AttachList()[0]);
  EXPECT_EQ(m.GetAttach("/tmp/report.pdf"), nullptr);
  EXPECT_EQ(m.GetAttach("report"), nullptr);
  // A name changed through the part's own fields is the one found next.
  m.AttachList()[1]->SetLabelParamValue("Content-Type", "name", "\"Renamed.pdf\"");
  EXPECT_EQ(m.GetAttach("renamed.pdf"), m.AttachList()[1]);
  EXPECT_EQ(m.GetAttach("other.pdf"), nullptr);
  m.DetachFile("/home/ann/REPORT.pdf");
  EXPECT_EQ(Shape(m), "multipart/mixed(text/plain,application/pdf)");
  EXPECT_EQ(LeafContents(m), (std::vector<std::string>{"text", "b"}));
  EXPECT_EQ(m.GetAttach("report.pdf"), nullptr);

  // Detaching the last attachment leaves a single-part text message.
  m.DetachFileIndex(0);
  EXPECT_EQ(Shape(m), "text/plain");
  EXPECT_EQ(Classes(m), "mixed=- related=- alternative=- plain=m html=- attach=");
  EXPECT_EQ(Text(&m), "text");
  EXPECT_EQ(m.GetLabelValue("Content-Disposition"), "inline");
  EXPECT_EQ(Problems(m), "");
  ExpectPythonReadsAsComposed(m);
}

TEST_F(ComposeAttachments, DetachingByIndexTakesThatEntry) {
  TVeraDudurur2000 m(nullptr);
  m.SetTextHTML("<p>");
  m.AttachString("e", "e.gif", "", etBase64, true);
  m.AttachString("a", "a.pdf", "", etBase64, false);
  m.AttachString("b", "b.pdf", "", etBase64, false);
  m.DetachFileIndex(1);
  EXPECT_EQ(Shape(m), "multipart/mixed(multipart/related(text/html,image/gif),application/pdf)");
  EXPECT_EQ(LeafContents(m), (std::vector<std::string>{"<p>", "e", "b"}));
  m.DetachFileIndex(0);
  EXPECT_EQ(Shape(m), "multipart/mixed(text/html,application/pdf)");
  EXPECT_EQ(Classes(m), "mixed=m related=- alternative=- plain=- html=m.0 attach=m.1");
  EXPECT_EQ(Problems(m), "");
  ExpectPythonReadsAsComposed(m);
}

TEST_F(ComposeAttachments, MissingAttachmentsRaiseAndChangeNothing) {
  TVeraDudurur2000 m(nullptr);
  m.SetName("Outbox");
  m.SetTextPlain("text");
  m.AttachString("a", "a.pdf", "", etBase64, false);
  m.AttachString("e", "e.gif", "", etBase64, true);
  const std::string before = State(m);
  auto raises = [&m](const std::function<void()>& call, const std::string& text) {
    try {
      call();
      ADD_FAILURE() << "no error, expected " << text;
    } catch (const EVizuError& e) {
      EXPECT_EQ(std::string(e.what()), text);
    }
  };
  raises([&] { m.DetachFileIndex(-1); }, "Outbox: Attachment index not found");
  raises([&] { m.DetachFileIndex(2); }, "Outbox: Attachment index not found");
  raises([&] { m.DetachFileIndex(INT_MIN); }, "Outbox: Attachment index not found");
  raises([&] { m.DetachFile("dir/B.pdf"); }, "Outbox: Attachment filename not found dir/B.pdf");
  raises([&] { m.DetachFile("a.pdf/"); }, "Outbox: Attachment filename not found a.pdf/");
  raises([&] { m.DetachFile(""); }, "Outbox: Attachment filename not found ");
  EXPECT_EQ(State(m), before);
  ExpectPythonReadsAsComposed(m);
}

TEST_F(ComposeAttachments, AFileThatCannotBeReadRaisesAndChangesNothing) {
  TVeraDudurur2000 m(nullptr);
  m.SetTextPlain("text");
  m.AttachString("a", "a.pdf", "", etBase64, false);
  const std::string before = State(m);
  for (const std::string& path : {(dir_ / "missing.pdf").string(), dir_.string()}) {
    SCOPED_TRACE(path);
    for (bool embedded : {false, true}) {
      try {
        m.AttachFile(path, "", etBase64, embedded);
        ADD_FAILURE() << "no error";
      } catch (const EVizuError& e) {
        EXPECT_NE(std::string(e.what()).find(path), std::string::npos) << e.what();
      }
      EXPECT_EQ(State(m), before);
    }
  }
  ExpectPythonReadsAsComposed(m);
}

// Unnamed attachments are named "file_<n><extension>" in tree order; the
// count starts again with every restructuring.
TEST_F(ComposeAttachments, UnnamedAttachmentsAreNumberedPerRestructuring) {
  TVeraDudurur2000 m(nullptr);
  m.SetSource(
      "Content-Type: multipart/mixed; boundary=b\r\n\r\n--b\r\nContent-Type: "
      "text/plain\r\n\r\nt\r\n"
      "--b\r\nContent-Type: application/pdf\r\n\r\npdf\r\n--b\r\nContent-Type: "
      "image/gif\r\n\r\ngif\r\n"
      "--b\r\nContent-Type: application/x-unknown\r\n\r\nx\r\n--b--\r\n");
  m.Normalize(nrFirst);
  ASSERT_EQ(m.AttachList().Count(), 3);
  EXPECT_EQ(Fields(m.AttachList()[0]),
            (std::vector<std::string>{"Content-Type: application/pdf; name=\"file_0.pdf\"",
                                      "Content-Disposition: attachment; filename=\"file_0.pdf\""}));
  EXPECT_EQ(m.AttachList()[1]->GetLabelParamValue("Content-Type", "name"), "file_1.gif");
  EXPECT_EQ(m.AttachList()[2]->GetLabelParamValue("Content-Type", "name"), "file_2");
  EXPECT_EQ(m.AttachList()[2]->GetLabelParamValue("Content-Disposition", "filename"), "file_2");
  EXPECT_EQ(m.FileCounter(), 3);

  m.Normalize(nrForce);
  EXPECT_EQ(m.FileCounter(), 0);
  m.AttachString("y", "", "image/gif", etBase64, false);
  m.Normalize(nrForce);
  EXPECT_EQ(m.FileCounter(), 1);
  EXPECT_EQ(m.AttachList()[3]->GetLabelParamValue("Content-Type", "name"), "file_0.gif");
  EXPECT_EQ(m.AttachList()[1]->GetLabelParamValue("Content-Type", "name"), "file_1.gif");
  EXPECT_EQ(Problems(m), "");
  ExpectPythonReadsAsComposed(m);
}

// ---------------------------------------------------------------------------
// Restructuring keeps every content

namespace {

// Decoded contents of the leaves that hold any, sorted: restructuring may
// move texts and attachments but must neither lose nor change one.
std::vector<std::string> ContentMultiset(TMailPart& root) {
  std::vector<std::string> contents = LeafContents(root);
  std::erase(contents, "");
  std::sort(contents.begin(), contents.end());
  return contents;
}

std::string Part(const std::string& boundary, const std::string& fields, const std::string& body) {
  return "--" + boundary + "\r\n" + fields + "\r\n\r\n" + body + "\r\n";
}

// Received shapes the samples lack.
const std::pair<const char*, std::string> kHandMade[] = {
    {"multipart without its delimiters",
     "Content-Type: multipart/mixed; boundary=\"gone\"\r\n\r\nno delimiter\r\nat all\r\n"},
    {"nested containers of every kind, twice",
     "Content-Type: multipart/mixed; boundary=\"m\"\r\n\r\n" +
         Part("m", "Content-Type: multipart/alternative; boundary=\"a\"",
              Part("a", "Content-Type: text/plain", "plain") +
                  Part("a", "Content-Type: text/plain", "second plain") +
                  Part("a", "Content-Type: multipart/related; boundary=\"r\"",
                       Part("r", "Content-Type: text/html", "<p>") +
                           Part("r", "Content-Type: image/gif", "gif") + "--r--") +
                  "--a--") +
         Part("m", "Content-Type: text/plain", "plain after the alternative") +
         Part("m", "Content-Type: multipart/mixed; boundary=\"n\"",
              Part("n", "Content-Type: application/pdf", "pdf") +
                  Part("n", "Content-Type: multipart/related; boundary=\"r2\"",
                       Part("r2", "Content-Type: image/png", "png") + "--r2--") +
                  "--n--") +
         "--m--\r\n"},
    {"preamble, epilogue and an empty text",
     "Content-Type: multipart/alternative; boundary=\"a\"\r\n\r\npreamble\r\n" +
         Part("a", "Content-Type: text/plain", "") + Part("a", "Content-Type: text/html", "<p>") +
         "--a--\r\nepilogue\r\n"},
    {"single-part attachment", "Content-Type: application/pdf\r\n\r\n%PDF"},
};

void ExpectContentSurvives(const std::string& source) {
  TVeraDudurur2000 m(nullptr);
  m.SetSource(source);
  const std::vector<std::string> before = ContentMultiset(m);
  m.Normalize(nrForce);
  EXPECT_EQ(Problems(m), "");
  // Python finds no defect the received text did not have.
  const std::set<std::string> received = PythonDefects(source);
  std::unique_ptr<TVeraDudurur2000> back = Reparsed(m, received);
  EXPECT_EQ(ContentMultiset(*back), before);
  // And once more from what was sent.
  back->Normalize(nrForce);
  EXPECT_EQ(ContentMultiset(*Reparsed(*back, received)), before);
}

}  // namespace

// A container part whose delimiters are missing has no children: its body
// is its content, as for a message in that state, and must survive.
TEST(ComposeContent, NestedContainersWithoutDelimitersKeepTheirBodies) {
  for (const char* outer : {"mixed", "related", "alternative"})
    for (const char* inner : {"mixed", "related", "alternative"}) {
      SCOPED_TRACE(std::string(outer) + " holding " + inner);
      ExpectContentSurvives(
          "Content-Type: multipart/" + std::string(outer) + "; boundary=\"o\"\r\n\r\n" +
          Part("o", "Content-Type: text/html", "<p>text</p>") +
          Part("o", "Content-Type: multipart/" + std::string(inner) + "; boundary=\"gone\"",
               "only content") +
          "--o--\r\n");
    }
}

TEST(ComposeContent, EverySampleKeepsItsContentsWhenRestructured) {
  int files = 0;
  for (const char* folder : {"/messages", "/fragile"})
    for (const auto& entry :
         std::filesystem::directory_iterator(std::string(VIZU_TEST_DATA) + folder)) {
      if (entry.path().extension() != ".eml") continue;
      SCOPED_TRACE(entry.path().filename().string());
      ExpectContentSurvives(ReadWholeFile(entry.path().string()));
      ++files;
    }
  EXPECT_GE(files, 29);
  for (const auto& [what, source] : kHandMade) {
    SCOPED_TRACE(what);
    ExpectContentSurvives(source);
  }
}

// What the fuzz target found: a restructuring must neither bring back
// content that went nor double what it carries.
TEST(ComposeContent, NothingComesBackOrDoubles) {
  {
    // A preamble is not content, also when nothing else is left.
    SCOPED_TRACE("preamble");
    ExpectContentSurvives(
        "Content-Type: multipart/mixed; boundary=o\r\n\r\nthe preamble\r\n" +
        Part("o", "Content-Type: multipart/related; boundary=r", "") + "--o--\r\n");
  }
  {
    // The old body of a message that became a container does not come back
    // as an attachment once the parts are gone.
    TVeraDudurur2000 m(nullptr);
    m.SetTextPlain("caf\xe9 = coffee");
    m.Normalize(nrAddAttach);
    m.RemoveTextPlain();
    EXPECT_EQ(m.AttachList().Count(), 0);
    EXPECT_EQ(m.Body().Size(), 0);
    m.AttachString("hello", "a.txt", "", etBase64, false);
    m.Normalize(nrAddEmbedded);
    m.RebuildBody();
    m.DetachFile("a.txt");
    EXPECT_EQ(m.AttachList().Count(), 0);
    EXPECT_EQ(ContentMultiset(*Reparsed(m)), std::vector<std::string>{});
  }
  {
    // Fields that describe the content go with it and never double.
    TVeraDudurur2000 m(nullptr);
    const std::string received =
        "Subject: s\r\nContent-Type: application/pdf\r\nContent-Description: the report\r\n"
        "Content-Type: application/pdf; n=\"r.pdf\r\n\r\n%PDF";
    m.SetSource(received);
    for (int i = 0; i < 6; ++i) m.Normalize(nrForce);
    const TStringList& header = static_cast<const TMailPart&>(m).Header();
    EXPECT_EQ(SearchStringList(&header, "Content-Description:", 1), -1);
    // The two Content-Type fields it came with, no more.
    EXPECT_GE(SearchStringList(&header, "Content-Type:", 1), 0);
    EXPECT_EQ(SearchStringList(&header, "Content-Type:", 2), -1);
    // RFC 2183: the disposition has its type before the file name.
    EXPECT_EQ(m.GetLabelValue("Content-Disposition"), "attachment");
    // A second attachment is written under the container's boundary.
    m.AttachString("second", "a.txt", "", etBase64, false);
    EXPECT_EQ(Problems(m), "");
    EXPECT_EQ(ContentMultiset(*Reparsed(m, PythonDefects(received))),
              (std::vector<std::string>{"%PDF", "second"}));
  }
}

// ---------------------------------------------------------------------------
// The in-place restructuring gives what the full one gives

namespace {

// Everything of the tree but boundary values: Content-Type kinds, every
// other field, leaf bodies (a container's body holds boundaries once
// rebuilt) and where the classification points.
std::string Dump(const TVeraDudurur2000& m) {
  std::string dump = Classes(m) + "\n";
  std::vector<const TMailPart*> stack{&m};
  while (!stack.empty()) {
    const TMailPart* part = stack.back();
    stack.pop_back();
    dump += PathOf(m, part) + " " + part->GetAttachInfo() + " kids " +
            std::to_string(Kids(*part).Count()) + "\n";
    for (const std::string& entry : part->Header())
      if (entry.find("boundary=") == std::string::npos) dump += "  " + entry + "\n";
    if (Kids(*part).Empty()) dump += "  body " + part->Body().Data() + "\n";
    for (int i = Kids(*part).Count(); i-- > 0;) stack.push_back(Kids(*part)[i]);
  }
  return dump;
}

// One operation chosen by r, applied alike to both messages.
std::string Operate(TVeraDudurur2000& m, unsigned r, int step) {
  const std::string n = std::to_string(step);
  const int count = m.AttachList().Count();
  switch (r % 12) {
    case 0:
      m.SetTextPlain("plain " + n);
      return "SetTextPlain";
    case 1:
      m.SetTextHTML("<p>" + n);
      return "SetTextHTML";
    case 2:
      m.RemoveTextPlain();
      return "RemoveTextPlain";
    case 3:
      m.RemoveTextHTML();
      return "RemoveTextHTML";
    case 4:
    case 5:
      m.AttachString("a" + n, "a" + n + ".pdf", "", etBase64, false);
      return "attach";
    case 6:
      m.AttachString("e" + n, "e" + n + ".gif", "", etQuotedPrintable, true);
      return "embed";
    case 7:
      if (count == 0) return "none";
      m.DetachFile(m.AttachList()[static_cast<int>(r / 12) % count]->GetFileName());
      return "DetachFile";
    case 8:
      if (count == 0) return "none";
      m.DetachFileIndex(static_cast<int>(r / 12) % count);
      return "DetachFileIndex";
    case 9:
      m.AttachString("u" + n, "", "image/gif", etBase64, r & 64);
      return "attach unnamed";
    case 10:
      m.SetTextEncoding(m.TextEncoding() == etBase64 ? etQuotedPrintable : etBase64);
      m.Normalize(nrForce);
      return "TextEncoding";
    default:
      m.RebuildBody();
      return "RebuildBody";
  }
}

}  // namespace

TEST(ComposeFastPath, GivesTheTreeTheFullRestructuringGives) {
  const std::string parsed = "Subject: s\r\nContent-Type: multipart/mixed; boundary=\"m\"\r\n\r\n" +
                             Part("m", "Content-Type: text/plain", "received text") +
                             Part("m", "Content-Type: image/gif; name=\"r.gif\"", "gif") +
                             "--m--\r\n";
  int inPlace = 0;
  for (const std::string& start : {std::string(), parsed}) {
    TVeraDudurur2000 fast(nullptr), full(nullptr);
    if (!start.empty()) {
      fast.SetSource(start);
      full.SetSource(start);
    }
    std::mt19937 random(20240611);
    for (int step = 0; step < 400; ++step) {
      const unsigned r = random();
      const std::string boundary = fast.GetBoundary();
      full.SubPartList();  // counts as a change from outside: no fast path
      const std::string op = Operate(fast, r, step);
      Operate(full, r, step);
      SCOPED_TRACE("step " + std::to_string(step) + " " + op);
      ASSERT_EQ(Dump(fast), Dump(full));
      EXPECT_EQ(Problems(fast), "");
      // Python's reader too, now and then: alike on both, as it decodes.
      if (step % 16 == 15) {
        ExpectPythonReadsAsComposed(fast);
        ExpectPythonReadsAsComposed(full);
      }
      if (!boundary.empty() && fast.GetBoundary() == boundary && full.GetBoundary() != boundary &&
          op != "RebuildBody")
        ++inPlace;
    }
  }
  // The comparison means something only if the fast path was taken.
  EXPECT_GE(inPlace, 200);
}

// A line that starts with a container's delimiter inside one of its
// children would end that child there (RFC 2046 section 5.1.1): the
// container takes a boundary none of them holds. A boundary read from a
// message that is no boundary at all is replaced too.
TEST(ComposeContent, NoChildHoldsItsContainersDelimiter) {
  const std::string hostile =
      "line\r\n--b\r\nContent-Type: text/html\r\n\r\nfake\r\n--b--\r\n--b_inner\r\nend";
  for (const std::string& boundary :
       std::vector<std::string>{"b", "b@d", std::string(71, 'x'), "ends in space "}) {
    SCOPED_TRACE(boundary);
    TVeraDudurur2000 m(nullptr);
    m.SetSource("Content-Type: multipart/mixed; boundary=\"" + boundary + "\"\r\n\r\n--" + boundary +
                "\r\nContent-Type: text/plain\r\n\r\nhello\r\n--" + boundary + "--\r\n");
    m.FindParts();
    ASSERT_EQ(m.SubPartList().Count(), 1);
    m.AttachString(hostile, "a.txt", "text/plain", et7Bit, false);
    m.AttachString(std::string("--") + boundary + "\r\n", "b.txt", "text/plain", et7Bit, false);
    std::unique_ptr<TVeraDudurur2000> back = Reparsed(m);
    EXPECT_TRUE(IsBoundaryText(m.GetBoundary())) << m.GetBoundary();
    EXPECT_NE(m.GetBoundary(), boundary);
    EXPECT_EQ(back->GetBoundary(), m.GetBoundary());
    for (const TMailPart* kid : Kids(m)) EXPECT_EQ(kid->ParentBoundary(), m.GetBoundary());
    EXPECT_EQ(Shape(*back), Shape(m));
    ASSERT_EQ(back->AttachList().Count(), 2);
    EXPECT_EQ(LeafContents(*back), LeafContents(m));
  }
  // A boundary made here and held by no child stays as it is.
  TVeraDudurur2000 m(nullptr);
  m.SetTextPlain("text");
  m.AttachString("plain", "a.txt", "text/plain", et7Bit, false);
  const std::string made = m.GetBoundary();
  Reparsed(m);
  EXPECT_EQ(m.GetBoundary(), made);
}

// Every part's header is folded as the message's own is: no line over 998
// characters, and none over 78 where a blank allows a fold (RFC 5322
// section 2.1.1).
TEST(ComposeContent, EveryPartsHeaderIsFolded) {
  TVeraDudurur2000 m(nullptr);
  m.SetTextPlain("text");
  m.AttachString("content", "a.pdf", "application/pdf", etBase64, false);
  std::string words;
  for (int i = 0; i < 250; ++i) words += "word" + std::to_string(i) + " ";
  m.AttachList()[0]->SetLabelValue("X-Words", words + "end");
  m.AttachList()[0]->SetLabelValue("X-Solid", std::string(1300, 'z'));
  // A quoted name no line can hold goes in RFC 2231 sections.
  const std::string name = std::string(1200, 'n') + ".pdf";
  m.AttachList()[0]->SetLabelParamValue("Content-Disposition", "filename", "\"" + name + "\"");
  std::unique_ptr<TVeraDudurur2000> back = Reparsed(m);
  const std::string source = m.GetSource();
  EXPECT_NE(source.find("filename*0=\"nnn"), std::string::npos);
  EXPECT_EQ(back->AttachList()[0]->GetLabelParamValue("Content-Disposition", "filename"), name);
  const std::string head = source.substr(0, source.find("\r\n\r\n"));
  size_t folds = 0;
  for (size_t start = 0, end; start < source.size(); start = end + 2) {
    end = source.find("\r\n", start);
    if (end == std::string::npos) end = source.size();
    const std::string_view line(source.data() + start, end - start);
    EXPECT_LE(line.size(), 998u);
    if (line.find_first_of(" \t", 1) != std::string_view::npos && line.find("zzzz") == line.npos) {
      EXPECT_LE(line.size(), 78u) << line;
    }
    if (!line.empty() && (line[0] == ' ' || line[0] == '\t')) ++folds;
  }
  EXPECT_GT(folds, 20u);
  EXPECT_EQ(back->AttachList()[0]->GetLabelValue("X-Words"), m.AttachList()[0]->GetLabelValue("X-Words"));
  EXPECT_EQ(LeafContents(*back), LeafContents(m));
}
