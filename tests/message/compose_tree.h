#pragma once
// What the composing tests look at in a message tree, written out as text so
// that a failing comparison shows the whole tree at once.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "mail/message/mail_message.h"
#include "mail/message/maker.h"
#include "mail/mime/charsets.h"
#include "platform/error.h"
#include "tests/support/python_mail_reader.h"

namespace compose_test {

using namespace Vizu2000;

// The children through the const accessor: the non-const one counts as a
// change from outside and would send every later restructuring down the
// full path, which some tests must not do.
inline const TMailPartList& Kids(const TMailPart& part) { return part.SubPartList(); }

// Content types, children in brackets: "multipart/mixed(text/plain,image/gif)".
inline std::string Shape(const TMailPart& part) {
  std::string shape = part.GetAttachInfo();
  const TMailPartList& kids = Kids(part);
  if (kids.Empty()) return shape;
  shape += '(';
  for (int i = 0; i < kids.Count(); ++i) shape += (i ? "," : "") + Shape(*kids[i]);
  return shape + ')';
}

// "m" for the message, "m.0.1" for the second child of its first child, "-"
// for no part, "?" for a part that is not in the tree.
inline std::string PathOf(const TMailPart& root, const TMailPart* part) {
  if (!part) return "-";
  std::string path;
  for (const TMailPart* p = part; p != &root; p = p->ParentPart()) {
    if (!p->ParentPart()) return "?";
    path = "." + std::to_string(Kids(*p->ParentPart()).IndexOf(p)) + path;
  }
  return "m" + path;
}

// Where the classification fields point; "(e)" marks embedded attachments.
inline std::string Classes(const TVeraDudurur2000& m) {
  std::string text =
      "mixed=" + PathOf(m, m.MixedPart()) + " related=" + PathOf(m, m.RelatedPart()) +
      " alternative=" + PathOf(m, m.AlternativePart()) + " plain=" + PathOf(m, m.TextPlainPart()) +
      " html=" + PathOf(m, m.TextHTMLPart()) + " attach=";
  for (int i = 0; i < m.AttachList().Count(); ++i) {
    const TMailPart* a = m.AttachList()[i];
    text += (i ? "," : "") + PathOf(m, a) + (a->IsEmbedded() ? "(e)" : "");
  }
  return text;
}

// Decoded contents of the leaves in tree order.
inline std::vector<std::string> LeafContents(TMailPart& part) {
  if (Kids(part).Empty()) {
    part.Decode();
    return {part.Decoded().Data()};
  }
  std::vector<std::string> all;
  for (TMailPart* kid : Kids(part))
    for (std::string& content : LeafContents(*kid)) all.push_back(std::move(content));
  return all;
}

// What is wrong with the containers and header fields of a restructured
// message; empty when nothing is. Boundaries carry the container's kind
// (RFC 2046 section 5.1.1 leaves their form to us) and every child is
// delimited by its parent's boundary.
inline std::string Problems(const TVeraDudurur2000& m) {
  std::string problems;
  if (m.GetLabelValue("Mime-Version") != "1.0") problems += "Mime-Version is not 1.0; ";
  if (m.GetLabelValue("X-Mailer") != std::string(kMailerPrefix) + kMakerHost)
    problems += "X-Mailer is " + m.GetLabelValue("X-Mailer") + "; ";
  std::vector<const TMailPart*> stack{&m};
  while (!stack.empty()) {
    const TMailPart* part = stack.back();
    stack.pop_back();
    const std::string where = PathOf(m, part) + ": ";
    for (const std::string& entry : part->Header())
      if (entry.find_first_of("\r\n") != std::string::npos)
        problems += where + "line break in a field; ";
    if (Kids(*part).Empty()) continue;
    const std::string type = part->GetAttachInfo();
    const std::string boundary = part->GetBoundary();
    const std::string suffix = "_" + type.substr(type.find('/') + 1);
    if (!type.starts_with("multipart/")) problems += where + "children under " + type + "; ";
    if (part->Header().Text().find("boundary=\"" + boundary + "\"") == std::string::npos ||
        !boundary.ends_with(suffix))
      problems += where + "boundary " + boundary + " is not quoted or lacks " + suffix + "; ";
    for (const TMailPart* kid : Kids(*part)) {
      if (kid->ParentBoundary() != boundary)
        problems += PathOf(m, kid) + ": stale parent boundary; ";
      stack.push_back(kid);
    }
  }
  return problems;
}

// "x" and the hex of the bytes, as composed_parts.py writes them.
inline std::string HexOf(std::string_view bytes) {
  std::string hex = "x";
  for (unsigned char c : bytes) {
    char pair[3];
    std::snprintf(pair, sizeof pair, "%02x", c);
    hex += pair;
  }
  return hex;
}

// A parameter as our reader takes it from the part's first field of that
// label, in UTF-8 when RFC 2231 names its charset; "-" when there is none.
inline std::string ParamForPython(const TMailPart& part, std::string_view label,
                                  std::string_view param) {
  const int i = SearchStringList(&part.Header(), std::string(label) + ":", 0);
  if (i < 0) return "-";
  TParamValue read = ReadLabelParam(part.Header()[i], param);
  if (read.value.empty()) return "-";
  std::string utf8;
  if (read.extended && ConvertCharset(read.value, read.charset, "utf-8", utf8)) read.value = utf8;
  return HexOf(read.value);
}

// The lines composed_parts.py should print for the message: every part in
// tree order with its type (RFC 2045 section 5.2: text/plain without a
// valid one), the names our reader finds in its fields and, for a leaf, its
// decoded content (decoded beforehand); no defects. A message/* leaf holds
// a message of its own, which the script does not walk, and a multipart
// leaf lacks its delimiters: neither shows a content.
inline std::string PythonShouldRead(TVeraDudurur2000& m) {
  std::string lines;
  std::vector<TMailPart*> stack{&m};
  while (!stack.empty()) {
    TMailPart* part = stack.back();
    stack.pop_back();
    std::string type = part->GetAttachInfo();
    if (std::count(type.begin(), type.end(), '/') != 1) type = "text/plain";
    const std::string name = ParamForPython(*part, "Content-Type", "name");
    const std::string file = ParamForPython(*part, "Content-Disposition", "filename");
    std::string content = "-";
    // A body that does not decode travels as it came.
    if (Kids(*part).Empty() && !type.starts_with("message/") && !type.starts_with("multipart/"))
      content = HexOf(part->IsDecoded() ? part->Decoded().View() : part->Body().View());
    lines += "part " + type + " " + (file == "-" ? name : file) + " " + name + " " + content + " -\n";
    for (int i = Kids(*part).Count(); i-- > 0;) stack.push_back(Kids(*part)[i]);
  }
  return lines;
}

// The defects that end a line composed_parts.py printed.
inline std::vector<std::string> LineDefects(const std::string& line) {
  std::vector<std::string> defects;
  std::istringstream list(line.substr(line.rfind(' ') + 1));
  for (std::string one; std::getline(list, one, ',');)
    if (one != "-") defects.push_back(one);
  return defects;
}

// Python's reader reads the message as written with the same parts, names
// and decoded bytes, and finds no defect but the tolerated ones (those of a
// received message the test started from).
inline void ExpectPythonReadsAsComposed(TVeraDudurur2000& m,
                                        const std::set<std::string>& tolerated = {}) {
  std::vector<TMailPart*> stack{&m};
  while (!stack.empty()) {  // decoded first: a uuencoded body becomes base64
    TMailPart* part = stack.back();
    stack.pop_back();
    for (TMailPart* kid : Kids(*part)) stack.push_back(kid);
    if (Kids(*part).Empty()) {
      try {
        part->Decode();
      } catch (const EVizuError&) {
      }
    }
  }
  m.RebuildBody();
  std::istringstream lines(VizuTest::PythonReadsMessage(m.GetSource()));
  std::string kept;
  for (std::string line; std::getline(lines, line);) {
    if (line.starts_with("part ")) {
      std::string defects;
      for (const std::string& one : LineDefects(line))
        if (!tolerated.count(one)) defects += (defects.empty() ? "" : ",") + one;
      line = line.substr(0, line.rfind(' ') + 1) + (defects.empty() ? "-" : defects);
    }
    kept += line + "\n";
  }
  EXPECT_EQ(kept, PythonShouldRead(m));
}

// The defects Python's reader finds in a message text, for a test that
// starts from received mail.
inline std::set<std::string> PythonDefects(std::string_view source) {
  std::set<std::string> found;
  std::istringstream lines(VizuTest::PythonReadsMessage(source));
  for (std::string line; std::getline(lines, line);)
    for (std::string& one : LineDefects(line)) found.insert(std::move(one));
  return found;
}

// The message as it would be sent, read back by a fresh message, after
// Python's reader has read it as composed.
inline std::unique_ptr<TVeraDudurur2000> Reparsed(TVeraDudurur2000& m,
                                                  const std::set<std::string>& tolerated = {}) {
  ExpectPythonReadsAsComposed(m, tolerated);
  auto back = std::make_unique<TVeraDudurur2000>(nullptr);
  back->SetSource(m.GetSource());
  back->FindParts();
  return back;
}

}  // namespace compose_test
