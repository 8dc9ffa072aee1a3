#pragma once
// A two-position switch: one picture for on, one for off, a focus frame while
// it has the focus. A left click or the space key toggles it. Every change of
// StateOn stores and redraws first, then raises OnOn or OnOff.
#include <QWidget>
#include <functional>

namespace Vizu2000 {

class TOnOffSwitch : public QWidget {
  Q_OBJECT
 public:
  using TSwitchEvent = std::function<void(QObject* Sender)>;

  explicit TOnOffSwitch(QWidget* parent = nullptr);

  bool StateOn() const { return stateOn_; }
  // Raises OnOn / OnOff only when the state changes; an error raised by the
  // handler passes to the caller.
  void SetStateOn(bool value);

  TSwitchEvent OnOn;
  TSwitchEvent OnOff;

  QSize sizeHint() const override { return QSize(50, 60); }

 protected:
  void paintEvent(QPaintEvent* event) override;
  void mousePressEvent(QMouseEvent* event) override;
  void keyPressEvent(QKeyEvent* event) override;

 private:
  void ToggleByUser();
  bool stateOn_ = false;
};

}  // namespace Vizu2000
