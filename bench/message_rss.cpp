// Peak resident memory of what a mail program does with one large message:
// parse it, parse it and decode every part, or parse it and save a rebuilt
// copy into memory. The text arrives in two ways: LoadFromFile, which hands
// the bytes read to the message without a copy (the fetcher's way), and
// SetSource while the caller keeps its own copy of the text, which the
// message must then copy. Each case runs in a child of this small process.
//
//   build/bench/bench_message_rss [FILE]
//
// Without a file, a message of about 100 MB is made: a quoted-printable text
// and ten base64 attachments of random bytes. Per case: the peak resident
// set above the child's before the text was read, in MB and as a multiple
// of the text's size (the text itself counts).
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>

#include "bench/bench_support.h"
#include "mail/message/mail_message.h"
#include "mail/mime/codecs.h"
#include "platform/streams.h"

using namespace Vizu2000;

namespace {

constexpr double kMB = 1e6;

std::string MakeMessage() {
  std::mt19937 gen(2045);
  std::string text;
  for (int i = 0; text.size() < 1'000'000; ++i) text += "Line " + std::to_string(i) + " of the text, caf\xc3\xa9 = done.\r\n";
  std::string message =
      "From: a@example.org\r\nTo: b@example.org\r\nSubject: big\r\nMIME-Version: 1.0\r\n"
      "Content-Type: multipart/mixed; boundary=\"b\"\r\n\r\n--b\r\n"
      "Content-Type: text/plain; charset=utf-8\r\nContent-Transfer-Encoding: quoted-printable\r\n\r\n" +
      EncodeQuotedPrintable(text, false) + "\r\n";
  std::string raw(7'230'684, '\0');
  for (int n = 0; n < 10; ++n) {
    for (char& c : raw) c = static_cast<char>(gen());
    TMemoryStream in(raw), out;
    EncodeBASE64(out, in);
    message += "--b\r\nContent-Type: application/octet-stream; name=\"f" + std::to_string(n) +
               ".bin\"\r\nContent-Transfer-Encoding: base64\r\n\r\n" + std::string(out.View()) + "\r\n";
  }
  return message + "--b--\r\n";
}

void DecodeAll(TMailPart& part) {
  if (part.SubPartList().Empty()) part.Decode();
  for (TMailPart* child : part.SubPartList()) DecodeAll(*child);
}

enum TWay { wyLoadFile, wySetSource };
enum TStep { stParse, stDecode, stWrite };

// Peak growth in bytes, or -1 when the child failed.
double RunInChild(const std::string& file, TWay way, TStep step) {
  int fds[2];
  if (pipe(fds) != 0) std::exit(1);
  pid_t pid = fork();
  if (pid == 0) {
    close(fds[0]);
    VizuBench::ResetPeakRss();
    double base = VizuBench::PeakRss();
    {
      TVeraDudurur2000 message(nullptr);
      std::string callers;
      if (way == wyLoadFile) {
        message.LoadFromFile(file);
      } else {
        callers = ReadWholeFile(file);
        message.SetSource(callers);
      }
      TMemoryStream saved;
      if (step == stDecode) DecodeAll(message);
      if (step == stWrite) {
        message.RebuildBody();
        message.SaveToStream(saved);
      }
    }
    double growth = VizuBench::PeakRss() - base;
    if (write(fds[1], &growth, sizeof growth) != static_cast<ssize_t>(sizeof growth)) _exit(1);
    _exit(0);
  }
  close(fds[1]);
  double growth = -1;
  bool ok = read(fds[0], &growth, sizeof growth) == static_cast<ssize_t>(sizeof growth);
  close(fds[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  return ok && WIFEXITED(status) && WEXITSTATUS(status) == 0 ? growth : -1;
}

}  // namespace

int main(int argc, char** argv) {
  std::string file;
  bool made = argc < 2;
  if (made) {
    char name[] = "/tmp/bench_message_rss_XXXXXX";
    int fd = mkstemp(name);
    if (fd < 0) return 1;
    close(fd);
    file = name;
    TMemoryStream text(MakeMessage());
    TFileStream out(file, fmCreate);
    out.CopyFrom(text, 0);
  } else {
    file = argv[1];
  }
  const double size = static_cast<double>(ReadWholeFile(file).size());
  std::printf("Peak resident set above the child's start, one child per case; text %.1f MB\n\n", size / kMB);
  std::printf("%-62s %10s %8s\n", "case", "peak MB", "x text");
  const char* ways[] = {"LoadFromFile", "SetSource, caller keeps its copy"};
  const char* steps[] = {"parse", "parse + decode every part", "parse + rebuild + save to memory"};
  for (TWay way : {wyLoadFile, wySetSource}) {
    for (TStep step : {stParse, stDecode, stWrite}) {
      double growth = RunInChild(file, way, step);
      std::string name = std::string(ways[way]) + ": " + steps[step];
      if (growth < 0)
        std::printf("%-62s %10s\n", name.c_str(), "failed");
      else
        std::printf("%-62s %10.1f %8.2f\n", name.c_str(), growth / kMB, growth / size);
    }
  }
  if (made) std::remove(file.c_str());
  return 0;
}
