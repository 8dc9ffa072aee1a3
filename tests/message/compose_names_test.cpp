// Attachment names that would break a header if written as they are, and
// composed messages read by a reader that shares no code with ours.
#include <gtest/gtest.h>

#include <cstdio>
#include <sstream>
#include <string>
#include <vector>

#include "mail/mime/codecs.h"
#include "mail/mime/header_fields.h"
#include "mail/mime/mime_types.h"
#include "tests/message/compose_tree.h"
#include "tests/support/python_mail_reader.h"

using namespace Vizu2000;
using namespace compose_test;

namespace {

using namespace std::string_literals;

// Every byte a Linux file name may hold and a header field may not, or that
// means something inside a parameter or an encoded word.
const std::vector<std::string> kHostileNames = {
    "injected\r\nBcc: victim@example.org.pdf",
    "lone\nlf.txt",
    "lone\rcr.txt",
    "nul\0byte.bin"s,
    "quote\"d.txt",
    "back\\slash.txt",
    "back\\\"both\".txt",
    "semi;colon.txt",
    "name=\"x\"; filename=evil.exe",
    "caf\xe9 na\xefve.txt",
    "\xe2\x82\xac euro.txt",
    "space name.txt",
    "it's.txt",
    "tab\tname.txt",
    "<angle>.gif",
    "under_score?.txt",
    "del\x7f.txt",
    "a long name with many words that does not fit on one header line at all.pdf",
};

std::string Escaped(std::string_view bytes) {
  std::string out;
  for (unsigned char c : bytes) {
    if (c >= 32 && c < 127 && c != '\\') {
      out += static_cast<char>(c);
    } else {
      char hex[8];
      std::snprintf(hex, sizeof hex, "\\x%02x", c);
      out += hex;
    }
  }
  return out;
}

std::vector<std::string> Labels(const TMailPart& part) {
  std::vector<std::string> labels;
  for (const std::string& entry : part.Header()) labels.push_back(entry.substr(0, entry.find(':')));
  return labels;
}

// A field's value as written, up to the end of its entry: GetLabelValue
// would stop at a semicolon, which a Content-ID may hold.
std::string RawValue(const TMailPart& part, std::string_view label) {
  for (const std::string& entry : part.Header())
    if (entry.size() > label.size() && SameText(entry.substr(0, label.size()), label) &&
        entry[label.size()] == ':')
      return TrimSpace(entry.substr(label.size() + 1));
  return "";
}

std::string ExpectedContentId(std::string_view name) {
  std::string id = "<";
  for (char c : name)
    id += std::string_view("\r\n\0<>", 5).find(c) == std::string_view::npos ? c : '_';
  return id + ">";
}

}  // namespace

// ---------------------------------------------------------------------------
// Hostile names

namespace {

// Composes a message with the name on an attachment beside others, reads it
// back, and checks that the name came back and broke nothing.
void ExpectNameSurvives(const std::string& name, bool embedded) {
  SCOPED_TRACE(Escaped(name) + (embedded ? " embedded" : ""));
  TVeraDudurur2000 m(nullptr);
  m.SetTextHTML("<p>x</p>");
  m.AttachString("content", "folder/" + name, "application/octet-stream", etBase64, embedded);
  m.AttachString("second", "second.bin", "application/octet-stream", etBase64, false);
  const TMailPart* part = m.AttachList()[0];
  EXPECT_EQ(Problems(m), "");
  EXPECT_EQ(RawValue(*part, "Content-ID"), embedded ? ExpectedContentId(name) : "");

  std::unique_ptr<TVeraDudurur2000> back = Reparsed(m);
  ASSERT_EQ(Shape(*back), Shape(m));
  ASSERT_EQ(back->AttachList().Count(), 2);
  TMailPart* read = back->AttachList()[0];
  read->Decode();
  // No field was cut short or added.
  EXPECT_EQ(Labels(*read), Labels(*part));
  EXPECT_EQ(Labels(*back), Labels(m));
  EXPECT_EQ(read->GetFileName(), ValidFileName(name));
  EXPECT_EQ(read->Decoded().Data(), "content");
  EXPECT_EQ(read->IsEmbedded(), embedded);
  EXPECT_EQ(back->AttachList()[1]->GetFileName(), "second.bin");
  // Both parameters carry the name itself, as RFC 2231 gives it, never an
  // encoded word in quotes (RFC 2047 section 5).
  EXPECT_EQ(read->GetLabelParamValue("Content-Type", "name"), name);
  EXPECT_EQ(read->GetLabelParamValue("Content-Disposition", "filename"), name);
  for (const std::string& entry : read->Header()) {
    if (!SameText(entry.substr(0, 11), "Content-ID:")) {
      EXPECT_EQ(entry.find("=?"), std::string::npos) << entry;
    }
  }
  EXPECT_EQ(RawValue(*read, "Content-ID"), RawValue(*part, "Content-ID"));
}

}  // namespace

TEST(ComposeNames, HostileNamesStayInsideTheirParameters) {
  for (const std::string& name : kHostileNames)
    for (bool embedded : {false, true}) ExpectNameSurvives(name, embedded);
}

// Text that reads as an encoded word must come back as written, not
// decoded: the name is not an encoded word of ours.
TEST(ComposeNames, NamesThatLookLikeEncodedWordsComeBackAsWritten) {
  for (const std::string name :
       {"a=?b.txt", "=?x?Q?y?=.txt", "=?iso-8859-1?Q?=41?=.txt", "x =?utf-8?B?QQ==?= y.txt"})
    for (bool embedded : {false, true}) ExpectNameSurvives(name, embedded);
}

// Received mail often names an attachment only in its disposition. Taken
// as unnamed, it was given a made-up Content-Type name that then read back
// in place of its own.
TEST(ComposeNames, ANameGivenOnlyByTheDispositionIsKept) {
  TVeraDudurur2000 message(nullptr);
  message.SetCharset("utf-8");
  message.SetSource(
      "Content-Type: multipart/mixed; boundary=b\r\n\r\n"
      "--b\r\nContent-Type: text/plain\r\n\r\nhello\r\n"
      "--b\r\nContent-Type: application/pdf\r\n"
      "Content-Disposition: attachment; filename=\"report 2027.pdf\"\r\n"
      "Content-Transfer-Encoding: base64\r\n\r\nJVBERg==\r\n"
      "--b\r\nContent-Type: application/pdf\r\n"
      "Content-Disposition: attachment; filename*=utf-8''%E2%82%AC.pdf\r\n"
      "Content-Transfer-Encoding: base64\r\n\r\nJVBERg==\r\n"
      "--b\r\nContent-Type: application/pdf\r\n"
      "Content-Transfer-Encoding: base64\r\n\r\nJVBERg==\r\n"
      "--b--\r\n");
  message.Normalize(nrForce);
  ASSERT_EQ(message.AttachList().Count(), 3);
  EXPECT_EQ(message.AttachList()[0]->GetFileName(), "report 2027.pdf");
  EXPECT_EQ(message.AttachList()[1]->GetFileName(), "\xe2\x82\xac.pdf");
  EXPECT_EQ(message.AttachList()[2]->GetFileName().substr(0, 5), "file_");
  // And after the text goes round once more.
  message.RebuildBody();
  TVeraDudurur2000 again(nullptr);
  again.SetCharset("utf-8");
  again.SetSource(message.GetSource());
  again.FindParts();
  ASSERT_EQ(again.AttachList().Count(), 3);
  EXPECT_EQ(again.AttachList()[0]->GetFileName(), "report 2027.pdf");
  EXPECT_EQ(again.AttachList()[1]->GetFileName(), "\xe2\x82\xac.pdf");
}

// A CR or LF in any value set on a part would end its field there and let
// the rest start a field of its own (RFC 5322 section 2.2); folding, a CR LF
// followed by a blank, is the one line break a value may hold.
TEST(ComposeNames, NoValueStartsAFieldOfItsOwn) {
  const std::string inject = "\r\nBcc: x@y";
  TVeraDudurur2000 m(nullptr);
  m.SetTextPlain("text");
  m.AttachString("content", "a.pdf", "application/pdf" + inject, etBase64, false);
  m.SetLabelValue("X-Note", "note" + inject);
  m.SetLabelParamValue("X-Note", "p", "v" + inject);
  m.SetLabelValue("X-Lone", "cr\rBcc: x@y\nBcc: x@y\0z"s);
  m.SetLabelValue("X-Folded", "a\r\n b");
  m.AttachList()[0]->SetLabelParamValue("Content-Disposition", "size", "1" + inject);
  m.RebuildBody();
  const std::string source = m.GetSource();
  std::istringstream lines(source);
  for (std::string line; std::getline(lines, line);) {
    EXPECT_NE(LowerCase(line.substr(0, 4)), "bcc:") << Escaped(source);
    EXPECT_EQ(line.find('\r'), line.size() - 1) << Escaped(line);
  }
  EXPECT_EQ(source.find('\0'), std::string::npos);
  EXPECT_NE(source.find("\r\nX-Folded: a\r\n b\r\n"), std::string::npos) << Escaped(source);
  // The content type given is no content type; a reader says so.
  std::unique_ptr<TVeraDudurur2000> back = Reparsed(m, {"InvalidHeaderDefect"});
  EXPECT_FALSE(back->LabelExists("Bcc"));
  ASSERT_EQ(back->AttachList().Count(), 1);
  EXPECT_EQ(back->AttachList()[0]->GetFileName(), "a.pdf");
}

// ---------------------------------------------------------------------------
// An independent reader

namespace {

std::string Latin1ToUtf8(std::string_view bytes) {
  std::string out;
  for (unsigned char c : bytes) {
    if (c < 0x80) {
      out += static_cast<char>(c);
    } else {
      out += static_cast<char>(0xc0 | (c >> 6));
      out += static_cast<char>(0x80 | (c & 0x3f));
    }
  }
  return out;
}

// One line of composed_parts.py: a container, or a leaf with its name (as
// UTF-8, "" for none) in both parameters and its decoded content.
std::string Container(const std::string& type) { return "part " + type + " - - - -"; }
std::string Leaf(const std::string& type, const std::string& utf8Name, std::string_view content) {
  const std::string name = utf8Name.empty() ? "-" : HexOf(utf8Name);
  return "part " + type + " " + name + " " + name + " " + HexOf(content) + " -";
}

struct TComposed {
  std::string source;
  std::vector<std::string> expected;
};

std::vector<TComposed> ComposeSamples() {
  std::vector<TComposed> samples;
  std::string allBytes;
  for (int b = 0; b < 256; ++b) allBytes += static_cast<char>(b);
  const std::string gif("GIF89a\x01\0\x01\0\x80\0\0", 13);
  auto add = [&samples](TVeraDudurur2000& m, std::vector<std::string> expected) {
    m.SetSubject("composed");
    ExpectPythonReadsAsComposed(m);
    samples.push_back({m.GetSource(), std::move(expected)});
  };

  {  // Every container, names and texts in the default character set.
    TVeraDudurur2000 m(nullptr);
    const std::string greeting = "Gr\xfc\xdf\x65";  // the 0x65 is an "e"
    m.SetTextPlain(greeting + "\nzweite Zeile");
    m.SetTextHTML("<p>" + greeting + " <img src=\"cid:logo.gif\"></p>");
    m.AttachString(gif, "logo.gif", "image/gif", etBase64, true);
    const std::string name = "caf\xe9 r\xe9sum\xe9.pdf";
    m.AttachString(allBytes, "/home/ann/" + name, "application/pdf", etBase64, false);
    add(m,
        {Container("multipart/mixed"), Container("multipart/related"),
         Container("multipart/alternative"), Leaf("text/plain", "", greeting + "\r\nzweite Zeile"),
         Leaf("text/html", "", "<p>" + greeting + " <img src=\"cid:logo.gif\"></p>"),
         Leaf("image/gif", "logo.gif", gif),
         Leaf("application/pdf", Latin1ToUtf8(name), allBytes)});
  }
  {  // UTF-8 names, and names that need quoting.
    TVeraDudurur2000 m(nullptr);
    m.SetCharset("utf-8");
    m.SetTextHTML("<p>\xe2\x82\xac</p>");
    m.AttachString("\xe2\x82\xac data", "\xe2\x82\xac euro.txt", "text/plain", etQuotedPrintable,
                   false);
    m.AttachString(gif, "quote\"d;semi\\colon.gif", "image/gif", etBase64, true);
    add(m, {Container("multipart/mixed"), Container("multipart/related"),
            Leaf("text/html", "", "<p>\xe2\x82\xac</p>"),
            Leaf("image/gif", "quote\"d;semi\\colon.gif", gif),
            Leaf("text/plain", "\xe2\x82\xac euro.txt", "\xe2\x82\xac data")});
  }
  {  // The message is the attachment; its name would add a field if raw.
    TVeraDudurur2000 m(nullptr);
    const std::string name = "injected\r\nBcc: victim@example.org.pdf";
    m.AttachString(allBytes, name, "application/pdf", etQuotedPrintable, false);
    add(m, {Leaf("application/pdf", name, allBytes)});
  }
  {  // Base64 texts; unencoded and quoted-printable attachments, binary too.
    TVeraDudurur2000 m(nullptr);
    m.SetTextEncoding(etBase64);
    m.SetTextPlain("lone\nlf");
    const std::string longName =
        "it's a long name with many words that does not fit on one header line.txt";
    m.AttachString("plain ascii\r\n", longName, "text/plain", et7Bit, false);
    m.AttachString("a = b  \r\ntab\there\r\nend", "tab\tname.txt", "text/plain", etQuotedPrintable,
                   false);
    const std::string lineEnds = "lone\rcr lone\nlf\n\rboth\r\n" + allBytes;
    m.AttachString(lineEnds, "data.bin", "application/octet-stream", etQuotedPrintable, false);
    add(m, {Container("multipart/mixed"), Leaf("text/plain", "", "lone\r\nlf"),
            Leaf("text/plain", longName, "plain ascii\r\n"),
            Leaf("text/plain", "tab\tname.txt", "a = b  \r\ntab\there\r\nend"),
            Leaf("application/octet-stream", "data.bin", lineEnds)});
  }
  return samples;
}

}  // namespace

// The names and contents the samples were given, as Python reads them.
TEST(ComposeNames, PythonsMailReaderReadsWhatWasComposed) {
  for (const TComposed& sample : ComposeSamples()) {
    std::string expected;
    for (const std::string& line : sample.expected) expected += line + "\n";
    EXPECT_EQ(VizuTest::PythonReadsMessage(sample.source), expected);
  }
}
