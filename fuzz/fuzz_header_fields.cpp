// Header field functions on arbitrary bytes: nothing may crash, and the
// wrapping and line cutting must lose nothing.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "mail/mime/charsets.h"
#include "mail/mime/header_fields.h"

using namespace Vizu2000;

namespace {

void Check(bool ok) {
  if (!ok) std::abort();
}

std::string Unfold(const std::string& text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text.compare(i, 3, "\r\n\t") == 0) {
      out.push_back(' ');
      i += 2;
    } else {
      out.push_back(text[i]);
    }
  }
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string text(reinterpret_cast<const char*>(data), size);
  size_t cut = text.find('\x01');
  std::string line = text.substr(0, cut);
  std::string other = cut == std::string::npos ? std::string() : text.substr(cut + 1);

  std::string trimmed = TrimSpace(line);
  Check(trimmed.empty() || (trimmed.front() != ' ' && trimmed.back() != ' '));
  std::string padded = PadL(line, static_cast<int>(size % 64), other);
  Check(padded.size() == size % 64 || other.size() > 1 || (other.empty() && padded.size() < size % 64));
  NormalizeLabel(line);
  LabelValue(line);
  WriteLabelValue(line, other);
  LabelParamValue(line, other);
  // RFC 2231 values only shrink what was written: escapes take three bytes
  // for one, sections are pieces of the line.
  for (std::string_view param : {std::string_view(other), std::string_view("name")}) {
    TParamValue read = ReadLabelParam(line, param);
    Check(read.value.size() <= line.size());
    Check(read.charset.size() + read.language.size() <= line.size());
    Check(read.extended || (read.charset.empty() && read.language.empty()));
    std::string converted;
    if (read.extended) ConvertCharset(read.value, read.charset, other.substr(0, 20), converted);
  }
  WriteLabelParamValue(line, other, other);
  TStringList list;
  list.SetText(text);
  SearchStringList(&list, other, static_cast<int>(size % 3));

  std::string wrapped = WrapHeader(text);
  // RFC 5322 section 2.1.1: no line of a written header passes 998.
  for (size_t start = 0, end; (end = wrapped.find("\r\n", start)) != std::string::npos; start = end + 2)
    Check(end - start <= 998);
  // A line with nowhere to fold is cut at 998, and then reads back changed.
  if (!line.empty() && line.size() <= 998 && line.find_first_of("\r\n,;") == std::string::npos)
    Check(Unfold(WrapHeader(line)) == line + "\r\n");

  std::string joined, piece;
  std::vector<std::string> lines;
  int position = 1;
  while (position > 0 && !text.empty()) {
    DataLine(text, piece, position);
    joined += piece;
    if (piece.size() >= 2 && piece.compare(piece.size() - 2, 2, "\r\n") == 0) piece.resize(piece.size() - 2);
    lines.push_back(piece);
  }
  Check(joined == text);
  long long at = -1;
  size_t length = 0;
  const char* start = nullptr;
  bool done = false;
  size_t k = 0;
  for (;;) {
    DataLinePChar(text.data(), text.size(), at, length, start, done);
    if (done) break;
    Check(k < lines.size() && lines[k] == std::string(start, length));
    ++k;
  }
  Check(k == lines.size());
  return 0;
}
