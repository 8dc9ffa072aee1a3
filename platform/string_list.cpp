#include "platform/string_list.h"

#include "platform/error.h"
#include "platform/text_lines.h"

namespace Vizu2000 {


std::string UpperCase(std::string_view text) {
  std::string result(text);
  for (char& c : result) c = UpCaseChar(c);
  return result;
}

std::string LowerCase(std::string_view text) {
  std::string result(text);
  for (char& c : result) c = LowCaseChar(c);
  return result;
}

bool SameText(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (UpCaseChar(a[i]) != UpCaseChar(b[i])) return false;
  return true;
}

namespace {

void CheckIndex(int index, size_t limit) {
  if (index < 0 || static_cast<size_t>(index) >= limit)
    throw EVizuError("List index out of bounds (" + std::to_string(index) + ")");
}

}  // namespace

const std::string& TStringList::Strings(int index) const {
  CheckIndex(index, items_.size());
  return items_[static_cast<size_t>(index)];
}

void TStringList::SetString(int index, std::string value) {
  CheckIndex(index, items_.size());
  items_[static_cast<size_t>(index)] = std::move(value);
}

int TStringList::Add(std::string value) {
  items_.push_back(std::move(value));
  return Count() - 1;
}

void TStringList::Insert(int index, std::string value) {
  CheckIndex(index, items_.size() + 1);
  items_.insert(items_.begin() + index, std::move(value));
}

void TStringList::Delete(int index) {
  CheckIndex(index, items_.size());
  items_.erase(items_.begin() + index);
}

int TStringList::IndexOf(std::string_view value) const {
  for (int i = 0; i < Count(); ++i)
    if (SameText(items_[i], value)) return i;
  return -1;
}

size_t TStringList::TextLength() const {
  size_t n = 0;
  for (const auto& s : items_) n += s.size() + 2;
  return n;
}

std::string TStringList::Text() const {
  std::string result;
  result.reserve(TextLength());
  for (const auto& s : items_) {
    result += s;
    result += "\r\n";
  }
  return result;
}

void TStringList::SetText(std::string_view text) {
  items_.clear();
  size_t end = text.find('\0');
  if (end != std::string_view::npos) text = text.substr(0, end);
  TLineCutter cutter(text);
  for (size_t start = 0; start < text.size();) {
    const size_t end = cutter.LineEnd(start);
    items_.emplace_back(text.substr(start, end - start));
    start = end + cutter.BreakLength(end);
  }
}

}  // namespace Vizu2000
