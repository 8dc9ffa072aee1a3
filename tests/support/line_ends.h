#pragma once
// What an SMTP server keeps of a content the client sent: every CR LF,
// lone CR and lone LF as CR LF (RFC 5321 section 2.3.8), and the end of
// data brings the CR LF that a last line lacks (section 4.1.1.4).
#include <string>

namespace VizuTest {

inline std::string KeptContent(const std::string& sent) {
  std::string kept;
  for (size_t i = 0; i < sent.size(); ++i) {
    if (sent[i] != '\r' && sent[i] != '\n') {
      kept += sent[i];
      continue;
    }
    if (sent[i] == '\r' && i + 1 < sent.size() && sent[i + 1] == '\n') ++i;
    kept += "\r\n";
  }
  return kept.empty() || kept.ends_with("\r\n") ? kept : kept + "\r\n";
}

}  // namespace VizuTest
