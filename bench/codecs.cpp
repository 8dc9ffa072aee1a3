// Throughput of the transfer codecs at 1 MB and 64 MB; the two sizes show
// whether the cost per byte stays flat. Bytes processed are input bytes.
#include <benchmark/benchmark.h>

#include <malloc.h>

#include <cstring>
#include <map>
#include <random>
#include <string>

#include "mail/mime/codec_paths.h"
#include "mail/mime/codecs.h"

using namespace Vizu2000;

namespace {

constexpr std::int64_t kMB = 1 << 20;

std::string RandomBytes(size_t n) {
  std::mt19937_64 gen(42);
  std::string s(n, '\0');
  for (size_t i = 0; i + 8 <= n; i += 8) {
    std::uint64_t v = gen();
    std::memcpy(&s[i], &v, 8);
  }
  return s;
}

// Mostly-ASCII mail text: words, line breaks, now and then a Latin-1 letter
// or an "=".
std::string MailText(size_t n) {
  std::mt19937 gen(7);
  std::string s;
  s.reserve(n);
  size_t column = 0;
  while (s.size() < n) {
    unsigned r = gen() % 100;
    if (column > 60 && r < 20) {
      s += "\r\n";
      column = 0;
    } else if (r < 15) {
      s += ' ';
      ++column;
    } else if (r < 17) {
      s += static_cast<char>(0xE0 + gen() % 32);
      ++column;
    } else if (r < 18) {
      s += '=';
      ++column;
    } else {
      s += static_cast<char>('a' + gen() % 26);
      ++column;
    }
  }
  s.resize(n);
  return s;
}

// Cached inputs, so repetitions do not regenerate 64 MB.
const std::string& Cached(const std::string& kind, size_t n) {
  static std::map<std::pair<std::string, size_t>, std::string> cache;
  auto key = std::make_pair(kind, n);
  auto it = cache.find(key);
  if (it != cache.end()) return it->second;
  std::string value;
  if (kind == "random") {
    value = RandomBytes(n);
  } else if (kind == "mail") {
    value = MailText(n);
  } else if (kind == "base64") {
    TMemoryStream in(RandomBytes(n / 78 * 57 + 1)), out;
    EncodeBASE64(out, in);
    value = out.Release();
    value.resize(n / 78 * 78);
  } else if (kind == "qp") {
    value = EncodeQuotedPrintable(MailText(n), false);
    value.resize(n);
  } else if (kind == "uu") {
    std::string data = RandomBytes(n / 63 * 45);
    auto ch = [](int v) { return v == 0 ? '`' : static_cast<char>(32 + v); };
    value.reserve(n + 64);
    for (size_t pos = 0; pos + 45 <= data.size(); pos += 45) {
      value += 'M';
      for (size_t g = 0; g < 45; g += 3) {
        auto b0 = static_cast<unsigned char>(data[pos + g]);
        auto b1 = static_cast<unsigned char>(data[pos + g + 1]);
        auto b2 = static_cast<unsigned char>(data[pos + g + 2]);
        value += ch(b0 >> 2);
        value += ch(((b0 & 3) << 4) | (b1 >> 4));
        value += ch(((b1 & 15) << 2) | (b2 >> 6));
        value += ch(b2 & 63);
      }
      value += "\r\n";
    }
  } else if (kind == "words") {
    const std::string word = "=?iso-8859-1?Q?caf=E9_cr=E8me?= ";
    while (value.size() + word.size() <= n) value += word;
  }
  return cache.emplace(key, std::move(value)).first->second;
}

// The machine's own cost of moving the bytes once, for scale: what any
// streaming codec pays more per byte at 64 MB than at 1 MB.
void BM_CopyBaseline(benchmark::State& state) {
  const std::string& data = Cached("random", static_cast<size_t>(state.range(0)));
  std::string out(data.size(), '\0');
  for (auto _ : state) {
    std::memcpy(out.data(), data.data(), data.size());
    benchmark::DoNotOptimize(out.data());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(data.size()));
}

void BM_EncodeBASE64(benchmark::State& state) {
  TMemoryStream in(Cached("random", static_cast<size_t>(state.range(0))));
  TMemoryStream out;
  for (auto _ : state) benchmark::DoNotOptimize(EncodeBASE64(out, in));
  state.SetBytesProcessed(state.iterations() * in.Size());
}

// A base64 body cut into its 76-character lines, each with its CR LF.
void BM_DecodeLineBASE64(benchmark::State& state) {
  const std::string& text = Cached("base64", static_cast<size_t>(state.range(0)));
  std::string out(text.size() / 4 * 3 + 64, '\0');
  for (auto _ : state) {
    char* o = out.data();
    const char* p = text.data();
    const char* end = p + text.size();
    while (p < end) {
      auto* nl = static_cast<const char*>(std::memchr(p, '\n', static_cast<size_t>(end - p)));
      const char* lineEnd = nl ? nl + 1 : end;
      o += DecodeLineBASE64(std::string_view(p, static_cast<size_t>(lineEnd - p)), o);
      p = lineEnd;
    }
    benchmark::DoNotOptimize(o);
  }
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(text.size()));
}

// The same body read as one stream, as a part's Decode reads it.
void BM_DecodeBASE64(benchmark::State& state) {
  const std::string& text = Cached("base64", static_cast<size_t>(state.range(0)));
  std::string out(DecodedBASE64Room(text.size()), '\0');
  for (auto _ : state) benchmark::DoNotOptimize(DecodeBASE64(text, out.data()));
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(text.size()));
}

void BM_DecodeQuotedPrintable(benchmark::State& state) {
  const std::string& text = Cached("qp", static_cast<size_t>(state.range(0)));
  for (auto _ : state) benchmark::DoNotOptimize(DecodeQuotedPrintable(text));
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(text.size()));
}

void BM_EncodeQuotedPrintableBody(benchmark::State& state) {
  const std::string& text = Cached("mail", static_cast<size_t>(state.range(0)));
  for (auto _ : state) benchmark::DoNotOptimize(EncodeQuotedPrintable(text, false));
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(text.size()));
}

void BM_EncodeQuotedPrintableHeader(benchmark::State& state) {
  const std::string& text = Cached("mail", static_cast<size_t>(state.range(0)));
  for (auto _ : state) benchmark::DoNotOptimize(EncodeQuotedPrintable(text, true));
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(text.size()));
}

void BM_DecodeUUCODE(benchmark::State& state) {
  const std::string& text = Cached("uu", static_cast<size_t>(state.range(0)));
  TMemoryStream out;
  for (auto _ : state) benchmark::DoNotOptimize(DecodeUUCODE(text, out));
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(text.size()));
}

// A header text made of nothing but encoded words.
void BM_DecodeLine7Bit(benchmark::State& state) {
  const std::string& text = Cached("words", static_cast<size_t>(state.range(0)));
  for (auto _ : state) benchmark::DoNotOptimize(DecodeLine7Bit(text));
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(text.size()));
}

// The same, held to the scalar path that processors without AVX2 take, or
// to the AVX2 path on a processor that also has the wide one.
template <TCodecPath Path, void (*Bench)(benchmark::State&)>
void OnPath(benchmark::State& state) {
  TCodecPath before = SetCodecPath(Path);
  Bench(state);
  SetCodecPath(before);
}

}  // namespace

#define CODEC_BENCH(fn) BENCHMARK(fn)->Arg(kMB)->Arg(64 * kMB)->Unit(benchmark::kMillisecond)
CODEC_BENCH(BM_CopyBaseline);
CODEC_BENCH(BM_EncodeBASE64);
CODEC_BENCH(BM_DecodeLineBASE64);
CODEC_BENCH(BM_DecodeBASE64);
CODEC_BENCH(BM_DecodeQuotedPrintable);
CODEC_BENCH(BM_EncodeQuotedPrintableBody);
CODEC_BENCH(BM_EncodeQuotedPrintableHeader);
CODEC_BENCH(BM_DecodeUUCODE);
CODEC_BENCH(BM_DecodeLine7Bit);
#define SCALAR_BENCH(fn) CODEC_BENCH((OnPath<TCodecPath::Scalar, fn>))->Name(#fn "_Scalar")
SCALAR_BENCH(BM_EncodeBASE64);
SCALAR_BENCH(BM_DecodeQuotedPrintable);
SCALAR_BENCH(BM_EncodeQuotedPrintableBody);
CODEC_BENCH((OnPath<TCodecPath::Vector, BM_DecodeQuotedPrintable>))
    ->Name("BM_DecodeQuotedPrintable_AVX2");

// glibc hands blocks above 32 MB straight back to the kernel, so every 64 MB
// result would start on fresh pages and pay page faults that a 1 MB result,
// reused from the heap, never sees. Keeping freed memory in the heap gives
// both sizes the same allocator and leaves the codec's own cost per byte.
// --fresh_pages keeps the default behaviour.
int main(int argc, char** argv) {
  bool freshPages = false;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--fresh_pages") == 0) {
      freshPages = true;
      for (int k = i; k + 1 < argc; ++k) argv[k] = argv[k + 1];
      --argc;
      break;
    }
  }
  if (!freshPages) {
    mallopt(M_MMAP_MAX, 0);
    mallopt(M_TRIM_THRESHOLD, 1 << 30);
  }
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
