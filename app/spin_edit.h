#pragma once
// An integer spin edit. Its value is its text read as an integer (the minimum
// when the text is not one); assigned values are clamped to the bounds, and
// an out-of-range text is clamped when the field loses the focus. Typed
// characters other than signs and digits are refused with a beep.
#include <QAbstractSpinBox>
#include <string>

namespace Vizu2000 {

class TSpinEdit : public QAbstractSpinBox {
  Q_OBJECT
 public:
  explicit TSpinEdit(QWidget* parent = nullptr);

  int MinValue() const { return minValue_; }
  int MaxValue() const { return maxValue_; }
  void SetMinValue(int value) { minValue_ = value; }
  void SetMaxValue(int value) { maxValue_ = value; }
  int Increment() const { return increment_; }
  void SetIncrement(int value) { increment_ = value; }

  int Value() const;
  void SetValue(long long value);
  int CheckValue(long long value) const;

  std::string Text() const;
  // Sets the text as it is, without clamping (the designed text).
  void SetText(const std::string& text);

  void stepBy(int steps) override;

 protected:
  StepEnabled stepEnabled() const override;
  void keyPressEvent(QKeyEvent* event) override;
  void focusOutEvent(QFocusEvent* event) override;

 private:
  int minValue_ = 0;
  int maxValue_ = 100;
  int increment_ = 1;
};

}  // namespace Vizu2000
