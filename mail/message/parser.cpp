// The message text parser: header unfolding, multipart children found by
// their delimiter lines, and uuencoded blocks in bodies without a type.
#include <string.h>  // memmem

#include <algorithm>
#include <climits>
#include <cstdint>
#include <string>
#include <vector>

#include "mail/message/attachment_names.h"
#include "mail/message/dash_lines.h"
#include "mail/message/mail_message.h"
#include "mail/message/mail_part.h"
#include "platform/text_lines.h"
#include "mail/mime/codecs.h"
#include "mail/mime/header_fields.h"
#include "mail/mime/mime_types.h"
#include "platform/error.h"
#include "platform/event_pump.h"
#include "platform/memory.h"
#include "platform/text_chars.h"

namespace Vizu2000 {

namespace {

// Nesting limit. A part this deep is not taken apart any further: its whole
// content stays its body, delimiters and all, so nothing is lost and a
// rebuilt message parses to the same tree again. This keeps the recursion
// of the parser bounded whatever the input.
constexpr int kMaxDepth = 64;

// Parts and header fields made by one parse. Each costs a few hundred and
// a few dozen bytes of memory, far more than the few bytes of text a
// hostile message needs for one ("--b" and an empty line; "a"). The limits
// grow with the text, so that a flood of either stays within a small
// multiple of its size, and lie far above real mail: one part per 256
// bytes of text, up to 100,000, and one field per 32 bytes, up to a
// million. Any message may have 20,000 parts (some 7 MB) and 10,000 fields.
// Past a limit the rest of the text is kept whole, as with depth.
constexpr size_t kMaxParts = 100'000;
constexpr size_t kMinParts = 20'000;
constexpr size_t kTextPerPart = 256;
constexpr size_t kMaxFields = 1'000'000;
constexpr size_t kMinFields = 10'000;
constexpr size_t kTextPerField = 32;

// Progress is reported once per this many bytes: a report per line would
// run the event loop over a million times for a 100 MB message.
constexpr size_t kReportStep = 64 * 1024;
// Delimiter searches of the top part stop this often to report.
constexpr size_t kSearchWindow = 1 << 20;

const char kTransferEncoding[] = "Content-Transfer-Encoding";

bool IsAllWspOrLineBreaks(std::string_view text) { return TrimWspOrLineBreaks(text).empty(); }

// Data lines of one uuencoded block (begin and end lines excluded).
std::string DecodeUUBlock(std::string_view data) {
  std::string out;
  out.reserve(data.size() / 4 * 3);
  TLineCutter cutter(data);
  size_t pos = 0;
  while (pos < data.size()) {
    size_t end = cutter.LineEnd(pos);
    if (end > pos) DecodeLineUUCODE(data.substr(pos, end - pos), out);
    pos = end + cutter.BreakLength(end);
  }
  return out;
}

bool TryDecodeUUBlock(std::string_view data, std::string& out) {
  try {
    out = DecodeUUBlock(data);
    return true;
  } catch (const EVizuError&) {
    return false;
  }
}

}  // namespace

class TMailParser {
 public:
  // The text is the whole of the block: the bodies of the parts are pieces
  // of it rather than copies.
  TMailParser(TVeraDudurur2000* message, TSharedBlock block, TDashLines&& lines, bool reports)
      : message_(message),
        block_(std::move(block)),
        lines_(std::move(lines)),
        root_(block_->Data(), block_->Capacity()),
        total_(static_cast<int>(std::min<size_t>(root_.size(), INT_MAX))),
        reports_(reports),
        maxParts_(std::clamp(root_.size() / kTextPerPart, kMinParts, kMaxParts)),
        maxFields_(std::clamp(root_.size() / kTextPerField, kMinFields, kMaxFields)) {}

  void Run(TMailPart* part, bool withHeader) {
    Clear(part);
    message_->MarkFilled();
    Report(0, true);
    FillPart(part, root_, withHeader, 0);
    // A handler may have rebuilt the half-made message during a report.
    message_->MarkFilled();
    message_->parsedBlock_.reset();
    message_->parsedDashLines_.clear();
    if (lines_.complete && block_ && root_.data() == block_->Data()) {
      message_->parsedBlock_ = block_;
      message_->parsedDashLines_ = std::move(lines_.starts);
    }
    if (reports_) Call(total_);
  }

 private:
  // `piece` lies in the parsed text.
  void SetBody(TMailPart* part, std::string_view piece) { part->body_.Share(block_, piece); }

  static void Clear(TMailPart* part) {
    part->DestroySubParts();
    part->header_.Clear();
    part->body_.Clear();
    part->decoded_.Clear();
    part->isDecoded_ = false;
    part->isEmbedded_ = false;
  }

  // Offsets are relative to the text of the part being filled; only the top
  // part reports, and its text is the whole text.
  void Report(size_t offset, bool force = false) {
    if (!reports_) return;
    if (!force && offset < lastReport_ + kReportStep) return;
    lastReport_ = offset;
    Call(static_cast<int>(std::min<size_t>(offset + (force ? 0 : 1), static_cast<size_t>(total_))));
  }

  void Call(int current) {
    struct Guard {
      bool& flag;
      explicit Guard(bool& f) : flag(f) { flag = true; }
      ~Guard() { flag = false; }
    } guard(message_->inProgressReport_);
    if (!message_->OnProgress) return;
    message_->OnProgress(message_, total_, current);
    ProcessMessages();
  }

  TMailPart* NewChild(TMailPart* parent, const std::string& boundary) {
    auto* child = new TMailPart(parent->ownerMessage_);
    child->parentPart_ = parent;
    child->ownerMessage_ = parent->ownerMessage_;
    child->parentBoundary_ = boundary;
    // In the tree before it is filled, so a child that fails half-way is
    // still freed by the next Reset.
    parent->subPartList_.Add(child);
    ++parts_;
    return child;
  }

  void FillPart(TMailPart* part, std::string_view text, bool withHeader, int depth) {
    bool top = depth == 0;
    TLineCutter cutter(text);
    size_t pos = 0;
    if (withHeader) {
      auto& entries = part->header_.Items();
      while (pos < text.size()) {
        size_t end = cutter.LineEnd(pos);
        std::string_view line = text.substr(pos, end - pos);
        bool continues = !line.empty() && (line[0] == ' ' || line[0] == '\t') && !entries.empty();
        // Past the field limit the header ends here and the line starts the
        // body; the rebuilt text has an empty line at this point, so it
        // parses the same again.
        if (!line.empty() && !continues && fields_ >= maxFields_) break;
        // RFC 5322 section 2.2: a field holds a colon. A line without one,
        // where the sender left out the empty line, is the body's first, as
        // other readers take it; an mbox "From " line is kept as before.
        if (!line.empty() && !continues && line.find(':') == std::string_view::npos &&
            !line.starts_with("From "))
          break;
        pos = end + cutter.BreakLength(end);
        if (line.empty()) break;
        if (continues) {
          entries.back() += ' ';
          entries.back().append(line.substr(1));
        } else {
          entries.emplace_back(line);
          ++fields_;
        }
        if (top) Report(pos);
      }
      for (std::string& entry : entries) entry = NormalizeLabel(entry);
    }

    if (depth >= kMaxDepth) {
      SetBody(part, text.substr(pos));
      return;
    }
    std::string type = part->GetLabelValue("Content-Type");
    if (LowerCase(type.substr(0, 10)) == "multipart/")
      FillMultipart(part, text, cutter, pos, depth);
    else if (part->LabelExists("Content-Type"))
      SetBody(part, text.substr(pos));
    else
      FillScanned(part, text, cutter, pos, top);
  }

  enum TDelimiter { dlNone, dlOpen, dlClose };
  struct TDelimiterLine {
    size_t at;
    TDelimiter kind;
  };

  // What the line at `at`, which begins with "--" + boundary, is once the
  // boundary has been read: RFC 2046 section 5.1.1 lets only blanks follow
  // the boundary, or "--" and then blanks on the close delimiter. A longer
  // boundary that merely starts with this one ("b_alt" for "b") belongs to
  // a nested multipart and is not a delimiter here.
  static TDelimiter KindOfLine(std::string_view text, TLineCutter& cutter, size_t at,
                               size_t openSize) {
    size_t end = cutter.LineEnd(at + openSize);
    std::string_view rest = text.substr(at + openSize, end - at - openSize);
    TDelimiter kind = dlOpen;
    if (rest.size() >= 2 && rest[0] == '-' && rest[1] == '-') {
      kind = dlClose;
      rest.remove_prefix(2);
    }
    return rest.find_first_not_of(" \t") == std::string_view::npos ? kind : dlNone;
  }

  // First delimiter line at or after `from`, which is a line start; at is
  // npos if there is none. A hit that is not a delimiter line skips the rest
  // of its line, so the search stays linear however often the text recurs.
  TDelimiterLine FindDelimiter(std::string_view text, TLineCutter& cutter, std::string_view open,
                               size_t from, bool top) {
    if (lines_.complete) return FindNotedDelimiter(text, cutter, open, from, top);
    size_t pos = from;
    while (pos < text.size()) {
      size_t windowEnd = top ? std::min(text.size(), pos + kSearchWindow) : text.size();
      size_t searchEnd = std::min(text.size(), windowEnd + open.size() - 1);
      const void* hit = searchEnd - pos >= open.size()
                            ? memmem(text.data() + pos, searchEnd - pos, open.data(), open.size())
                            : nullptr;
      if (!hit) {
        if (windowEnd >= text.size()) break;
        pos = windowEnd;
        Report(pos);
        continue;
      }
      size_t at = static_cast<size_t>(static_cast<const char*>(hit) - text.data());
      if (cutter.IsLineStart(at)) {
        TDelimiter kind = KindOfLine(text, cutter, at, open.size());
        if (kind != dlNone) return {at, kind};
      }
      size_t end = cutter.LineEnd(at);
      pos = end + cutter.BreakLength(end);
    }
    return {std::string_view::npos, dlNone};
  }

  // FindDelimiter among the noted dash lines. `from` is a line start of
  // `text` even where it is not one of the whole text (a part's text
  // begins a line), so it is looked at on its own.
  TDelimiterLine FindNotedDelimiter(std::string_view text, TLineCutter& cutter,
                                    std::string_view open, size_t from, bool top) {
    auto isDelimiter = [&](size_t at) {
      return text.size() - at >= open.size() && text.compare(at, open.size(), open) == 0
                 ? KindOfLine(text, cutter, at, open.size())
                 : dlNone;
    };
    if (from >= text.size()) return {std::string_view::npos, dlNone};
    if (TDelimiter kind = isDelimiter(from); kind != dlNone) return {from, kind};
    const size_t base = static_cast<size_t>(text.data() - root_.data());
    const std::vector<size_t>& starts = lines_.starts;
    for (auto it = std::upper_bound(starts.begin(), starts.end(), base + from);
         it != starts.end() && *it - base < text.size(); ++it) {
      size_t at = *it - base;
      if (top) Report(at);
      if (TDelimiter kind = isDelimiter(at); kind != dlNone) return {at, kind};
    }
    if (top) Report(text.size());
    return {std::string_view::npos, dlNone};
  }

  // The close delimiter at or after `from`, or else the end of the text.
  size_t FindClose(std::string_view text, TLineCutter& cutter, std::string_view open, size_t from,
                   bool top) {
    TDelimiterLine line{from, dlNone};
    for (;;) {
      line = FindDelimiter(text, cutter, open, line.at, top);
      if (line.kind == dlNone) return text.size();
      if (line.kind == dlClose) return line.at;
      size_t end = cutter.LineEnd(line.at);
      line.at = end + cutter.BreakLength(end);
    }
  }

  void FillMultipart(TMailPart* part, std::string_view text, TLineCutter& cutter,
                     size_t bodyStart, int depth) {
    bool top = depth == 0;
    std::string boundary = part->GetBoundary();
    // Without a boundary there are no delimiter lines (RFC 2046 section
    // 5.1.1 requires one of 1 to 70 characters): splitting at every line
    // that starts with "--" would cut a signature or a diff into parts.
    TDelimiterLine cur{std::string_view::npos, dlNone};
    std::string open = "--" + boundary;
    if (!boundary.empty()) cur = FindDelimiter(text, cutter, open, bodyStart, top);
    if (cur.kind == dlNone) {
      SetBody(part, text.substr(bodyStart));
      return;
    }
    SetBody(part, text.substr(bodyStart, cur.at - bodyStart));
    while (cur.kind == dlOpen) {
      size_t lineEnd = cutter.LineEnd(cur.at + open.size());
      size_t childStart = lineEnd + cutter.BreakLength(lineEnd);
      if (top) Report(childStart);
      if (parts_ >= maxParts_) {
        // Past the limit the rest of this multipart becomes one last part
        // that is not taken apart: its delimiters stay in its body, so
        // nothing is lost and the rebuilt text parses the same again.
        size_t closeAt = FindClose(text, cutter, open, childStart, top);
        if (closeAt > childStart) {
          size_t childEnd = closeAt - cutter.BreakBefore(closeAt, childStart);
          FillPart(NewChild(part, boundary), text.substr(childStart, childEnd - childStart), true,
                   kMaxDepth);
        }
        return;
      }
      TDelimiterLine next = FindDelimiter(text, cutter, open, childStart, top);
      if (next.kind == dlNone) {
        // No delimiter closes the last child: keep it rather than lose the
        // end of the message.
        if (childStart < text.size())
          FillPart(NewChild(part, boundary), text.substr(childStart), true, depth + 1);
        return;
      }
      if (next.at > childStart) {
        size_t childEnd = next.at - cutter.BreakBefore(next.at, childStart);
        FillPart(NewChild(part, boundary), text.substr(childStart, childEnd - childStart), true,
                 depth + 1);
      }
      cur = next;
    }
  }

  void AddTextChild(TMailPart* part, std::string_view text, const std::string& boundary) {
    TMailPart* child = NewChild(part, boundary);
    child->body_.Assign(EncodeQuotedPrintable(text, false));
    child->SetLabelValue("Content-Type", "text/plain");
    child->SetLabelParamValue("Content-Type", "charset", "\"" + message_->Charset() + "\"");
    child->SetLabelValue(kTransferEncoding, "quoted-printable");
  }

  void AddUUAttachment(TMailPart* part, std::string data, const std::string& fileName,
                       const std::string& boundary) {
    TMailPart* child = NewChild(part, boundary);
    // Three fields, a name twice and the content twice over: it weighs as
    // much as three parts against the part limit.
    parts_ += 2;
    child->decoded_.Assign(std::move(data));
    child->EncodeBinary();
    child->SetLabelValue("Content-Type", GetMimeType(fileName));
    child->SetLabelValue(kTransferEncoding, "base64");
    child->SetLabelValue("Content-Disposition", "attachment");
    // Named as an attached file is: quoted when plain ASCII, so such names
    // read as they always have, else in the RFC 2231 form, never raw bytes
    // or quotes inside quotes. The begin line names no charset; the
    // message's is the best guess, and bytes that do not convert stay.
    const std::string utf8Name = NameInUtf8(fileName, message_->Charset());
    child->SetLabelParamText("Content-Type", "name", utf8Name);
    child->SetLabelParamText("Content-Disposition", "filename", utf8Name);
  }

  // A body without a type may carry uuencoded files. Each closed block
  // becomes an attachment and the part a multipart/mixed container; the text
  // around the blocks is kept as text children, so nothing is dropped. A
  // body in which no block closes is left as it is.
  void FillScanned(TMailPart* part, std::string_view text, TLineCutter& cutter,
                   size_t bodyStart, bool top) {
    bool inBlock = false;
    bool converted = false;
    size_t beginLine = 0;
    size_t dataStart = 0;
    size_t segmentStart = bodyStart;
    std::string fileName;
    std::string boundary;
    std::string data;
    size_t pos = bodyStart;
    while (pos < text.size()) {
      size_t end = cutter.LineEnd(pos);
      std::string_view line = text.substr(pos, end - pos);
      size_t next = end + cutter.BreakLength(end);
      // Past the part limit no further block opens: the rest stays text.
      if (line.starts_with("begin 6") && parts_ < maxParts_) {
        inBlock = true;
        beginLine = pos;
        dataStart = next;
        fileName = line.size() > 10 ? TrimSpace(line.substr(10, 999)) : std::string();
      } else if (inBlock && line.starts_with("end") &&
                 TryDecodeUUBlock(text.substr(dataStart, pos - dataStart), data)) {
        std::string_view before = text.substr(segmentStart, beginLine - segmentStart);
        if (!converted) {
          SetBody(part, before);
          boundary = GenerateBoundary();
          AddTextChild(part, before, boundary);
          part->SetLabelValue("Content-Type", "");
          part->SetLabelValue("Content-Type", "multipart/mixed");
          part->SetLabelParamValue("Content-Type", "boundary", "\"" + boundary + "\"");
          converted = true;
        } else if (!IsAllWspOrLineBreaks(before)) {
          AddTextChild(part, before, boundary);
        }
        AddUUAttachment(part, std::move(data), fileName, boundary);
        inBlock = false;
        segmentStart = next;
      } else if (inBlock && line.starts_with("end")) {
        // Not uuencoded after all (plain text that happens to begin a line
        // with "begin 6"): its lines stay with the text around them.
        inBlock = false;
      }
      pos = next;
      if (top) Report(pos);
    }
    if (!converted) {
      SetBody(part, text.substr(bodyStart));
    } else if (segmentStart < text.size() && !IsAllWspOrLineBreaks(text.substr(segmentStart))) {
      AddTextChild(part, text.substr(segmentStart), boundary);
    }
  }

  TVeraDudurur2000* message_;
  TSharedBlock block_;
  TDashLines lines_;
  std::string_view root_;
  int total_;
  bool reports_;
  size_t lastReport_ = 0;
  const size_t maxParts_;
  const size_t maxFields_;
  size_t parts_ = 0;
  size_t fields_ = 0;
};

// ---------------------------------------------------------------------------

void TMailPart::Fill(std::string_view text, bool withHeader) {
  // Copied before anything is cleared: the text may be this part's own
  // body or a descendant's.
  auto block = std::make_shared<TByteBlock>(text.size());
  TDashLines lines = FindDashLines(text, block->Data(), DashLineLimit(text.size()));
  FillBlock(std::move(block), std::move(lines), withHeader);
}

void TMailPart::TakeSource(std::string text) {
  auto block = std::make_shared<TByteBlock>(std::move(text));
  std::string_view taken(block->Data(), block->Capacity());
  TDashLines lines = FindDashLines(taken, nullptr, DashLineLimit(taken.size()));
  FillBlock(std::move(block), std::move(lines), true);
}

void TMailPart::FillBlock(TSharedBlock block, TDashLines&& lines, bool withHeader) {
  if (!ownerMessage_) throw EVizuError(Name() + ": TMailPart must be owned by a TVeraDudurur2000");
  ownerMessage_->CheckNotParsing("fill");
  Settle();
  bool reports = this == ownerMessage_ && static_cast<bool>(ownerMessage_->OnProgress);
  TMailParser parser(ownerMessage_, std::move(block), std::move(lines), reports);
  parser.Run(this, withHeader);
}

void TMailPart::LoadFromStream(TStream& stream) {
  if (auto* memory = dynamic_cast<TMemoryStream*>(&stream)) {
    memory->SetPosition(memory->Size());
    Fill(memory->View(), true);
    return;
  }
  stream.SetPosition(0);
  TakeSource(stream.ReadRest());
}

namespace {

bool HasOnlyCRLF(std::string_view text) {
  if (text.empty()) return true;
  if (text.size() < 2 || text.substr(text.size() - 2) != "\r\n") return false;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\r' && (i + 1 >= text.size() || text[i + 1] != '\n')) return false;
    if (text[i] == '\n' && (i == 0 || text[i - 1] != '\r')) return false;
  }
  return true;
}

}  // namespace

void TMailPart::LoadFromFile(const std::string& fileName) {
  std::string text = ReadWholeFile(fileName);
  if (HasOnlyCRLF(text)) {
    TakeSource(std::move(text));
  } else {
    TakeSource(JoinLinesCRLF(text));
  }
}

}  // namespace Vizu2000
