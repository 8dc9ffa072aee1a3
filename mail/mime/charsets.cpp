#include "mail/mime/charsets.h"

#include <cerrno>
#include <iconv.h>

namespace Vizu2000 {

namespace {

// Upper-cased for iconv_open; empty when it is no charset name. An empty
// name would mean the locale's charset to iconv_open, and "//" suffixes would
// switch on transliteration or dropping, so only plain names pass.
std::string IconvName(std::string_view name) {
  if (!IsCharsetName(name)) return {};
  std::string upper(name);
  for (char& c : upper)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 32);
  return upper;
}

class TIconv {
 public:
  TIconv(const std::string& from, const std::string& to) : handle_(iconv_open(to.c_str(), from.c_str())) {}
  ~TIconv() {
    if (Valid()) iconv_close(handle_);
  }
  TIconv(const TIconv&) = delete;
  TIconv& operator=(const TIconv&) = delete;
  bool Valid() const { return handle_ != reinterpret_cast<iconv_t>(-1); }
  iconv_t Handle() const { return handle_; }

 private:
  iconv_t handle_;
};

}  // namespace

bool IsCharsetName(std::string_view name) {
  if (name.empty() || name.size() > 64) return false;
  for (char c : name) {
    bool alnum = (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
    if (!alnum && c != '-' && c != '_' && c != '.' && c != ':') return false;
  }
  return true;
}

bool ConvertCharset(std::string_view bytes, std::string_view from, std::string_view to,
                    std::string& out) {
  std::string fromName = IconvName(from), toName = IconvName(to);
  if (fromName.empty() || toName.empty()) return false;
  TIconv converter(fromName, toName);
  if (!converter.Valid()) return false;

  std::string result(bytes.size() + 16, '\0');
  size_t used = 0;
  char* in = const_cast<char*>(bytes.data());
  size_t inLeft = bytes.size();
  // The second round (no input) writes what a stateful target still owes,
  // such as the shift back to ASCII.
  for (bool flushing = false;;) {
    char* outAt = result.data() + used;
    size_t outLeft = result.size() - used;
    size_t done = flushing ? iconv(converter.Handle(), nullptr, nullptr, &outAt, &outLeft)
                           : iconv(converter.Handle(), &in, &inLeft, &outAt, &outLeft);
    used = static_cast<size_t>(outAt - result.data());
    if (done == static_cast<size_t>(-1)) {
      if (errno != E2BIG) return false;  // EILSEQ or EINVAL: a byte that does not convert
      result.resize(result.size() * 2);
      continue;
    }
    // A positive count is of characters replaced by something else.
    if (done != 0) return false;
    if (flushing) break;
    flushing = true;
  }
  result.resize(used);
  out = std::move(result);
  return true;
}

}  // namespace Vizu2000
