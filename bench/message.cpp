// Parsing, rebuilding and decoding a 100 MB multipart message, and the cost
// per part of messages with many small parts.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <string>

#include "mail/message/mail_message.h"
#include "mail/mime/codecs.h"

using namespace Vizu2000;

namespace {

constexpr int kAttachments = 10;
constexpr size_t kAttachmentBytes = 7'500'000;  // about 10 MB once in base64

// A text part and ten base64 attachments, built in place.
const std::string& BigMessage() {
  static const std::string text = [] {
    std::string out;
    out.reserve(kAttachments * (kAttachmentBytes / 57 * 78 + 400) + 4096);
    out +=
        "From: bench@example.org\r\nTo: bob@example.net\r\nSubject: big\r\n"
        "Content-Type: multipart/mixed; boundary=\"=_bench_boundary\"\r\n\r\n"
        "--=_bench_boundary\r\nContent-Type: text/plain\r\n\r\nThe files you asked for.\r\n";
    std::uint32_t seed = 12345;
    for (int a = 0; a < kAttachments; ++a) {
      std::string data(kAttachmentBytes, '\0');
      for (char& c : data) {
        seed = seed * 1664525u + 1013904223u;
        c = static_cast<char>(seed >> 24);
      }
      TMemoryStream input(std::move(data));
      TMemoryStream encoded;
      EncodeBASE64(encoded, input);
      out += "--=_bench_boundary\r\nContent-Type: application/octet-stream; name=\"f" +
             std::to_string(a) + ".bin\"\r\nContent-Transfer-Encoding: base64\r\n\r\n";
      out += encoded.View();
    }
    out += "--=_bench_boundary--\r\n";
    return out;
  }();
  return text;
}

std::string SmallParts(int count) {
  std::string out = "Content-Type: multipart/mixed; boundary=\"sb\"\r\n\r\n";
  for (int i = 0; i < count; ++i)
    out += "--sb\r\nContent-Type: text/plain\r\nContent-Disposition: inline\r\n\r\nPart number " +
           std::to_string(i) + " of the message.\r\n";
  out += "--sb--\r\n";
  return out;
}

void BM_SetSource(benchmark::State& state) {
  const std::string& text = BigMessage();
  TVeraDudurur2000 message(nullptr);
  for (auto _ : state) {
    message.SetSource(text);
    benchmark::DoNotOptimize(message.SubPartList().Count());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(text.size()));
}
BENCHMARK(BM_SetSource)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(3);

void BM_RebuildAndSave(benchmark::State& state) {
  const std::string& text = BigMessage();
  TVeraDudurur2000 message(nullptr);
  TMemoryStream out;
  for (auto _ : state) {
    state.PauseTiming();
    message.SetSource(text);  // sets NeedRebuild again
    out.Clear();
    state.ResumeTiming();
    message.RebuildBody();
    message.SaveToStream(out);
    benchmark::DoNotOptimize(out.Size());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(text.size()));
}
BENCHMARK(BM_RebuildAndSave)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(3);

void BM_DecodeAttachments(benchmark::State& state) {
  TVeraDudurur2000 message(nullptr);
  message.SetSource(BigMessage());
  int64_t encoded = 0;
  for (int i = 1; i < message.SubPartList().Count(); ++i) encoded += message.SubPartList()[i]->Body().Size();
  for (auto _ : state) {
    for (int i = 1; i < message.SubPartList().Count(); ++i) {
      TMailPart* part = message.SubPartList()[i];
      part->SetIsDecoded(false);
      part->Decode();
    }
    benchmark::DoNotOptimize(message.SubPartList()[1]->Decoded().Size());
  }
  if (message.SubPartList()[1]->Decoded().Size() != static_cast<int64_t>(kAttachmentBytes))
    state.SkipWithError("attachment decoded to the wrong size");
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * encoded);
}
BENCHMARK(BM_DecodeAttachments)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(3);

// Items per second is parts per second: equal rates for both sizes mean the
// cost per part does not grow with the number of parts.
void BM_SmallParts(benchmark::State& state) {
  std::string text = SmallParts(static_cast<int>(state.range(0)));
  TVeraDudurur2000 message(nullptr);
  for (auto _ : state) {
    message.SetSource(text);
    message.RebuildBody();
    benchmark::DoNotOptimize(message.Body().Size());
  }
  state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_SmallParts)->Arg(2000)->Arg(20000)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
