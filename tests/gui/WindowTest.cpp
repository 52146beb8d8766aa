// The window itself: what a fresh start shows, the start/stop states, the monitor timer, and the
// tray commands.

#include <gtest/gtest.h>

#include <climits>

#include <QCheckBox>
#include <QComboBox>
#include <QGroupBox>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QSplitter>
#include <QSystemTrayIcon>
#include <QTableWidget>
#include <QTimer>

#include "GuiTestSupport.h"
#include "gui/SpinEdit.h"
#include "gui/uMain.h"
#include "support/Loopback.h"

namespace kova::gui {
namespace {

using guitest::Child;
using guitest::Click;
using guitest::WaitFor;

class Window : public ::testing::Test {
 protected:
  guitest::TSeamScope seams;
  TFormMain form;

  QPushButton* Button(const char* name) { return Child<QPushButton>(form, name); }
  QLineEdit* Port() { return Child<QLineEdit>(form, "EdListenPort"); }
  QTimer* Timer() { return form.findChild<QTimer*>("ATimer"); }
  TSpinEdit* Spin(const char* name) { return Child<TSpinEdit>(form, name); }

  // BtStart, BtStop, EdListenPort enabled?
  std::tuple<bool, bool, bool> States() {
    return {Button("BtStart")->isEnabled(), Button("BtStop")->isEnabled(), Port()->isEnabled()};
  }
  void StartOn(const QString& port) {
    Port()->setText(port);
    Click(form, "BtStart");
  }
  bool WaitListening() { return WaitFor([&] { return Button("BtStop")->isEnabled(); }); }
  bool WaitStopped() {
    return WaitFor([&] { return States() == std::tuple<bool, bool, bool>{true, false, true}; });
  }
};

TEST_F(Window, FreshStartShowsTheDefaults) {
  for (const auto& [name, text] : std::vector<std::pair<const char*, QString>>{
           {"EdListenPort", "1080"}, {"EdProxy", "192.168.1.1:3128"}, {"EdUsername", ""}, {"EdPassword", ""}})
    EXPECT_EQ(Child<QLineEdit>(form, name)->text(), text) << name;
  EXPECT_EQ(Child<QLabel>(form, "LbConnect")->text(), "活动连接数：0 ");
  EXPECT_EQ(Child<QLabel>(form, "LbThread")->text(), "活动线程数：0 ");
  EXPECT_EQ(form.ProxyType(), 1);  // HTTP
  EXPECT_TRUE(form.AutoSwitch());
  EXPECT_EQ(form.IdleLimitMinutes(), 5);
  EXPECT_EQ(Spin("EdTimeUpdate")->Value(), 3);
  EXPECT_EQ(form.ServerText(), "");
  EXPECT_EQ(form.ServerCount(), 0);
  EXPECT_EQ(form.EditBoxText(), "");
  EXPECT_FALSE(Timer()->isActive());
  EXPECT_EQ(States(), std::make_tuple(true, false, true));
  EXPECT_EQ(form.minimumSize(), QSize(701, 404));
  EXPECT_EQ(form.maximumSize(), QSize(701, 404));
  auto* password = Child<QLineEdit>(form, "EdPassword");
  password->setText("pw1");
  EXPECT_EQ(password->displayText(), "***");  // stars, whatever the desktop style masks with
}

TEST_F(Window, StartListenStopFollowTheStateTable) {
  Child<QRadioButton>(form, "RgProxy0")->click();
  StartOn("0");
  EXPECT_EQ(States(), std::make_tuple(false, false, true));  // starting
  ASSERT_TRUE(WaitListening());
  EXPECT_EQ(States(), std::make_tuple(false, true, false));  // listening
  bool isNumber = false;
  const int port = Port()->text().toInt(&isNumber);
  EXPECT_TRUE(isNumber && port > 0) << Port()->text().toStdString();  // "0" shows the bound number
  EXPECT_TRUE(Timer()->isActive());
  EXPECT_EQ(Timer()->interval(), 3000);

  Click(form, "BtStop");
  EXPECT_EQ(States(), std::make_tuple(false, false, false));  // stopping
  ASSERT_TRUE(WaitStopped());
  EXPECT_TRUE(Timer()->isActive());  // stopping the service leaves the monitor running
  EXPECT_TRUE(seams.Messages.empty());
}

TEST_F(Window, FailedStartShowsOneBoxAndCanStartAgainElsewhere) {
  Child<QRadioButton>(form, "RgProxy0")->click();
  // Learn the address the service binds, then hold a port there.
  StartOn("0");
  ASSERT_TRUE(WaitListening());
  const std::string address = form.Engine().ListeningAddress();
  ASSERT_TRUE(test::IsLoopbackText(address)) << address;
  Click(form, "BtStop");
  ASSERT_TRUE(WaitStopped());
  test::RawListener holder(address);

  StartOn(QString::fromStdString(holder.portText()));
  ASSERT_TRUE(WaitFor([&] { return !seams.Messages.empty(); }));
  ASSERT_TRUE(WaitStopped());
  guitest::Spin(100);
  ASSERT_EQ(seams.Messages.size(), 1u);
  EXPECT_EQ(seams.Messages[0].Title, "KOVA 2.0");
  EXPECT_EQ(seams.Messages[0].Text, "服务器开启失败!");
  EXPECT_FALSE(seams.Messages[0].Error);
  EXPECT_EQ(Port()->text(), QString::fromStdString(holder.portText()));

  StartOn("0");
  ASSERT_TRUE(WaitListening());
  EXPECT_NE(Port()->text(), QString::fromStdString(holder.portText()));
  Click(form, "BtStop");
  ASSERT_TRUE(WaitStopped());
}

TEST_F(Window, IntervalBoxDrivesTheMonitorTimer) {
  TSpinEdit* interval = Spin("EdTimeUpdate");
  interval->SetText("5");  // any change switches the timer on, even before a start
  EXPECT_TRUE(Timer()->isActive());
  EXPECT_EQ(Timer()->interval(), 5000);
  interval->SetText("0");  // below 1: off
  EXPECT_FALSE(Timer()->isActive());
  interval->SetText("");  // empty reads as 1: one second
  EXPECT_TRUE(Timer()->isActive());
  EXPECT_EQ(Timer()->interval(), 1000);
  interval->SetText("-3");
  EXPECT_FALSE(Timer()->isActive());
  interval->SetText("99999999");  // read as typed until left: the period must not overflow
  EXPECT_TRUE(Timer()->isActive());
  EXPECT_EQ(Timer()->interval(), INT_MAX);
  interval->SetText("abc");
  EXPECT_EQ(Timer()->interval(), 1000);

  // The same period again does not restart the timing.
  interval->SetText("2");
  guitest::Spin(400);
  interval->SetText("02");
  EXPECT_LE(Timer()->remainingTime(), 1750);  // a restart would show about 2000 (coarse timers allow 5%)
}

// ---- tray --------------------------------------------------------------------------------------

class Tray : public Window {
 protected:
  int ends = 0;
  void SetUp() override {
    QObject::connect(&form, &TFormMain::programEndRequested, [this] { ++ends; });
  }
};

TEST_F(Tray, CloseHidesWhileTheIconIsActiveAndExitEnds) {
  seams.TrayAvailable = true;
  form.show();
  ASSERT_TRUE(form.TrayActive());
  form.close();
  EXPECT_FALSE(form.isVisible());
  EXPECT_EQ(ends, 0);
  form.TmShowClick();
  EXPECT_TRUE(form.isVisible());
  form.TmHideClick();
  form.TmHideClick();
  EXPECT_FALSE(form.isVisible());
  form.TmExitClick();  // from the hidden window
  EXPECT_FALSE(form.TrayActive());
  EXPECT_EQ(ends, 1);
}

TEST_F(Tray, MinimiseHides) {
  seams.TrayAvailable = true;
  form.show();
  form.setWindowState(Qt::WindowMinimized);
  EXPECT_TRUE(WaitFor([&] { return !form.isVisible(); }));
  form.TmShowClick();
  EXPECT_TRUE(form.isVisible());
  EXPECT_FALSE(form.isMinimized());
  EXPECT_EQ(ends, 0);
}

TEST_F(Tray, WithoutANotificationAreaClosingEndsTheProgram) {
  seams.TrayAvailable = false;
  form.show();
  EXPECT_FALSE(form.TrayActive());
  form.setWindowState(Qt::WindowMinimized);  // nothing could bring a hidden window back
  guitest::Spin(50);
  EXPECT_TRUE(form.isVisible());
  form.close();
  EXPECT_EQ(ends, 1);
}

TEST_F(Tray, IconComesWhenTheNotificationAreaAppears) {
  seams.TrayAvailable = false;
  form.show();
  ASSERT_FALSE(form.TrayActive());
  seams.TrayAvailable = true;
  EXPECT_TRUE(WaitFor([&] { return form.TrayActive(); }, std::chrono::seconds(6)));
  form.close();
  EXPECT_EQ(ends, 0);
}

}  // namespace
}  // namespace kova::gui
