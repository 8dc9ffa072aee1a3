#include "mail/message/mail_part.h"

#include <algorithm>
#include <cstring>

#include "mail/message/mail_message.h"
#include "platform/text_chars.h"
#include "platform/text_lines.h"
#include "mail/mime/charsets.h"
#include "mail/mime/codecs.h"
#include "mail/mime/header_fields.h"
#include "mail/mime/mime_types.h"
#include "platform/error.h"
#include "platform/memory.h"

namespace Vizu2000 {

namespace {

const char kTransferEncoding[] = "Content-Transfer-Encoding";

std::string Prefix(std::string_view label) {
  std::string prefix(label);
  prefix += ':';
  return prefix;
}

// A value of more than two characters that starts with a double quote or
// an apostrophe and ends with either loses its first and last characters:
// looser than a quoted-string's rule, for the values of hand-made fields.
std::string StripQuoteMarks(std::string value) {
  auto quote = [](char c) { return c == '"' || c == '\''; };
  if (value.size() > 2 && quote(value.front()) && quote(value.back()))
    return value.substr(1, value.size() - 2);
  return value;
}

}  // namespace

// ---------------------------------------------------------------------------
// TMailPartList

namespace {

[[noreturn]] void IndexError(int index) {
  throw EVizuError("List index out of bounds (" + std::to_string(index) + ")");
}

}  // namespace

TMailPart* TMailPartList::Get(int index) const {
  if (index < 0 || index >= Count()) IndexError(index);
  return items_[static_cast<size_t>(index)];
}

int TMailPartList::Add(TMailPart* part) {
  items_.push_back(part);
  return Count() - 1;
}

void TMailPartList::Insert(int index, TMailPart* part) {
  if (index < 0 || index > Count()) IndexError(index);
  items_.insert(items_.begin() + index, part);
}

void TMailPartList::Delete(int index) {
  if (index < 0 || index >= Count()) IndexError(index);
  items_.erase(items_.begin() + index);
}

int TMailPartList::IndexOf(const TMailPart* part) const {
  // From both ends at once: the part sought is nearly always the newest or
  // the oldest one, and a list of thousands must not be walked for it.
  size_t low = 0, high = items_.size();
  while (low < high) {
    if (items_[--high] == part) return static_cast<int>(high);
    if (low < high && items_[low] == part) return static_cast<int>(low);
    ++low;
  }
  return -1;
}

bool TMailPartList::Remove(const TMailPart* part) {
  int i = IndexOf(part);
  if (i < 0) return false;
  items_.erase(items_.begin() + i);
  return true;
}

// ---------------------------------------------------------------------------
// TMailPart: life

TMailPart::TMailPart(TComponent* owner) : TComponent(owner) {}

void TMailPart::Settle() const {
  if (ownerMessage_ && ownerMessage_->pendingBodySize_ && !ownerMessage_->destroying_)
    ownerMessage_->AssemblePendingBody();
}

void TMailPart::Touch(TChange change) {
  // The message's own fields are neither in its body nor among what the
  // message counts as changes.
  if (change == chFields && ownerMessage_ == this) return;
  Settle();
  if (ownerMessage_) ownerMessage_->CountChange();
}

TStringList& TMailPart::Header() {
  Touch(chFields);
  return header_;
}

const TMemoryStream& TMailPart::Body() const {
  if (ownerMessage_ == this) Settle();
  return body_;
}

TMailPartList& TMailPart::SubPartList() {
  Touch(chTree);
  return subPartList_;
}

void TMailPart::SetParentBoundary(std::string boundary) {
  Touch(chTree);
  parentBoundary_ = std::move(boundary);
}

void TMailPart::SetOwnerMessage(TVeraDudurur2000* message) {
  Touch(chTree);
  ownerMessage_ = message;
  Touch(chTree);
}

void TMailPart::SetParentPart(TMailPart* parent) {
  Touch(chTree);
  parentPart_ = parent;
}

void TMailPart::SetIsEmbedded(bool value) {
  Touch(chTree);
  isEmbedded_ = value;
}

TMailPart::~TMailPart() {
  // The message's own part is destroyed after the message: not looked at.
  if (ownerMessage_ != this) Settle();
  if (parentPart_) parentPart_->subPartList_.Remove(this);
  DestroySubParts();
  if (ownerMessage_ && ownerMessage_ != this && !ownerMessage_->destroying_)
    ownerMessage_->ForgetParts({this});
}

void TMailPart::DestroySubParts() {
  if (subPartList_.Empty()) return;
  Settle();
  // Gather the subtree with an explicit stack: a hostile tree may be deeper
  // than the call stack allows.
  std::vector<TMailPart*> all;
  std::vector<TMailPart*> stack(subPartList_.begin(), subPartList_.end());
  std::reverse(stack.begin(), stack.end());
  subPartList_.Clear();
  while (!stack.empty()) {
    TMailPart* p = stack.back();
    stack.pop_back();
    all.push_back(p);
    for (auto it = p->subPartList_.end(); it != p->subPartList_.begin();) stack.push_back(*--it);
    p->subPartList_.Clear();
    p->parentPart_ = nullptr;
  }
  TVeraDudurur2000* message = ownerMessage_;
  if (message && !message->destroying_) {
    std::vector<TMailPart*> sorted(all);
    std::sort(sorted.begin(), sorted.end());
    message->ForgetParts(sorted);
  }
  // Newest first: parts were created in this order, so each one leaves its
  // owner's component list from the end.
  for (auto it = all.rbegin(); it != all.rend(); ++it) {
    TMailPart* p = *it;
    if (p->ownerMessage_ == message) p->ownerMessage_ = nullptr;
    delete p;
  }
}

// ---------------------------------------------------------------------------
// Header fields

std::string TMailPart::GetLabelValue(std::string_view label) const {
  int i = SearchStringList(&header_, Prefix(label), 0);
  if (i < 0) return {};
  return StripQuoteMarks(TrimSpace(LabelValue(header_[i])));
}

TParamValue TMailPart::ReadParam(std::string_view label, std::string_view param) const {
  int i = SearchStringList(&header_, Prefix(label), 0);
  if (i < 0) return {};
  TParamValue read = ReadLabelParam(header_[i], param);
  if (!read.extended) {
    read.value = StripQuoteMarks(TrimSpace(read.value));
    return read;
  }
  // RFC 2231 section 4: the bytes are in the charset the value names. A name
  // the target cannot hold whole stays as written rather than losing
  // characters; without an owner there is no target.
  std::string converted;
  if (ownerMessage_ && ConvertCharset(read.value, read.charset, ownerMessage_->Charset(), converted)) {
    read.value = std::move(converted);
    read.charset = ownerMessage_->Charset();
  } else if (!IsCharsetName(read.charset)) {
    read.charset.clear();
  }
  return read;
}

std::string TMailPart::GetLabelParamValue(std::string_view label, std::string_view param) const {
  return ReadParam(label, param).value;
}

std::string SafeHeaderValue(std::string_view value) {
  std::string out(value);
  // Nearly every value holds none of these; only one that does is walked.
  if (!HasLineBreak(value) && value.find('\0') == std::string_view::npos) return out;
  for (size_t i = 0; i < out.size(); ++i) {
    const char c = out[i];
    if (c == '\r' && i + 2 < out.size() && out[i + 1] == '\n' &&
        (out[i + 2] == ' ' || out[i + 2] == '\t')) {
      i += 2;
      continue;
    }
    if (c == '\r' || c == '\n' || c == '\0') out[i] = ' ';
  }
  return out;
}

void TMailPart::SetLabelValue(std::string_view label, std::string_view rawValue) {
  Touch(chFields);
  const std::string value = SafeHeaderValue(rawValue);
  std::string prefix = Prefix(label);
  int i = SearchStringList(&header_, prefix, 0);
  if (value.empty()) {
    if (i >= 0) header_.Delete(i);
    return;
  }
  if (i < 0) i = header_.Add(prefix + " ");
  header_[i] = WriteLabelValue(header_[i], value);
}

std::string& TMailPart::FieldToWrite(std::string_view label) {
  Touch(chFields);
  std::string prefix = Prefix(label);
  int i = SearchStringList(&header_, prefix, 0);
  if (i < 0) i = header_.Add(prefix + " ");
  return header_[i];
}

void TMailPart::SetLabelParamValue(std::string_view label, std::string_view param,
                                   std::string_view value) {
  // The value is made safe before the field is found: it may be a view
  // into another of the part's fields, which adding one could move.
  const std::string safe = SafeHeaderValue(value);
  std::string& field = FieldToWrite(label);
  field = WriteLabelParamValue(field, param, safe);
}

void TMailPart::SetLabelParamText(std::string_view label, std::string_view param,
                                  std::string_view utf8Value) {
  const std::string value(utf8Value);
  std::string& field = FieldToWrite(label);
  field = WriteLabelParam(field, param, value);
}

bool TMailPart::LabelExists(std::string_view label) const {
  return SearchStringList(&header_, Prefix(label), 0) >= 0;
}

bool TMailPart::LabelParamExists(std::string_view label, std::string_view param) const {
  return !ReadParam(label, param).value.empty();
}

std::string TMailPart::GetAttachInfo() const { return LowerCase(GetLabelValue("Content-Type")); }

std::string TMailPart::GetBoundary() const { return GetLabelParamValue("Content-Type", "boundary"); }

std::string TMailPart::GetFileName() const {
  TParamValue given = ReadParam("Content-Type", "name");
  if (given.value.empty()) given = ReadParam("Content-Disposition", "filename");
  std::string name;
  bool decoded = false;
  if (!given.value.empty()) {
    name = std::move(given.value);
    decoded = given.extended;
  } else if (LabelExists("Content-ID")) {
    name = GetLabelValue("Content-ID");
  } else if (LabelExists("Content-Type")) {
    std::string type = GetLabelValue("Content-Type");
    name = type + GetMimeExtension(type);
  } else {
    name = "unknown";
  }
  // A broken encoded word is kept as written: reading a name never fails.
  // Decoded once, so a name that holds encoded-word text of its own (written
  // as one encoded word) reads back as it was given. An RFC 2231 value is
  // already decoded, and "=?" in it is part of the name.
  if (!decoded) {
    try {
      name = DecodeLine7BitOnce(name);
    } catch (const EVizuError&) {
    }
  }
  if (name.find('.') == std::string::npos) name += GetMimeExtension(GetLabelValue("Content-Type"));
  return ValidFileName(name);
}

// ---------------------------------------------------------------------------
// Text out

namespace {

std::string HeaderBlock(const TStringList& header) {
  std::string text = WrapHeader(header.Text());
  text += "\r\n";
  return text;
}

}  // namespace

std::string TMailPart::HeaderSource() const { return HeaderBlock(header_); }

std::string TMailPart::GetSource() const {
  if (ownerMessage_ == this && ownerMessage_->pendingBodySize_) {
    TMemoryStream source;
    ownerMessage_->SavePendingTo(source, HeaderBlock(header_));
    return source.Release();
  }
  std::string source = HeaderBlock(header_);
  source.append(body_.View());
  return source;
}

void TMailPart::SaveToStream(TStream& stream) const {
  // Written in two pieces so a large body is not copied into a source text
  // first.
  std::string head = HeaderBlock(header_);
  auto* memory = dynamic_cast<TMemoryStream*>(&stream);
  if (memory && ownerMessage_ == this && ownerMessage_->pendingBodySize_) {
    ownerMessage_->SavePendingTo(*memory, std::move(head));
    return;
  }
  Settle();
  std::string_view body = body_.View();
  if (memory && memory->Capacity() < head.size() + body.size()) {
    // One fresh block instead of growing the old buffer, zero-filling it
    // and copying over.
    auto block = std::make_shared<TByteBlock>(head.size() + body.size());
    std::memcpy(block->Data(), head.data(), head.size());
    if (!body.empty()) std::memcpy(block->Data() + head.size(), body.data(), body.size());
    memory->Share(block, std::string_view(block->Data(), head.size() + body.size()));
    memory->SetPosition(memory->Size());
    return;
  }
  stream.SetSize(static_cast<std::int64_t>(head.size() + body.size()));
  stream.SetPosition(0);
  stream.WriteBuffer(head.data(), head.size());
  stream.WriteBuffer(body.data(), body.size());
}

void TMailPart::SaveToFile(const std::string& fileName) const {
  std::string text = JoinLinesCRLF(GetSource());
  TFileStream file(fileName, fmCreate);
  file.WriteBuffer(text.data(), text.size());
}

// ---------------------------------------------------------------------------
// Content

namespace {

// Framing lines that uuencode writes around its data: "begin <mode> <name>"
// before and "end" after. The line decoder rejects both, so they are taken
// off here: a begin line ahead of the data is skipped, an end line stops it.
std::string DecodeUUBody(std::string_view body) {
  std::string out;
  out.reserve(body.size() / 4 * 3);
  TLineCutter cutter(body);
  size_t pos = 0;
  bool seenData = false;
  while (pos < body.size()) {
    size_t end = cutter.LineEnd(pos);
    std::string_view line = TrimSpaces(body.substr(pos, end - pos));
    pos = end + cutter.BreakLength(end);
    if (line.empty()) continue;
    if (!seenData && line.substr(0, 5) == "begin" && (line.size() == 5 || line[5] == ' ')) {
      seenData = true;
      continue;
    }
    seenData = true;
    if (line == "end") break;
    DecodeLineUUCODE(line, out);
  }
  return out;
}

// Whether content may travel without a transfer encoding: lines of at most
// 998 characters, each ended by CR LF, and no NUL (RFC 2045 sections 2.7
// and 2.8); for 7bit also no byte above 127. A lone CR or LF is a line end
// to some readers and none to others (RFC 5321 section 2.3.8).
bool GoesAsItStands(std::string_view content, bool sevenBit) {
  constexpr size_t kMaxLine = 998;
  size_t lineStart = 0;
  for (size_t i = 0; i < content.size(); ++i) {
    const auto c = static_cast<unsigned char>(content[i]);
    if (c == '\r') {
      if (i + 1 >= content.size() || content[i + 1] != '\n' || i - lineStart > kMaxLine) return false;
      lineStart = ++i + 1;
    } else if (c == '\n' || c == 0 || (sevenBit && c > 127)) {
      return false;
    }
  }
  return content.size() - lineStart <= kMaxLine;
}

}  // namespace

bool TMailPart::Decode() {
  if (isDecoded_) return true;
  if (ownerMessage_ == this) Settle();
  if (body_.Size() == 0) {
    isDecoded_ = true;
    return true;
  }
  // Mechanism names are not case-sensitive (RFC 2045 section 6.1), and
  // "Base64" is common: read by its exact case, such an attachment was
  // stored as its base64 text.
  std::string encoding = LowerCase(GetLabelValue(kTransferEncoding));
  std::string_view body = body_.View();
  if (encoding == "quoted-printable") {
    auto block = std::make_shared<TByteBlock>(body.size());
    std::string_view content(block->Data(), DecodeQuotedPrintable(body, block->Data()));
    decoded_.Share(std::move(block), content);
  } else if (encoding == "base64") {
    // Straight into a block of its own: no zero fill, no growing, and a
    // large block is all huge pages.
    auto block = std::make_shared<TByteBlock>(DecodedBASE64Room(body.size()));
    std::string_view content(block->Data(), DecodeBASE64(body, block->Data()));
    decoded_.Share(std::move(block), content);
  } else if (encoding == "uucode") {
    // Decoded first: a body that does not decode leaves the part as it
    // was, so the content is not lost with the error, and a later Decode
    // tries again.
    decoded_.Assign(DecodeUUBody(body));
    EncodeBinary();
  } else if (body_.Block()) {
    // The content is the body itself: share it rather than copy it.
    decoded_.Share(body_.Block(), body);
  } else {
    decoded_.Assign(CopyLarge(body));
  }
  isDecoded_ = true;
  return true;
}

void TMailPart::Encode(TEncodingType encoding) {
  Settle();
  // RFC 2045 section 6.4: a multipart or message entity (a container whose
  // delimiters are missing, say) takes no encoding but 7bit, 8bit or
  // binary; content that can go as it stands does.
  const std::string type = GetAttachInfo();
  if ((encoding == etBase64 || encoding == etQuotedPrintable) &&
      (type.starts_with("multipart/") || type.starts_with("message/")) &&
      GoesAsItStands(decoded_.View(), false))
    encoding = etNoEncoding;
  switch (encoding) {
    case etBase64:
      EncodeBinary();
      break;
    case etQuotedPrintable:
      EncodeText();
      break;
    case etNoEncoding:
    case et7Bit:
      // Content that cannot go as it stands goes quoted-printable, which
      // keeps every byte, rather than as lines no reader takes alike.
      if (!GoesAsItStands(decoded_.View(), encoding == et7Bit)) {
        EncodeText();
        break;
      }
      body_.Assign(std::string(decoded_.View()));
      SetTransferEncoding(encoding == et7Bit ? "7bit" : "");
      break;
  }
}

void TMailPart::SetTransferEncoding(std::string_view value) {
  // One encoding per entity (RFC 2045 section 6.1). Received mail can hold
  // a second copy, which would be read in place of the one written here
  // as soon as the first is gone; the first keeps its place.
  Touch(chFields);
  const std::string prefix = Prefix(kTransferEncoding);
  for (int second; (second = SearchStringList(&header_, prefix, 1)) >= 0;) header_.Delete(second);
  SetLabelValue(kTransferEncoding, value);
}

void TMailPart::EncodeText() {
  Settle();
  body_.Clear();
  SetTransferEncoding("quoted-printable");
  if (decoded_.Size() > 0) body_.Assign(EncodeQuotedPrintable(decoded_.View(), false));
}

void TMailPart::EncodeBinary() {
  Settle();
  body_.Clear();
  body_.Reserve(static_cast<size_t>(decoded_.Size()) / 57 * 78 + 80);
  EncodeBASE64(body_, decoded_);
  SetTransferEncoding("base64");
}

void TMailPart::Remove() {
  if (!parentPart_ || ownerMessage_ == this) return;
  Touch(chTree);
  if (parentPart_->subPartList_.Remove(this)) parentPart_ = nullptr;
}

}  // namespace Vizu2000
