// Quenwick: fetches one POP3 mailbox into a folder on a timer.
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <QApplication>
#include <QSocketNotifier>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <exception>
#include <string>

#include "app/dialogs.h"
#include "app/main_window.h"

namespace {

bool CanConnect(const std::string& path, bool abstract) {
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  if (path.size() + 2 > sizeof addr.sun_path) return false;
  std::memcpy(addr.sun_path + (abstract ? 1 : 0), path.data(), path.size());
  const socklen_t len = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + path.size() + (abstract ? 1 : 0));
  const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  const bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&addr), len) == 0;
  ::close(fd);
  return ok;
}

// Qt aborts when it cannot reach a display; say what is missing instead.
// Only a local X display (":N") is probed; anything else is left to Qt.
bool HasDisplay() {
  if (!qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM") || !qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY"))
    return true;
  const std::string display = qEnvironmentVariable("DISPLAY").toStdString();
  if (display.empty()) return false;
  if (display[0] != ':') return true;
  const std::string number = display.substr(1, display.find('.') == std::string::npos
                                                    ? std::string::npos
                                                    : display.find('.') - 1);
  const std::string socket = "/tmp/.X11-unix/X" + number;
  return CanConnect(socket, true) || CanConnect(socket, false);
}

// Ctrl+C or a polite kill closes the window like a click on its close box,
// so the settings are saved. The handler only writes a byte; the window
// thread reads it as an ordinary event.
int signalPipe[2] = {-1, -1};

void OnTerminate(int) {
  const char byte = 1;
  [[maybe_unused]] const ssize_t written = ::write(signalPipe[1], &byte, 1);
}

void CloseOnTerminate(QWidget* window) {
  if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, signalPipe) != 0) return;
  auto* notifier = new QSocketNotifier(signalPipe[0], QSocketNotifier::Read, window);
  QObject::connect(notifier, &QSocketNotifier::activated, window, [window] {
    char byte;
    [[maybe_unused]] const ssize_t got = ::read(signalPipe[0], &byte, 1);
    window->close();
  });
  struct sigaction action {};
  action.sa_handler = OnTerminate;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
}

}  // namespace

int main(int argc, char** argv) {
  if (!HasDisplay()) {
    std::fputs("Quenwick needs a desktop: no reachable display (DISPLAY or WAYLAND_DISPLAY). "
               "Run it from a desktop session, or under a virtual one: xvfb-run -a ./run\n",
               stderr);
    return 0;
  }
  QApplication app(argc, argv);
  try {
    Vizu2000::SetApplicationTitle("Quenwick");
    QApplication::setApplicationDisplayName("Quenwick");
    Vizu2000::TfrmMain frmMain;
    CloseOnTerminate(&frmMain);
    frmMain.show();
    app.exec();
  } catch (const std::exception& error) {
    Vizu2000::ShowException(error);
  }
  return 0;
}
