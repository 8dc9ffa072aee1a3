// Peak resident memory of parsing messages made to cost memory: floods of
// empty parts, header lines and uuencoded blocks, next to an ordinary
// message of the same size. Each input is parsed in a child of this small
// process, so one case's heap cannot hide in another's.
//
//   build/bench/bench_hostile_rss [MB=100]
//
// Per case: the input's size, the child's resident set before it makes the
// input, its peak while it holds the input and parses it, and again once
// every part is decoded, each growth as a multiple of the input (the input
// itself included), and the parts made.
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include "bench/bench_support.h"
#include "mail/message/mail_message.h"
#include "mail/mime/codecs.h"
#include "platform/streams.h"

using namespace Vizu2000;

namespace {

constexpr double kMB = 1024.0 * 1024.0;

std::string Repeat(std::string head, std::string_view unit, size_t size, std::string_view tail) {
  head.reserve(size + tail.size() + unit.size());
  while (head.size() + unit.size() + tail.size() <= size) head.append(unit);
  head.append(tail);
  return head;
}

// An ordinary message: a text and base64 attachments of 1 MB.
std::string Ordinary(size_t size) {
  std::string text = "Subject: ordinary\r\nContent-Type: multipart/mixed; boundary=b\r\n\r\n"
                     "--b\r\nContent-Type: text/plain\r\n\r\nhello\r\n";
  std::string raw(768 * 1024, '\0');
  for (size_t i = 0; i < raw.size(); ++i) raw[i] = static_cast<char>(i * 2654435761u >> 13);
  TMemoryStream in(raw), out;
  EncodeBASE64(out, in);
  for (int n = 0; text.size() + out.Size() < size; ++n)
    text += "--b\r\nContent-Type: application/octet-stream; name=\"f" + std::to_string(n) +
            ".bin\"\r\nContent-Transfer-Encoding: base64\r\n\r\n" + std::string(out.View());
  return text + "--b--\r\n";
}

struct TCase {
  const char* name;
  std::function<std::string(size_t)> make;
};

struct TResult {
  double inputMB = 0;
  double baseMB = 0;
  double peakMB = 0;
  double decodedPeakMB = 0;
  double seconds = 0;
  long parts = 0;
};

long CountParts(const TMailPart& part) {
  long n = 1;
  for (const TMailPart* child : part.SubPartList()) n += CountParts(*child);
  return n;
}

void DecodeAll(TMailPart& part) {
  part.Decode();
  for (TMailPart* child : part.SubPartList()) DecodeAll(*child);
}

TResult RunInChild(const TCase& c, size_t size) {
  int pipeFds[2];
  if (pipe(pipeFds) != 0) std::exit(1);
  pid_t pid = fork();
  if (pid == 0) {
    close(pipeFds[0]);
    TResult r;
    r.baseMB = VizuBench::PeakRss() / kMB;
    TMemoryStream input(c.make(size));
    r.inputMB = input.Size() / kMB;
    VizuBench::ResetPeakRss();
    auto start = std::chrono::steady_clock::now();
    {
      TVeraDudurur2000 message(nullptr);
      message.LoadFromStream(input);
      r.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
      r.parts = CountParts(message);
      r.peakMB = VizuBench::PeakRss() / kMB;
      DecodeAll(message);
      r.decodedPeakMB = VizuBench::PeakRss() / kMB;
    }
    if (write(pipeFds[1], &r, sizeof r) != static_cast<ssize_t>(sizeof r)) _exit(1);
    _exit(0);
  }
  close(pipeFds[1]);
  TResult r;
  bool ok = read(pipeFds[0], &r, sizeof r) == static_cast<ssize_t>(sizeof r);
  close(pipeFds[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  if (!ok || !WIFEXITED(status) || WEXITSTATUS(status) != 0) r.peakMB = -1;
  return r;
}

}  // namespace

int main(int argc, char** argv) {
  size_t size = static_cast<size_t>((argc > 1 ? std::atof(argv[1]) : 100.0) * kMB);
  const std::string multipart = "Content-Type: multipart/mixed; boundary=b\r\n\r\n";
  std::vector<TCase> cases = {
      {"ordinary message (1 MB base64 attachments)", Ordinary},
      {"empty parts (\"--b\", empty line)", [&](size_t n) { return Repeat(multipart, "--b\r\n\r\n", n, "--b--\r\n"); }},
      {"delimiter lines only (\"--b\")", [&](size_t n) { return Repeat(multipart, "--b\r\n", n, "--b--\r\n"); }},
      {"one-field parts", [&](size_t n) { return Repeat(multipart, "--b\r\nA: b\r\n\r\nx\r\n", n, "--b--\r\n"); }},
      {"header lines (\"a\")", [](size_t n) { return Repeat("", "a\r\n", n, "\r\nbody\r\n"); }},
      {"header fields (\"A: b\")", [](size_t n) { return Repeat("", "A: b\r\n", n, "\r\nbody\r\n"); }},
      {"uuencoded blocks", [](size_t n) { return Repeat("Subject: uu\r\n\r\n", "begin 644 a\r\n`\r\nend\r\n", n, ""); }},
  };
  std::printf("Peak resident set while holding and parsing each input (one child each)\n\n");
  std::printf("%-44s %8s %8s %8s %8s %8s %8s\n", "", "size", "base", "parse", "x size", "+decode", "x size");
  std::printf("%-44s %8s %8s %8s %8s %8s %8s %8s %8s\n", "input", "MB", "MB", "peak MB", "growth",
              "peak MB", "growth", "parts", "parse s");
  for (const TCase& c : cases) {
    TResult r = RunInChild(c, size);
    if (r.peakMB < 0) {
      std::printf("%-44s failed\n", c.name);
      continue;
    }
    std::printf("%-44s %8.1f %8.1f %8.1f %8.2f %8.1f %8.2f %8ld %8.2f\n", c.name, r.inputMB, r.baseMB,
                r.peakMB, (r.peakMB - r.baseMB) / r.inputMB, r.decodedPeakMB,
                (r.decodedPeakMB - r.baseMB) / r.inputMB, r.parts, r.seconds);
  }
  return 0;
}
