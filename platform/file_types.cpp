#include "platform/file_types.h"

#include <fstream>
#include <memory>
#include <mutex>
#include <sstream>
#include <unordered_map>

#include "platform/string_list.h"
#include "platform/text_chars.h"

namespace Vizu2000 {

namespace {

const char* const kSystemFileTypes = "/etc/mime.types";

struct TFileTypeTable {
  std::unordered_map<std::string, std::string> typeOfExtension;  // "gif" -> "image/gif"
  std::unordered_map<std::string, std::string> extensionOfType;  // "image/gif" -> ".gif"
};

std::shared_ptr<const TFileTypeTable> ParseTable(std::string_view text) {
  auto table = std::make_shared<TFileTypeTable>();
  size_t pos = 0;
  while (pos < text.size()) {
    size_t end = text.find('\n', pos);
    if (end == std::string_view::npos) end = text.size();
    std::string_view line = text.substr(pos, end - pos);
    pos = end + 1;
    if (size_t hash = line.find('#'); hash != std::string_view::npos) line = line.substr(0, hash);

    std::string type;
    bool first = true;
    size_t i = 0;
    while (i < line.size()) {
      while (i < line.size() && IsAsciiSpace(line[i])) ++i;
      size_t start = i;
      while (i < line.size() && !IsAsciiSpace(line[i])) ++i;
      if (start == i) break;
      std::string_view word = line.substr(start, i - start);
      if (first) {
        type = word;
        first = false;
        continue;
      }
      // Keys ignore case, values keep the spelling of the list. An extension
      // listed under several types keeps its first type, and a type listed
      // on several lines keeps its first extension.
      table->typeOfExtension.emplace(LowerCase(word), type);
      table->extensionOfType.emplace(LowerCase(type), "." + std::string(word));
    }
  }
  return table;
}

std::mutex tableMutex;
std::shared_ptr<const TFileTypeTable> table;  // guarded by tableMutex

std::shared_ptr<const TFileTypeTable> ReadTable(const std::string& path, bool* ok) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    if (ok) *ok = false;
    return std::make_shared<TFileTypeTable>();
  }
  std::ostringstream buffer;
  buffer << in.rdbuf();
  if (ok) *ok = true;
  return ParseTable(buffer.str());
}

std::shared_ptr<const TFileTypeTable> CurrentTable() {
  // Lookups hold their own reference, so a reload never pulls the table
  // out from under a reader.
  std::lock_guard<std::mutex> lock(tableMutex);
  if (!table) table = ReadTable(kSystemFileTypes, nullptr);
  return table;
}

}  // namespace

std::string FileTypeContentType(std::string_view extension) {
  if (!extension.empty() && extension.front() == '.') extension.remove_prefix(1);
  if (extension.empty()) return {};
  auto current = CurrentTable();
  auto it = current->typeOfExtension.find(LowerCase(extension));
  return it == current->typeOfExtension.end() ? std::string() : it->second;
}

std::string FileTypeExtension(std::string_view contentType) {
  if (contentType.empty()) return {};
  auto current = CurrentTable();
  auto it = current->extensionOfType.find(LowerCase(contentType));
  return it == current->extensionOfType.end() ? std::string() : it->second;
}

bool LoadFileTypes(const std::string& path) {
  bool ok = false;
  auto loaded = ReadTable(path, &ok);
  std::lock_guard<std::mutex> lock(tableMutex);
  table = std::move(loaded);
  return ok;
}

void ResetFileTypes() {
  std::lock_guard<std::mutex> lock(tableMutex);
  table.reset();
}

void SetFileTypesText(std::string_view text) {
  auto parsed = ParseTable(text);
  std::lock_guard<std::mutex> lock(tableMutex);
  table = std::move(parsed);
}

}  // namespace Vizu2000
