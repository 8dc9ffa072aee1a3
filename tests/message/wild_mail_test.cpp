// Messages made to look like mail in the wild (encoding names in any case,
// junk in base64, attachments cut short, boundaries that share a prefix,
// names encoded by RFC 2231), read by the parser and by Python's standard
// mail reader, which shares no code with it: the trees, the decoded bytes
// and the file names must agree.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "mail/message/mail_message.h"
#include "mail/mime/header_fields.h"

using namespace Vizu2000;

namespace {

const std::string kWild = VIZU_TEST_DATA "/wild";

std::string Hex(std::string_view bytes) {
  static const char digits[] = "0123456789abcdef";
  std::string out;
  out.reserve(bytes.size() * 2);
  for (unsigned char c : bytes) {
    out += digits[c >> 4];
    out += digits[c & 15];
  }
  return out;
}

// The reader turns CR LF into LF in text it does not base64-decode.
std::string AsPythonSees(std::string text) {
  size_t out = 0;
  for (size_t i = 0; i < text.size(); ++i)
    if (!(text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n')) text[out++] = text[i];
  text.resize(out);
  return text;
}

// The same lines as mime_tree.py prints.
void Describe(TMailPart& part, int depth, std::string& out) {
  std::string type = part.GetAttachInfo();
  out += "part " + std::to_string(depth) + " " + (type.empty() ? "text/plain" : type) + "\n";
  if (part.LabelParamExists("Content-Type", "name") ||
      part.LabelParamExists("Content-Disposition", "filename"))
    out += "name " + Hex(part.GetFileName()) + "\n";
  if (!part.SubPartList().Empty()) {
    for (TMailPart* child : part.SubPartList()) Describe(*child, depth + 1, out);
    return;
  }
  part.Decode();
  std::string content(part.Decoded().View());
  if (LowerCase(part.GetLabelValue("Content-Transfer-Encoding")) != "base64")
    content = AsPythonSees(content);
  out += "content " + Hex(content) + "\n";
}

std::vector<std::string> WildFiles() {
  std::vector<std::string> files;
  for (const auto& entry : std::filesystem::directory_iterator(kWild))
    if (entry.path().extension() == ".eml") files.push_back(entry.path().string());
  std::sort(files.begin(), files.end());
  return files;
}

std::string RunPython(const std::vector<std::string>& files, int& status) {
  std::string command = "/usr/bin/python3 -I " VIZU_TEST_DATA "/mime_tree.py";
  for (const std::string& file : files) command += " '" + file + "'";
  std::string output;
  if (FILE* pipe = popen(command.c_str(), "r")) {
    char buffer[4096];
    for (size_t n; (n = fread(buffer, 1, sizeof buffer, pipe)) > 0;) output.append(buffer, n);
    status = pclose(pipe);
  }
  return output;
}

}  // namespace

TEST(WildMail, ReadsAsPythonsMailReaderDoes) {
  ASSERT_EQ(access("/usr/bin/python3", X_OK), 0) << "Debian's python3 is needed (package python3)";
  const std::vector<std::string> files = WildFiles();
  ASSERT_GE(files.size(), 5u);
  int status = -1;
  const std::string expected = RunPython(files, status);
  ASSERT_EQ(status, 0) << expected;

  std::string ours;
  for (const std::string& file : files) {
    TVeraDudurur2000 message(nullptr);
    // Names are compared as UTF-8, whatever charset they were written in.
    message.SetCharset("utf-8");
    message.LoadFromFile(file);
    ours += "file " + file + "\n";
    Describe(message, 0, ours);
  }
  EXPECT_EQ(ours, expected);
}
