#include "app/dialogs.h"

#include <QFileDialog>
#include <QGuiApplication>
#include <QMessageBox>
#include <QScreen>
#include <QString>

namespace Vizu2000 {

namespace {

QString Q(const std::string& text) {
  return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

class TQtDialogs : public TDialogPresenter {
 public:
  void MessageDialog(const std::string& text) override {
    QMessageBox box(QMessageBox::NoIcon, Q(ApplicationTitle()), Q(text), QMessageBox::Ok);
    box.adjustSize();
    if (QScreen* screen = QGuiApplication::primaryScreen())
      box.move(screen->availableGeometry().center() - box.rect().center());
    box.exec();
  }
  void ErrorBox(const std::string& text) override {
    QMessageBox box(QMessageBox::Critical, Q(ApplicationTitle()), Q(text), QMessageBox::Ok);
    box.exec();
  }
  std::optional<std::string> BrowseFolder(QWidget* parent, const std::string& start) override {
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
