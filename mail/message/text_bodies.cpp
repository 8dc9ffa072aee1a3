// Setting and removing the plain-text and HTML bodies of a message.
#include <string>

#include "mail/message/mail_message.h"

namespace Vizu2000 {

namespace {

// Mail lines end in CR LF (RFC 5322 section 2.3): a lone CR, a lone LF and
// the pair LF CR each become one CR LF.
std::string WithCRLF(std::string_view text) {
  std::string out;
  out.reserve(text.size() + text.size() / 32 + 2);
  for (size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (c == '\r' || c == '\n') {
      char pair = c == '\r' ? '\n' : '\r';
      if (i + 1 < text.size() && text[i + 1] == pair) ++i;
      out += "\r\n";
    } else {
      out += c;
    }
  }
  return out;
}

}  // namespace

void TVeraDudurur2000::PutText(std::string_view text, TMailPart*& textPart,
                               std::string_view contentType) {
  Settle();
  // A parsed message has not been classified yet: without this its own text
  // would look absent and be counted twice.
  FindParts();
  Normalize(textPart ? nrFirst : nrAddText);
  std::string converted = WithCRLF(text);
  // A text replaced where it stands keeps the shape regular; a new one is
  // appended after the attachments, where a full restructuring would not
  // leave it.
  bool keepsShape = ShapeIsNormal() && textPart;
  if (!textPart) textPart = containerPart_ ? NewPart(containerPart_, containerPart_->GetBoundary()) : this;
  TMailPart* part = textPart;
  part->decoded_.Assign(std::move(converted));
  part->isDecoded_ = true;
  part->Encode(textEncoding_);
  part->SetLabelValue("Content-Type", contentType);
  part->SetLabelParamValue("Content-Type", "charset", "\"" + charset_ + "\"");
  part->SetLabelValue("Content-Disposition", "inline");
  part->SetLabelValue("Content-Length", std::to_string(part->body_.Size()));
  needRebuild_ = true;
  if (keepsShape) MarkNormal();
}

void TVeraDudurur2000::SetTextPlain(std::string_view text) {
  PutText(text, textPlainPart_, "text/plain");
  textPlain_.SetText(text);
}

void TVeraDudurur2000::SetTextHTML(std::string_view text) {
  PutText(text, textHTMLPart_, "text/html");
  textHTML_.SetText(text);
}

void TVeraDudurur2000::RemoveText(TMailPart*& textPart) {
  Settle();
  Normalize(nrFirst);
  bool wasNormal = ShapeIsNormal();
  if (textPart == this) {
    body_.Clear();
    decoded_.Clear();
    for (const char* label :
         {"Content-Type", "Content-Transfer-Encoding", "Content-Disposition", "Content-Length"})
      SetLabelValue(label, "");
  } else if (textPart) {
    TMailPart* part = textPart;
    part->Remove();
    delete part;  // clears textPart as well
  }
  textPart = nullptr;
  if (wasNormal) MarkNormal();
  Normalize(nrForce);
  needRebuild_ = true;
}

void TVeraDudurur2000::RemoveTextPlain() {
  FindParts();  // a parsed message's text is known only after it
  if (!textPlainPart_) return;
  RemoveText(textPlainPart_);
  textPlain_.Clear();
}

void TVeraDudurur2000::RemoveTextHTML() {
  FindParts();
  if (!textHTMLPart_) return;
  RemoveText(textHTMLPart_);
  textHTML_.Clear();
}

}  // namespace Vizu2000
