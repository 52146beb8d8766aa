// A real relay driven through the window: loopback echo target, no proxy.

#include "GuiTestSupport.h"
#include "gui/AccessDialogs.h"
#include "net/AllowList.h"

namespace kova::gui {

using RelayWindow = FormTest;

TEST_F(RelayWindow, RelaysFailsOverClearsIdleConnectionsStopsAndEndsWithTheWindow) {
  Server()->addItems({ClosedPort(), "", EchoTarget()});
  Child<TSpinEdit>("EdTimeClear")->SetText("0");  // 0: never cleared
  ASSERT_TRUE(Start());
  test::UniqueFd client = Client("hello");
  EXPECT_EQ(Server()->currentText(), EchoTarget());  // failover shows the server in use

  // Each worker counts after its own call returns: wait until both have.
  ASSERT_TRUE(WaitFor([&] { return form.ATimerTimer(), Row("SockList", 0).endsWith("|5|5|0:0"); }));
  const QString row = "0|" + Row("SockList", 0).section('|', 1, 1) + "|" + EchoTarget() + "|5|5|";
  EXPECT_TRUE(row.startsWith("0|" + QString::fromStdString(address) + ":")) << row.toStdString();
  EXPECT_EQ(Row("ThreadList", 0) + " " + Row("ThreadList", 1), "0|0[客户->服务] 1|0[服务->客户]");
  EXPECT_EQ(Counters(), "活动连接数：1 活动线程数：2 ");

  now += 3725'000;  // idle time shown as minutes:seconds; a limit of 0 keeps it
  form.ATimerTimer();
  EXPECT_EQ(Row("SockList", 0), row + "62:5");
  Child<TSpinEdit>("EdTimeClear")->SetText("1");  // read anew at every tick
  now -= 3725'000 - 60'000;  // exactly the limit: kept
  form.ATimerTimer();
  EXPECT_EQ(Row("SockList", 0), row + "1:0");
  EXPECT_EQ(form.Engine().ConnectionsInUse(), 1);
  now += 1'000;  // past it: released, still listed in this tick
  form.ATimerTimer();
  EXPECT_EQ(Row("SockList", 0), row + "1:1");
  EXPECT_EQ(form.Engine().ConnectionsInUse(), 0);
  EXPECT_TRUE(PeerClosedPumping(client.get()));
  EXPECT_TRUE(WaitFor([&] { return form.ATimerTimer(), Counters() == "活动连接数：0 活动线程数：0 "; }));

  Click("BtUpdate");  // applying a list starts the walk again at its first entry
  EXPECT_EQ(form.Engine().NextServerIndex(), 0);

  // Stopping leaves relays running; while listening, the port box and the tray name the address.
  Server()->setEditText(EchoTarget());
  form.findChild<QTimer*>("ATimer")->stop();  // the ticks below are the test's own
  auto tips = [&] { return Port()->toolTip() + "|" + form.findChild<QSystemTrayIcon*>()->toolTip(); };
  const QString where = QString::fromStdString(address) + ":" + QString::number(port);
  form.ATimerTimer();
  EXPECT_EQ(tips(), "设置转发服务端口\n监听地址 " + where + "|KOVA数据转发服务\n" + where + "\n收到 0 B/s，发送 0 B/s");
  client = Client("one");
  form.ATimerTimer();  // the tray gives the rate since the last tick
  EXPECT_TRUE(tips().contains(QRegularExpression("\\|KOVA数据转发服务\n" + QRegularExpression::escape(where) +
                                                 "\n收到 [1-9][0-9.]* K?B/s，发送 [1-9][0-9.]* K?B/s$"))) << tips().toStdString();
  Click("BtStop");
  ASSERT_TRUE(WaitStates("+-+"));
  EXPECT_EQ(tips(), "设置转发服务端口|KOVA数据转发服务");
  EXPECT_FALSE(test::ConnectTo(address, port).valid()) << "the stopped service still accepts";
  EXPECT_TRUE(test::SendAll(client.get(), "after"));
  EXPECT_EQ(ReadPumping(client.get(), 5), "after");
  EXPECT_TRUE(WaitFor([&] { return form.ATimerTimer(), Counters().startsWith("活动连接数：1 "); }));

  const auto begin = std::chrono::steady_clock::now();
  window.reset();  // what the program's end does: listener, workers, sockets
  EXPECT_LT(std::chrono::steady_clock::now() - begin, std::chrono::seconds(5));
  EXPECT_TRUE(PeerClosedPumping(client.get()));
}


// The port field's menu: who may connect (applied while listening too) and where the next start listens.
TEST_F(RelayWindow, AllowListAndListeningAddressFromThePortFieldsMenu) {
  QString typed;
  int chosen = -1;  // the listening address box's answer; -1 cancels
  TUiSeam::SetDialogHook([&](QDialog& d) {
    if (auto* edit = d.findChild<QPlainTextEdit*>("EdAllowList")) {
      edit->setPlainText(typed);
      return !typed.isNull();
    }
    auto* box = d.findChild<QComboBox*>("CbListenAddress");
    if (box && chosen >= 0) box->setCurrentIndex(chosen);
    return box && chosen >= 0;
  });
  auto menuTexts = [&](QWidget* w, QPoint at) {
    emit w->customContextMenuRequested(at);
    auto* menu = qobject_cast<QMenu*>(QApplication::activePopupWidget());
    QStringList texts;
    for (QAction* a : menu ? menu->actions() : QList<QAction*>()) texts << a->text();
    if (menu) menu->close();
    return texts.mid(std::max<qsizetype>(0, texts.size() - 2)).join('|');
  };
  EXPECT_EQ(menuTexts(Port(), QPoint(2, 2)), "允许连接的客户端…|监听地址…");
  auto allow = [&](const QString& text) { typed = text, Child<QAction>("ActAllowList")->trigger(); };
  allow("127.0.0.1\n300.1.1.1");
  EXPECT_EQ(messages, QStringList{"KOVA 2.0|无效的条目: 300.1.1.1\n允许列表没有改变。"});
  EXPECT_EQ(form.Engine().AllowList(), nullptr);
  allow("# only this one\n127.0.0.1");
  typed = QString();
  Child<QAction>("ActAllowList")->trigger();  // cancelled: the list stays
  ASSERT_NE(form.Engine().AllowList(), nullptr);
  const QString only = "\n只允许列表中的客户端连接 (1 项)";
  auto tips = [&] {  // the tray's rate line aside: the traffic view's test reads it
    QString both = Port()->toolTip() + "|" + form.findChild<QSystemTrayIcon*>()->toolTip();
    return both.remove(QRegularExpression("\n收到 [^\n]*"));
  };
  EXPECT_EQ(tips(), "设置转发服务端口" + only + "|KOVA数据转发服务" + only);

  Server()->setEditText(EchoTarget());
  ASSERT_TRUE(Start());
  auto where = [&] {
    const QString a = QString::fromStdString(address);
    return (a.contains(':') ? "[" + a + "]" : a) + ":" + QString::number(port);
  };
  EXPECT_EQ(tips(), "设置转发服务端口\n监听地址 " + where() + only + "|KOVA数据转发服务\n" + where() + only);
  // Listening, the field is disabled: the panel under it offers the same two entries.
  EXPECT_EQ(menuTexts(Port()->parentWidget(), Port()->geometry().center()), "允许连接的客户端…|监听地址…");

  // A client from 127.0.0.2 is refused and recorded with its address; the list swapped while
  // listening lets it in.
  const test::UniqueFd member = Client("in");
  const test::UniqueFd stranger = test::ConnectTo(address, port, "127.0.0.2");
  EXPECT_TRUE(PeerClosedPumping(stranger.get()));
  ASSERT_TRUE(WaitFor([&] { return !form.Engine().RecentOutcomes().empty(); }));
  const TRelayOutcome o = form.Engine().RecentOutcomes().front();
  EXPECT_EQ(RelayEndText(o.End) + " " + o.Client.substr(0, 10), "客户端不在允许列表中 127.0.0.2:");
  allow("127.0.0.2");
  const test::UniqueFd now = test::ConnectTo(address, port, "127.0.0.2");
  EXPECT_TRUE(test::SendAll(now.get(), "now") && ReadPumping(now.get(), 3) == "now");
  allow("");  // empty: everyone, and the tooltips say nothing more
  EXPECT_EQ(form.Engine().AllowList(), nullptr);
  EXPECT_EQ(tips(), "设置转发服务端口\n监听地址 " + where() + "|KOVA数据转发服务\n" + where());

  // The choices: the own address first, this machine, every address, then the interfaces' (lo's
  // ::1 among them where the system has IPv6); a choice applies at the next start.
  const auto choices = ListenChoices();
  ASSERT_GE(choices.size(), 3u);
  EXPECT_EQ(choices[0].Label + "=" + choices[0].Address + "|" + choices[1].Address + "|" + choices[2].Address,
            "本机地址 (默认)=|127.0.0.1|::");
  const auto v6 = std::find_if(choices.begin(), choices.end(), [](const auto& c) { return c.Address == "::1"; });
  if (v6 != choices.end()) {
    chosen = static_cast<int>(v6 - choices.begin());
    Child<QAction>("ActListenAddress")->trigger();
    EXPECT_EQ(form.Engine().ListeningAddress(), address) << "applied before the next start";
    Click("BtStop");
    ASSERT_TRUE(WaitStates("+-+"));
    ASSERT_TRUE(Start());
    EXPECT_EQ(address, "::1");
    EXPECT_EQ(tips(), "设置转发服务端口\n监听地址 " + where() + "|KOVA数据转发服务\n" + where());
  }
  TUiSeam::SetDialogHook(nullptr);
}

}  // namespace kova::gui
