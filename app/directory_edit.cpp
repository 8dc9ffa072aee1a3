#include "app/directory_edit.h"

#include <QFileInfo>
#include <QLineEdit>
#include <QStyle>
#include <QToolButton>

#include "app/dialogs.h"

namespace Vizu2000 {

TDirectoryEdit::TDirectoryEdit(QWidget* parent)
    : QWidget(parent), edit_(new QLineEdit(this)), button_(new QToolButton(this)) {
  button_->setIcon(style()->standardIcon(QStyle::SP_DirOpenIcon));
  button_->setFocusPolicy(Qt::NoFocus);
  button_->setToolTip("Browse");
  setFocusProxy(edit_);
  setFocusPolicy(Qt::StrongFocus);
  connect(button_, &QToolButton::clicked, this, [this] { RunGuarded([this] { Browse(); }); });
}

std::string TDirectoryEdit::Text() const {
  return edit_->text().toStdString();
}

void TDirectoryEdit::SetText(const std::string& text) {
  edit_->setText(QString::fromStdString(text));
}

std::string TDirectoryEdit::BrowseStart() const {
  const std::string text = Text();
  if (text.empty()) return lastChosen_.empty() ? "/" : lastChosen_;
  if (!QFileInfo(QString::fromStdString(text)).isDir()) return "/";
  return text;
}

void TDirectoryEdit::Browse() {
  const auto chosen = Dialogs().BrowseFolder(this, BrowseStart());
  if (!chosen) return;
  lastChosen_ = *chosen;
  SetText(*chosen);
}

void TDirectoryEdit::resizeEvent(QResizeEvent*) {
  const int h = height();
  button_->setGeometry(width() - h, 0, h, h);
  edit_->setGeometry(0, 0, width() - h, h);
}

}  // namespace Vizu2000
