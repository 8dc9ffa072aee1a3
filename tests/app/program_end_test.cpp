// How the program ends on a signal and when its display goes away: the real
// program as a child process, and the handlers in a child of this suite.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QApplication>
#include <QDialog>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QThread>
#include <QTimer>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <utility>

#include "app/dialogs.h"
#include "app/program_end.h"

using namespace Vizu2000;
using Clock = std::chrono::steady_clock;

namespace {

// The program catches the signal once its handler is in place, just before
// its window is shown; from then on a signal is handled by the first event
// loop that runs, which with a switched-on start is the settings check's.
bool WaitUntilCatching(qint64 pid, int signal) {
  const auto deadline = Clock::now() + std::chrono::seconds(10);
  while (Clock::now() < deadline) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line))
      if (line.rfind("SigCgt:", 0) == 0 && (std::stoull(line.substr(7), nullptr, 16) >> (signal - 1)) & 1)
        return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return false;
}

std::string ReadAll(const QString& path) {
  QFile file(path);
  return file.open(QIODevice::ReadOnly) ? file.readAll().toStdString() : std::string();
}

void WriteAll(const QString& path, const std::string& text) {
  QFile file(path);
  ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
  file.write(text.data(), static_cast<qint64>(text.size()));
}

struct TProgramRun {
  QTemporaryDir dir;
  QString ini = dir.path() + "/quenwick.ini";
  QProcess process;

  void Start(QProcessEnvironment env) {
    env.insert("QUENWICK_SETTINGS", ini);
    process.setProcessEnvironment(env);
    process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    process.start(QUENWICK_PROGRAM, {});
    ASSERT_TRUE(process.waitForStarted(5000));
    ASSERT_TRUE(WaitUntilCatching(process.processId(), SIGTERM));
  }
  // Waits the few seconds an ending may take; a program that hangs is killed.
  bool Ended() {
    if (process.waitForFinished(5000)) return true;
    process.kill();
    process.waitForFinished(5000);
    return false;
  }
};

// A desktop session of the test's own for the program: a session bus with
// an unlocked keyring on it and a home of its own; nothing of the caller's
// session is reachable from it.
struct TPrivateKeyring {
  QTemporaryDir dir;
  QProcess bus;
  QProcess keyring;
  QProcessEnvironment env = QProcessEnvironment::systemEnvironment();

  // False when the bus or the keyring cannot be started here.
  bool Start() {
    for (const char* name : {"DBUS_SESSION_BUS_ADDRESS", "DISPLAY", "WAYLAND_DISPLAY", "XDG_CURRENT_DESKTOP",
                             "DESKTOP_SESSION", "KDE_FULL_SESSION", "GNOME_KEYRING_CONTROL"})
      env.remove(name);
    const std::pair<const char*, const char*> places[] = {{"HOME", "home"}, {"XDG_DATA_HOME", "data"},
                                                          {"XDG_CONFIG_HOME", "config"}, {"XDG_CACHE_HOME", "cache"},
                                                          {"XDG_RUNTIME_DIR", "run"}};
    for (const auto& [name, folder] : places) {
      const QString path = dir.path() + "/" + folder;
      if (!QDir().mkpath(path)) return false;
      env.insert(name, path);
    }
    QFile::setPermissions(env.value("XDG_RUNTIME_DIR"), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    bus.setProcessEnvironment(env);
    bus.start("dbus-daemon", {"--session", "--nofork", "--print-address"});
    if (!bus.waitForStarted(5000)) return false;
    while (!bus.canReadLine())
      if (!bus.waitForReadyRead(5000)) return false;
    env.insert("DBUS_SESSION_BUS_ADDRESS", QString::fromUtf8(bus.readLine().trimmed()));
    // The keyring's password on stdin creates the login keyring, unlocked,
    // as a desktop login does.
    keyring.setProcessEnvironment(env);
    keyring.setStandardOutputFile(QProcess::nullDevice());
    keyring.setStandardErrorFile(QProcess::nullDevice());
    keyring.start("gnome-keyring-daemon", {"--foreground", "--unlock", "--components=secrets"});
    if (!keyring.waitForStarted(5000)) return false;
    // Nothing runs this process's event loop: the password is handed over
    // before the pipe is closed.
    keyring.write("quenwick-test");
    keyring.waitForBytesWritten(5000);
    keyring.closeWriteChannel();
    for (int attempt = 0; attempt < 100; ++attempt) {
      QProcess ask;
      ask.setProcessEnvironment(env);
      ask.start("dbus-send", {"--session", "--print-reply", "--dest=org.freedesktop.DBus", "/",
                              "org.freedesktop.DBus.NameHasOwner", "string:org.freedesktop.secrets"});
      if (ask.waitForFinished(5000) && ask.readAllStandardOutput().contains("boolean true")) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return false;
  }
  ~TPrivateKeyring() {
    for (QProcess* process : {&keyring, &bus}) {
      if (process->state() == QProcess::NotRunning) continue;
      process->kill();
      process->waitForFinished(5000);
    }
  }
};

void UseDeathTestsThatStartAfresh() {
  // The suite's process holds Qt's threads; the child runs main() anew.
  GTEST_FLAG_SET(death_test_style, "threadsafe");
}

}  // namespace

TEST(ProgramEnd, SignalEndsWithZeroAndSavesEvenWithTheSettingsCheckOpen) {
  struct TCase {
    const char* name;
    std::string settings;
    int signal;
    const char* stateSaved;
  };
  const TCase cases[] = {
      // Switched on without a server: the check's dialog is open at the signal,
      // and its answer (switch off) is what gets saved.
      {"dialog open", "[TfrmMain]\nOnOff_StateOn=True\n", SIGTERM, "OnOff_StateOn=False"},
      {"idle", "", SIGINT, "OnOff_StateOn=False"},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.name);
    TProgramRun run;
    if (!c.settings.empty()) WriteAll(run.ini, c.settings);
    ASSERT_NO_FATAL_FAILURE(run.Start(QProcessEnvironment::systemEnvironment()));
    ASSERT_EQ(::kill(static_cast<pid_t>(run.process.processId()), c.signal), 0);
    ASSERT_TRUE(run.Ended()) << "still running after the signal";
    EXPECT_EQ(run.process.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(run.process.exitCode(), 0);
    const std::string saved = ReadAll(run.ini);
    EXPECT_NE(saved.find(c.stateSaved), std::string::npos) << saved;
    EXPECT_NE(saved.find("NormPos="), std::string::npos) << saved;
  }
}

TEST(ProgramEnd, ASecondSignalWhileTheFirstIsHandledEndsAtOnce) {
  UseDeathTestsThatStartAfresh();
  // No event has run yet, so the first is still waiting to be handled.
  EXPECT_EXIT(
      {
        EndOnSignals();
        std::raise(SIGTERM);
        std::raise(SIGTERM);
        std::_Exit(1);
      },
      testing::KilledBySignal(SIGTERM), "");
  EXPECT_EXIT(
      {
        EndOnSignals();
        std::raise(SIGINT);
        const auto deadline = Clock::now() + std::chrono::seconds(5);
        while (!EndRequested() && Clock::now() < deadline)
          QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 100);
        std::_Exit(EndRequested() ? 0 : 1);
      },
      testing::ExitedWithCode(0), "");
}

TEST(ProgramEnd, RequestEndAnswersNestedDialogsLeavesExecAndAnswersLaterOnesAtOnce) {
  UseDeathTestsThatStartAfresh();
  EXPECT_EXIT(
      {
        SetDialogs(nullptr);
        std::string trail;
        // An error box opened from inside a message dialog, both in exec().
        QTimer::singleShot(0, [&] {
          QTimer::singleShot(0, [&] {
            Dialogs().ErrorBox("inner");
            trail += "inner;";
          });
          Dialogs().MessageDialog("outer");
          trail += "outer;";
          Dialogs().ErrorBox("asked after the end");
          if (!Dialogs().BrowseFolder(nullptr, "/")) trail += "browse cancelled;";
        });
        QTimer ender;
        QObject::connect(&ender, &QTimer::timeout, [&] {
          int open = 0;
          for (QWidget* widget : QApplication::topLevelWidgets())
            if (qobject_cast<QDialog*>(widget) && widget->isVisible()) ++open;
          if (open == 2) RequestEnd();
        });
        ender.start(20);
        QTimer::singleShot(10000, [] { std::_Exit(2); });
        const int code = QApplication::exec();
        std::fprintf(stderr, "exec %d: %s\n", code, trail.c_str());
        std::_Exit(code == 0 && QApplication::activeModalWidget() == nullptr ? 0 : 1);
      },
      testing::ExitedWithCode(0),
      "Quenwick: asked after the end\n(.|\n)*exec 0: inner;outer;browse cancelled;");
}

TEST(DisplayLoss, EndsWithZeroAfterSavingOnTheWindowThreadOnly) {
  UseDeathTestsThatStartAfresh();
  // Qt 6.4 warns, then exits with 1; later versions make the same words fatal.
  for (QtMsgType type : {QtWarningMsg, QtFatalMsg}) {
    EXPECT_EXIT(
        {
          EndCleanlyOnDisplayLoss();
          TSaveOnDisplayLoss save([] { std::fputs("settings saved\n", stderr); });
          if (type == QtWarningMsg)
            qWarning("The X11 connection broke (error 1). Did the X11 server die?");
          else
            qFatal("The X11 connection broke (error 1). Did the X11 server die?");
          std::_Exit(3);
        },
        testing::ExitedWithCode(0), "X11 connection broke(.|\n)*settings saved");
  }
  // Another thread must not touch the widgets; it ends the program unsaved.
  EXPECT_EXIT(
      {
        EndCleanlyOnDisplayLoss();
        TSaveOnDisplayLoss save([] { std::_Exit(4); });
        std::thread([] { qWarning("The Wayland connection broke. Did the Wayland compositor die?"); }).join();
        std::_Exit(3);
      },
      testing::ExitedWithCode(0), "Wayland connection broke");
}

TEST(DisplayLoss, OtherFatalMessagesStillAbort) {
  UseDeathTestsThatStartAfresh();
  EXPECT_EXIT(
      {
        rlimit noCore = {};
        setrlimit(RLIMIT_CORE, &noCore);
        EndCleanlyOnDisplayLoss();
        TSaveOnDisplayLoss save([] { std::_Exit(4); });
        qFatal("something else went wrong");
      },
      testing::KilledBySignal(SIGABRT), "something else went wrong");
}

TEST(DisplayLoss, ADisplayThatCannotBeReachedAtStartEndsWithZero) {
  QTemporaryDir dir;
  int number = 9000;
  while (QFile::exists(QString("/tmp/.X11-unix/X%1").arg(number))) ++number;
  QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
  env.insert("QT_QPA_PLATFORM", "xcb");
  env.insert("DISPLAY", QString(":%1").arg(number));
  env.insert("QUENWICK_SETTINGS", dir.path() + "/quenwick.ini");
  QProcess process;
  process.setProcessEnvironment(env);
  process.start(QUENWICK_PROGRAM, {});
  ASSERT_TRUE(process.waitForFinished(10000));
  EXPECT_EQ(process.exitStatus(), QProcess::NormalExit);
  EXPECT_EQ(process.exitCode(), 0);
  EXPECT_TRUE(process.readAllStandardError().contains("Quenwick needs a desktop"));
}

// True once the X server of `display` takes connections on its socket.
// Xvfb names its display on the pipe when it has set up, yet a program
// started at that moment has once been refused.
static bool TakesConnections(const std::string& display) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  const std::string path = "/tmp/.X11-unix/X" + display;
  std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
  for (int attempt = 0; attempt < 500; ++attempt) {
    const int probe = ::socket(AF_UNIX, SOCK_STREAM, 0);
    const bool taken = probe >= 0 && ::connect(probe, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    if (probe >= 0) ::close(probe);
    if (taken) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return false;
}

TEST(DisplayLoss, XServerGoingAwayEndsWithZeroAndSavesTheSettingsButNotThePassword) {
  const QString xvfb = QStandardPaths::findExecutable("Xvfb");
  if (xvfb.isEmpty()) GTEST_SKIP() << "no Xvfb";
  // The password lives in a keyring, as on a desktop: a first run, ended
  // by a signal, moves a copy found in the file there.
  TPrivateKeyring session;
  ASSERT_TRUE(session.Start()) << "no session bus with a keyring (scripts/setup.sh installs dbus and gnome-keyring)";
  TProgramRun first;
  WriteAll(first.ini, "[TfrmMain]\nPassword_Text=pass word\n");
  QProcessEnvironment offscreen = session.env;
  offscreen.insert("QT_QPA_PLATFORM", "offscreen");
  // A signal that comes while the start still waits for the keyring leaves
  // the keyring unasked, and the copy where it is; on a busy machine the
  // start is given longer.
  for (int waitMs = 250; ReadAll(first.ini).find("pass word") != std::string::npos && waitMs <= 4000; waitMs *= 2) {
    ASSERT_NO_FATAL_FAILURE(first.Start(offscreen));
    std::this_thread::sleep_for(std::chrono::milliseconds(waitMs));
    ASSERT_EQ(::kill(static_cast<pid_t>(first.process.processId()), SIGTERM), 0);
    ASSERT_TRUE(first.Ended());
  }
  ASSERT_EQ(ReadAll(first.ini).find("pass word"), std::string::npos) << ReadAll(first.ini);

  // Xvfb picks a free display itself and names it on the pipe when ready.
  int ready[2];
  ASSERT_EQ(::pipe(ready), 0);
  const pid_t server = ::fork();
  ASSERT_GE(server, 0);
  if (server == 0) {
    ::dup2(ready[1], 3);
    const int null = ::open("/dev/null", O_WRONLY);
    ::dup2(null, 1);
    ::dup2(null, 2);
    const std::string path = xvfb.toStdString();
    ::execl(path.c_str(), "Xvfb", "-displayfd", "3", "-nolisten", "tcp", "-screen", "0", "1024x768x24",
            static_cast<char*>(nullptr));
    ::_exit(127);
  }
  ::close(ready[1]);
  std::string display;
  pollfd wait{ready[0], POLLIN, 0};
  char buffer[32];
  while (display.find('\n') == std::string::npos && ::poll(&wait, 1, 10000) == 1) {
    const ssize_t got = ::read(ready[0], buffer, sizeof buffer);
    if (got <= 0) break;
    display.append(buffer, static_cast<size_t>(got));
  }
  ::close(ready[0]);
  // The server goes with the test, whichever way the test ends.
  struct TServer {
    pid_t pid;
    ~TServer() {
      if (pid <= 0) return;
      ::kill(pid, SIGKILL);
      ::waitpid(pid, nullptr, 0);
    }
  } running{server};
  if (display.find('\n') == std::string::npos) GTEST_SKIP() << "Xvfb did not start";
  display.erase(display.find('\n'));
  ASSERT_TRUE(TakesConnections(display)) << "Xvfb on :" << display << " takes no connection";

  TProgramRun run;
  run.ini = first.ini;
  QProcessEnvironment env = session.env;
  env.remove("QT_QPA_PLATFORM");
  env.insert("DISPLAY", ":" + QString::fromStdString(display));
  ASSERT_NO_FATAL_FAILURE(run.Start(env));
  // Let the window come up and read its settings before the display goes.
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  ::kill(server, SIGTERM);
  ::waitpid(server, nullptr, 0);
  running.pid = 0;
  ASSERT_TRUE(run.Ended()) << "still running without its display";
  EXPECT_EQ(run.process.exitStatus(), QProcess::NormalExit);
  EXPECT_EQ(run.process.exitCode(), 0);
  const std::string saved = ReadAll(run.ini);
  EXPECT_NE(saved.find("NormPos="), std::string::npos) << saved;
  // The keyring could not be asked any more; the file is no place for the
  // password it holds.
  EXPECT_EQ(saved.find("Password_Text"), std::string::npos) << saved;
  EXPECT_EQ(saved.find("pass word"), std::string::npos) << saved;
}
