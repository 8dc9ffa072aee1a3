// Restructuring a message into its regular MIME shape (RFC 2046 section 5.1
// for mixed and alternative, RFC 2387 for related): containers only where
// one part does not suffice, texts innermost, attachments beside them.
#include <algorithm>
#include <string>
#include <vector>

#include "mail/message/attachment_names.h"
#include "mail/message/maker.h"
#include "mail/message/mail_message.h"
#include "mail/mime/header_fields.h"
#include "mail/mime/mime_types.h"
#include "platform/error.h"

namespace Vizu2000 {

namespace {

bool IsContentField(std::string_view entry) {
  return entry.size() >= 8 && SameText(entry.substr(0, 8), "Content-");
}

std::string Quoted(std::string_view text) {
  std::string quoted;
  quoted.reserve(text.size() + 2);
  quoted += '"';
  quoted += text;
  quoted += '"';
  return quoted;
}

// A container's shape, as the counts of what it will hold decide it.
struct TShape {
  bool mixed;
  bool related;
  bool alternative;
};

TShape ShapeFor(int texts, int attachments, int embedded) {
  return {attachments > 1 || (attachments > 0 && (texts > 0 || embedded > 0)), embedded > 0,
          texts > 1};
}

// Content that cannot be decoded (a malformed uuencoded body) travels as it
// stands: encoding it anew would lose it.
bool DecodesCleanly(TMailPart* part) {
  try {
    part->Decode();
    return true;
  } catch (const EVizuError&) {
    return false;
  }
}

// A text body as every restructuring leaves it, written in the message's
// text encoding.
void RewriteText(TMailPart* text, const char* type, TEncodingType encoding) {
  text->SetLabelValue("Content-Type", type);
  text->SetLabelValue("Content-Disposition", "inline");
  if (DecodesCleanly(text)) text->Encode(encoding);
  text->SetLabelValue("Content-Length", std::to_string(text->Body().Size()));
}

}  // namespace

struct TVeraDudurur2000::TContainer {
  TMailPart* part = nullptr;
  std::string boundary;  // unquoted, as GetBoundary() reads it
};

// What a full restructuring makes, outermost first: the outermost is the
// message itself, and the innermost is where the texts go.
struct TVeraDudurur2000::TContainers {
  TContainer mixed, related, alternative, inner;
};

TMailPart* TVeraDudurur2000::NewPart(TMailPart* parent, const std::string& parentBoundary) {
  Touch(chTree);
  auto* part = new TMailPart(this);
  part->ownerMessage_ = this;
  if (parent) {
    part->parentPart_ = parent;
    part->parentBoundary_ = parentBoundary;
    parent->subPartList_.Add(part);
  }
  return part;
}

void TVeraDudurur2000::ResetContentFields() {
  // Every copy goes: a second Content-Type left behind would be the one the
  // new type and boundary are written into, broken parameters and all.
  for (const char* label : {"Content-Type", "Content-Transfer-Encoding", "Content-Disposition",
                            "Content-ID", "Content-Length"})
    while (LabelExists(label)) SetLabelValue(label, "");
  SetLabelValue("Mime-Version", "1.0");
  SetLabelValue("X-Mailer", std::string(kMailerPrefix) + kMakerHost);
}

void TVeraDudurur2000::Normalize(TNormalizer mode) {
  if (mode == nrFirst && !needNormalize_) return;
  Settle();
  FindParts();
  needRebuild_ = true;
  needNormalize_ = false;
  fileCounter_ = 0;
  if (ShapeIsNormal() && ShapeFits(mode)) {
    // Only the texts are written again, so the attachments' names still
    // hold.
    const bool namesCurrent = AttachNamesValid();
    NormalizeInPlace();
    if (namesCurrent) attachNamesAt_ = changes_;
  } else {
    NormalizeFully(mode);
  }
  MarkNormal();
}

// Whether the containers in place are the ones a full restructuring would
// make. Only asked while the shape is normal, so the containers are exactly
// those an earlier restructuring made and the counts decide their nesting.
bool TVeraDudurur2000::ShapeFits(TNormalizer mode) const {
  if (textPlainPart_ == this || textHTMLPart_ == this) return false;
  int texts = (mode == nrAddText) + (textPlainPart_ != nullptr) + (textHTMLPart_ != nullptr);
  int embedded = normalEmbedded_ + (mode == nrAddEmbedded);
  int attachments = attachList_.Count() - normalEmbedded_ + (mode == nrAddAttach);
  TShape want = ShapeFor(texts, attachments, embedded);
  if (!want.mixed && !want.related && !want.alternative) return false;
  return want.mixed == (mixedPart_ != nullptr) && want.related == (relatedPart_ != nullptr) &&
         want.alternative == (alternativePart_ != nullptr);
}

// The tree already has its regular shape: everything a full restructuring
// would do to it, done where it stands. Attachments were prepared when they
// were placed and have not been touched since; texts are written again, as
// TextEncoding may have changed. The message keeps its boundary, which its
// children's delimiters are made of.
void TVeraDudurur2000::NormalizeInPlace() {
  std::string boundary =
      subPartList_.Empty() ? GetBoundary() : subPartList_.Get(0)->parentBoundary_;
  const char* outer = mixedPart_ == this     ? "multipart/mixed"
                      : relatedPart_ == this ? "multipart/related"
                                             : "multipart/alternative";
  ResetContentFields();
  SetLabelValue("Content-Type", outer);
  SetLabelParamValue("Content-Type", "boundary", Quoted(boundary));
  containerPart_ = alternativePart_ ? alternativePart_ : relatedPart_ ? relatedPart_ : mixedPart_;

  if (textPlainPart_) RewriteText(textPlainPart_, "text/plain", textEncoding_);
  if (textHTMLPart_) RewriteText(textHTMLPart_, "text/html", textEncoding_);
}

void TVeraDudurur2000::TakeContentOf(TMailPart* part, TEncodingType encoding) {
  if (DecodesCleanly(part)) {
    decoded_.TakeOver(part->decoded_);
    isDecoded_ = true;
    Encode(encoding);
  } else {
    body_.TakeOver(part->body_);
    SetLabelValue("Content-Transfer-Encoding", part->GetLabelValue("Content-Transfer-Encoding"));
  }
}

void TVeraDudurur2000::TakeOverText(TMailPart*& slot, const char* type) {
  TMailPart* text = slot;
  // The text keeps its parameters (charset above all: without it every
  // letter beyond ASCII would show wrong); only the type is set.
  SetLabelValue("Content-Type", type);
  int own = SearchStringList(&header_, "Content-Type:", 0);
  int theirs = SearchStringList(&text->header_, "Content-Type:", 0);
  if (own >= 0 && theirs >= 0) {
    header_[own] = WriteLabelValue(text->header_[theirs], type);
    Touch(chFields);
  }
  SetLabelValue("Content-Disposition", "inline");
  TakeContentOf(text, textEncoding_);
  // Destroying the part clears every field that refers to it, the slot
  // included, so the slot is set afterwards.
  delete text;
  slot = this;
}

void TVeraDudurur2000::NormalizeFully(TNormalizer mode) {
  // The tree is remade: nothing taken of it before holds.
  CountChange();
  AttachUnsplitContainers();
  LiftOwnContent();
  ResetContentFields();
  UnhookTextsAndAttachments();
  const std::vector<TMailPart*> leftovers = CutOffLeftovers();
  const TContainers made = MakeContainers(mode);
  PlaceText(textPlainPart_, "text/plain", made.inner);
  PlaceText(textHTMLPart_, "text/html", made.inner);
  const int embedded = PlaceAttachments(made);
  DestroyOldTree(leftovers);
  AdoptContainers(made, embedded);
  DropBodyUnlessContent();
}

// A container part that the parser could not split (its delimiters are
// missing) holds its content in its body: it is an attachment, not a
// container to be remade.
void TVeraDudurur2000::AttachUnsplitContainers() {
  for (TMailPart** field : {&mixedPart_, &relatedPart_, &alternativePart_}) {
    TMailPart* part = *field;
    if (part && part != this && part->subPartList_.Empty() && part->body_.Size() > 0) {
      attachList_.Add(part);
      *field = nullptr;
    }
  }
}

// Lifts the message's own content into a part of its own, so the message
// can become a container. A childless message's body is its content even
// when its type names a container (a multipart message whose parts could
// not be found): it becomes an attachment rather than being dropped. A text
// or attachment that the message holds is lifted even when empty, so the
// caller's part survives and the message never becomes its own child. The
// body of a message with children is only a preamble and goes.
void TVeraDudurur2000::LiftOwnContent() {
  bool childless = subPartList_.Empty();
  bool selfAttached = attachList_.IndexOf(this) >= 0;
  bool holdsText = textPlainPart_ == this || textHTMLPart_ == this;
  while (attachList_.Remove(this)) {
  }
  // The body of a message that this class made a container is assembled
  // from its parts (or left over from before): never content of its own.
  const bool bodyIsContent = childless && !madeIntoContainer_ && (body_.Size() > 0 || selfAttached);
  if (!holdsText && !bodyIsContent) return;
  TMailPart* lifted = NewPart(nullptr, {});
  lifted->body_.Assign(std::string(body_.View()));
  // The fields describe the content, so they go with it: left on the
  // message as well, they would come back doubled when the message takes
  // content over again.
  auto& entries = header_.Items();
  for (const std::string& entry : entries)
    if (IsContentField(entry)) lifted->header_.Add(entry);
  entries.erase(std::remove_if(entries.begin(), entries.end(),
                               [](const std::string& entry) { return IsContentField(entry); }),
                entries.end());
  Touch(chFields);
  if (textPlainPart_ == this)
    textPlainPart_ = lifted;
  else if (textHTMLPart_ == this)
    textHTMLPart_ = lifted;
  else
    attachList_.Add(lifted);
}

// Takes every text and attachment out of its old place in one pass per
// parent: taking them one by one would cost a search of the parent's list
// each.
void TVeraDudurur2000::UnhookTextsAndAttachments() {
  std::vector<TMailPart*> moving(attachList_.begin(), attachList_.end());
  for (TMailPart* text : {textPlainPart_, textHTMLPart_})
    if (text) moving.push_back(text);
  std::vector<TMailPart*> parents;
  for (TMailPart* part : moving)
    if (part->parentPart_) {
      parents.push_back(part->parentPart_);
      part->parentPart_ = nullptr;
    }
  std::sort(moving.begin(), moving.end());
  std::sort(parents.begin(), parents.end());
  parents.erase(std::unique(parents.begin(), parents.end()), parents.end());
  for (TMailPart* parent : parents) {
    auto& items = parent->subPartList_.Items();
    items.erase(std::remove_if(items.begin(), items.end(),
                               [&](TMailPart* p) {
                                 return std::binary_search(moving.begin(), moving.end(), p);
                               }),
                items.end());
  }
}

// What is left under the message (old containers, paths to parts that have
// been taken out) is cut off; it goes once the new shape stands.
std::vector<TMailPart*> TVeraDudurur2000::CutOffLeftovers() {
  std::vector<TMailPart*> leftovers(subPartList_.begin(), subPartList_.end());
  subPartList_.Clear();
  for (TMailPart* part : leftovers) part->parentPart_ = nullptr;
  return leftovers;
}

// The containers the counts of texts and attachments call for, each
// nested in the one before.
TVeraDudurur2000::TContainers TVeraDudurur2000::MakeContainers(TNormalizer mode) {
  int texts = (mode == nrAddText) + (textPlainPart_ != nullptr) + (textHTMLPart_ != nullptr);
  int attachments = mode == nrAddAttach;
  int embedded = mode == nrAddEmbedded;
  for (const TMailPart* part : attachList_) ++(part->isEmbedded_ ? embedded : attachments);
  const TShape shape = ShapeFor(texts, attachments, embedded);

  TContainers made;
  auto make = [this, &made](TContainer& container, const char* type, const char* suffix) {
    std::string boundary = GenerateBoundary() + suffix;
    TMailPart* part = made.inner.part ? NewPart(made.inner.part, made.inner.boundary) : this;
    part->SetLabelValue("Content-Type", type);
    part->SetLabelParamValue("Content-Type", "boundary", Quoted(boundary));
    container = {part, boundary};
    made.inner = container;
  };
  if (shape.mixed) make(made.mixed, "multipart/mixed", "_mixed");
  if (shape.related) make(made.related, "multipart/related", "_related");
  if (shape.alternative) make(made.alternative, "multipart/alternative", "_alternative");
  return made;
}

void TVeraDudurur2000::PutInto(TMailPart* part, const TContainer& container) {
  part->parentPart_ = container.part;
  part->parentBoundary_ = container.boundary;
  container.part->subPartList_.Add(part);
}

// A text goes into the innermost container, or becomes the message's own
// content where there is none.
void TVeraDudurur2000::PlaceText(TMailPart*& slot, const char* type, const TContainer& inner) {
  TMailPart* text = slot;
  if (!text) return;
  if (!inner.part) {
    TakeOverText(slot, type);
    return;
  }
  RewriteText(text, type, textEncoding_);
  text->subPartList_.Clear();
  PutInto(text, inner);
}

// Gives the attachment a type, a name and a disposition with a file name,
// keeping what it has; returns its name.
std::string TVeraDudurur2000::CompleteAttachmentFields(TMailPart* part) {
  std::string type = part->GetLabelValue("Content-Type");
  if (type.empty()) {
    type = "application/octet-stream";
    part->SetLabelValue("Content-Type", type);
  }
  if (!part->LabelParamExists("Content-Type", "name")) {
    // A part named only by its disposition (common in received mail) is
    // not unnamed: a made-up name here would take its place when read.
    TParamValue file = part->ReadParam("Content-Disposition", "filename");
    if (!file.value.empty()) {
      if (file.extended)
        part->SetLabelParamText("Content-Type", "name", NameInUtf8(file.value, file.charset));
      else
        part->SetLabelParamValue("Content-Type", "name", Quoted(file.value));
    } else {
      part->SetLabelParamValue(
          "Content-Type", "name",
          Quoted("file_" + std::to_string(fileCounter_) + GetMimeExtension(type)));
      ++fileCounter_;
    }
  }
  TParamValue given = part->ReadParam("Content-Type", "name");
  // RFC 2183: a disposition has a type before its parameters.
  if (part->GetLabelValue("Content-Disposition").empty())
    part->SetLabelValue("Content-Disposition", "attachment");
  // A name read from its RFC 2231 form is decoded text, which a quoted
  // string cannot carry as it is (RFC 2045 section 5.1): it goes out in
  // that form again.
  if (!part->LabelParamExists("Content-Disposition", "filename")) {
    if (given.extended)
      part->SetLabelParamText("Content-Disposition", "filename",
                              NameInUtf8(given.value, given.charset));
    else
      part->SetLabelParamValue("Content-Disposition", "filename", Quoted(given.value));
  }
  return std::move(given.value);
}

// Embedded attachments go under related, the others under mixed; without
// a container, the only attachment becomes the message's own content.
// Returns how many were embedded.
int TVeraDudurur2000::PlaceAttachments(const TContainers& made) {
  std::vector<TMailPart*> attached(attachList_.begin(), attachList_.end());
  int placedEmbedded = 0;
  for (TMailPart* part : attached) {
    const std::string name = CompleteAttachmentFields(part);
    if (part->isEmbedded_) {
      // RFC 2392: a Content-ID is an identifier in angle brackets, or an
      // HTML body cannot refer to the part.
      if (part->GetLabelValue("Content-ID").empty())
        part->SetLabelValue("Content-ID", ContentIdFor(name));
      part->SetLabelValue("Content-Disposition", "inline");
      PutInto(part, made.related);
      ++placedEmbedded;
    } else if (made.mixed.part) {
      part->SetLabelValue("Content-Disposition", "attachment");
      PutInto(part, made.mixed);
    } else {
      // The only content: the message takes it over, as base64.
      for (const std::string& entry : part->header_)
        if (IsContentField(entry)) header_.Add(entry);
      Touch(chFields);
      TakeContentOf(part, etBase64);
      delete part;  // leaves AttachList on its own
      attachList_.Add(this);
    }
  }
  return placedEmbedded;
}

// Old containers and leftover paths hold nothing of value any more.
void TVeraDudurur2000::DestroyOldTree(const std::vector<TMailPart*>& leftovers) {
  for (TMailPart* part : leftovers) delete part;
  // Destroying a part clears the fields that refer to it, so an old
  // container that went with the leftovers is no longer named here; one
  // that is still named had been taken out of the tree before.
  for (TMailPart** field : {&alternativePart_, &relatedPart_, &mixedPart_}) {
    TMailPart* old = *field;
    if (old && old != this) {
      old->Remove();
      delete old;
    }
  }
}

void TVeraDudurur2000::AdoptContainers(const TContainers& made, int embedded) {
  mixedPart_ = made.mixed.part;
  relatedPart_ = made.related.part;
  alternativePart_ = made.alternative.part;
  containerPart_ = made.inner.part;
  normalEmbedded_ = embedded;
  madeIntoContainer_ = made.inner.part != nullptr;
}

// A message left with no content at all, or a container still waiting for
// the part it was made for: what its body still holds is a preamble or old
// text, which must not pass for content.
void TVeraDudurur2000::DropBodyUnlessContent() {
  const bool holdsContent =
      containerPart_ ? !subPartList_.Empty()
                     : textPlainPart_ == this || textHTMLPart_ == this || attachList_.IndexOf(this) >= 0;
  if (holdsContent) return;
  body_.Clear();
  decoded_.Clear();
  isDecoded_ = false;
}

}  // namespace Vizu2000
