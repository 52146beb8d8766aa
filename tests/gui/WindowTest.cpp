// The window as a user drives it: start, stop, failed starts, a relay, the sweep, tips, allow-list, address, tray, end.

#include "GuiTestSupport.h"
#include "gui/AccessDialogs.h"
#include "net/AllowList.h"

namespace kova::gui {

using Window = FormTest;

TEST_F(Window, StartsStopsRelaysSweepsFiltersClientsShowsTheAddressHidesInTheTrayAndEnds) {
  EXPECT_EQ(States() + " " + Port()->text() + " " + Child<QLineEdit>("EdProxy")->text(), "+-+ 1080 192.168.1.1:3128");
  auto* timer = form.findChild<QTimer*>("ATimer");
  EXPECT_FALSE(timer->isActive());
  ASSERT_TRUE(Start());  // "0" replaced by the bound port
  ASSERT_TRUE(Stop());
  EXPECT_EQ(timer->isActive() ? timer->interval() : 0, 3000);  // starting started the monitor; stopping leaves it running

  // Failed starts: one box, its first line as ever, its second where and why; the port stays typed.
  test::RawListener holder(address);  // a port already held
  const QString held = QString::fromStdString(holder.portText());
  const std::tuple<QString, QString, QString, bool> failures[] = {{"127.0.0.1", held, "127.0.0.1 端口 " + held + "：端口已被占用", false},
      {"198.51.100.7", "0", "198.51.100.7 端口 0：不是本机的地址", false},  // not assigned: bind fails, nothing sent
      {"127.0.0.1", "70000", "127.0.0.1 端口 70000：不是端口号（0-65535）", false}, {"127.0.0.1", "1", "127.0.0.1 端口 1：无权使用 1024 以下的端口", true}};
  for (const auto& [at, typed, why, unprivileged] : failures) {
    messages.clear();
    ListenOn(at);
    const auto noLowPorts = unprivileged ? std::make_unique<test::NoLowPortRight>() : nullptr;  // the listener inherits it
    Port()->setText(typed);
    Click("BtStart");
    ASSERT_TRUE(WaitFor([&] { return !messages.empty() && States() == "+-+"; })) << typed.toStdString();
    WaitFor([] { return false; }, 100);  // exactly one box
    EXPECT_EQ(messages, QStringList({"KOVA 2.0|服务器开启失败!|" + why}));
    EXPECT_EQ(Port()->text(), typed);
  }

  ListenOn(QStringLiteral("127.0.0.1"));
  Server()->addItems({ClosedPort(), "", At(echo)});
  Child<TSpinEdit>("EdTimeClear")->SetText("0");  // never cleared, unless read anew below
  ASSERT_TRUE(Start());
  test::UniqueFd client = Client("hello");
  EXPECT_EQ(Server()->currentText(), At(echo));  // failover shows the server in use
  // Each worker counts after its own call returns: wait until both have.
  ASSERT_TRUE(Tick([&] { return Row("SockList", 0).endsWith("|5|5|0:0"); }));
  const QString row = "0|" + Row("SockList", 0).section('|', 1, 1) + "|" + At(echo) + "|5|5|";
  EXPECT_TRUE(row.startsWith("0|" + QString::fromStdString(address) + ":")) << row.toStdString();
  EXPECT_EQ(Row("ThreadList", 0) + " " + Row("ThreadList", 1) + " " + Counters(), "0|0[客户->服务] 1|0[服务->客户] 活动连接数：1 活动线程数：2 ");
  // Set after the start, the limit releases the relay a second past it (still listed in that tick).
  Child<TSpinEdit>("EdTimeClear")->SetText("1");
  now += 61'000;
  form.ATimerTimer();
  EXPECT_EQ(Row("SockList", 0), row + "1:1");
  EXPECT_TRUE(PeerClosedPumping(client.get()));
  EXPECT_TRUE(Tick([&] { return Counters() == "活动连接数：0 活动线程数：0 "; }));
  Click("BtUpdate");  // applying a list starts the walk again at its first entry
  EXPECT_EQ(form.Engine().NextServerIndex(), 0);
  // The interval box (1..600 s): typed -> period while typed (0 = stopped, no overflow), text once it loses focus.
  auto* box = Child<TSpinEdit>("EdTimeUpdate");
  const std::tuple<QString, int, QString> typings[] = {{"5", 5000, "5"}, {"0", 0, "1"}, {"", 1000, ""}, {"-3", 0, "1"},
      {"99999999", INT_MAX, "600"}, {"abc", 1000, "abc"}, {"12x", 1000, "12x"}, {"99999999999", 1000, "99999999999"}, {"700", 700'000, "600"}};
  for (const auto& [typed, period, left] : typings) {
    box->SetText(typed);
    EXPECT_EQ(timer->isActive() ? timer->interval() : 0, period) << typed.toStdString();
    QFocusEvent out(QEvent::FocusOut, Qt::TabFocusReason);
    QCoreApplication::sendEvent(box->LineEdit(), &out);
    EXPECT_EQ(box->Text(), left);
  }
  // Arrows step within the limits, from letters or out of range too; at a limit, no change, no signal.
  QStringList seen;
  QObject::connect(box, &TSpinEdit::textChanged, [&seen](const QString& text) { seen << text; });
  for (const QString step : {"2", "+", "-", "-", "-", "abc", "+", "700", "+", "+"}) {  // a text typed, or an arrow key
    QKeyEvent key(QEvent::KeyPress, step == "+" ? Qt::Key_Up : Qt::Key_Down, Qt::NoModifier);
    if (step == "+" || step == "-") QCoreApplication::sendEvent(box->LineEdit(), &key);
    else box->SetText(step);
  }
  EXPECT_EQ(seen.join(' '), "2 3 2 1 abc 2 700 600");

  // While listening the port box and the tray name the address, the tray also the rate; stopping leaves relays.
  Server()->setEditText(At(echo));
  timer->stop();  // the ticks below are the test's own
  form.ATimerTimer();
  EXPECT_EQ(Tips(), "设置转发服务端口\n监听地址 " + where + "|KOVA数据转发服务\n" + where + "\n收到 0 B/s，发送 0 B/s");
  client = Client("one");
  form.ATimerTimer();
  EXPECT_TRUE(Tips().contains(QRegularExpression("\\|KOVA数据转发服务\n" + QRegularExpression::escape(where) +
                                                 "\n收到 [1-9][0-9.]* K?B/s，发送 [1-9][0-9.]* K?B/s$"))) << Tips().toStdString();
  ASSERT_TRUE(Stop());
  EXPECT_EQ(Tips(), "设置转发服务端口|KOVA数据转发服务");
  EXPECT_TRUE(EchoesPumping(client.get(), "after"));
  EXPECT_TRUE(Tick([&] { return Counters().startsWith("活动连接数：1 "); }));

  // The port field's menu: who may connect (applied while listening too) and where the next start listens.
  auto allow = [&](const QString& text) { allowText = text, FromPortMenu("允许连接的客户端…"); };
  messages.clear();
  allow("127.0.0.1\n300.1.1.1");
  EXPECT_EQ(messages, QStringList{"KOVA 2.0|无效的条目: 300.1.1.1\n允许列表没有改变。"});
  EXPECT_EQ(form.Engine().AllowList(), nullptr);
  allow("# only this one\n127.0.0.1");
  allow(QString());  // cancelled: the list stays
  ASSERT_NE(form.Engine().AllowList(), nullptr);
  const QString only = "\n只允许列表中的客户端连接 (1 项)";
  auto tips = [&] { return Tips().remove(QRegularExpression("\n收到 [^\n]*")); };  // the rate aside
  EXPECT_EQ(tips(), "设置转发服务端口" + only + "|KOVA数据转发服务" + only);
  ASSERT_TRUE(Start());
  EXPECT_EQ(tips(), "设置转发服务端口\n监听地址 " + where + only + "|KOVA数据转发服务\n" + where + only);

  // 127.0.0.2 is refused, then let in by a list swapped while listening; an empty list lets everyone in.
  const test::UniqueFd member = Client("in");
  EXPECT_TRUE(PeerClosedPumping(test::ConnectTo(address, port, "127.0.0.2").get()));
  allow("127.0.0.2");
  EXPECT_TRUE(EchoesPumping(test::ConnectTo(address, port, "127.0.0.2").get(), "now"));
  allow("");
  EXPECT_EQ(tips(), "设置转发服务端口\n监听地址 " + where + "|KOVA数据转发服务\n" + where);

  // The own address, this machine, every address, then the interfaces' (::1 where the system has IPv6).
  const auto choices = ListenChoices();
  ASSERT_GE(choices.size(), 3u);
  EXPECT_EQ(choices[0].Label + "=" + choices[0].Address + "|" + choices[1].Address + "|" + choices[2].Address, "本机地址 (默认)=|127.0.0.1|::");
  if (std::any_of(choices.begin(), choices.end(), [](const auto& c) { return c.Address == "::1"; })) {
    ListenOn("::1");
    EXPECT_EQ(form.Engine().ListeningAddress(), address) << "applied before the next start";
    ASSERT_TRUE(Stop());
    ASSERT_TRUE(Start());
    EXPECT_EQ(address, "::1");
    EXPECT_EQ(tips(), "设置转发服务端口\n监听地址 " + where + "|KOVA数据转发服务\n" + where);
  }

  // Closing ends the program unless a tray icon could bring the hidden window back.
  int ends = 0;
  QObject::connect(&form, &TFormMain::programEndRequested, [&ends] { ++ends; });
  form.show();
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

  // What the program's end does: listener, workers, sockets.
  EXPECT_LT(test::Took([&] { window.reset(); }), std::chrono::seconds(5));
  EXPECT_TRUE(PeerClosedPumping(client.get()));
}

}  // namespace kova::gui
