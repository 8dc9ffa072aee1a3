// Peak resident memory of one poll of the real window that fetches a single
// big message (text headers, a multipart body with a few base64
// attachments, CR LF lines) from a private local Dovecot into an empty
// folder; next to it the same window that never fetches, and mpop fetching
// the same message. Every measurement runs in a child of this small
// process, so only what the child itself adds is counted.
//
// Then what the window holds while it waits for its next poll: its resident
// set once idle before the poll and once idle after it (the target is at
// most 1.5 times the first), how much of the second the block cache keeps
// for reuse, and the resident set after TrimMemoryCache(), which the window
// is to call at the end of a poll.
//
//   build/bench/bench_retrieve_rss [MB=50] [runs=3]
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QFileInfo>
#include <QEventLoop>
#include <QLineEdit>
#include <QTimer>
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "app/dialogs.h"
#include "app/directory_edit.h"
#include "app/main_window.h"
#include "app/on_off_switch.h"
#include "app/spin_edit.h"
#include "app/timer_list.h"
#include "bench/bench_support.h"
#include "platform/memory.h"
#include "support/dovecot_server.h"

namespace {

constexpr double kMB = 1024.0 * 1024.0;

double Now() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

// ---- the message -------------------------------------------------------

class Noise {
 public:
  explicit Noise(uint64_t seed) : state_(seed | 1) {}
  uint8_t Next() {
    state_ ^= state_ << 13;
    state_ ^= state_ >> 7;
    state_ ^= state_ << 17;
    return static_cast<uint8_t>(state_ >> 24);
  }

 private:
  uint64_t state_;
};

// Base64 of noise in 76-character lines until `text` has grown by `bytes`.
void AppendBase64(std::string& text, size_t bytes, Noise& noise) {
  static const char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  const size_t end = text.size() + bytes;
  char line[78];
  while (text.size() < end) {
    for (int i = 0; i < 76; i += 4) {
      const uint32_t v = (uint32_t{noise.Next()} << 16) | (uint32_t{noise.Next()} << 8) | noise.Next();
      line[i] = alphabet[v >> 18];
      line[i + 1] = alphabet[(v >> 12) & 63];
      line[i + 2] = alphabet[(v >> 6) & 63];
      line[i + 3] = alphabet[v & 63];
    }
    line[76] = '\r';
    line[77] = '\n';
    text.append(line, sizeof line);
  }
}

std::string BigMessage(size_t size) {
  const std::string mixed = "=_qw_mixed_5f3a9c";
  const std::string alt = "=_qw_alt_81d2";
  std::string m;
  m.reserve(size + 4096);
  m += "Return-Path: <alice@example.org>\r\n"
       "Received: from mail.example.org (mail.example.org [192.0.2.10])\r\n"
       "\tby mx.example.com with ESMTPS id 4F2A1B3C\r\n"
       "\tfor <bob@example.com>; Tue, 4 Jun 2024 10:15:02 +0200\r\n"
       "Received: from [198.51.100.7] (laptop.example.org [198.51.100.7])\r\n"
       "\tby mail.example.org with ESMTPSA id 77E0A\r\n"
       "\tfor <bob@example.com>; Tue, 4 Jun 2024 10:14:59 +0200\r\n"
       "Date: Tue, 4 Jun 2024 10:14:58 +0200\r\n"
       "From: Alice Example <alice@example.org>\r\n"
       "To: Bob Example <bob@example.com>\r\n"
       "Cc: Carol Example <carol@example.net>, Dave <dave@example.net>\r\n"
       "Subject: Quarterly figures, the scans and the photos from the trip\r\n"
       "Message-ID: <20240604101458.4F2A1B3C@example.org>\r\n"
       "MIME-Version: 1.0\r\n"
       "Content-Type: multipart/mixed;\r\n\tboundary=\"" + mixed + "\"\r\n"
       "\r\n"
       "This is a multi-part message in MIME format.\r\n"
       "\r\n--" + mixed + "\r\n"
       "Content-Type: multipart/alternative; boundary=\"" + alt + "\"\r\n"
       "\r\n--" + alt + "\r\n"
       "Content-Type: text/plain; charset=utf-8\r\n"
       "Content-Transfer-Encoding: quoted-printable\r\n\r\n";
  for (int i = 0; i < 40; ++i)
    m += "Hi Bob, here are the figures for the quarter and the pictures from the=\r\n"
         " trip. The archive holds the raw data; the report sums it up.\r\n";
  m += "\r\n--" + alt + "\r\n"
       "Content-Type: text/html; charset=utf-8\r\n"
       "Content-Transfer-Encoding: quoted-printable\r\n\r\n"
       "<html><body>\r\n";
  for (int i = 0; i < 40; ++i)
    m += "<p>Hi Bob, here are the figures for the quarter and the pictures from =\r\n"
         "the trip. The archive holds the raw data; the report sums it up.</p>\r\n";
  m += "</body></html>\r\n"
       "\r\n--" + alt + "--\r\n";

  struct Attachment {
    const char* type;
    const char* name;
    int share;  // percent of what is left for the attachments
  };
  const Attachment attachments[] = {{"application/pdf", "report.pdf", 10},
                                    {"image/jpeg", "IMG_2041.jpg", 25},
                                    {"image/jpeg", "IMG_2042.jpg", 25},
                                    {"application/zip", "raw-data.zip", 40}};
  const size_t head = m.size() + 4 * 200 + mixed.size() + 8;
  const size_t room = size > head ? size - head : 0;
  Noise noise(size);
  for (const Attachment& a : attachments) {
    m += "\r\n--" + mixed + "\r\n"
         "Content-Type: " + std::string(a.type) + "; name=\"" + a.name + "\"\r\n"
         "Content-Disposition: attachment; filename=\"" + a.name + "\"\r\n"
         "Content-Transfer-Encoding: base64\r\n\r\n";
    AppendBase64(m, room * static_cast<size_t>(a.share) / 100, noise);
  }
  m += "\r\n--" + mixed + "--\r\n";
  return m;
}

// ---- measuring ----------------------------------------------------------

// The peak resident set of the calling process, in KB.
long PeakKb() { return static_cast<long>(VizuBench::PeakRss() / 1024); }

// The resident set of the calling process now, in KB.
long ResidentKb() { return VizuBench::ProcStatusKb("VmRSS:"); }

// Runs the window's event loop for a while, as it runs between polls.
void Idle() {
  QEventLoop loop;
  QTimer::singleShot(500, &loop, &QEventLoop::quit);
  loop.exec();
  QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
}

struct Sample {
  long peakKb = 0;   // VmHWM read by the child at its end (or ru_maxrss for mpop)
  long maxrssKb = 0; // ru_maxrss the parent got from wait4
  long idleBeforeKb = 0;  // VmRSS of the idle window before its poll
  long idleAfterKb = 0;   // and once idle after it
  long cachedKb = 0;      // what the block cache keeps then
  long trimmedKb = 0;     // VmRSS after TrimMemoryCache()
  double wall = 0;   // of the fetch alone
  long long stored = 0;
  bool ok = false;
};

class QuietDialogs : public Vizu2000::TDialogPresenter {
 public:
  void MessageDialog(const std::string& text) override { std::fprintf(stderr, "dialog: %s\n", text.c_str()); }
  void ErrorBox(const std::string& text) override { std::fprintf(stderr, "error: %s\n", text.c_str()); }
  std::optional<std::string> BrowseFolder(QWidget*, const std::string&) override { return std::nullopt; }
};

// In the child: the window set up and switched on as a user would leave it,
// then one poll when `fetch`. Reports through `out` and never returns.
[[noreturn]] void WindowChild(const VizuTest::DovecotServer& server, const std::string& dest, bool fetch,
                              int out) {
  int argc = 1;
  char name[] = "bench_retrieve_rss";
  char* argv[] = {name, nullptr};
  QApplication app(argc, argv);
  QuietDialogs dialogs;
  Vizu2000::SetDialogs(&dialogs);
  Sample s;
  {
    Vizu2000::TfrmMain w;
    w.show();
    w.ServerName->setText("127.0.0.1");
    w.UserName->setText(QString::fromStdString(server.userName()));
    w.Password->setText(QString::fromStdString(server.password()));
    w.Security->setCurrentText("None");  // plain, as mpop is run
    w.Port->setText(QString::number(server.port()));
    w.DestDir->SetText(dest);
    w.DelOnRet->setChecked(false);
    w.PollSecs->SetValue(3600);
    w.OnOff->SetStateOn(true);
    w.TimerList->SetActive(false);
    QApplication::processEvents();
    if (fetch) {
      Idle();
      s.idleBeforeKb = ResidentKb();
      const double start = Now();
      w.evGetMailTimer(w.evGetMail);
      s.wall = Now() - start;
      Idle();
      s.idleAfterKb = ResidentKb();
      s.cachedKb = static_cast<long>(Vizu2000::MemoryCacheBytes() / 1024);
      Vizu2000::TrimMemoryCache();
      s.trimmedKb = ResidentKb();
    }
    QApplication::processEvents();
    const QStringList files = QDir(QString::fromStdString(dest)).entryList(QDir::Files);
    s.ok = files.size() == (fetch ? 1 : 0);
    if (fetch && s.ok) s.stored = QFileInfo(QDir(QString::fromStdString(dest)), files.front()).size();
    s.peakKb = PeakKb();
  }
  if (write(out, &s, sizeof s) != static_cast<ssize_t>(sizeof s)) _exit(1);
  _exit(0);
}

Sample RunWindow(const VizuTest::DovecotServer& server, const std::string& dest, bool fetch) {
  std::filesystem::remove_all(dest);
  std::filesystem::create_directories(dest);
  ::sync();
  int pipefd[2];
  if (pipe(pipefd) != 0) return {};
  const pid_t pid = fork();
  if (pid == 0) {
    close(pipefd[0]);
    WindowChild(server, dest, fetch, pipefd[1]);
  }
  close(pipefd[1]);
  Sample s;
  if (read(pipefd[0], &s, sizeof s) != static_cast<ssize_t>(sizeof s)) s.ok = false;
  close(pipefd[0]);
  int status = 0;
  rusage usage{};
  wait4(pid, &status, 0, &usage);
  s.maxrssKb = usage.ru_maxrss;
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) s.ok = false;
  return s;
}

// A program run the way mpop is run: its ru_maxrss, which also counts the
// few pages the fork carried over from this process before the exec.
Sample RunProgram(const std::vector<std::string>& args, const std::string& maildir, long long expected) {
  if (!maildir.empty()) {
    std::filesystem::remove_all(maildir);
    for (const char* sub : {"/cur", "/new", "/tmp"}) std::filesystem::create_directories(maildir + sub);
  }
  ::sync();
  std::vector<char*> argv;
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  const double start = Now();
  const pid_t pid = fork();
  if (pid == 0) {
    execvp(argv[0], argv.data());
    _exit(127);
  }
  int status = 0;
  rusage usage{};
  wait4(pid, &status, 0, &usage);
  Sample s;
  s.wall = Now() - start;
  s.peakKb = s.maxrssKb = usage.ru_maxrss;
  s.ok = WIFEXITED(status) && WEXITSTATUS(status) == 0;
  if (!maildir.empty()) {
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(maildir + "/new", ec)) {
      s.stored = static_cast<long long>(entry.file_size());
    }
    // mpop stores LF line ends: a little under the served size.
    s.ok = s.ok && s.stored >= expected * 9 / 10;
  }
  return s;
}

long MedianKb(const std::vector<Sample>& samples, long Sample::*field = &Sample::peakKb) {
  std::vector<long> values;
  for (const Sample& s : samples) values.push_back(s.*field);
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

double MedianWall(std::vector<Sample> samples) {
  std::sort(samples.begin(), samples.end(), [](const Sample& a, const Sample& b) { return a.wall < b.wall; });
  return samples[samples.size() / 2].wall;
}

}  // namespace

int main(int argc, char** argv) {
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  const double mb = argc > 1 ? std::max(0.01, std::atof(argv[1])) : 50;
  const int runs = argc > 2 ? std::max(1, std::atoi(argv[2])) : 3;
  const size_t size = static_cast<size_t>(mb * kMB);

  char templ[] = "/tmp/quenwick-rss-XXXXXX";
  if (!mkdtemp(templ)) return 1;
  const std::string root = templ;
  setenv("QUENWICK_SETTINGS", (root + "/quenwick.ini").c_str(), 1);
  const std::string dest = root + "/eml";

  VizuTest::DovecotServer server;
  // Built in a child of its own, so the message's pages are never part of
  // this process and never carried into the measured children.
  const pid_t maker = fork();
  if (maker == 0) {
    server.addMessage("big-message", BigMessage(size));
    _exit(0);
  }
  int status = 0;
  waitpid(maker, &status, 0);
  struct stat info{};
  const std::string dropped = server.folder() + "/Maildir/new/big-message";
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0 || stat(dropped.c_str(), &info) != 0) {
    std::fprintf(stderr, "cannot create the message\n");
    std::filesystem::remove_all(root);
    return 1;
  }
  const double messageMb = static_cast<double>(info.st_size) / kMB;
  server.start();

  const std::string rc = root + "/mpoprc";
  {
    std::ofstream out(rc);
    out << "account bench\nhost 127.0.0.1\nport " << server.port() << "\nuser " << server.userName()
        << "\npassword " << server.password() << "\nauth user\ntls off\ndelivery maildir " << root
        << "/Maildir\nkeep on\nonly_new off\nuidls_file " << root << "/uidls\nreceived_header off\n";
  }
  chmod(rc.c_str(), 0600);

  std::vector<Sample> baseline, fetch, mpop, floor;
  for (int r = 0; r < runs; ++r) {
    Sample b = RunWindow(server, dest, false);
    Sample f = RunWindow(server, dest, true);
    std::filesystem::remove(root + "/uidls");
    Sample m = RunProgram({"mpop", "--quiet", "-C", rc, "bench"}, root + "/Maildir",
                          static_cast<long long>(info.st_size));
    Sample t = RunProgram({"true"}, "", 0);
    if (!b.ok || !f.ok || !m.ok || !t.ok) {
      std::fprintf(stderr, "run %d failed (baseline %d, fetch %d stored %lld bytes, mpop %d, true %d)\n", r + 1,
                   b.ok, f.ok, f.stored, m.ok, t.ok);
      std::filesystem::remove_all(root);
      return 1;
    }
    std::fprintf(stderr,
                 "run %d: baseline %.1f MB, fetch %.1f MB (ru_maxrss %.1f MB, %.2f s, stored %.1f MB), "
                 "mpop %.1f MB (%.2f s); idle %.1f MB before the poll, %.1f MB after (%.1f MB cached), "
                 "%.1f MB trimmed\n",
                 r + 1, b.peakKb / 1024.0, f.peakKb / 1024.0, f.maxrssKb / 1024.0, f.wall, f.stored / kMB,
                 m.peakKb / 1024.0, m.wall, f.idleBeforeKb / 1024.0, f.idleAfterKb / 1024.0, f.cachedKb / 1024.0,
                 f.trimmedKb / 1024.0);
    baseline.push_back(b);
    fetch.push_back(f);
    mpop.push_back(m);
    floor.push_back(t);
  }
  std::filesystem::remove_all(root);

  const double base = MedianKb(baseline) / 1024.0;
  const double peak = MedianKb(fetch) / 1024.0;
  const double mpopPeak = MedianKb(mpop) / 1024.0;
  const double execFloor = MedianKb(floor) / 1024.0;
  std::printf("\nOne message of %.1f MB (MB = 2^20 bytes) from a local Dovecot, peak RSS, median of %d runs\n",
              messageMb, runs);
  std::printf("%-44s %10s %12s\n", "", "MB", "x message");
  std::printf("%-44s %10.1f %12.2f\n", "quenwick window, no poll (baseline)", base, base / messageMb);
  std::printf("%-44s %10.1f %12.2f\n", "quenwick window, one poll fetching it", peak, peak / messageMb);
  std::printf("%-44s %10.1f %12.2f\n", "  the fetch itself (peak - baseline)", peak - base,
              (peak - base) / messageMb);
  std::printf("%-44s %10.1f %12.2f\n", "mpop, same message", mpopPeak, mpopPeak / messageMb);
  std::printf("%-44s %10.1f\n", "  (true, run as mpop is: the exec floor)", execFloor);
  std::printf("wall of the fetch: quenwick %.2f s, mpop %.2f s (with its start)\n", MedianWall(fetch),
              MedianWall(mpop));

  const double before = MedianKb(fetch, &Sample::idleBeforeKb) / 1024.0;
  const double after = MedianKb(fetch, &Sample::idleAfterKb) / 1024.0;
  const double cached = MedianKb(fetch, &Sample::cachedKb) / 1024.0;
  const double trimmed = MedianKb(fetch, &Sample::trimmedKb) / 1024.0;
  std::printf("\nResident set of the idle window around that poll, median of %d runs\n", runs);
  std::printf("%-44s %10s %12s\n", "", "MB", "x before");
  std::printf("%-44s %10.1f %12.2f\n", "idle, before the poll", before, 1.0);
  std::printf("%-44s %10.1f %12.2f   (target <= 1.50: %s)\n", "idle, after the poll", after, after / before,
              after <= 1.5 * before ? "met" : "missed");
  std::printf("%-44s %10.1f\n", "  of it kept by the block cache", cached);
  std::printf("%-44s %10.1f %12.2f\n", "  after TrimMemoryCache()", trimmed, trimmed / before);
  return 0;
}
