#include "gui/SpinEdit.h"

#include <QEvent>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLineEdit>
#include <QToolButton>
#include <QVBoxLayout>

#include <climits>

namespace kova::gui {

bool ParseWholeNumber(const QString& text, int& value) {
  qsizetype i = 0;
  while (i < text.size() && text[i] == QLatin1Char(' ')) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == QLatin1Char('-') || text[i] == QLatin1Char('+'))) {
    negative = text[i] == QLatin1Char('-');
    ++i;
  }
  if (i >= text.size()) return false;
  long long n = 0;
  for (; i < text.size(); ++i) {
    const QChar c = text[i];
    if (c < QLatin1Char('0') || c > QLatin1Char('9')) return false;
    n = n * 10 + (c.unicode() - '0');
    if (n > static_cast<long long>(INT_MAX) + 1) return false;  // too long for 32 bits
  }
  if (negative) n = -n;
  if (n < INT_MIN || n > INT_MAX) return false;
  value = static_cast<int>(n);
  return true;
}

TSpinEdit::TSpinEdit(int minValue, int maxValue, int value, QWidget* parent)
    : QWidget(parent), min_(minValue), max_(maxValue) {
  edit_ = new QLineEdit(this);
  edit_->setFrame(false);
  up_ = new QToolButton(this);
  down_ = new QToolButton(this);
  for (QToolButton* b : {up_, down_}) {
    b->setAutoRepeat(true);
    b->setFocusPolicy(Qt::NoFocus);  // clicking an arrow must not count as leaving the box
    b->setFixedWidth(15);
    b->setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Expanding);
  }
  up_->setArrowType(Qt::UpArrow);
  down_->setArrowType(Qt::DownArrow);

  auto* arrows = new QVBoxLayout;
  arrows->setContentsMargins(0, 0, 0, 0);
  arrows->setSpacing(0);
  arrows->addWidget(up_);
  arrows->addWidget(down_);
  auto* row = new QHBoxLayout(this);
  row->setContentsMargins(1, 1, 1, 1);
  row->setSpacing(0);
  row->addWidget(edit_);
  row->addLayout(arrows);
  setFocusProxy(edit_);
  setAttribute(Qt::WA_StyledBackground);

  edit_->setText(QString::number(Clamp(value)));
  edit_->installEventFilter(this);
  connect(edit_, &QLineEdit::textChanged, this, &TSpinEdit::textChanged);
  connect(up_, &QToolButton::clicked, this, [this] { StepBy(1); });
  connect(down_, &QToolButton::clicked, this, [this] { StepBy(-1); });
}

int TSpinEdit::Clamp(long long value) const {
  if (value < min_) return min_;
  if (value > max_) return max_;
  return static_cast<int>(value);
}

int TSpinEdit::Value() const {
  int v = 0;
  return ParseWholeNumber(edit_->text(), v) ? v : min_;
}

void TSpinEdit::SetValue(int value) {
  const QString text = QString::number(Clamp(value));
  if (text != edit_->text()) edit_->setText(text);
}

QString TSpinEdit::Text() const { return edit_->text(); }

void TSpinEdit::SetText(const QString& text) { edit_->setText(text); }

void TSpinEdit::StepBy(int steps) { SetValue(Clamp(static_cast<long long>(Value()) + steps)); }

bool TSpinEdit::eventFilter(QObject* watched, QEvent* event) {
  if (watched == edit_) {
    if (event->type() == QEvent::FocusOut) {
      int v = 0;
      // Only a number is brought into range; other text is left for the user to see.
      if (ParseWholeNumber(edit_->text(), v) && Clamp(v) != v) SetValue(v);
    } else if (event->type() == QEvent::KeyPress) {
      const int key = static_cast<QKeyEvent*>(event)->key();
      if (key == Qt::Key_Up || key == Qt::Key_Down) {
        StepBy(key == Qt::Key_Up ? 1 : -1);
        return true;
      }
    }
  }
  return QWidget::eventFilter(watched, event);
}

}  // namespace kova::gui
