#pragma once
// What the composing tests look at in a message tree, written out as text so
// that a failing comparison shows the whole tree at once.
#include <memory>
#include <string>
#include <vector>

#include "mail/message/mail_message.h"
#include "mail/message/maker.h"

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

// The message as it would be sent, read back by a fresh message.
inline std::unique_ptr<TVeraDudurur2000> Reparsed(TVeraDudurur2000& m) {
  m.RebuildBody();
  auto back = std::make_unique<TVeraDudurur2000>(nullptr);
  back->SetSource(m.GetSource());
  back->FindParts();
  return back;
}

}  // namespace compose_test
