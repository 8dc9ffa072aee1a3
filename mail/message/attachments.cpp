// Adding, removing and finding attachments.
#include <algorithm>
#include <functional>
#include <string>

#include "mail/message/attachment_names.h"
#include "mail/message/mail_message.h"
#include "mail/mime/charsets.h"
#include "mail/mime/codecs.h"
#include "mail/mime/mime_types.h"
#include "platform/error.h"
#include "platform/paths.h"

namespace Vizu2000 {

std::string NameInUtf8(std::string_view fileName, std::string_view charset) {
  // An encoded word inside a quoted string is not one (RFC 2047 section 5),
  // and readers that follow the rule show it as written; RFC 2231 names a
  // charset for a parameter value instead, and UTF-8 holds every name.
  // ASCII reads the same in every charset a name is given in, bar the
  // few that are not ASCII-compatible; those are converted like any text.
  const std::string lowered = LowerCase(charset);
  const bool asciiCompatible = !lowered.starts_with("utf-7") && !lowered.starts_with("utf-16") &&
                               !lowered.starts_with("utf-32") && !lowered.starts_with("ucs");
  const bool ascii = std::all_of(fileName.begin(), fileName.end(),
                                 [](char c) { return static_cast<unsigned char>(c) < 0x80; });
  if (charset.empty() || (ascii && asciiCompatible)) return std::string(fileName);
  std::string utf8;
  if (ConvertCharset(fileName, charset, "utf-8", utf8)) return utf8;
  return std::string(fileName);
}

std::string ContentIdFor(std::string_view name) {
  // The name stays as written, so an HTML body can refer to it byte for
  // byte; only what would end the field or the identifier is replaced
  // (RFC 2392, RFC 5322 section 3.6.4).
  std::string id = "<";
  for (char c : name) id += (c == '\r' || c == '\n' || c == '\0' || c == '<' || c == '>') ? '_' : c;
  id += '>';
  return id;
}

void TVeraDudurur2000::AttachFile(const std::string& fileName, std::string_view contentType,
                                  TEncodingType encoding, bool embedded) {
  // Read before anything changes: a file that cannot be read leaves the
  // message as it was.
  std::string content = ReadWholeFile(fileName);
  AttachBytes(std::move(content), fileName, contentType, encoding, embedded);
}

void TVeraDudurur2000::AttachString(std::string_view content, std::string_view fileName,
                                    std::string_view contentType, TEncodingType encoding,
                                    bool embedded) {
  AttachBytes(std::string(content), fileName, contentType, encoding, embedded);
}

void TVeraDudurur2000::AttachStream(TStream& stream, std::string_view fileName,
                                    std::string_view contentType, TEncodingType encoding,
                                    bool embedded) {
  stream.SetPosition(0);
  AttachBytes(stream.ReadRest(), fileName, contentType, encoding, embedded);
}

void TVeraDudurur2000::AttachBytes(std::string content, std::string_view fileName,
                                   std::string_view contentType, TEncodingType encoding,
                                   bool embedded) {
  Settle();
  const std::string name = ExtractFileName(fileName);
  Normalize(embedded ? nrAddEmbedded : nrAddAttach);
  const bool namesCurrent = AttachNamesValid();
  TMailPart* container = embedded ? relatedPart_ : mixedPart_;
  const bool wasNormal = ShapeIsNormal() && container;

  TMailPart* part = container ? NewPart(container, container->GetBoundary()) : this;
  part->decoded_.Assign(std::move(content));
  part->isDecoded_ = true;
  part->Encode(encoding);
  part->SetLabelValue("Content-Type", contentType.empty() ? GetMimeType(name) : std::string(contentType));
  const std::string utf8Name = NameInUtf8(name, charset_);
  part->SetLabelParamText("Content-Type", "name", utf8Name);
  part->SetLabelValue("Content-Disposition", embedded ? "inline" : "attachment");
  part->SetLabelParamText("Content-Disposition", "filename", utf8Name);
  part->SetLabelValue("Content-Length", std::to_string(part->body_.Size()));
  part->isEmbedded_ = embedded;
  if (embedded) part->SetLabelValue("Content-ID", ContentIdFor(name));
  attachList_.Add(part);
  needRebuild_ = true;
  if (namesCurrent) {
    attachHashes_.push_back(ListName(part));
    attachNamesAt_ = changes_;
  }

  // The new part stands where a full restructuring would put it, unless it
  // has no name yet (an empty file name), which that would make up.
  if (wasNormal && part->LabelParamExists("Content-Type", "name")) {
    if (embedded) ++normalEmbedded_;
    MarkNormal();
  }
}

void TVeraDudurur2000::DropAttachment(TMailPart* part) {
  Settle();
  bool wasNormal = ShapeIsNormal();
  if (part == this) {
    for (const char* label : {"Content-Type", "Content-Transfer-Encoding", "Content-Disposition",
                              "Content-Length", "Content-ID"})
      SetLabelValue(label, "");
    body_.Clear();
    decoded_.Clear();
    attachList_.Remove(this);
  } else {
    if (wasNormal && part->isEmbedded_) --normalEmbedded_;
    part->Remove();
    delete part;  // leaves AttachList on its own
  }
  needRebuild_ = true;
  // The rest still stands where a full restructuring would put it; whether
  // the containers still fit is the next restructuring's question.
  if (wasNormal) MarkNormal();
}

std::size_t TVeraDudurur2000::ListName(TMailPart* part) {
  part->listedName_ = LowerCase(part->GetFileName());
  return std::hash<std::string_view>{}(part->listedName_);
}

void TVeraDudurur2000::TakeAttachNames() {
  attachHashes_.clear();
  for (TMailPart* part : attachList_) attachHashes_.push_back(ListName(part));
  attachNamesAt_ = changes_;
  attachNamesCharset_ = charset_;
}

int TVeraDudurur2000::FindAttachment(std::string_view lowered) {
  if (!AttachNamesValid()) TakeAttachNames();
  const std::size_t hash = std::hash<std::string_view>{}(lowered);
  for (size_t i = 0; i < attachHashes_.size(); ++i)
    if (attachHashes_[i] == hash && attachList_.Get(static_cast<int>(i))->listedName_ == lowered)
      return static_cast<int>(i);
  return -1;
}

// Takes the entry at index off, then rebuilds the shape for what is left;
// the names of the others stay as they were.
void TVeraDudurur2000::DetachAt(int index) {
  Settle();
  const bool namesCurrent = AttachNamesValid();
  DropAttachment(attachList_.Get(index));
  if (namesCurrent) {
    attachHashes_.erase(attachHashes_.begin() + index);
    attachNamesAt_ = changes_;
  }
  Normalize(nrForce);
}

void TVeraDudurur2000::DetachFile(std::string_view fileName) {
  Normalize(nrFirst);
  const int index = FindAttachment(LowerCase(ExtractFileName(fileName)));
  if (index < 0) throw EVizuError(Name() + ": Attachment filename not found " + std::string(fileName));
  DetachAt(index);
}

void TVeraDudurur2000::DetachFileIndex(int index) {
  Normalize(nrFirst);
  if (index < 0 || index >= attachList_.Count())
    throw EVizuError(Name() + ": Attachment index not found");
  DetachAt(index);
}

TMailPart* TVeraDudurur2000::GetAttach(std::string_view fileName) {
  Normalize(nrFirst);
  const int index = FindAttachment(LowerCase(fileName));
  return index < 0 ? nullptr : attachList_.Get(index);
}

}  // namespace Vizu2000
