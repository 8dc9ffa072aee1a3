// One poll cycle of the real window against mpop, both fetching the same
// mailbox of a private local Dovecot into an empty folder:
//
//   1000x20K-keep     1000 messages of 20 KB, left on the server
//   1000x20K-delete   the same, deleted by the fetch
//   10000x2K-keep     10,000 messages of 2 KB, left on the server
//   10000x2K-delete   the same, deleted by the fetch
//   1000x20K-keep-tls 1000 messages of 20 KB, left on the server, over TLS
//                     from the first byte (port 995's way), the server's
//                     certificate trusted by its PEM file in both tools
//
// After its first poll of 10000x2K-keep, each tool polls twice more with
// its own record of what it has fetched (Quenwick's list of stored ids,
// mpop's UIDLs file): a steady poll that finds nothing new ("steady", where
// Dovecot's log must show no RETR), and one that finds a single new message
// ("one-new"). Quenwick also polls once more into an empty folder with
// FetchOnlyNew=false ("list off"): the first poll as it was before the list.
//
// Wall, CPU and system time of each tool, medians of the runs; the runs of
// the two tools alternate, so a machine that slows down hurts both alike.
//
//   build/bench/bench_fetch_cycle [runs=3] [case filter, e.g. 2K, delete or tls]
#include <arpa/inet.h>
#include <fcntl.h>
#include <linux/fs.h>
#include <netinet/in.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QLineEdit>
#include <QTemporaryDir>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "app/dialogs.h"
#include "app/directory_edit.h"
#include "app/main_window.h"
#include "app/on_off_switch.h"
#include "app/spin_edit.h"
#include "app/timer_list.h"
#include "support/dovecot_server.h"
#include "support/test_certificate.h"

namespace {

struct Times {
  double wall = 0;
  double cpu = 0;  // user + system
  double sys = 0;
};

struct Case {
  std::string name;
  int messages;
  int size;
  bool del;
  bool tls;
  std::vector<Times> quenwick;
  std::vector<Times> mpop;
  bool followUps = false;  // the steady and one-new polls, and the list-off first poll
  std::vector<Times> quenwickSteady = {}, mpopSteady = {}, quenwickOneNew = {}, mpopOneNew = {}, quenwickListOff = {};
};

double Seconds(const timeval& t) {
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6;
}

double Now() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

std::string Message(int n, int size) {
  std::string text = "From: sender" + std::to_string(n) + "@example.com\r\n"
                     "To: bench@example.com\r\n"
                     "Subject: bench message " + std::to_string(n) + "\r\n"
                     "Message-ID: <" + std::to_string(n) + "@bench.example.com>\r\n\r\n";
  std::string line;
  for (int i = 0; i < 72; ++i) line += static_cast<char>('a' + (n + i) % 26);
  while (text.size() < static_cast<size_t>(size)) text += line + "\r\n";
  return text;
}

int CountFiles(const std::string& dir) {
  return static_cast<int>(QDir(QString::fromStdString(dir)).entryList(QDir::Files).size());
}

// Every run gets a folder of its own, and nothing is deleted before the
// end: on ext4 without a journal, as here, a file created within a minute
// of many deletions in its block group has to scan past every inode freed
// there, which would charge one run for the clean-up of another (or for
// another program's churn, or for the end of the previous benchmark).
// Marked as a top of a directory tree, the root has the file system spread
// its folders over block groups of their own.
void SpreadFolders(const std::string& root) {
  const int fd = open(root.c_str(), O_RDONLY | O_DIRECTORY);
  if (fd < 0) return;
  int flags = 0;
  if (ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0) {
    flags |= FS_TOPDIR_FL;
    ioctl(fd, FS_IOC_SETFLAGS, &flags);
  }
  close(fd);
}

std::string NewFolder(const std::string& root, const std::string& label) {
  static int serial = 0;
  const std::string dir = root + "/" + label + "-" + std::to_string(++serial);
  QDir().mkpath(QString::fromStdString(dir));
  return dir;
}

double Median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  const size_t n = values.size();
  return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

Times Median(const std::vector<Times>& runs) {
  std::vector<double> wall, cpu, sys;
  for (const Times& t : runs) {
    wall.push_back(t.wall);
    cpu.push_back(t.cpu);
    sys.push_back(t.sys);
  }
  return {Median(wall), Median(cpu), Median(sys)};
}

class QuietDialogs : public Vizu2000::TDialogPresenter {
 public:
  void MessageDialog(const std::string& text) override { std::fprintf(stderr, "dialog: %s\n", text.c_str()); }
  void ErrorBox(const std::string& text) override { std::fprintf(stderr, "error: %s\n", text.c_str()); }
  std::optional<std::string> BrowseFolder(QWidget*, const std::string&) override { return std::nullopt; }
};

// A bare blocking POP3 session of our own, outside the timed runs: it walks
// the server through every message once, so both tools meet a mailbox that
// is already indexed, sized, marked seen and in the page cache, whoever
// comes first. It also empties the mailbox between the cases.
class RawSession {
 public:
  explicit RawSession(const VizuTest::DovecotServer& server) {
    fd_ = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(static_cast<uint16_t>(server.port()));
    if (fd_ < 0 || connect(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0)
      throw std::runtime_error("warm-up: cannot connect");
    Expect(Line());
    Command("USER " + server.userName());
    Command("PASS " + server.password());
  }
  ~RawSession() { ::close(fd_); }

  int Count() {
    const std::string reply = Command("STAT");
    return std::atoi(reply.c_str() + 4);
  }
  void Retrieve(int n) {
    Command("RETR " + std::to_string(n));
    SkipData();
  }
  void ListIds() {
    Command("UIDL");
    SkipData();
  }
  void Delete(int n) { Command("DELE " + std::to_string(n)); }
  void Quit() { Command("QUIT"); }

 private:
  std::string Command(const std::string& command) {
    const std::string line = command + "\r\n";
    if (send(fd_, line.data(), line.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(line.size()))
      throw std::runtime_error("warm-up: cannot send " + command);
    std::string reply = Line();
    Expect(reply);
    return reply;
  }
  static void Expect(const std::string& reply) {
    if (reply.rfind("+OK", 0) != 0) throw std::runtime_error("warm-up: server said " + reply);
  }
  void SkipData() {
    while (Line() != ".") {
    }
  }
  std::string Line() {
    for (;;) {
      const size_t end = buffer_.find("\r\n", start_);
      if (end != std::string::npos) {
        std::string line = buffer_.substr(start_, end - start_);
        start_ = end + 2;
        return line;
      }
      buffer_.erase(0, start_);
      start_ = 0;
      char chunk[65536];
      const ssize_t got = recv(fd_, chunk, sizeof chunk, 0);
      if (got <= 0) throw std::runtime_error("warm-up: the server hung up");
      buffer_.append(chunk, static_cast<size_t>(got));
    }
  }

  int fd_ = -1;
  std::string buffer_;
  size_t start_ = 0;
};

// Keeps one server's mailbox filled with the messages of one case.
class Mailbox {
 public:
  explicit Mailbox(VizuTest::DovecotServer& server) : server_(server) {}

  // Filled with `messages` of `size` bytes and warmed up, unless it holds
  // them already.
  void Fill(int messages, int size) {
    if (messages_ == messages && size_ == size && server_.messageCount() == messages) return;
    const double start = Now();
    Clear();
    // Fresh names at every fill, so no file name ever comes back under an
    // id the server has already seen.
    ++fill_;
    char name[48];
    for (int n = 1; n <= messages; ++n) {
      std::snprintf(name, sizeof name, "f%04d-m%06d", fill_, n);
      server_.addMessage(name, Message(n, size));
    }
    RawSession session(server_);
    const int count = session.Count();
    if (count != messages) throw std::runtime_error("fill: server lists " + std::to_string(count));
    session.ListIds();
    for (int n = 1; n <= count; ++n) session.Retrieve(n);
    session.Quit();
    messages_ = messages;
    size_ = size;
    std::fprintf(stderr, "filled and warmed up %d messages in %.1f s\n", messages, Now() - start);
  }

  // One more message, named to be served last; not warmed up, for either tool.
  void AddOne(int size) {
    char name[48];
    std::snprintf(name, sizeof name, "f%04d-n%06d", fill_, ++added_);
    server_.addMessage(name, Message(messages_ + added_, size));
  }
  // Deletes the message AddOne added, so the mailbox is the filled one again.
  void RemoveLast() {
    {
      RawSession session(server_);
      session.Delete(session.Count());
      session.Quit();
    }
    for (int i = 0; i < 200 && server_.messageCount() != messages_; ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    if (server_.messageCount() != messages_) throw std::runtime_error("the added message stayed on the server");
  }

  // Whether the server has let go of every message, waiting a little for
  // the files to disappear.
  bool Drained() {
    messages_ = 0;
    for (int i = 0; i < 200; ++i) {
      if (server_.messageCount() == 0) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return false;
  }

 private:
  void Clear() {
    if (server_.messageCount() == 0) return;
    RawSession session(server_);
    const int count = session.Count();
    for (int n = 1; n <= count; ++n) session.Delete(n);
    session.Quit();
    if (!Drained()) throw std::runtime_error("fill: the server kept old messages");
  }

  VizuTest::DovecotServer& server_;
  int messages_ = 0;
  int size_ = 0;
  int fill_ = 0;
  int added_ = 0;
};

// The sessions the server has logged as ended ("... retr=0/0, del=0/10000,
// ..."), once no more come in: a session's line follows its QUIT a little.
size_t Sessions(const VizuTest::DovecotServer& server) {
  size_t count = server.logLines("retr=", 0).size(), previous;
  do {
    previous = count;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    count = server.logLines("retr=", 0).size();
  } while (count != previous);
  return count;
}
// The line of the session that ended last, once there are more than
// `before`.
std::string LastSession(const VizuTest::DovecotServer& server, size_t before) {
  const std::vector<std::string> lines = server.logLines("retr=", before + 1);
  return lines.size() > before ? lines.back() : "";
}

// What an earlier run or fill left for writeback (the server's index and
// flag changes, the files' directories) must not be written back during the
// next run and be charged to it.
void Settle() { ::sync(); }

class QuenwickRunner {
 public:
  // settings: the window's settings file, already written.
  QuenwickRunner(const VizuTest::DovecotServer& server, const std::string& settings) : server_(server) {
    // The window takes its settings file, and the state folder beside it,
    // when it is made.
    const char* was = std::getenv("QUENWICK_SETTINGS");
    const std::string saved = was ? was : "";
    setenv("QUENWICK_SETTINGS", settings.c_str(), 1);
    w_ = std::make_unique<Vizu2000::TfrmMain>();
    if (was)
      setenv("QUENWICK_SETTINGS", saved.c_str(), 1);
    else
      unsetenv("QUENWICK_SETTINGS");
    stateFolder_ = settings + ".state";
    w_->show();
    w_->ServerName->setText("127.0.0.1");
    w_->UserName->setText(QString::fromStdString(server.userName()));
    w_->Password->setText(QString::fromStdString(server.password()));
    w_->PollSecs->SetValue(3600);
  }
  ~QuenwickRunner() { w_->OnOff->SetStateOn(false); }

  // One first poll into the empty folder `dest`, with no list of stored
  // ids; false (with a message) when it did not store every message.
  bool Run(const std::string& dest, int messages, bool del, bool tls, Times& times) {
    std::filesystem::remove_all(stateFolder_);
    return Poll(dest, messages, del, tls, times);
  }

  // One more poll into `dest`, with the list the earlier ones left; false
  // when the folder then does not hold `messages` files.
  bool Poll(const std::string& dest, int messages, bool del, bool tls, Times& times) {
    // The window takes its settings at switch-on, as after a user's edit.
    w_->OnOff->SetStateOn(false);
    w_->Security->setCurrentText(tls ? "TLS" : "None");
    w_->Port->setText(QString::number(tls ? server_.tlsPort() : server_.port()));
    w_->DestDir->SetText(dest);
    w_->DelOnRet->setChecked(del);
    w_->OnOff->SetStateOn(true);
    if (!w_->OnOff->StateOn()) return false;
    // The benchmark calls the poll itself; the timer stays out of it.
    w_->TimerList->SetActive(false);
    Settle();
    rusage before{}, after{};
    getrusage(RUSAGE_SELF, &before);
    const double start = Now();
    w_->evGetMailTimer(w_->evGetMail);
    times.wall = Now() - start;
    getrusage(RUSAGE_SELF, &after);
    times.sys = Seconds(after.ru_stime) - Seconds(before.ru_stime);
    times.cpu = Seconds(after.ru_utime) - Seconds(before.ru_utime) + times.sys;
    const int stored = CountFiles(dest);
    if (stored != messages) {
      std::fprintf(stderr, "quenwick stored %d of %d messages\n", stored, messages);
      return false;
    }
    return true;
  }

 private:
  const VizuTest::DovecotServer& server_;
  std::unique_ptr<Vizu2000::TfrmMain> w_;
  std::string stateFolder_;
};

class MpopRunner {
 public:
  MpopRunner(const VizuTest::DovecotServer& server, const std::string& root, std::string trustFile)
      : server_(server), rc_(root + "/mpoprc"), uidls_(root + "/uidls"), trustFile_(std::move(trustFile)) {}

  // One fetch into the Maildir `maildir`, from a fresh state.
  bool Run(const std::string& maildir, int messages, bool del, bool tls, Times& times) {
    std::remove(uidls_.c_str());
    return Poll(maildir, messages, del, tls, false, times);
  }

  // One fetch with the UIDLs file as the earlier ones left it; onlyNew: of
  // the messages it does not name. False unless the Maildir then holds
  // `messages` files.
  bool Poll(const std::string& maildir, int messages, bool del, bool tls, bool onlyNew, Times& times) {
    for (const char* sub : {"/cur", "/new", "/tmp"}) QDir().mkpath(QString::fromStdString(maildir + sub));
    std::ofstream out(rc_);
    out << "account bench\nhost 127.0.0.1\nport " << (tls ? server_.tlsPort() : server_.port()) << "\nuser "
        << server_.userName() << "\npassword " << server_.password() << "\nauth user\n"
        << (tls ? "tls on\ntls_starttls off\ntls_trust_file " + trustFile_ : std::string("tls off"))
        << "\ndelivery maildir " << maildir
        << "\nkeep " << (del ? "off" : "on") << "\nonly_new " << (onlyNew ? "on" : "off") << "\nuidls_file " << uidls_
        << "\nreceived_header off\n";
    out.close();
    chmod(rc_.c_str(), 0600);
    Settle();
    const double start = Now();
    const pid_t pid = fork();
    if (pid == 0) {
      execlp("mpop", "mpop", "--quiet", "-C", rc_.c_str(), "bench", static_cast<char*>(nullptr));
      _exit(127);
    }
    int status = 0;
    rusage usage{};
    wait4(pid, &status, 0, &usage);
    times.wall = Now() - start;
    times.sys = Seconds(usage.ru_stime);
    times.cpu = Seconds(usage.ru_utime) + times.sys;
    const int stored = CountFiles(maildir + "/new");
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0 || stored != messages) {
      std::fprintf(stderr, "mpop failed (status %d, stored %d of %d)\n", status, stored, messages);
      return false;
    }
    return true;
  }

 private:
  const VizuTest::DovecotServer& server_;
  std::string rc_;
  std::string uidls_;
  std::string trustFile_;
};

}  // namespace

int main(int argc, char** argv) {
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  const int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 3;
  const std::string filter = argc > 2 ? argv[2] : "";
  QuietDialogs dialogs;
  Vizu2000::SetDialogs(&dialogs);

  std::vector<Case> cases = {{"1000x20K-keep", 1000, 20 * 1024, false, false, {}, {}},
                             {"1000x20K-delete", 1000, 20 * 1024, true, false, {}, {}},
                             {"10000x2K-keep", 10000, 2 * 1024, false, false, {}, {}, true},
                             {"10000x2K-delete", 10000, 2 * 1024, true, false, {}, {}},
                             {"1000x20K-keep-tls", 1000, 20 * 1024, false, true, {}, {}}};
  std::erase_if(cases, [&](const Case& c) { return filter != "all" && c.name.find(filter) == std::string::npos; });
  if (cases.empty()) {
    std::fprintf(stderr, "no case matches '%s'\n", filter.c_str());
    return 2;
  }

  // Outside /tmp, where other programs create and delete files all the time.
  QTemporaryDir work((QDir("/var/tmp").exists() ? QString("/var/tmp") : QDir::tempPath()) + "/quenwick-bench-XXXXXX");
  if (!work.isValid()) return 1;
  const std::string root = work.path().toStdString();
  SpreadFolders(root);
  setenv("QUENWICK_SETTINGS", (root + "/quenwick.ini").c_str(), 1);

  // One server for both tools and every case, the plain ones on its plain
  // port. Both tools trust its certificate by the same file.
  const VizuTest::TestCertificate certificate = VizuTest::makeTestCertificate(root, "bench", "IP:127.0.0.1");
  std::ofstream(root + "/quenwick.ini") << "[TfrmMain]\nTrustedCertificate=" << certificate.certificate << "\n";
  VizuTest::DovecotServer server;
  server.enableTls(certificate.certificate, certificate.key);
  server.start();
  Mailbox mailbox(server);
  QuenwickRunner quenwick(server, root + "/quenwick.ini");
  // The same first poll with the list switched off, as before there was one.
  std::ofstream(root + "/list-off.ini") << "[TfrmMain]\nFetchOnlyNew=false\n";
  QuenwickRunner listOff(server, root + "/list-off.ini");
  MpopRunner mpop(server, root, certificate.certificate);

  auto report = [&](int r, const std::string& name, const char* tool, const Times& t) {
    std::fprintf(stderr, "run %d %-17s %-9s wall %7.3f s  cpu %7.3f s  sys %7.3f s%s\n", r + 1, name.c_str(), tool,
                 t.wall, t.cpu, t.sys, t.wall > 60 ? "  (over a minute)" : "");
  };
  // The polls that follow a tool's first poll of c into dest; false (with a
  // message) when one fetched other than it should.
  auto followUps = [&](int r, Case& c, bool isQuenwick, const std::string& dest) {
    const char* tool = isQuenwick ? "quenwick" : "mpop";
    auto poll = [&](int expected, const char* name, const char* retr, std::vector<Times>& into) {
      const size_t before = Sessions(server);
      Times t;
      if (!(isQuenwick ? quenwick.Poll(dest, expected, false, false, t)
                       : mpop.Poll(dest, expected, false, false, true, t)))
        return false;
      const std::string session = LastSession(server, before);
      if (session.find(retr) == std::string::npos) {
        std::fprintf(stderr, "%s %s: the server logged %s\n", tool, name, session.c_str());
        return false;
      }
      into.push_back(t);
      report(r, name, tool, t);
      return true;
    };
    if (!poll(c.messages, "10000x2K-steady", "retr=0/", isQuenwick ? c.quenwickSteady : c.mpopSteady)) return false;
    mailbox.AddOne(c.size);
    if (!poll(c.messages + 1, "10000x2K-one-new", "retr=1/", isQuenwick ? c.quenwickOneNew : c.mpopOneNew))
      return false;
    mailbox.RemoveLast();
    if (!isQuenwick) return true;
    Times t;
    if (!listOff.Run(NewFolder(root, "eml"), c.messages, false, false, t)) return false;
    c.quenwickListOff.push_back(t);
    report(r, c.name + " list off", tool, t);
    return true;
  };

  for (int r = 0; r < runs; ++r) {
    for (Case& c : cases) {
      // Every other round mpop goes first.
      for (int turn = 0; turn < 2; ++turn) {
        const bool isQuenwick = (turn == 0) == (r % 2 == 0);
        mailbox.Fill(c.messages, c.size);
        Times t;
        const std::string dest = NewFolder(root, isQuenwick ? "eml" : "Maildir");
        const bool ok = isQuenwick ? quenwick.Run(dest, c.messages, c.del, c.tls, t)
                                   : mpop.Run(dest, c.messages, c.del, c.tls, t);
        if (!ok) return 1;
        const int left = c.del ? (mailbox.Drained() ? 0 : server.messageCount()) : server.messageCount();
        if (left != (c.del ? 0 : c.messages)) {
          std::fprintf(stderr, "%s: %d messages left on the server after %s\n", c.name.c_str(), left,
                       isQuenwick ? "quenwick" : "mpop");
          return 1;
        }
        (isQuenwick ? c.quenwick : c.mpop).push_back(t);
        report(r, c.name, isQuenwick ? "quenwick" : "mpop", t);
        if (c.followUps && !followUps(r, c, isQuenwick, dest)) return 1;
      }
    }
  }

  std::printf("\nFetch from a local Dovecot, median of %d runs (first polls into an empty folder)\n", runs);
  std::printf("%-17s %-9s %9s %9s %9s %12s\n", "case", "tool", "wall s", "cpu s", "sys s", "wall q/mpop");
  auto row = [](const std::string& name, const std::vector<Times>& quenwickRuns, const std::vector<Times>& mpopRuns) {
    const Times q = Median(quenwickRuns);
    const Times m = Median(mpopRuns);
    std::printf("%-17s %-9s %9.3f %9.3f %9.3f %12.2f\n", name.c_str(), "quenwick", q.wall, q.cpu, q.sys,
                q.wall / m.wall);
    std::printf("%-17s %-9s %9.3f %9.3f %9.3f\n", "", "mpop", m.wall, m.cpu, m.sys);
  };
  for (const Case& c : cases) {
    row(c.name, c.quenwick, c.mpop);
    if (!c.followUps) continue;
    row("10000x2K-steady", c.quenwickSteady, c.mpopSteady);
    row("10000x2K-one-new", c.quenwickOneNew, c.mpopOneNew);
    const Times off = Median(c.quenwickListOff);
    std::printf("%-17s %-9s %9.3f %9.3f %9.3f %12s\n", c.name.c_str(), "list off", off.wall, off.cpu, off.sys,
                "");
  }
  return 0;
}
