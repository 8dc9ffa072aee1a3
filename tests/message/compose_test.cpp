// Composing a message: the shapes restructuring gives, text bodies and
// attachments, and that the result reads back as composed.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "mail/mime/codecs.h"
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
    case 'P': m.SetTextPlain(step.content); break;
    case 'H': m.SetTextHTML(step.content); break;
    case 'A': m.AttachString(step.content, step.name, "application/pdf", etBase64, false); break;
    case 'E': m.AttachString(step.content, step.name, "image/gif", etBase64, true); break;
  }
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
    {"one attachment only", {kA1}, "application/pdf",
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
    {"three attachments",
     {kA1, kA2, kA1},
     "multipart/mixed(application/pdf,application/pdf,application/pdf)",
     "mixed=m related=- alternative=- plain=- html=- attach=m.0,m.1,m.2"},
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

  std::unique_ptr<TVeraDudurur2000> back = Reparsed(m);
  EXPECT_EQ(Shape(*back), c.shape);
  EXPECT_EQ(Classes(*back), c.classes);
  EXPECT_EQ(LeafContents(*back), contents);
}

}  // namespace

// ---------------------------------------------------------------------------
// Shapes

TEST(ComposeShapes, FromAnEmptyMessage) {
  for (const TShapeCase& c : kShapes) {
    SCOPED_TRACE(c.what);
    TVeraDudurur2000 m(nullptr);
    for (const TStep& step : c.steps) Apply(m, step);
    ExpectShape(m, c);
  }
}

TEST(ComposeShapes, FromAParsedSinglePartMessage) {
  for (const TShapeCase& c : kShapes) {
    SCOPED_TRACE(c.what);
    TVeraDudurur2000 m(nullptr);
    m.SetSource(SinglePartSource(c.steps[0]));
    for (size_t i = 1; i < c.steps.size(); ++i) Apply(m, c.steps[i]);
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
    for (const TStep& step : c.steps) Apply(composed, step);
    composed.RebuildBody();
    TVeraDudurur2000 m(nullptr);
    m.SetSource(composed.GetSource());
    m.Normalize(nrForce);
    ExpectShape(m, c);
    m.Normalize(nrForce);
    ExpectShape(m, c);
  }
}
