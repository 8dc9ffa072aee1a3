#include "app/dialogs.h"

#include <QApplication>
#include <QDialog>
#include <QFileDialog>
#include <QGuiApplication>
#include <QMessageBox>
#include <QScreen>
#include <QString>
#include <cstdio>

namespace Vizu2000 {

namespace {

QString Q(const std::string& text) {
  return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

bool dismissed = false;

void SayOnStderr(const std::string& text) {
  std::fprintf(stderr, "%s: %s\n", ApplicationTitle().c_str(), text.c_str());
}

class TQtDialogs : public TDialogPresenter {
 public:
  void MessageDialog(const std::string& text) override {
    if (dismissed) return SayOnStderr(text);
    QMessageBox box(QMessageBox::NoIcon, Q(ApplicationTitle()), Q(text), QMessageBox::Ok);
    box.adjustSize();
    if (QScreen* screen = QGuiApplication::primaryScreen())
      box.move(screen->availableGeometry().center() - box.rect().center());
    box.exec();
  }
  void ErrorBox(const std::string& text) override {
    if (dismissed) return SayOnStderr(text);
    QMessageBox box(QMessageBox::Critical, Q(ApplicationTitle()), Q(text), QMessageBox::Ok);
    box.exec();
  }
  std::optional<std::string> BrowseFolder(QWidget* parent, const std::string& start) override {
    if (dismissed) return std::nullopt;
    const QString chosen = QFileDialog::getExistingDirectory(parent, QString(), Q(start));
    if (chosen.isEmpty()) return std::nullopt;
    return chosen.toStdString();
  }
};

TDialogPresenter* current = nullptr;
std::string title = "Quenwick";

}  // namespace

TDialogPresenter& Dialogs() {
  static TQtDialogs qtDialogs;
  return current ? *current : qtDialogs;
}

void SetDialogs(TDialogPresenter* presenter) {
  current = presenter;
}

void DismissDialogs() {
  dismissed = true;
  // Each answer ends that dialog's exec() and uncovers the one beneath. A
  // widget that refuses to close is hidden, which ends its modality too; the
  // bound keeps a widget that even refuses that from holding us here.
  for (int left = 100; left > 0; --left) {
    QWidget* modal = QApplication::activeModalWidget();
    if (!modal) break;
    if (auto* dialog = qobject_cast<QDialog*>(modal))
      dialog->reject();
    else
      modal->close();
    if (QApplication::activeModalWidget() == modal) modal->hide();
  }
  // A dialog shown without modality would otherwise outlive the main window.
  for (QWidget* widget : QApplication::topLevelWidgets())
    if (auto* dialog = qobject_cast<QDialog*>(widget); dialog && dialog->isVisible()) dialog->reject();
}

const std::string& ApplicationTitle() {
  return title;
}

void SetApplicationTitle(const std::string& newTitle) {
  title = newTitle;
}

std::string ErrorBoxText(const std::string& message) {
  if (!message.empty() && static_cast<unsigned char>(message.back()) > '.') return message + ".";
  return message;
}

void ShowException(const std::exception& error) {
  Dialogs().ErrorBox(ErrorBoxText(error.what()));
}

void RunGuarded(const std::function<void()>& handler) {
  try {
    handler();
  } catch (const std::exception& error) {
    ShowException(error);
  }
}

}  // namespace Vizu2000
