// Quenwick: fetches one POP3 mailbox into a folder on a timer.
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <QApplication>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <exception>
#include <string>

#include "app/command_line.h"
#include "app/dialogs.h"
#include "app/form_storage.h"
#include "app/main_window.h"
#include "app/program_end.h"
#include "platform/secret_store.h"

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

}  // namespace

int main(int argc, char** argv) {
  const Vizu2000::TCommandLine commandLine = Vizu2000::ReadCommandLine(argc, argv);
  switch (commandLine.action) {
    case Vizu2000::TCommandLineAction::Run:
      break;
    case Vizu2000::TCommandLineAction::Help:
    case Vizu2000::TCommandLineAction::Version:
      std::fputs(commandLine.text.c_str(), stdout);
      return 0;
    case Vizu2000::TCommandLineAction::Refuse:
      std::fputs(commandLine.text.c_str(), stderr);
      return Vizu2000::kCommandLineError;
  }
  if (!HasDisplay()) {
    Vizu2000::SayNoDesktop();
    return 0;
  }
  Vizu2000::EndCleanlyOnDisplayLoss();
  QApplication app(argc, argv);
  try {
    Vizu2000::SetApplicationTitle("Quenwick");
    QApplication::setApplicationDisplayName("Quenwick");
    // Wayland compositors find the menu entry, and with it the icon, by this id.
    QGuiApplication::setDesktopFileName(QUENWICK_DESKTOP_ID);
    Vizu2000::TfrmMain frmMain;
    const Vizu2000::TSaveOnDisplayLoss saveOnDisplayLoss([&frmMain] {
      // The secret store answers through the event loop, which must not run
      // any more. Switched off, it is not asked: it keeps the password it
      // has, and the file gets none unless no store existed at the start.
      frmMain.FormStorage1->Secrets().SetEnabled(false);
      frmMain.FormStorage1->FormCloseQuery();
    });
    // Installed just before show(): a signal from here on is handled in the
    // first event loop that runs, the settings check's dialog included.
    Vizu2000::EndOnSignals();
    frmMain.show();
    if (!Vizu2000::EndRequested()) app.exec();
    // A signal leaves the loops with the window still open; closing it now,
    // with every dialog answered, saves what the user would have saved.
    if (frmMain.isVisible()) frmMain.close();
  } catch (const std::exception& error) {
    Vizu2000::ShowException(error);
  }
  return 0;
}
