// Arbitrary bytes as a message text: parse, classify, decode every part,
// rebuild, write out and parse the result again. Only the library's own
// error (a malformed uuencoded block) may escape.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "mail/message/mail_message.h"
#include "platform/error.h"

using namespace Vizu2000;

namespace {

void DecodeAll(TMailPart& root) {
  std::vector<TMailPart*> stack{&root};
  while (!stack.empty()) {
    TMailPart* part = stack.back();
    stack.pop_back();
    try {
      part->Decode();
      part->GetFileName();
    } catch (const EVizuError&) {
    }
    for (TMailPart* child : part->SubPartList()) stack.push_back(child);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  TVeraDudurur2000 message(nullptr);
  try {
    message.SetSource(text);
  } catch (const EVizuError&) {
    return 0;
  }
  try {
    message.FindParts();
  } catch (const EVizuError&) {
  }
  DecodeAll(message);
  message.RebuildBody();
  std::string source = message.GetSource();
  TMemoryStream stream;
  message.SaveToStream(stream);
  if (stream.Data() != source) __builtin_trap();
  TVeraDudurur2000 again(nullptr);
  try {
    again.SetSource(source);
  } catch (const EVizuError&) {
  }
  message.Reset();
  return 0;
}
