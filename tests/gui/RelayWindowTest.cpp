// A real relay driven through the window: loopback echo target, no proxy.

#include "GuiTestSupport.h"

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

}  // namespace kova::gui
