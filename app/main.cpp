// Quenwick: fetches one POP3 mailbox into a folder on a timer.
#include <QApplication>
#include <cstdio>
#include <exception>

#include "app/dialogs.h"
#include "app/main_window.h"

namespace {

// Qt aborts when it finds no display; say what is missing instead.
bool HasDisplay() {
  return !qEnvironmentVariableIsEmpty("DISPLAY") || !qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY") ||
         !qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM");
}

}  // namespace

int main(int argc, char** argv) {
  if (!HasDisplay()) {
    std::fputs("Quenwick needs a desktop: no DISPLAY or WAYLAND_DISPLAY is set. "
               "Run it from a desktop session, or under a virtual one: xvfb-run -a ./run\n",
               stderr);
    return 0;
  }
  QApplication app(argc, argv);
  try {
    Vizu2000::SetApplicationTitle("Quenwick");
    QApplication::setApplicationDisplayName("Quenwick");
    Vizu2000::TfrmMain frmMain;
    frmMain.show();
    app.exec();
  } catch (const std::exception& error) {
    Vizu2000::ShowException(error);
  }
  return 0;
}
