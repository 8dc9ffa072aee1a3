// Arbitrary bytes as the values of address, subject, date and trace fields:
// every header accessor must return, and none may raise except the index
// error of GetReceived for an index past the hops.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <iterator>
#include <string>
#include <string_view>

#include "mail/message/mail_message.h"
#include "platform/error.h"

using namespace Vizu2000;

namespace {

constexpr const char* kLabels[] = {"To", "Cc", "From", "Received", "Reply-To", "Subject", "Date"};

void Check(bool ok) {
  if (!ok) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view input(reinterpret_cast<const char*>(data), size);
  TVeraDudurur2000 message(nullptr);
  // Each 0x00 0x01 pair starts the next field; the first byte of a chunk
  // picks its label, so one input can hold several fields of any length,
  // Received fields among them.
  size_t start = 0;
  while (start < input.size()) {
    size_t cut = input.find(std::string_view("\x00\x01", 2), start);
    std::string_view chunk = input.substr(start, cut == std::string_view::npos ? cut : cut - start);
    start = cut == std::string_view::npos ? input.size() : cut + 2;
    if (chunk.empty()) continue;
    const char* label = kLabels[static_cast<unsigned char>(chunk[0]) % std::size(kLabels)];
    message.Header().Add(std::string(label) + ":" + std::string(chunk.substr(1)));
  }

  const int count = message.GetReceivedCount();
  Check(count >= 0 && count <= message.Header().Count());
  for (int i = -1; i <= count; ++i) {
    try {
      TReceived hop = message.GetReceived(i);
      Check(i >= 0 && i < count);
      // Words come from the first 9999 characters of the field only.
      Check(hop.From.size() < 10000 && hop.By.size() < 10000 && hop.For.size() < 10000);
    } catch (const EVizuError& e) {
      // Only the index error, and only outside the hops.
      Check(i < 0 || i >= count);
      Check(std::string_view(e.what()).starts_with("List index out of bounds"));
    }
  }
  for (const char* label : {"To", "Cc", "From", "Reply-To"})
    for (int i = 0; i < 3; ++i) {
      message.GetDestName(label, i);
      message.GetDestAddress(label, i);
    }
  message.GetFromName();
  message.GetFromAddress();
  message.GetSubject();
  message.GetDate();
  message.GetDateRaw();
  message.GetMessageId();

  // The setters take the same bytes and never write a line break: the new
  // hop is one line on top, and the hops below keep their numbering.
  std::string text(input.substr(0, 200));
  message.SetFrom(text, text);
  message.SetSubject(text);
  message.AddHop(text, text, text, text);
  Check(message.Header()[0].find_first_of("\r\n") == std::string::npos);
  Check(message.GetReceivedCount() == count + 1);
  message.GetReceived(count);
  return 0;
}
