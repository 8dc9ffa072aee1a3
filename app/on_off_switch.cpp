#include "app/on_off_switch.h"

#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QPainterPath>
#include <QStyleOptionFocusRect>

#include "app/dialogs.h"

namespace Vizu2000 {

TOnOffSwitch::TOnOffSwitch(QWidget* parent) : QWidget(parent) {
  setFocusPolicy(Qt::StrongFocus);
  setAttribute(Qt::WA_OpaquePaintEvent, false);
}

void TOnOffSwitch::SetStateOn(bool value) {
  if (value == stateOn_) return;
  stateOn_ = value;
  repaint();
  if (stateOn_) {
    if (OnOn) OnOn(this);
  } else {
    if (OnOff) OnOff(this);
  }
}

void TOnOffSwitch::ToggleByUser() {
  RunGuarded([this] { SetStateOn(!stateOn_); });
}

void TOnOffSwitch::mousePressEvent(QMouseEvent* event) {
  if (event->button() != Qt::LeftButton) {
    QWidget::mousePressEvent(event);
    return;
  }
  if (focusPolicy() & Qt::ClickFocus) setFocus(Qt::MouseFocusReason);
  ToggleByUser();
}

void TOnOffSwitch::keyPressEvent(QKeyEvent* event) {
  if (event->key() == Qt::Key_Space && event->modifiers() == Qt::NoModifier) {
    if (!event->isAutoRepeat()) ToggleByUser();
    return;
  }
  QWidget::keyPressEvent(event);
}

// A vertical rocker: the lever sits up and glows green when on, sits down
// and grey when off.
void TOnOffSwitch::paintEvent(QPaintEvent*) {
  QPainter p(this);
  p.setRenderHint(QPainter::Antialiasing);
  const QRectF body = QRectF(rect()).adjusted(9, 4, -9, -4);
  const qreal radius = body.width() / 2;

  QPainterPath track;
  track.addRoundedRect(body, radius, radius);
  const QColor trackColor = stateOn_ ? QColor(46, 160, 67) : QColor(150, 150, 150);
  p.fillPath(track, trackColor);
  p.setPen(QPen(trackColor.darker(140), 1.2));
  p.drawPath(track);

  const qreal knob = body.width() - 6;
  const qreal knobTop = stateOn_ ? body.top() + 3 : body.bottom() - 3 - knob;
  const QRectF knobRect(body.left() + 3, knobTop, knob, knob);
  QRadialGradient shine(knobRect.center() - QPointF(knob / 5, knob / 5), knob);
  shine.setColorAt(0, Qt::white);
  shine.setColorAt(1, QColor(215, 215, 215));
  p.setBrush(shine);
  p.setPen(QPen(QColor(90, 90, 90), 1));
  p.drawEllipse(knobRect);

  QFont mark = font();
  mark.setBold(true);
  mark.setPixelSize(9);
  p.setFont(mark);
  p.setPen(Qt::white);
  const QRectF label(body.left(), stateOn_ ? knobRect.bottom() : body.top(), body.width(),
                     body.height() - knob - 6);
  p.drawText(label, Qt::AlignCenter, stateOn_ ? "ON" : "OFF");

  if (hasFocus()) {
    QStyleOptionFocusRect option;
    option.initFrom(this);
    option.rect = rect().adjusted(1, 1, -1, -1);
    option.backgroundColor = palette().color(QPalette::Window);
    p.setRenderHint(QPainter::Antialiasing, false);
    style()->drawPrimitive(QStyle::PE_FrameFocusRect, &option, &p, this);
  }
}

}  // namespace Vizu2000
