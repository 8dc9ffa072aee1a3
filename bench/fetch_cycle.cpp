// One poll cycle of the real window fetching N messages of about 20 KB from
// a private local Dovecot into an empty folder, against mpop fetching the
// same mailbox into a Maildir (messages kept on the server). Wall and CPU
// time of each, median of the runs.
//
//   build/bench/bench_fetch_cycle [messages=1000] [runs=3]
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QApplication>
#include <QDir>
#include <QLineEdit>
#include <QCheckBox>
#include <QTemporaryDir>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "app/dialogs.h"
#include "app/directory_edit.h"
#include "app/main_window.h"
#include "app/on_off_switch.h"
#include "app/spin_edit.h"
#include "app/timer_list.h"
#include "support/dovecot_server.h"

namespace {

struct Times {
  double wall = 0;
  double cpu = 0;  // user + system
  double sys = 0;
};

double Seconds(const timeval& t) {
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6;
}

double Now() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

std::string Message(int n) {
  std::string text = "From: sender" + std::to_string(n) + "@example.com\r\n"
                     "To: bench@example.com\r\n"
                     "Subject: bench message " + std::to_string(n) + "\r\n"
                     "Message-ID: <" + std::to_string(n) + "@bench.example.com>\r\n\r\n";
  std::string line;
  for (int i = 0; i < 72; ++i) line += static_cast<char>('a' + (n + i) % 26);
  while (text.size() < 20 * 1024) text += line + "\r\n";
  return text;
}

int CountFiles(const std::string& dir) {
  return static_cast<int>(QDir(QString::fromStdString(dir)).entryList(QDir::Files).size());
}

void Empty(const std::string& dir) {
  QDir(QString::fromStdString(dir)).removeRecursively();
  QDir().mkpath(QString::fromStdString(dir));
}

Times Median(std::vector<Times> runs) {
  std::sort(runs.begin(), runs.end(), [](const Times& a, const Times& b) { return a.wall < b.wall; });
  return runs[runs.size() / 2];
}

class QuietDialogs : public Vizu2000::TDialogPresenter {
 public:
  void MessageDialog(const std::string& text) override { std::fprintf(stderr, "dialog: %s\n", text.c_str()); }
  void ErrorBox(const std::string& text) override { std::fprintf(stderr, "error: %s\n", text.c_str()); }
  std::optional<std::string> BrowseFolder(QWidget*, const std::string&) override { return std::nullopt; }
};

}  // namespace

int main(int argc, char** argv) {
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  const int messages = argc > 1 ? std::max(1, std::atoi(argv[1])) : 1000;
  const int runs = argc > 2 ? std::max(1, std::atoi(argv[2])) : 3;
  QuietDialogs dialogs;
  Vizu2000::SetDialogs(&dialogs);

  QTemporaryDir work;
  const std::string root = work.path().toStdString();
  setenv("QUENWICK_SETTINGS", (root + "/quenwick.ini").c_str(), 1);

  VizuTest::DovecotServer server;
  char name[32];
  for (int n = 1; n <= messages; ++n) {
    std::snprintf(name, sizeof name, "m%06d", n);
    server.addMessage(name, Message(n));
  }
  server.start();

  // Quenwick: one cycle per run, into an empty folder.
  const std::string dest = root + "/eml";
  std::vector<Times> quenwick;
  {
    Vizu2000::TfrmMain w;
    w.show();
    w.ServerName->setText("127.0.0.1");
    w.UserName->setText(QString::fromStdString(server.userName()));
    w.Password->setText(QString::fromStdString(server.password()));
    w.Port->setText(QString::number(server.port()));
    w.DestDir->SetText(dest);
    w.DelOnRet->setChecked(false);
    w.PollSecs->SetValue(3600);
    Empty(dest);
    w.OnOff->SetStateOn(true);
    w.TimerList->SetActive(false);
    for (int r = 0; r < runs; ++r) {
      Empty(dest);
      rusage before{}, after{};
      getrusage(RUSAGE_SELF, &before);
      const double start = Now();
      w.evGetMailTimer(w.evGetMail);
      const double wall = Now() - start;
      getrusage(RUSAGE_SELF, &after);
      if (CountFiles(dest) != messages || w.LogLines().back() != "Disconnecting...") {
        std::fprintf(stderr, "quenwick fetched %d of %d messages\n", CountFiles(dest), messages);
        return 1;
      }
      const double sys = Seconds(after.ru_stime) - Seconds(before.ru_stime);
      quenwick.push_back({wall, Seconds(after.ru_utime) - Seconds(before.ru_utime) + sys, sys});
    }
    w.OnOff->SetStateOn(false);
  }

  // mpop: the same mailbox into a Maildir, kept on the server.
  const std::string maildir = root + "/Maildir";
  const std::string rc = root + "/mpoprc";
  {
    std::ofstream out(rc);
    out << "account bench\nhost 127.0.0.1\nport " << server.port() << "\nuser " << server.userName()
        << "\npassword " << server.password() << "\nauth user\ntls off\ndelivery maildir " << maildir
        << "\nkeep on\nonly_new off\nuidls_file " << root << "/uidls\nreceived_header off\n";
  }
  chmod(rc.c_str(), 0600);
  std::vector<Times> mpop;
  for (int r = 0; r < runs; ++r) {
    Empty(maildir);
    for (const char* sub : {"/cur", "/new", "/tmp"}) QDir().mkpath(QString::fromStdString(maildir + sub));
    const double start = Now();
    const pid_t pid = fork();
    if (pid == 0) {
      execlp("mpop", "mpop", "--quiet", "-C", rc.c_str(), "bench", static_cast<char*>(nullptr));
      _exit(127);
    }
    int status = 0;
    rusage usage{};
    wait4(pid, &status, 0, &usage);
    const double wall = Now() - start;
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0 || CountFiles(maildir + "/new") != messages) {
      std::fprintf(stderr, "mpop failed (status %d, %d files)\n", status, CountFiles(maildir + "/new"));
      return 1;
    }
    mpop.push_back({wall, Seconds(usage.ru_utime) + Seconds(usage.ru_stime), Seconds(usage.ru_stime)});
  }

  const Times q = Median(quenwick);
  const Times m = Median(mpop);
  std::printf("%d messages of about 20 KB from a local Dovecot, median of %d runs\n", messages, runs);
  std::printf("%-10s %10s %10s %10s\n", "", "wall s", "cpu s", "of it sys");
  std::printf("%-10s %10.3f %10.3f %10.3f\n", "quenwick", q.wall, q.cpu, q.sys);
  std::printf("%-10s %10.3f %10.3f %10.3f\n", "mpop", m.wall, m.cpu, m.sys);
  return 0;
}
