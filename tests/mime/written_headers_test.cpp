// Header text the library writes, read back by the library and by Python's
// standard mail reader, which shares no code with it.
#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>

#include "mail/mime/codecs.h"
#include "mail/mime/header_fields.h"

using namespace Vizu2000;

namespace {

std::vector<std::string> Lines(std::string_view text) {
  std::vector<std::string> lines;
  for (size_t pos = 0, end; pos < text.size(); pos = end + 2) {
    end = text.find("\r\n", pos);
    if (end == std::string_view::npos) end = text.size();
    lines.emplace_back(text.substr(pos, end - pos));
  }
  return lines;
}

// RFC 5322 section 2.2.3: unfolding removes the CR LF and keeps the blank.
std::string UnfoldKeepingBlanks(std::string_view text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text.compare(i, 3, "\r\n\t") == 0 || text.compare(i, 3, "\r\n ") == 0) ++i;
    else out.push_back(text[i]);
  }
  return out;
}

std::string Hex(std::string_view text) {
  static const char digits[] = "0123456789abcdef";
  std::string out = "x";
  for (unsigned char c : text) {
    out.push_back(digits[c >> 4]);
    out.push_back(digits[c & 15]);
  }
  return out;
}

// What Python's reader finds in the header of each message: per message,
// its "field NAME VALUE DEFECTS", "filename VALUE" and "name VALUE" lines.
std::vector<std::vector<std::string>> PythonReads(const std::vector<std::string>& headers) {
  std::vector<std::vector<std::string>> found(headers.size());
  if (access("/usr/bin/python3", X_OK) != 0) {
    ADD_FAILURE() << "Debian's python3 is needed at /usr/bin/python3 (package python3)";
    return found;
  }
  std::filesystem::path dir = std::filesystem::temp_directory_path() /
                              ("vizu_written_headers_" + std::to_string(getpid()));
  std::filesystem::create_directories(dir);
  std::string command = "/usr/bin/python3 -I " VIZU_TEST_DATA "/header_reader.py";
  for (size_t i = 0; i < headers.size(); ++i) {
    std::filesystem::path file = dir / (std::to_string(i) + ".eml");
    std::ofstream(file, std::ios::binary) << headers[i] << "\r\nbody\r\n";
    command += " '" + file.string() + "'";
  }
  std::string output;
  if (FILE* pipe = popen(command.c_str(), "r")) {
    char buffer[4096];
    for (size_t n; (n = fread(buffer, 1, sizeof buffer, pipe)) > 0;) output.append(buffer, n);
    EXPECT_EQ(pclose(pipe), 0) << output;
  }
  std::filesystem::remove_all(dir);
  std::istringstream lines(output);
  int index = -1;
  for (std::string line; std::getline(lines, line);) {
    if (line.starts_with("file ")) ++index;
    else if (index >= 0 && static_cast<size_t>(index) < found.size()) found[index].push_back(line);
  }
  return found;
}

const std::string kLongUtf8 =
    "Grüße aus Köln; Straße, Ärger, Öl — 東京の天気は晴れ, "
    "emoji \xF0\x9F\x98\x80; zum Schluss noch ein paar Wörter über Übergrößen";

}  // namespace

// RFC 2047 sections 2 and 6.2 with RFC 5322 section 2.1.1: a long subject
// becomes words of at most 75 characters that hold whole characters, the
// folder breaks only between them, and both readers get the text back.
TEST(WrittenHeaders, LongEncodedSubjectsFoldBetweenWordsAndReadBack) {
  const std::vector<std::string> subjects = {
      kLongUtf8,
      std::string(200, 'a') + "\xC3\xA9;,'\"?_=" + std::string(100, 'b'),
      "a,b;c,d;e,f;g,h;i,j;k,l;m,n;o,p;q,r;s,t;u,v;w,x;y,z;a,b;c,d;e,f;g,h;\xC3\xA9",
      "\xE2\x82\xAC" + std::string(40, ' ') + "\xE2\x82\xAC",
  };
  std::vector<std::string> headers;
  for (const std::string& subject : subjects) {
    SCOPED_TRACE(subject);
    std::string encoded = EncodeLine7Bit(subject, "utf-8", 9);
    size_t words = 0;
    for (size_t at = 0; at < encoded.size(); ++words) {
      size_t end = encoded.find(' ', at);
      if (end == std::string::npos) end = encoded.size();
      std::string word = encoded.substr(at, end - at);
      EXPECT_LE(word.size(), 75u) << word;
      EXPECT_TRUE(word.starts_with("=?utf-8?Q?") && word.ends_with("?=")) << word;
      // A word alone is whole UTF-8: no sequence is cut between two words.
      std::string bytes = DecodeLine7Bit(word);
      ASSERT_FALSE(bytes.empty());
      EXPECT_NE(static_cast<unsigned char>(bytes[0]) & 0xC0, 0x80u) << word;
      int tail = 0;
      for (unsigned char c : bytes) {
        if ((c & 0xC0) == 0x80) --tail;
        else tail = c >= 0xF0 ? 3 : c >= 0xE0 ? 2 : c >= 0xC0 ? 1 : 0;
      }
      EXPECT_EQ(tail, 0) << word;
      at = end + 1;
    }
    EXPECT_GT(words, 1u);
    std::string folded = WrapHeader("Subject: " + encoded);
    // RFC 2047 section 2: a line with encoded words holds at most 76.
    for (const std::string& line : Lines(folded)) EXPECT_LE(line.size(), 76u) << line;
    std::string unfolded = UnfoldKeepingBlanks(folded);
    unfolded.resize(unfolded.size() - 2);
    EXPECT_EQ(DecodeLine7Bit(unfolded.substr(9)), subject);
    headers.push_back(folded);
  }
  auto python = PythonReads(headers);
  for (size_t i = 0; i < subjects.size(); ++i) {
    ASSERT_FALSE(python[i].empty());
    EXPECT_EQ(python[i][0], "field Subject " + Hex(subjects[i]) + " -") << i;
  }
}

// RFC 2231: a file name goes out plain when it can and percent-encoded in
// sections when it must; the library's reader and Python's get the same name.
TEST(WrittenHeaders, ParameterValuesReadBackExactly) {
  const std::vector<std::string> names = {
      "report.pdf",
      "a b;c.txt",
      "quote\"and\\backslash.txt",
      "=?utf-8?Q?not_a_word?=.txt",
      "100%*'()<>@,;:/[]?=.bin",
      std::string(120, 'x') + ".txt",
      "Übersicht für Köln.pdf",
      kLongUtf8 + ".txt",
      std::string(70, 'a') + "\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9.txt",
  };
  std::vector<std::string> headers;
  for (const std::string& name : names) {
    SCOPED_TRACE(name);
    std::string type = WriteLabelParam("Content-Type: application/octet-stream; name*0=old; name*1*=x",
                                       "name", name);
    std::string disposition =
        WriteLabelParam("Content-Disposition: attachment; FILENAME=\"old\"; size=3", "filename", name);
    EXPECT_EQ(type.find("old"), std::string::npos) << type;
    EXPECT_NE(disposition.find("size=3"), std::string::npos) << disposition;
    EXPECT_EQ(ReadLabelParam(type, "name").value, name);
    EXPECT_EQ(LabelParamValue(disposition, "filename"), name);
    EXPECT_EQ(LabelValue(disposition), "attachment");
    std::string header = WrapHeader("MIME-Version: 1.0\r\n" + type + "\r\n" + disposition);
    for (const std::string& line : Lines(header)) EXPECT_LE(line.size(), 78u) << line;
    bool plain = LabelParamText("filename", name) == "filename=\"" + name + "\"";
    EXPECT_EQ(plain, name.size() <= 65 && name.find_first_of("\"\\\x80\xC3\xE6") == std::string::npos &&
                         name.find("=?") == std::string::npos)
        << LabelParamText("filename", name);
    headers.push_back(header);
  }
  EXPECT_EQ(LabelParamText("name", "\xC3\xA9 x"), "name*=utf-8''%C3%A9%20x");
  EXPECT_EQ(LabelParamText("name", std::string(80, 'y')),
            "name*0*=utf-8''" + std::string(61, 'y') + "; name*1*=" + std::string(19, 'y'));
  auto python = PythonReads(headers);
  for (size_t i = 0; i < names.size(); ++i) {
    SCOPED_TRACE(names[i]);
    std::map<std::string, std::string> found;
    for (const std::string& line : python[i]) {
      size_t space = line.find(' ');
      found[line.substr(0, space)] += line.substr(space + 1) + "|";
    }
    EXPECT_EQ(found["filename"], Hex(names[i]) + "|");
    EXPECT_EQ(found["name"], Hex(names[i]) + "|");
    for (const std::string& line : python[i]) {
      if (line.starts_with("field ")) {
        EXPECT_TRUE(line.ends_with(" -")) << line;
      }
    }
  }
}

// RFC 5322 section 2.1.1 holds for a quoted value too: over 998, a quoted
// string folds before a space inside it (section 3.2.4), and a MIME
// parameter without one goes out in RFC 2231 sections. Other fields and a
// parameter already in sections are cut, as a solid token is.
TEST(WrittenHeaders, LongQuotedValuesStayWithinTheLineLimit) {
  const std::string spaced = std::string(600, 'a') + " " + std::string(500, 'b') + "  c.pdf";
  const std::string solid = std::string(1100, 's') + ";=,()" + std::string(100, 't') + ".pdf";
  const std::vector<std::string> headers = {
      WrapHeader("Content-Type: application/pdf; name=\"" + spaced + "\"\r\n"
                 "Content-Disposition: attachment; filename=\"" + spaced + "\"; size=1"),
      WrapHeader("Content-Type: application/pdf; name=\"" + solid + "\"\r\n"
                 "Content-Disposition: attachment; size=1; FileName=\"" + solid + "\""),
  };
  for (const std::string& header : headers) {
    for (const std::string& line : Lines(header)) EXPECT_LE(line.size(), 998u) << line;
    std::vector<std::string> fields;
    // Unfolded as the parser does: the blank after a line break becomes a
    // space.
    std::string unfolded = UnfoldKeepingBlanks(header);
    std::replace(unfolded.begin(), unfolded.end(), '\t', ' ');
    for (const std::string& line : Lines(unfolded))
      if (!line.empty()) fields.push_back(line);
    ASSERT_EQ(fields.size(), 2u) << header;
    const std::string& value = &header == &headers[0] ? spaced : solid;
    EXPECT_EQ(ReadLabelParam(fields[0], "name").value, value);
    EXPECT_EQ(ReadLabelParam(fields[1], "filename").value, value);
    EXPECT_EQ(LabelParamValue(fields[1], "size"), "1");
  }
  // Folded before a space inside the quotes, which the next line keeps.
  EXPECT_NE(headers[0].find("a\r\n b"), std::string::npos) << headers[0];
  EXPECT_NE(headers[1].find("name*0=\"sss"), std::string::npos) << headers[1];
  EXPECT_EQ(headers[1].find("name=\""), std::string::npos) << headers[1];
  auto python = PythonReads(headers);
  for (size_t i = 0; i < headers.size(); ++i) {
    ASSERT_GE(python[i].size(), 2u);
    const std::string expected = Hex(i == 0 ? spaced : solid);
    EXPECT_EQ(python[i][python[i].size() - 2], "filename " + expected);
    EXPECT_EQ(python[i].back(), "name " + expected);
    for (const std::string& line : python[i]) {
      if (line.starts_with("field ")) {
        EXPECT_TRUE(line.ends_with(" -")) << line;
      }
    }
  }

  // Not a MIME parameter, or one with sections of its own: a cut keeps the
  // limit.
  for (const std::string& line :
       {"X-Note: v; p=\"" + solid + "\"", "Content-Type: a/b; name*0=x; name=\"" + solid + "\""}) {
    const std::string wrapped = WrapHeader(line);
    for (const std::string& out : Lines(wrapped)) EXPECT_LE(out.size(), 998u) << out;
    EXPECT_EQ(wrapped.find("*1"), std::string::npos) << wrapped;
  }
}
