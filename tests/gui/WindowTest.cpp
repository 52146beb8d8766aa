// The window: fresh start, start/stop button states, the monitor timer, number boxes and tray.

#include <optional>

#include "GuiTestSupport.h"

namespace kova::gui {

using Window = FormTest;

TEST_F(Window, FreshStartTheIntervalBoxAndButtonStatesThroughStartStopFailureAndRestart) {
  EXPECT_EQ(Port()->text() + " " + Child<QLineEdit>("EdProxy")->text(), "1080 192.168.1.1:3128");
  EXPECT_EQ(Counters(), "活动连接数：0 活动线程数：0 ");
  // proxy type (HTTP), switching, idle limit, monitor interval, servers; and the texts left empty
  EXPECT_EQ(std::tuple(form.ProxyType(), form.AutoSwitch(), form.IdleLimitMinutes(),
                       Child<TSpinEdit>("EdTimeUpdate")->Value(), form.ServerCount()),
            std::tuple(1, true, 5, 3, 0));
  EXPECT_EQ(form.ServerText() + form.ProxyUser() + form.ProxyPassword(), "");
  EXPECT_EQ(States(), "+-+");
  auto* timer = form.findChild<QTimer*>("ATimer");
  EXPECT_FALSE(timer->isActive());
  // Button states through start, stop, a failed start and a restart; starting starts the monitor.
  Child<QRadioButton>("RgProxy0")->click();
  Port()->setText("0");
  Click("BtStart");
  EXPECT_EQ(States(), "--+");      // starting
  ASSERT_TRUE(WaitStates("-+-"));  // listening, "0" replaced by the bound port
  EXPECT_EQ(timer->isActive() ? timer->interval() : 0, 3000);
  const std::string bound = form.Engine().ListeningAddress();
  ASSERT_TRUE(test::IsLoopbackText(bound)) << bound;
  Click("BtStop");
  EXPECT_EQ(States(), "---");  // stopping
  ASSERT_TRUE(WaitStates("+-+"));
  EXPECT_TRUE(timer->isActive());  // the monitor keeps running

  // Failed starts: one box, its first line as ever, its second where and why; the port stays typed.
  test::RawListener holder(bound);  // a port already held
  const QString held = QString::fromStdString(holder.portText());
  struct TFailure { QString Address, Port, Why; bool Unprivileged = false; };
  const TFailure failures[] = {
      {"127.0.0.1", held, "127.0.0.1 端口 " + held + "：端口已被占用"},
      {"198.51.100.7", "0", "198.51.100.7 端口 0：不是本机的地址"},  // not assigned: bind fails, nothing sent
      {"127.0.0.1", "70000", "127.0.0.1 端口 70000：不是端口号（0-65535）"},
      {"127.0.0.1", "abc", "127.0.0.1 端口 abc：不是端口号（0-65535）"},
      {"127.0.0.1", "1", "127.0.0.1 端口 1：无权使用 1024 以下的端口", true},
  };
  for (const TFailure& f : failures) {
    messages.clear();
    TUiSeam::SetListenAddress(f.Address);
    std::optional<test::NoLowPortRight> unprivileged;
    if (f.Unprivileged) unprivileged.emplace();  // the listener thread inherits it
    Port()->setText(f.Port);
    Click("BtStart");
    ASSERT_TRUE(WaitFor([&] { return !messages.empty() && States() == "+-+"; })) << f.Port.toStdString();
    WaitFor([] { return false; }, 100);  // exactly one box
    EXPECT_EQ(messages, QStringList({"KOVA 2.0|服务器开启失败!|" + f.Why}));
    EXPECT_EQ(Port()->text(), f.Port);
  }
  TUiSeam::SetListenAddress(QStringLiteral("127.0.0.1"));
  ASSERT_TRUE(Start("0"));
  EXPECT_NE(Port()->text(), held);
  // typed -> period in ms, 0 = stopped; "" and letters read as the minimum 1; no overflow
  for (const auto& [typed, period] : std::vector<std::pair<QString, int>>{
           {"5", 5000}, {"0", 0}, {"", 1000}, {"-3", 0}, {"99999999", INT_MAX}, {"abc", 1000}}) {
    Child<TSpinEdit>("EdTimeUpdate")->SetText(typed);
    EXPECT_EQ(timer->isActive() ? timer->interval() : 0, period) << typed.toStdString();
  }
}

TEST(SpinEdit, TypingIsReadAsTypedClampedOnlyWhenLeavingAndArrowsStepIntoTheLimits) {
  struct TCase { int Min; QString Typed; int WhileTyped; QString AfterLeaving; };
  const TCase cases[] = {{0, "700", 700, "600"}, {0, "-5", -5, "0"}, {1, "0", 0, "1"}, {0, "42", 42, "42"},
                         {1, "abc", 1, "abc"},  // letters stay and read as the minimum
                         {1, "", 1, ""},        {0, "12x", 0, "12x"}, {0, "99999999999", 0, "99999999999"}};
  for (const TCase& c : cases) {
    TSpinEdit box(c.Min, 600, c.Min);
    box.SetText(c.Typed);
    EXPECT_EQ(box.Value(), c.WhileTyped) << c.Typed.toStdString();
    QFocusEvent out(QEvent::FocusOut, Qt::TabFocusReason);
    QCoreApplication::sendEvent(box.LineEdit(), &out);
    EXPECT_EQ(box.Text(), c.AfterLeaving);
  }

  TSpinEdit box(1, 600, 2);
  QStringList seen;
  QObject::connect(&box, &TSpinEdit::textChanged, [&seen](const QString& text) { seen << text; });
  QKeyEvent up(QEvent::KeyPress, Qt::Key_Up, Qt::NoModifier), down(QEvent::KeyPress, Qt::Key_Down, Qt::NoModifier);
  for (QKeyEvent* key : {&up, &down, &down, &down}) QCoreApplication::sendEvent(box.LineEdit(), key);
  box.SetText("abc");  // letters or out of range: a step lands within the limits
  box.StepBy(1);
  box.SetText("700");
  box.StepBy(1);
  box.StepBy(1);  // at a limit: no change, no signal
  EXPECT_EQ(seen.join(' '), "3 2 1 abc 2 700 600");
}

TEST_F(Window, TrayDecidesWhetherClosingHidesOrEnds) {
  int ends = 0;
  QObject::connect(&form, &TFormMain::programEndRequested, [&ends] { ++ends; });
  form.show();  // no notification area: nothing could bring a hidden window back
  form.setWindowState(Qt::WindowMinimized);
  EXPECT_FALSE(WaitFor([&] { return !form.isVisible() || form.TrayActive(); }, 100));
  form.close();
  EXPECT_EQ(ends, 1);

  trayAvailable = true;  // the notification area appears: the icon follows
  ASSERT_TRUE(WaitFor([&] { return form.TrayActive(); }));
  form.TmShowClick();
  form.close();
  EXPECT_FALSE(form.isVisible());
  form.TmShowClick();
  form.setWindowState(Qt::WindowMinimized);
  EXPECT_TRUE(WaitFor([&] { return !form.isVisible(); }));
  form.TmExitClick();  // from the hidden window
  EXPECT_EQ(ends, 2);
}

}  // namespace kova::gui
