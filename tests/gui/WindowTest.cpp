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
  const std::vector<std::pair<const char*, QString>> texts = {
      {"EdListenPort", "1080"}, {"EdProxy", "192.168.1.1:3128"}, {"EdUsername", ""}, {"EdPassword", ""},
      {"LbConnect", "活动连接数：0 "}, {"LbThread", "活动线程数：0 "}};
  for (const auto& [name, text] : texts) {
    QWidget* w = Child(form, name);
    ASSERT_NE(w, nullptr);
    const QString got = qobject_cast<QLineEdit*>(w) ? static_cast<QLineEdit*>(w)->text()
                                                    : static_cast<QLabel*>(w)->text();
    EXPECT_EQ(got, text) << name;
  }
  Child<QLineEdit>(form, "EdPassword")->setText("pw1");
  EXPECT_EQ(Child<QLineEdit>(form, "EdPassword")->displayText(), "***");
  Child<QLineEdit>(form, "EdPassword")->clear();
  EXPECT_TRUE(Child<QRadioButton>(form, "RgProxy1")->isChecked());
  EXPECT_EQ(form.ProxyType(), 1);
  EXPECT_TRUE(form.AutoSwitch());
  EXPECT_EQ(Spin("EdTimeClear")->Text(), "5");
  EXPECT_EQ(Spin("EdTimeUpdate")->Text(), "3");
  EXPECT_EQ(Child<QComboBox>(form, "EdServerIP")->currentText(), "");
  EXPECT_EQ(Child<QComboBox>(form, "EdServerIP")->count(), 0);
  EXPECT_EQ(form.EditBoxText(), "");
  EXPECT_EQ(Child<QTableWidget>(form, "SockList")->rowCount(), 0);
  EXPECT_EQ(Child<QTableWidget>(form, "ThreadList")->rowCount(), 0);
  EXPECT_FALSE(Timer()->isActive());
  EXPECT_EQ(States(), std::make_tuple(true, false, true));
  EXPECT_EQ(form.windowTitle(), "KOVA数据转发服务器 2.0 [松下石灯出品]");
  EXPECT_EQ(form.size(), QSize(701, 404));
  EXPECT_EQ(form.minimumSize(), form.maximumSize());  // fixed border
  EXPECT_FALSE(form.windowFlags() & Qt::WindowMinimizeButtonHint);
  EXPECT_FALSE(form.windowFlags() & Qt::WindowMaximizeButtonHint);
  EXPECT_EQ(Child(form, "Panel1")->width(), 185);
}

TEST_F(Window, EveryControlCarriesItsCaptionAndTooltip) {
  struct TControl {
    const char* Name;
    QString Caption;
    QString Tip;
  };
  const std::vector<TControl> buttons = {
      {"BtServerAdd", "加入", "将当前服务器地址加入到列表"},
      {"BtServerUse", "使用", "使用当前的服务器地址"},
      {"BtStart", "启动", "启动转发服务"},
      {"BtStop", "停止", "停止转发服务，已有的连接不受影响"},
      {"BtEdit", "编辑", "获取服务器列表的内容来进行编辑"},
      {"BtUpdate", "应用", "用左边编辑的内容替换到服务器列表"},
      {"BtSave", "保存", "保存编辑的内容到磁盘"},
      {"BtLoad", "加载", "读取磁盘文件进行编辑"},
      {"CbServer", "自动切换", "连接不上时自动切换到下一个服务器"},
  };
  for (const auto& b : buttons) {
    auto* w = Child<QAbstractButton>(form, b.Name);
    ASSERT_NE(w, nullptr);
    EXPECT_EQ(w->text(), b.Caption) << b.Name;
    EXPECT_EQ(w->toolTip(), b.Tip) << b.Name;
    if (qobject_cast<QPushButton*>(w)) {
      EXPECT_FALSE(w->icon().isNull()) << b.Name;
    }
  }
  const std::vector<TControl> labels = {{"Label3", "服务器地址：", ""},  {"Label2", "地址", ""},
                                        {"Label4", "用户", ""},          {"Label5", "密码", ""},
                                        {"Label6", "转发服务端口：", ""}, {"Label8", "自动清除空闲(分)", ""},
                                        {"Label1", "统计信息更新(秒)", ""}};
  for (const auto& l : labels) EXPECT_EQ(Child<QLabel>(form, l.Name)->text(), l.Caption) << l.Name;
  const std::vector<TControl> tips = {
      {"EdServerIP", "", "输入要使用的服务器地址(IP:Port)"},
      {"RgProxy", "", "选择转发时使用的代理服务器类型"},
      {"EdProxy", "", "设置代理服务器的地址(IP:Port)"},
      {"EdUsername", "", "连接代理服务器需要的用户名"},
      {"EdPassword", "", "连接代理服务器需要的密码"},
      {"EdListenPort", "", "设置转发服务端口"},
      {"EdTimeClear", "", "输入连接被清除前经历的空闲时间"},
      {"EdTimeUpdate", "", "输入更新信息的时间间隔"},
      {"SockList", "", "最大活动连接数=50"},
      {"ThreadList", "", "最大活动线程数=100"},
  };
  for (const auto& t : tips) EXPECT_EQ(Child(form, t.Name)->toolTip(), t.Tip) << t.Name;
  EXPECT_TRUE(Child(form, "EdServers")->toolTip().startsWith("在这里可以编辑目标服务器列表"));
  EXPECT_EQ(Child<QGroupBox>(form, "RgProxy")->title(), "代理服务器");
  const QStringList proxies = {"不用代理", "HTTP", "SOCKS 4", "SOCKS 5"};
  for (int i = 0; i < 4; ++i)
    EXPECT_EQ(Child<QRadioButton>(form, QStringLiteral("RgProxy%1").arg(i).toLatin1().constData())->text(),
              proxies[i]);
  for (const char* name : {"Panel1", "Panel2", "Panel3", "Panel4", "Panel5", "Panel6", "Panel7", "Panel8", "Panel9",
                           "Panel10", "Splitter1"})
    EXPECT_NE(Child(form, name), nullptr);
}

TEST_F(Window, ListsHaveTheirColumns) {
  struct TColumn {
    QString Header;
    int Width;
  };
  const std::vector<std::pair<const char*, std::vector<TColumn>>> lists = {
      {"SockList",
       {{"连接ID", 52}, {"客户端地址", 120}, {"服务端地址", 120}, {"收到字节数", 80}, {"发送字节数", 80}, {"已空闲", 54}}},
      {"ThreadList", {{"线程ID", 52}, {"连接ID[操作类型]", 180}}}};
  for (const auto& [name, columns] : lists) {
    auto* list = Child<QTableWidget>(form, name);
    ASSERT_EQ(list->columnCount(), static_cast<int>(columns.size())) << name;
    for (int i = 0; i < list->columnCount(); ++i) {
      EXPECT_EQ(list->horizontalHeaderItem(i)->text(), columns[i].Header);
      EXPECT_EQ(list->columnWidth(i), columns[i].Width);
    }
    EXPECT_EQ(list->horizontalHeader()->height(), 17);
  }
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

TEST_F(Window, MonitorTickBeforeAnyServiceShowsEmptyLists) {
  form.ATimerTimer();
  EXPECT_EQ(Child<QLabel>(form, "LbConnect")->text(), "活动连接数：0 ");
  EXPECT_EQ(Child<QLabel>(form, "LbThread")->text(), "活动线程数：0 ");
}

// ---- tray --------------------------------------------------------------------------------------

class Tray : public Window {
 protected:
  int ends = 0;
  void SetUp() override {
    QObject::connect(&form, &TFormMain::programEndRequested, [this] { ++ends; });
  }
};

TEST_F(Tray, MenuAndTooltip) {
  auto* icon = form.findChild<QSystemTrayIcon*>("TrayIcon");
  ASSERT_NE(icon, nullptr);
  EXPECT_EQ(icon->toolTip(), "KOVA数据转发服务");
  ASSERT_NE(icon->contextMenu(), nullptr);
  EXPECT_EQ(icon->contextMenu()->objectName(), "TmPopup");
  QStringList items;
  for (QAction* a : icon->contextMenu()->actions()) items << (a->isSeparator() ? "-" : a->text());
  EXPECT_EQ(items, QStringList({"显示", "隐藏", "-", "退出"}));
}

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
