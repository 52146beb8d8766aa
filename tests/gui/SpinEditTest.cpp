// The number boxes: what they read while typed, what leaving them does, and what the arrows do.

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QFocusEvent>
#include <QKeyEvent>
#include <QLineEdit>

#include "GuiTestSupport.h"
#include "gui/SpinEdit.h"

namespace kova::gui {
namespace {

void LeaveBox(TSpinEdit& box) {
  QFocusEvent out(QEvent::FocusOut, Qt::TabFocusReason);
  QCoreApplication::sendEvent(box.LineEdit(), &out);
}

void PressKey(TSpinEdit& box, int key) {
  QKeyEvent press(QEvent::KeyPress, key, Qt::NoModifier);
  QCoreApplication::sendEvent(box.LineEdit(), &press);
}

struct TTypingCase {
  int Min, Max;
  QString Typed;
  int ReadWhileTyped;
  QString TextAfterLeaving;
  int ReadAfterLeaving;
};

class SpinEditTyping : public ::testing::TestWithParam<TTypingCase> {};

TEST_P(SpinEditTyping, ReadsTypedTextAndClampsNumbersOnlyWhenLeaving) {
  const TTypingCase& c = GetParam();
  TSpinEdit box(c.Min, c.Max, c.Min);
  box.SetText(c.Typed);
  EXPECT_EQ(box.Value(), c.ReadWhileTyped) << c.Typed.toStdString();
  EXPECT_EQ(box.Text(), c.Typed);
  LeaveBox(box);
  EXPECT_EQ(box.Text(), c.TextAfterLeaving) << c.Typed.toStdString();
  EXPECT_EQ(box.Value(), c.ReadAfterLeaving);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SpinEditTyping,
    ::testing::Values(TTypingCase{0, 600, "700", 700, "600", 600},        // above: read as typed, then clamped
                      TTypingCase{0, 600, "-5", -5, "0", 0},             // below the idle limit's minimum
                      TTypingCase{1, 600, "0", 0, "1", 1},               // below the interval's minimum
                      TTypingCase{0, 600, "abc", 0, "abc", 0},           // letters stay and read as the minimum
                      TTypingCase{1, 600, "abc", 1, "abc", 1},
                      TTypingCase{1, 600, "", 1, "", 1},                 // empty reads as the minimum
                      TTypingCase{0, 600, "12x", 0, "12x", 0},           // a number with a tail is not a number
                      TTypingCase{0, 600, "99999999999", 0, "99999999999", 0},  // too big for 32 bits
                      TTypingCase{0, 600, "42", 42, "42", 42}));

struct TArrowCase {
  int Min, Max;
  QString Start;
  int Steps;
  QString After;
};

class SpinEditArrows : public ::testing::TestWithParam<TArrowCase> {};

TEST_P(SpinEditArrows, StepByOneWithinTheLimits) {
  const TArrowCase& c = GetParam();
  TSpinEdit box(c.Min, c.Max, c.Min);
  box.SetText(c.Start);
  for (int i = 0; i < std::abs(c.Steps); ++i) box.StepBy(c.Steps > 0 ? 1 : -1);
  EXPECT_EQ(box.Text(), c.After) << c.Start.toStdString() << " stepped " << c.Steps;
}

INSTANTIATE_TEST_SUITE_P(Cases, SpinEditArrows,
                         ::testing::Values(TArrowCase{0, 600, "5", 1, "6"}, TArrowCase{0, 600, "5", -2, "3"},
                                           TArrowCase{0, 600, "600", 1, "600"}, TArrowCase{0, 600, "0", -1, "0"},
                                           TArrowCase{1, 600, "1", -3, "1"},
                                           TArrowCase{0, 600, "700", 1, "600"},  // out of range: into range
                                           TArrowCase{0, 600, "abc", 1, "1"},    // letters read as the minimum
                                           TArrowCase{1, 600, "abc", -1, "1"}));

TEST(SpinEdit, ArrowKeysStepAndEveryChangeIsSignalled) {
  TSpinEdit box(1, 600, 3);
  int changes = 0;
  QObject::connect(&box, &TSpinEdit::textChanged, [&changes] { ++changes; });
  PressKey(box, Qt::Key_Up);
  EXPECT_EQ(box.Text(), "4");
  PressKey(box, Qt::Key_Down);
  PressKey(box, Qt::Key_Down);
  EXPECT_EQ(box.Text(), "2");
  box.SetText("9");       // typing
  box.SetText("900");
  LeaveBox(box);          // clamping is a change too
  EXPECT_EQ(box.Text(), "600");
  EXPECT_EQ(changes, 6);
  box.StepBy(1);          // already at the limit: no change, no signal
  EXPECT_EQ(changes, 6);
}

}  // namespace
}  // namespace kova::gui
