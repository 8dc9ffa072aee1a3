// Composing on top of arbitrary parsed mail. The input is a message text,
// then the marker "\0OPS\0", then a program of composing operations: texts
// set and removed, attachments added under hostile names, detached by name
// and by any index, restructuring in every mode. Afterwards the tree must be
// sound and writing it out must lose no content: the decoded contents of the
// non-empty leaves, as a multiset, read back the same from the written text.
// The same content check runs on a plain forced restructuring of the parsed
// input first. FUZZ_COMPOSE_TRACE=1 lists the operations of a reproducer as
// they run (=2 also the tree after each), and prints texts in full.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <iterator>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "mail/message/mail_message.h"
#include "platform/error.h"
#include "platform/paths.h"
#include "platform/string_list.h"

using namespace Vizu2000;

namespace {

using namespace std::string_view_literals;

constexpr std::string_view kMarker = "\0OPS\0"sv;
constexpr std::string_view kName = "MailMessage";
// The one error a decoding step may raise; the message may then be half
// restructured, so only soundness is checked after it.
constexpr std::string_view kUUError = "UUCODE message format error";
constexpr int kMaxOps = 48;

[[noreturn]] void Fail(const char* check, const std::string& detail = {}) {
  std::fprintf(stderr, "fuzz_compose: %s\n%s\n", check, detail.c_str());
  std::abort();
}

std::string Shown(std::string_view bytes) {
  std::string out;
  // Shortened, unless a trace asks for everything.
  static const size_t limit = std::getenv("FUZZ_COMPOSE_TRACE") ? std::string_view::npos : 120;
  for (char c : bytes.substr(0, limit)) {
    auto b = static_cast<unsigned char>(c);
    if (b >= 32 && b < 127 && c != '\\') {
      out += c;
    } else {
      char hex[5];
      std::snprintf(hex, sizeof hex, "\\x%02x", b);
      out += hex;
    }
  }
  if (bytes.size() > limit) out += "...(" + std::to_string(bytes.size()) + " bytes)";
  return out;
}

// Every part reachable from the message, parents before children, through
// the const accessors only: the non-const ones would count as touching the
// tree and change which restructuring path the next operation takes.
std::vector<const TMailPart*> TreeParts(const TVeraDudurur2000& message) {
  std::vector<const TMailPart*> parts;
  std::set<const TMailPart*> seen;
  std::vector<const TMailPart*> stack{&message};
  while (!stack.empty()) {
    const TMailPart* part = stack.back();
    stack.pop_back();
    if (!seen.insert(part).second) Fail("a part is reachable twice (shared or its own ancestor)");
    parts.push_back(part);
    for (const TMailPart* child : part->SubPartList()) {
      if (child->ParentPart() != part) Fail("a child's ParentPart is not the part that lists it");
      stack.push_back(child);
    }
  }
  return parts;
}

void CheckTree(const TVeraDudurur2000& message, bool halfDone) {
  std::vector<const TMailPart*> parts = TreeParts(message);
  std::set<const TMailPart*> inTree(parts.begin(), parts.end());
  for (const TMailPart* part : parts) {
    for (const std::string& entry : part->Header())
      if (entry.find_first_of("\r\n") != std::string::npos)
        Fail("a header entry holds a line break", Shown(entry));
    // Up the parent chain: never back to the part itself, and never longer
    // than the tree is big.
    size_t steps = 0;
    for (const TMailPart* up = part->ParentPart(); up; up = up->ParentPart()) {
      if (up == part) Fail("a part is its own ancestor");
      if (++steps > parts.size()) Fail("the parent chain does not end");
    }
  }
  if (halfDone) return;
  for (const TMailPart* part : message.AttachList())
    if (!inTree.count(part)) Fail("an AttachList entry is not in the tree");
  for (const TMailPart* part : {message.TextPlainPart(), message.TextHTMLPart()})
    if (part && !inTree.count(part)) Fail("a text part is not in the tree");
}

// Sorted decoded contents of the non-empty leaves; nothing when a leaf does
// not decode.
std::optional<std::vector<std::string>> LeafContents(TVeraDudurur2000& message) {
  std::vector<const TMailPart*> parts = TreeParts(message);
  std::vector<std::string> contents;
  for (const TMailPart* seen : parts) {
    if (!seen->SubPartList().Empty()) continue;
    auto* leaf = const_cast<TMailPart*>(seen);
    try {
      leaf->Decode();
    } catch (const EVizuError& e) {
      if (e.what() != kUUError) throw;
      return std::nullopt;
    }
    if (leaf->Decoded().Size() > 0) contents.emplace_back(leaf->Decoded().View());
  }
  std::sort(contents.begin(), contents.end());
  return contents;
}

std::string Difference(const std::vector<std::string>& before, const std::vector<std::string>& after) {
  std::string out = "before " + std::to_string(before.size()) + " leaves, after " +
                    std::to_string(after.size()) + "\n";
  std::vector<std::string> lost, gained;
  std::set_difference(before.begin(), before.end(), after.begin(), after.end(), std::back_inserter(lost));
  std::set_difference(after.begin(), after.end(), before.begin(), before.end(), std::back_inserter(gained));
  for (const std::string& s : lost) out += "  lost:   \"" + Shown(s) + "\"\n";
  for (const std::string& s : gained) out += "  gained: \"" + Shown(s) + "\"\n";
  return out;
}

// Every part's header as it is written: no line over 998 characters (RFC
// 5322 section 2.1.1), no CR or LF but in CR LF, and one field for each
// entry, so that no value started a field of its own.
void CheckWrittenHeaders(const TVeraDudurur2000& message, const char* what) {
  std::vector<const TMailPart*> stack{&message};
  while (!stack.empty()) {
    const TMailPart* part = stack.back();
    stack.pop_back();
    for (const TMailPart* kid : part->SubPartList()) stack.push_back(kid);
    const std::string head = part->HeaderSource();
    size_t entries = 0;
    for (const std::string& entry : part->Header())
      if (!entry.empty()) ++entries;
    size_t fields = 0;
    for (size_t start = 0; start < head.size();) {
      const size_t end = head.find("\r\n", start);
      if (end == std::string::npos) Fail(what, "a header that does not end in CR LF:\n" + Shown(head));
      const std::string_view line(head.data() + start, end - start);
      if (line.size() > 998) Fail(what, "a header line over 998 characters:\n" + Shown(head));
      if (line.find_first_of("\r\n") != std::string_view::npos)
        Fail(what, "a bare CR or LF in a header:\n" + Shown(head));
      if (!line.empty() && line[0] != ' ' && line[0] != '\t') ++fields;
      start = end + 2;
    }
    if (fields != entries) Fail(what, "a value started a field of its own:\n" + Shown(head));
  }
}

// Whether every CR and LF of the text is in a CR LF and no line passes 998
// characters (RFC 5322 section 2.1.1); the first offending line, or "".
std::string LineFault(std::string_view text) {
  size_t lineStart = 0;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '\r' && text[i] != '\n') continue;
    const std::string_view line = text.substr(lineStart, i - lineStart);
    if (text[i] == '\n' || i + 1 == text.size() || text[i + 1] != '\n')
      return "a bare " + std::string(text[i] == '\r' ? "CR" : "LF") + " after \"" + Shown(line) + "\"";
    if (line.size() > 998) return "a line of " + std::to_string(line.size()) + " characters";
    lineStart = ++i + 1;
  }
  if (text.size() - lineStart > 998) return "a last line over 998 characters";
  return "";
}

// Field labels, lower-cased, of the message's own header or of all its
// parts' headers.
std::vector<std::string> Labels(const TVeraDudurur2000& message, bool own) {
  std::vector<std::string> labels;
  for (const TMailPart* part : TreeParts(message))
    if (own == (part == &message))
      for (const std::string& entry : part->Header()) labels.push_back(LowerCase(entry.substr(0, entry.find(':'))));
  return labels;
}

// The message as it is written after an operation: no bare CR or LF and no
// line over 998 in the header or the body, unless the received text had
// such lines already (its content is kept as it came); each container's
// delimiter lines exactly where it puts them, never inside its content
// (RFC 2046 section 5.1.1); and read back, no field but those it holds, so
// no value and no content line became a field. The parts are written as the
// last rebuild found them (a field set on a part directly asks for none),
// so their labels are taken then; the message's own are written as they
// stand.
void CheckWrittenText(TVeraDudurur2000& message, bool cleanInput, std::vector<std::string>& partLabels,
                      const char* what) {
  if (message.NeedRebuild()) {
    message.RebuildBody();
    partLabels = Labels(message, false);
  }
  const std::string source = message.GetSource();
  if (cleanInput) {
    const std::string fault = LineFault(source);
    if (!fault.empty()) Fail(what, fault + " in the written text:\n" + Shown(source));
  }
  for (const TMailPart* part : TreeParts(message)) {
    const TMailPartList& kids = part->SubPartList();
    if (kids.Empty()) continue;
    const std::string delimiter = "--" + kids[0]->ParentBoundary();
    size_t lines = 0;
    for (size_t at = source.find(delimiter); at != std::string::npos; at = source.find(delimiter, at + 1)) {
      if (at != 0 && source[at - 1] != '\n' && source[at - 1] != '\r') continue;
      std::string_view rest(source.data() + at + delimiter.size(), source.size() - at - delimiter.size());
      rest = rest.substr(0, rest.find_first_of("\r\n"));
      if (rest.starts_with("--")) rest.remove_prefix(2);
      if (rest.find_first_not_of(" \t") == std::string_view::npos) ++lines;
    }
    if (lines != static_cast<size_t>(kids.Count()) + 1)
      Fail(what, std::to_string(lines) + " delimiter lines of \"" + Shown(delimiter) + "\" for " +
                     std::to_string(kids.Count()) + " children:\n" + Shown(source));
  }
  TVeraDudurur2000 again(nullptr);
  again.SetSource(source);
  std::vector<std::string> written = Labels(message, true), read = Labels(again, true);
  for (const std::string& label : Labels(again, false)) read.push_back(label);
  written.insert(written.end(), partLabels.begin(), partLabels.end());
  std::sort(written.begin(), written.end());
  std::sort(read.begin(), read.end());
  if (read != written) Fail(what, "the written text reads back with other fields:\n" + Shown(source));
}

// Writes the message out, parses the text again and compares the leaves
// with the given ones. Returns the written text.
std::string CheckWrittenContent(TVeraDudurur2000& message, const std::vector<std::string>& before,
                                const char* what) {
  message.RebuildBody();
  std::string source = message.GetSource();
  TVeraDudurur2000 again(nullptr);
  again.SetSource(source);
  std::optional<std::vector<std::string>> after = LeafContents(again);
  if (!after) Fail(what, "the written text does not decode:\n" + Shown(source));
  if (*after != before) Fail(what, Difference(before, *after) + "written:\n" + Shown(source));
  return source;
}

const std::string_view kTexts[] = {
    ""sv,
    "Hello"sv,
    "Line one\r\nLine two\r\n"sv,
    "bare\nLF, bare\rCR and\n\rLF CR"sv,
    "<p>Hi <img src=\"cid:logo.png\"></p>\r\n"sv,
    "Gr\xfc\xdf" "e aus K\xf6ln"sv,
    "=41 not an escape=\r\nand a soft break="sv,
    "trailing space \r\ntrailing tab\t\r\n"sv,
    ".\r\n..\r\n"sv,
    "a line well over seventy-six characters long, so that the encoder has to break it somewhere"sv,
    "\0nul\0"sv,
};

const std::string_view kNames[] = {
    "a.txt"sv,        "A.TXT"sv,          "report.pdf"sv,       "logo.png"sv,
    ""sv,             "dir/"sv,           "dir/a.txt"sv,        "x\ry.txt"sv,
    "x\ny.txt"sv,     "in\r\njected: 1"sv, "nul\0.bin"sv,        "q\"uote.txt"sv,
    "back\\slash"sv,  "semi;colon.txt"sv, "caf\xe9.txt"sv,      "\xff\xfe"sv,
    "=?utf-8?Q?x?=.txt"sv, "<angle>.gif"sv, "name with spaces.txt"sv,
    "a-rather-long-attachment-name-that-will-not-fit-on-one-header-line-at-all.dat"sv,
};

const std::string_view kTypes[] = {
    ""sv, "text/plain"sv, "text/html"sv, "application/pdf"sv, "image/png"sv,
    "application/octet-stream"sv, "message/rfc822"sv,
};

const std::string_view kContents[] = {
    ""sv, "x"sv, "hello\r\n"sv, "\0\x01\x02\xff\r\n\r"sv, "GIF89a\x01\0\x01\0"sv,
    "line\nwith bare LF\n"sv, "=\r\n"sv,
};

const TEncodingType kEncodings[] = {etBase64, etQuotedPrintable, etNoEncoding, et7Bit};
const TNormalizer kModes[] = {nrFirst, nrForce, nrAddText, nrAddAttach, nrAddEmbedded};

template <typename T, size_t N>
T Pick(FuzzedDataProvider& ops, const T (&pool)[N]) {
  return pool[ops.ConsumeIntegralInRange<size_t>(0, N - 1)];
}

std::string PickText(FuzzedDataProvider& ops) {
  if (ops.ConsumeBool()) return ops.ConsumeRandomLengthString(64);
  return std::string(Pick(ops, kTexts));
}

std::string PickContent(FuzzedDataProvider& ops) {
  if (ops.ConsumeBool()) return ops.ConsumeRandomLengthString(64);
  return std::string(Pick(ops, kContents));
}

std::string PickName(FuzzedDataProvider& ops) {
  if (ops.ConsumeIntegralInRange(0, 7) == 0) return ops.ConsumeRandomLengthString(24);
  return std::string(Pick(ops, kNames));
}

// A name to look for: one from the pool, or one an attachment carries,
// sometimes changed in case or given a directory.
std::string PickWanted(FuzzedDataProvider& ops, const TVeraDudurur2000& message) {
  int count = message.AttachList().Count();
  if (count == 0 || ops.ConsumeBool()) return PickName(ops);
  std::string name = message.AttachList()[ops.ConsumeIntegralInRange(0, count - 1)]->GetFileName();
  switch (ops.ConsumeIntegralInRange(0, 2)) {
    case 1:
      std::transform(name.begin(), name.end(), name.begin(), [](char c) {
        return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
      });
      break;
    case 2:
      name = "some/dir/" + name;
      break;
  }
  return name;
}

int PickIndex(FuzzedDataProvider& ops, int count) {
  switch (ops.ConsumeIntegralInRange(0, 6)) {
    case 0: return -1;
    case 1: return count;
    case 2: return count - 1;
    case 3: return INT_MIN;
    case 4: return INT_MAX;
    case 5: return 0;
    default: return ops.ConsumeIntegral<int>();
  }
}

void CheckError(const EVizuError& e, std::string_view expected) {
  // what() is a C string: a name with a NUL byte shows only up to it.
  std::string_view text = e.what();
  expected = expected.substr(0, expected.find('\0'));
  if (!text.starts_with(kName) || text != expected)
    Fail("wrong error text", "got \"" + Shown(text) + "\", wanted \"" + Shown(expected) + "\"");
}

// FUZZ_COMPOSE_TRACE=1 lists the operations as they run, to turn a
// reproducer into a test.
void Trace(const std::string& line) {
  static const bool on = std::getenv("FUZZ_COMPOSE_TRACE") != nullptr;
  if (on) std::fprintf(stderr, "  %s\n", line.c_str());
}

// With FUZZ_COMPOSE_TRACE=2 the tree follows each operation: every part's
// header, body size and decoded size, indented by depth.
void TraceTree(const TVeraDudurur2000& message) {
  static const bool on = [] {
    const char* level = std::getenv("FUZZ_COMPOSE_TRACE");
    return level && std::string_view(level) == "2";
  }();
  if (!on) return;
  std::vector<std::pair<const TMailPart*, int>> stack{{&message, 0}};
  while (!stack.empty()) {
    auto [part, depth] = stack.back();
    stack.pop_back();
    std::string indent(4 + 2 * depth, ' ');
    std::fprintf(stderr, "%s[body %zu, decoded %zu%s]\n", indent.c_str(), part->Body().View().size(),
                 part->Decoded().View().size(), part->IsDecoded() ? "" : ", not decoded");
    for (const std::string& entry : part->Header())
      std::fprintf(stderr, "%s%s\n", indent.c_str(), Shown(entry).c_str());
    const TMailPartList& children = part->SubPartList();
    for (auto it = children.end(); it != children.begin();) stack.push_back({*--it, depth + 1});
  }
}

std::string Quote(std::string_view text) { return "\"" + Shown(text) + "\""; }

const char* EncodingName(TEncodingType encoding) {
  switch (encoding) {
    case etBase64: return "etBase64";
    case etQuotedPrintable: return "etQuotedPrintable";
    case etNoEncoding: return "etNoEncoding";
    case et7Bit: return "et7Bit";
  }
  return "?";
}

const char* const kModeNames[] = {"nrFirst", "nrForce", "nrAddText", "nrAddAttach", "nrAddEmbedded"};

// What an operation may do to the decoded contents of the non-empty leaves:
// nothing, take one content out and put one in (a text replaced, added or
// removed, an attachment added), or take at most one out (a detach).
struct TExpect {
  bool atMostOneGone = false;
  std::string removed;  // empty: nothing
  std::string added;    // empty: nothing
};

// Lines end in CR LF once a text is set: a lone CR, a lone LF and LF CR
// each become one pair (RFC 5322 section 2.3).
std::string WithCRLF(std::string_view text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (c != '\r' && c != '\n') {
      out += c;
      continue;
    }
    if (i + 1 < text.size() && text[i + 1] == (c == '\r' ? '\n' : '\r')) ++i;
    out += "\r\n";
  }
  return out;
}

// The content of a text body as the message classifies it now.
std::string TextContent(TVeraDudurur2000& message, bool html) {
  message.FindParts();
  TMailPart* part = html ? message.TextHTMLPart() : message.TextPlainPart();
  if (!part) return {};
  part->Decode();
  return std::string(part->Decoded().View());
}

void CheckModel(const std::vector<std::string>& before, const std::vector<std::string>& after,
                const TExpect& expect) {
  if (expect.atMostOneGone) {
    if (!std::includes(before.begin(), before.end(), after.begin(), after.end()) ||
        before.size() > after.size() + 1)
      Fail("a detach did more than take one content away", Difference(before, after));
    return;
  }
  std::vector<std::string> want = before;
  if (!expect.removed.empty()) {
    auto it = std::lower_bound(want.begin(), want.end(), expect.removed);
    if (it == want.end() || *it != expect.removed)
      Fail("the text that goes is not among the leaves", Shown(expect.removed));
    want.erase(it);
  }
  if (!expect.added.empty()) want.insert(std::upper_bound(want.begin(), want.end(), expect.added), expect.added);
  if (want != after) Fail("an operation changed other contents than its own", Difference(want, after));
}

// The first attachment whose file name is `wanted`, case ignored: the one
// a lookup by name has to find.
const TMailPart* FirstNamed(const TVeraDudurur2000& message, std::string_view wanted) {
  const std::string lowered = LowerCase(wanted);
  for (const TMailPart* part : message.AttachList())
    if (LowerCase(part->GetFileName()) == lowered) return part;
  return nullptr;
}

// A value for a field of the caller's: hostile bytes, or over 998
// characters in a quoted string with blanks or without.
std::string PickFieldValue(FuzzedDataProvider& ops) {
  switch (ops.ConsumeIntegralInRange(0, 3)) {
    case 0:
      return PickName(ops);
    case 1:
      return "\"" + std::string(ops.ConsumeIntegralInRange<size_t>(990, 1300), 'q') + "\"";
    case 2: {
      std::string words = "\"";
      while (words.size() < 1100) words += std::string(ops.ConsumeIntegralInRange<size_t>(1, 120), 'w') + " ";
      return words + "\"";
    }
    default:
      return ops.ConsumeRandomLengthString(64);
  }
}

// Touching the tree through the public interface, so that the next
// restructuring has to look at every part again; or a field of the
// caller's set on any part; or content with lines no mail may carry as
// they stand, attached unencoded.
void FieldOrLongLine(FuzzedDataProvider& ops, TVeraDudurur2000& message, TExpect& expect) {
  switch (ops.ConsumeIntegralInRange(0, 3)) {
    case 0:
      Trace("SubPartList()");
      message.SubPartList();
      return;
    case 1:
    case 2: {
      std::vector<const TMailPart*> parts = TreeParts(message);
      auto* part = const_cast<TMailPart*>(parts[ops.ConsumeIntegralInRange<size_t>(0, parts.size() - 1)]);
      static const char* const kLabels[] = {"Content-Type", "Content-Disposition", "X-Note"};
      static const char* const kParams[] = {"name", "filename", "x-note"};
      const std::string label = kLabels[ops.ConsumeIntegralInRange(0, 2)];
      const std::string value = PickFieldValue(ops);
      if (ops.ConsumeBool() && label == "X-Note") {
        Trace("part SetLabelValue(" + Quote(label) + ", " + Quote(value) + ")");
        part->SetLabelValue(label, value);
      } else {
        const std::string param = kParams[ops.ConsumeIntegralInRange(0, 2)];
        Trace("part SetLabelParamValue(" + Quote(label) + ", " + Quote(param) + ", " + Quote(value) + ")");
        part->SetLabelParamValue(label, param, value);
      }
      return;
    }
    default: {
      const std::string line(ops.ConsumeIntegralInRange<size_t>(990, 1300), 'x');
      std::string content = ops.ConsumeBool() ? line + "\r\n" + line : line + "\n" + PickContent(ops);
      const TEncodingType encoding = ops.ConsumeBool() ? et7Bit : etNoEncoding;
      const bool embedded = ops.ConsumeBool();
      Trace("AttachString(" + Quote(content) + ", \"long.txt\", \"text/plain\", " + EncodingName(encoding) +
            ", " + (embedded ? "true" : "false") + ")");
      expect.added = content;
      message.AttachString(content, "long.txt", "text/plain", encoding, embedded);
      return;
    }
  }
}

// One operation of the program.
void Step(FuzzedDataProvider& ops, TVeraDudurur2000& message, TExpect& expect) {
  const std::string name(kName);
  const int op = ops.ConsumeIntegralInRange(0, 13);
  switch (op) {
    case 0:
    case 1: {
      const bool html = op == 1;
      std::string text = PickText(ops);
      Trace((html ? "SetTextHTML(" : "SetTextPlain(") + Quote(text) + ")");
      expect.removed = TextContent(message, html);
      expect.added = WithCRLF(text);
      html ? message.SetTextHTML(text) : message.SetTextPlain(text);
      break;
    }
    case 2:
    case 3: {
      const bool html = op == 3;
      Trace(html ? "RemoveTextHTML()" : "RemoveTextPlain()");
      expect.removed = TextContent(message, html);
      html ? message.RemoveTextHTML() : message.RemoveTextPlain();
      break;
    }
    case 4:
    case 5: {
      std::string content = PickContent(ops);
      std::string file = PickName(ops);
      std::string_view type = Pick(ops, kTypes);
      TEncodingType encoding = Pick(ops, kEncodings);
      bool embedded = ops.ConsumeBool();
      Trace("AttachString(" + Quote(content) + ", " + Quote(file) + ", " + Quote(type) + ", " +
            EncodingName(encoding) + ", " + (embedded ? "true" : "false") + ")");
      expect.added = content;
      message.AttachString(content, file, type, encoding, embedded);
      break;
    }
    case 6:
    case 7: {
      std::string wanted = PickWanted(ops, message);
      Trace("DetachFile(" + Quote(wanted) + ")");
      expect.atMostOneGone = true;
      try {
        message.DetachFile(wanted);
      } catch (const EVizuError& e) {
        if (e.what() == kUUError) throw;
        CheckError(e, name + ": Attachment filename not found " + wanted);
        if (FirstNamed(message, ExtractFileName(wanted)))
          Fail("DetachFile did not find an attachment of that name", Shown(wanted));
      }
      break;
    }
    case 8: {
      std::string wanted = PickWanted(ops, message);
      Trace("GetAttach(" + Quote(wanted) + ")");
      const TMailPart* found = message.GetAttach(wanted);
      if (found != FirstNamed(message, wanted))
        Fail("GetAttach did not return the first attachment of that name", Shown(wanted));
      break;
    }
    case 9: {
      int index = PickIndex(ops, message.AttachList().Count());
      Trace("DetachFileIndex(" + std::to_string(index) + ")");
      expect.atMostOneGone = true;
      try {
        message.DetachFileIndex(index);
      } catch (const EVizuError& e) {
        if (e.what() == kUUError) throw;
        CheckError(e, name + ": Attachment index not found");
      }
      break;
    }
    case 10:
    case 11: {
      TNormalizer mode = Pick(ops, kModes);
      Trace(std::string("Normalize(") + kModeNames[mode] + ")");
      message.Normalize(mode);
      break;
    }
    case 12:
      FieldOrLongLine(ops, message, expect);
      break;
    case 13: {
      TEncodingType encoding = Pick(ops, kEncodings);
      Trace(std::string("SetTextEncoding(") + EncodingName(encoding) + ")");
      message.SetTextEncoding(encoding);
      break;
    }
  }
}

void CheckForcedRestructuring(std::string_view text) {
  TVeraDudurur2000 message(nullptr);
  message.SetName(std::string(kName));
  message.SetSource(text);
  std::optional<std::vector<std::string>> before = LeafContents(message);
  if (!before) return;  // a uuencoded leaf that does not decode
  message.Normalize(nrForce);
  CheckTree(message, false);
  std::vector<std::string> partLabels;
  CheckWrittenText(message, LineFault(text).empty(), partLabels, "Normalize(nrForce) wrote a text that cannot be sent");
  CheckWrittenContent(message, *before, "Normalize(nrForce) changed the leaf contents");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view input(reinterpret_cast<const char*>(data), size);
  size_t cut = input.find(kMarker);
  std::string_view text = input.substr(0, cut);
  std::string_view program = cut == std::string_view::npos ? std::string_view() : input.substr(cut + kMarker.size());

  CheckForcedRestructuring(text);
  const bool cleanInput = LineFault(text).empty();

  TVeraDudurur2000 message(nullptr);
  message.SetName(std::string(kName));
  message.SetSource(text);
  std::vector<std::string> partLabels = Labels(message, false);
  FuzzedDataProvider ops(reinterpret_cast<const uint8_t*>(program.data()), program.size());
  // The contents the program has put in and left; none once a leaf does
  // not decode. Working it out decodes every leaf up front, which turns a
  // uuencoded body into base64 before any operation sees it, so some
  // programs go without.
  std::optional<std::vector<std::string>> model;
  if (ops.ConsumeBool()) model = LeafContents(message);
  bool halfDone = false;
  for (int i = 0; i < kMaxOps && ops.remaining_bytes() > 0 && !halfDone; ++i) {
    TExpect expect;
    try {
      Step(ops, message, expect);
    } catch (const EVizuError& e) {
      if (e.what() != kUUError) throw;
      halfDone = true;
    }
    TraceTree(message);
    CheckTree(message, halfDone);
    CheckWrittenHeaders(message, "an operation left a header that cannot be written as it is");
    if (!halfDone)
      CheckWrittenText(message, cleanInput, partLabels, "an operation left a text that cannot be sent as it is");
    if (halfDone || !model) continue;
    std::optional<std::vector<std::string>> now = LeafContents(message);
    if (now) CheckModel(*model, *now, expect);
    model = std::move(now);
  }

  if (halfDone) {
    message.RebuildBody();
    TVeraDudurur2000 again(nullptr);
    again.SetSource(message.GetSource());
    return 0;
  }
  std::optional<std::vector<std::string>> before = LeafContents(message);
  CheckTree(message, false);
  if (before) CheckWrittenContent(message, *before, "writing the composed message changed the leaf contents");
  return 0;
}
