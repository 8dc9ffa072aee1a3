#include "app/spin_edit.h"

#include <QApplication>
#include <QKeyEvent>
#include <QLineEdit>
#include <algorithm>

#include "platform/int_conv.h"

namespace Vizu2000 {

TSpinEdit::TSpinEdit(QWidget* parent) : QAbstractSpinBox(parent) {
  setButtonSymbols(QAbstractSpinBox::UpDownArrows);
  setCorrectionMode(QAbstractSpinBox::CorrectToPreviousValue);
}

int TSpinEdit::Value() const {
  int value = 0;
  return TryStrToInt(Text(), value) ? value : minValue_;
}

int TSpinEdit::CheckValue(long long value) const {
  return static_cast<int>(std::clamp<long long>(value, minValue_, maxValue_));
}

void TSpinEdit::SetValue(long long value) {
  lineEdit()->setText(QString::number(CheckValue(value)));
}

std::string TSpinEdit::Text() const {
  return lineEdit()->text().toStdString();
}

void TSpinEdit::SetText(const std::string& text) {
  lineEdit()->setText(QString::fromStdString(text));
}

void TSpinEdit::stepBy(int steps) {
  SetValue(static_cast<long long>(Value()) + static_cast<long long>(steps) * increment_);
  selectAll();
}

QAbstractSpinBox::StepEnabled TSpinEdit::stepEnabled() const {
  if (isReadOnly()) return StepNone;
  return StepUpEnabled | StepDownEnabled;
}

void TSpinEdit::keyPressEvent(QKeyEvent* event) {
  const QString typed = event->text();
  if (typed.size() == 1) {
    const QChar c = typed.at(0);
    const bool allowed = c == '+' || c == '-' || (c >= '0' && c <= '9') || c.unicode() < 0x20 ||
                         c.unicode() == 0x7F;
    if (!allowed) {
      QApplication::beep();
      event->accept();
      return;
    }
  }
  QAbstractSpinBox::keyPressEvent(event);
}

void TSpinEdit::focusOutEvent(QFocusEvent* event) {
  QAbstractSpinBox::focusOutEvent(event);
  const int value = Value();
  if (CheckValue(value) != value) SetValue(value);
}

}  // namespace Vizu2000
