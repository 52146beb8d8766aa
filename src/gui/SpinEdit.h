#pragma once
// A number box with up/down arrows that reads its text the way the settings need: a typed number
// outside the limits is read unchanged until the box loses focus (then it is clamped), and text
// that is not a whole number stays in the box and reads as the minimum. QSpinBox rejects or
// rewrites such text at once, so it cannot serve here.

#include <QString>
#include <QWidget>

class QLineEdit;
class QToolButton;

namespace kova::gui {

class TSpinEdit : public QWidget {
  Q_OBJECT

 public:
  TSpinEdit(int minValue, int maxValue, int value, QWidget* parent = nullptr);

  int MinValue() const { return min_; }
  int MaxValue() const { return max_; }
  // The current text as a number: unchanged when out of the limits, the minimum when not a number.
  int Value() const;
  void SetValue(int value);  // writes the value clamped to the limits
  QString Text() const;
  void SetText(const QString& text);  // as if typed: no clamping
  void StepBy(int steps);             // what the arrows do
  QLineEdit* LineEdit() const { return edit_; }

 signals:
  void textChanged(const QString& text);  // every change of the text: typing, arrows, clamping

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  int Clamp(long long value) const;

  int min_;
  int max_;
  QLineEdit* edit_;
  QToolButton* up_;
  QToolButton* down_;
};

// Parses a whole decimal number (optional sign, leading blanks) that fits in 32 bits.
bool ParseWholeNumber(const QString& text, int& value);

}  // namespace kova::gui
