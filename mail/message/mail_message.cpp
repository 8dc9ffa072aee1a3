#include "mail/message/mail_message.h"

#include <algorithm>
#include <cstring>
#include <set>
#include <unordered_map>

#include "mail/mime/header_fields.h"
#include "mail/mime/mime_types.h"
#include "platform/error.h"
#include "platform/memory.h"
#include "platform/text_chars.h"

namespace Vizu2000 {

TVeraDudurur2000::TVeraDudurur2000(TComponent* owner) : TMailPart(owner) {
  SetOwnerMessage(this);
}

TVeraDudurur2000::~TVeraDudurur2000() {
  destroying_ = true;
  pendingBodySize_.reset();
  DestroySubParts();
  // Detached parts are still ours; free them while the message is whole, so
  // none of them looks at a half-destroyed owner. Links are cut first so no
  // part frees another one twice.
  std::vector<TMailPart*> owned;
  for (int i = 0; i < ComponentCount(); ++i)
    if (auto* part = dynamic_cast<TMailPart*>(Component(i))) owned.push_back(part);
  for (TMailPart* part : owned) {
    part->subPartList_.Clear();
    part->parentPart_ = nullptr;
    if (part->ownerMessage_ == this) part->ownerMessage_ = nullptr;
  }
  for (auto it = owned.rbegin(); it != owned.rend(); ++it) delete *it;
}

void TVeraDudurur2000::ForgetParts(const std::vector<TMailPart*>& sorted) {
  CountChange();
  auto gone = [&](TMailPart* p) { return p && std::binary_search(sorted.begin(), sorted.end(), p); };
  auto& attached = attachList_.Items();
  if (sorted.size() == 1) {
    // One part (an attachment being detached): found from either end.
    int i = attachList_.IndexOf(sorted[0]);
    if (i >= 0) attached.erase(attached.begin() + i);
  } else {
    attached.erase(std::remove_if(attached.begin(), attached.end(), gone), attached.end());
  }
  for (TMailPart** ref : {&textPlainPart_, &textHTMLPart_, &mixedPart_, &relatedPart_,
                          &alternativePart_, &containerPart_})
    if (gone(*ref)) *ref = nullptr;
}

void TVeraDudurur2000::ClearClassification() {
  attachList_.Clear();
  textPlain_.Clear();
  textHTML_.Clear();
  textPlainPart_ = textHTMLPart_ = nullptr;
  mixedPart_ = relatedPart_ = alternativePart_ = nullptr;
}

void TVeraDudurur2000::CheckNotParsing(const char* what) const {
  if (inProgressReport_)
    throw EVizuError(Name() + ": Cannot " + what + " a message while it is being parsed");
}

void TVeraDudurur2000::Reset() {
  CheckNotParsing("reset");
  pendingBodySize_.reset();  // the body is emptied anyway
  DestroySubParts();
  Header().Clear();
  Body().Clear();
  Decoded().Clear();
  SubPartList().Clear();
  ClearClassification();
  CountChange();
  madeIntoContainer_ = false;
  containerPart_ = nullptr;
  needRebuild_ = needNormalize_ = needFindParts_ = false;
  fileCounter_ = 0;
  SetIsDecoded(false);
}

// ---------------------------------------------------------------------------
// Classification

void TVeraDudurur2000::FindParts() {
  if (!needFindParts_) return;
  ClearClassification();
  needFindParts_ = false;

  auto takeText = [this](TMailPart* p, const std::string& type) {
    bool took = false;
    auto take = [&](TMailPart*& slot, TStringList& lines, const char* wanted) {
      if (slot || type != wanted) return;
      // A text that cannot be decoded is kept as an attachment, as it
      // stands, rather than stopping the classification half way.
      try {
        p->Decode();
      } catch (const EVizuError&) {
        return;
      }
      if (p->Decoded().Size() == 0) return;
      slot = p;
      lines.SetText(p->Decoded().View());
      took = true;
    };
    take(textPlainPart_, textPlain_, "text/plain");
    take(textHTMLPart_, textHTML_, "text/html");
    return took;
  };

  // Pre-order walk with an explicit stack.
  std::vector<TMailPart*> stack{this};
  while (!stack.empty()) {
    TMailPart* p = stack.back();
    stack.pop_back();
    const TMailPartList& children = static_cast<const TMailPart*>(p)->SubPartList();
    for (auto it = children.end(); it != children.begin();) stack.push_back(*--it);

    std::string type = p->GetAttachInfo();
    bool leaf = children.Empty();
    if (!mixedPart_ && type == "multipart/mixed") {
      mixedPart_ = p;
    } else if (!relatedPart_ && type == "multipart/related") {
      relatedPart_ = p;
    } else if (!alternativePart_ && type == "multipart/alternative") {
      alternativePart_ = p;
    } else {
      TMailPart* parent = p->ParentPart();
      bool took = false;
      if (p == this && leaf && type.compare(0, 5, "text/") == 0)
        took = takeText(p, type);
      if (!took && p == this && leaf && type.empty())
        took = takeText(p, "text/plain");
      if (!took && mixedPart_ && mixedPart_ == parent && !alternativePart_)
        took = takeText(p, type);
      if (!took && relatedPart_ && relatedPart_ == parent)
        took = takeText(p, type);
      if (!took && alternativePart_ && alternativePart_ == parent)
        took = takeText(p, type);
      if (!took && leaf) {
        p->SetIsEmbedded(relatedPart_ && relatedPart_ == parent);
        attachList_.Add(p);
      }
    }
  }
}

// ---------------------------------------------------------------------------
// Body assembly

namespace {

const char kPreamble[] = "This is a multipart message in mime format.\r\n";

// Writes a part's fields: folded at 78 characters where a line can be, and
// never over 998 (RFC 5322 section 2.1.1). Ends with CR LF unless empty.
// Fields that are single lines within 78 characters, as nearly every field
// of a composed part is, go out as they stand without a copy: a rebuild
// writes each part twice (measuring, then writing).
template <typename Sink>
void WriteFields(const TStringList& header, Sink&& sink) {
  auto standsAsItIs = [](const std::string& entry) { return entry.size() <= 78 && !HasLineBreak(entry); };
  const bool asTheyStand = std::all_of(header.begin(), header.end(), standsAsItIs);
  if (asTheyStand) {
    for (const std::string& entry : header) {
      if (entry.empty()) continue;
      sink(entry);
      sink("\r\n");
    }
    return;
  }
  std::string text;
  for (const std::string& entry : header) {
    if (entry.empty()) continue;
    text += entry;
    text += "\r\n";
  }
  sink(WrapHeader(text));
}

// Writes the children of `root` as a multipart body, depth first, without
// recursion. `sink` receives every piece in order.
template <typename Sink>
void WriteChildren(const TMailPart* root, Sink&& sink) {
  struct Frame {
    const TMailPart* part;
    int next;
  };
  std::vector<Frame> stack{{root, 0}};
  while (!stack.empty()) {
    Frame& frame = stack.back();
    const TMailPartList& children = frame.part->SubPartList();
    if (frame.next < children.Count()) {
      const TMailPart* child = children.Get(frame.next++);
      sink("\r\n--");
      sink(child->ParentBoundary());
      sink("\r\n");
      WriteFields(child->Header(), sink);
      sink("\r\n");
      if (child->SubPartList().Empty())
        sink(child->Body().View());
      else
        stack.push_back({child, 0});  // invalidates `frame`
    } else {
      if (!children.Empty()) {
        sink("\r\n--");
        sink(children.Get(0)->ParentBoundary());
        sink("--\r\n");
      }
      stack.pop_back();
    }
  }
}

// The size of the body WriteChildren writes, preamble included.
size_t PendingSize(const TMailPart* root) {
  size_t size = sizeof(kPreamble) - 1;
  WriteChildren(root, [&size](std::string_view piece) { size += piece.size(); });
  return size;
}

// The head, then the body WriteChildren writes, in a block of exactly that
// size: written once, with no zero fill and no growing. `bodySize` is what
// PendingSize measured when the body was left pending; nothing in the tree
// can change before the body is written, and every piece is still checked
// against the room left, so a wrong size is measured again, never overrun.
TMemoryStream BodyBlock(const TMailPart* root, std::string_view head, size_t bodySize) {
  for (int attempt = 0; attempt < 2; ++attempt) {
    auto block = std::make_shared<TByteBlock>(head.size() + bodySize);
    char* at = block->Data();
    char* const end = at + block->Capacity();
    bool fits = true;
    auto put = [&](std::string_view piece) {
      if (piece.empty() || !fits) return;
      if (piece.size() > static_cast<size_t>(end - at)) {
        fits = false;
        return;
      }
      std::memcpy(at, piece.data(), piece.size());
      at += piece.size();
    };
    put(head);
    put(kPreamble);
    WriteChildren(root, put);
    if (fits && at == end) {
      TMemoryStream stream;
      stream.Share(block, std::string_view(block->Data(), block->Capacity()));
      return stream;
    }
    bodySize = PendingSize(root);
  }
  throw EVizuError("The message body changed while it was written");
}

// Calls `hit` with the text after "--" at every line start of the text,
// up to 70 characters (the longest boundary, RFC 2046 section 5.1.1) or the
// line's end.
template <typename Hit>
void DashLines(std::string_view text, Hit&& hit) {
  for (size_t at = text.find("--"); at != std::string_view::npos; at = text.find("--", at + 1)) {
    if (at != 0 && text[at - 1] != '\n' && text[at - 1] != '\r') continue;
    std::string_view rest = text.substr(at + 2, 70);
    rest = rest.substr(0, rest.find_first_of("\r\n"));
    hit(rest);
  }
}

// Whether a field may hold a line that begins with "--": only when it
// begins so or holds a line break.
bool FieldMayHoldDashLine(std::string_view text) { return text.starts_with("--") || HasLineBreak(text); }

// A fresh boundary that still names the container's kind, as restructuring
// writes them.
std::string FreshBoundary(const TMailPart* container) {
  const std::string type = container->GetAttachInfo();
  const size_t slash = type.find('/');
  std::string boundary = GenerateBoundary();
  if (slash != std::string::npos && IsBoundaryText(boundary + "_" + type.substr(slash + 1)))
    boundary += "_" + type.substr(slash + 1);
  return boundary;
}

}  // namespace

bool TVeraDudurur2000::MayHoldDashLine(const TMemoryStream& body, const TByteBlock* parsed) const {
  std::string_view text = body.View();
  if (!parsed || body.Block().get() != parsed || text.starts_with("--")) return true;
  // A body begins a line; past its first byte only the listed starts can.
  const size_t begin = static_cast<size_t>(text.data() - parsed->Data());
  auto next = std::upper_bound(parsedDashLines_.begin(), parsedDashLines_.end(), begin);
  return next != parsedDashLines_.end() && *next < begin + text.size();
}

void TVeraDudurur2000::SettleBoundaries() {
  const TSharedBlock parsed = parsedBlock_.lock();
  std::vector<TMailPart*> parts;
  std::vector<TMailPart*> stack{this};
  while (!stack.empty()) {
    TMailPart* part = stack.back();
    stack.pop_back();
    parts.push_back(part);
    for (TMailPart* child : part->subPartList_.Items()) stack.push_back(child);
  }
  // Once over every text, whatever the depth: a delimiter line of any
  // container inside any text, or two containers on one boundary, would
  // cut a part short. A fresh boundary has 128 random bits, so a second
  // pass finds nothing more.
  for (int pass = 0; pass < 4; ++pass) {
    std::unordered_map<std::string, std::vector<TMailPart*>> owners;
    for (TMailPart* part : parts)
      if (!part->subPartList_.Empty())
        owners[part->subPartList_.Get(0)->parentBoundary_].push_back(part);
    std::set<TMailPart*> clashing;
    for (const auto& [boundary, containers] : owners)
      if (containers.size() > 1 || !IsBoundaryText(boundary))
        clashing.insert(containers.begin(), containers.end());
    auto check = [&](std::string_view text, const std::string* own) {
      DashLines(text, [&](std::string_view rest) {
        // A delimiter line: the boundary, "--" after it for the last one,
        // then blanks only (RFC 2046 section 5.1.1).
        while (!rest.empty() && (rest.back() == ' ' || rest.back() == '\t')) rest.remove_suffix(1);
        auto clash = [&](std::string_view boundary) {
          auto it = owners.find(std::string(boundary));
          if (it != owners.end() && !(own && it->first == *own))
            clashing.insert(it->second.begin(), it->second.end());
        };
        clash(rest);
        if (rest.ends_with("--")) clash(rest.substr(0, rest.size() - 2));
      });
    };
    for (TMailPart* part : parts) {
      for (const std::string& entry : part->header_)
        if (FieldMayHoldDashLine(entry)) check(entry, nullptr);
      if (part->subPartList_.Empty()) {
        if (part != this && MayHoldDashLine(part->body_, parsed.get())) check(part->body_.View(), nullptr);
      } else {
        const std::string& own = part->subPartList_.Get(0)->parentBoundary_;
        check("--" + own + "--", &own);
      }
    }
    if (clashing.empty()) return;
    for (TMailPart* container : clashing) {
      const std::string boundary = FreshBoundary(container);
      for (TMailPart* child : container->subPartList_.Items()) child->parentBoundary_ = boundary;
      // Written straight into the fields: a boundary chosen while writing is
      // no change the message counts.
      TStringList& header = container->header_;
      int i = SearchStringList(&header, "Content-Type:", 0);
      if (i < 0) i = header.Add("Content-Type: multipart/mixed");
      header[i] = WriteLabelParamValue(header[i], "boundary", "\"" + boundary + "\"");
    }
  }
}

void TVeraDudurur2000::RebuildBody() {
  if (!needRebuild_) return;
  const TMailPart* self = this;
  if (!self->SubPartList().Empty()) {
    SettleBoundaries();
    // Only measured here: the body is written when it is first read, or
    // straight into the destination when the message is saved before that.
    size_t size = PendingSize(this);
    SetLabelValue("Content-Length", std::to_string(size));
    body_.Assign(std::string());
    pendingBodySize_ = size;
  } else {
    SetLabelValue("Content-Length", std::to_string(Body().Size()));
  }
  needRebuild_ = false;
}

void TVeraDudurur2000::AssemblePendingBody() {
  if (!pendingBodySize_) return;
  const size_t size = *pendingBodySize_;
  pendingBodySize_.reset();
  TMemoryStream body = BodyBlock(this, {}, size);
  body_.TakeOver(body);
}

void TVeraDudurur2000::SavePendingTo(TMemoryStream& stream, std::string head) const {
  size_t total = head.size() + *pendingBodySize_;
  if (stream.Capacity() < total) {
    // A fresh block of the final size rather than growing the stream's
    // own buffer.
    TMemoryStream whole = BodyBlock(this, head, *pendingBodySize_);
    stream.TakeOver(whole);
    stream.SetPosition(stream.Size());
    return;
  }
  stream.SetSize(static_cast<std::int64_t>(total));
  stream.SetPosition(0);
  stream.WriteString(head);
  stream.WriteString(kPreamble);
  WriteChildren(this, [&stream](std::string_view piece) { stream.WriteString(piece); });
}

}  // namespace Vizu2000
