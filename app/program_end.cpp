#include "app/program_end.h"

#include <sys/socket.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QSocketNotifier>
#include <QString>
#include <QThread>
#include <atomic>
#include <csignal>
#include <cstdio>
#include <exception>
#include <utility>

#include "app/dialogs.h"

namespace Vizu2000 {

namespace {

// The signal handler only writes a byte; the window thread reads it as an
// ordinary event, where ending the program is safe.
int signalPipe[2] = {-1, -1};
volatile std::sig_atomic_t signalled = 0;
bool endRequested = false;

void OnTerminate(int signal) {
  if (signalled) {
    // The first one is still being handled (a poll may be finishing); a user
    // who asks twice does not want to wait for it. The signal is blocked
    // while its handler runs, so it takes its default action on return.
    std::signal(signal, SIG_DFL);
    std::raise(signal);
    return;
  }
  signalled = 1;
  const char byte = 1;
  [[maybe_unused]] const ssize_t written = ::write(signalPipe[1], &byte, 1);
}

QtMessageHandler previousHandler = nullptr;
std::function<void()> displayLossSave;
std::atomic<bool> displayLossSeen{false};

bool OnWindowThread() {
  const QCoreApplication* app = QCoreApplication::instance();
  return app && QThread::currentThread() == app->thread();
}

[[noreturn]] void EndAfterDisplayLoss() {
  if (displayLossSeen.exchange(true)) {
    // Another thread got here first and is ending the process; saving
    // re-entered (nothing more can be saved) or this thread must not touch
    // the widgets.
    if (OnWindowThread()) ::_exit(0);
    for (;;) ::pause();
  }
  if (OnWindowThread() && displayLossSave) {
    try {
      displayLossSave();
    } catch (const std::exception& error) {
      std::fprintf(stderr, "%s\n", error.what());
    }
  }
  // Nothing that needs the display may run any more: no event loop, no
  // window destructors, no static destructors of the platform.
  ::_exit(0);
}

void OnQtMessage(QtMsgType type, const QMessageLogContext& context, const QString& text) {
  previousHandler(type, context, text);
  if (IsDisplayLossMessage(text)) EndAfterDisplayLoss();
  // Qt decides on its platform while the application object is made; a fatal
  // message then means no window can ever be shown (most often a display
  // that refused the connection after HasDisplay found it).
  if (type == QtFatalMsg && QCoreApplication::startingUp()) {
    SayNoDesktop();
    ::_exit(0);
  }
}

}  // namespace

void EndOnSignals() {
  if (signalPipe[0] < 0 && ::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, signalPipe) != 0) return;
  auto* notifier = new QSocketNotifier(signalPipe[0], QSocketNotifier::Read, QCoreApplication::instance());
  QObject::connect(notifier, &QSocketNotifier::activated, notifier, [notifier] {
    char byte;
    [[maybe_unused]] const ssize_t got = ::read(signalPipe[0], &byte, 1);
    notifier->setEnabled(false);
    RequestEnd();
  });
  struct sigaction action {};
  action.sa_handler = OnTerminate;
  sigemptyset(&action.sa_mask);
  sigaddset(&action.sa_mask, SIGINT);
  sigaddset(&action.sa_mask, SIGTERM);
  action.sa_flags = SA_RESTART;
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
}

void RequestEnd() {
  endRequested = true;
  DismissDialogs();
  // Leaves the dialogs' loops and the application's, and makes any loop
  // entered later return at once. Before exec() this does nothing, which is
  // why main() asks EndRequested() first.
  QCoreApplication::exit(0);
}

bool EndRequested() {
  return endRequested;
}

bool IsDisplayLossMessage(const QString& text) {
  // The platforms' own words, just before they end the process.
  return text.contains(QLatin1String("The X11 connection broke")) ||
         text.contains(QLatin1String("The Wayland connection broke")) ||
         text.contains(QLatin1String("The Wayland connection experienced a fatal error"));
}

void EndCleanlyOnDisplayLoss() {
  if (previousHandler) return;
  previousHandler = qInstallMessageHandler(OnQtMessage);
}

TSaveOnDisplayLoss::TSaveOnDisplayLoss(std::function<void()> save) {
  displayLossSave = std::move(save);
}

TSaveOnDisplayLoss::~TSaveOnDisplayLoss() {
  displayLossSave = nullptr;
}

void SayNoDesktop() {
  std::fputs("Quenwick needs a desktop: no reachable display (DISPLAY or WAYLAND_DISPLAY). "
             "Run it from a desktop session, or under a virtual one: xvfb-run -a quenwick\n",
             stderr);
}

}  // namespace Vizu2000
