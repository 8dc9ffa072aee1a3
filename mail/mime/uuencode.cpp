#include "mail/mime/codecs.h"

#include <algorithm>

#include "platform/error.h"

namespace Vizu2000 {

namespace {

constexpr const char* kUUError = "UUCODE message format error";

inline int UUValue(unsigned char c) {
  if (c == '`') return 0;
  if (c < 32 || c > 95) throw EVizuError(kUUError);
  return c - 32;  // a space is 0
}

}  // namespace

int DecodeLineUUCODE(std::string_view line, char* output) {
  if (line.empty()) return 0;
  const int declared = UUValue(static_cast<unsigned char>(line[0]));
  size_t count = line.size() - 1;
  if (declared == 45) {
    if (count < 60) throw EVizuError(kUUError);
    count = 60;
  }
  count = std::min<size_t>(count, 60);

  unsigned char values[60] = {};
  for (size_t i = 0; i < count; ++i) values[i] = static_cast<unsigned char>(UUValue(static_cast<unsigned char>(line[1 + i])));
  for (size_t g = 0; g < 15; ++g) {
    const unsigned char* v = values + 4 * g;
    output[3 * g] = static_cast<char>((v[0] << 2) | (v[1] >> 4));
    output[3 * g + 1] = static_cast<char>(((v[1] & 15) << 4) | (v[2] >> 2));
    output[3 * g + 2] = static_cast<char>(((v[2] & 3) << 6) | v[3]);
  }
  return declared;
}

void DecodeLineUUCODE(std::string_view line, std::string& appendTo) {
  char buffer[45];
  int declared = DecodeLineUUCODE(line, buffer);
  // The count is clamped to what a line can carry.
  appendTo.append(buffer, static_cast<size_t>(std::clamp(declared, 0, 45)));
}

bool DecodeUUCODE(std::string_view text, TStream& output) {
  output.SetSize(0);
  output.SetPosition(0);
  char buffer[45];
  size_t position = 0;
  while (position < text.size()) {
    size_t lineEnd = text.find("\r\n", position);
    size_t next = lineEnd == std::string_view::npos ? text.size() : lineEnd + 2;
    if (lineEnd == std::string_view::npos) lineEnd = text.size();
    std::string_view line = text.substr(position, lineEnd - position);
    position = next;
    if (line.empty()) continue;
    int declared = DecodeLineUUCODE(line, buffer);
    if (declared > 0) output.WriteBuffer(buffer, static_cast<size_t>(std::min(declared, 45)));
  }
  return true;
}

}  // namespace Vizu2000
