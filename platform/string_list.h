#pragma once
// An ordered list of texts. Setting the text splits at CR LF, a lone CR or a
// lone LF (a NUL ends the text); getting it joins with CR LF after every entry.
#include <string>
#include <string_view>
#include <vector>

#include "platform/text_chars.h"

namespace Vizu2000 {

class TStringList {
 public:
  TStringList() = default;

  int Count() const { return static_cast<int>(items_.size()); }
  bool Empty() const { return items_.empty(); }
  // Unchecked, for loops that stay within Count().
  const std::string& operator[](int index) const { return items_[index]; }
  std::string& operator[](int index) { return items_[index]; }
  // These raise EVizuError "List index out of bounds (<index>)" and change
  // nothing when the index is outside the list (Insert also takes Count()).
  const std::string& Strings(int index) const;
  void SetString(int index, std::string value);

  int Add(std::string value);
  void Insert(int index, std::string value);
  void Delete(int index);
  void Clear() { items_.clear(); }
  // Index of the entry equal to the text (ASCII case ignored), or -1.
  int IndexOf(std::string_view value) const;

  std::string Text() const;
  void SetText(std::string_view text);
  // Length of Text() without building it.
  size_t TextLength() const;


  std::vector<std::string>::const_iterator begin() const { return items_.begin(); }
  std::vector<std::string>::const_iterator end() const { return items_.end(); }
  std::vector<std::string>& Items() { return items_; }

  bool operator==(const TStringList& other) const = default;

 private:
  std::vector<std::string> items_;
};

// ASCII-only helpers shared by the library (UpCaseChar and LowCaseChar
// are in platform/text_chars.h).
std::string UpperCase(std::string_view text);
std::string LowerCase(std::string_view text);
bool SameText(std::string_view a, std::string_view b);

}  // namespace Vizu2000
