// Quenwick: fetches one POP3 mailbox into a folder on a timer.
#include <QApplication>
#include <exception>

#include "app/dialogs.h"
#include "app/main_window.h"

int main(int argc, char** argv) {
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
