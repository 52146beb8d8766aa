// Why relays failed and what moves, in the window; loopback peers only.

#include <QLineSeries>
#include <thread>

#include "GuiTestSupport.h"
#include "engine/ConnectionLog.h"
#include "gui/ServerCheck.h"
#include "gui/TrafficView.h"
#include "support/FakePeer.h"

namespace kova::gui {

using ConnectionViews = FormTest;

TEST_F(ConnectionViews, RecentConnectionsTheLogAndTheServerCheckShowWhyRelaysFailed) {
  const QString dead = ClosedPort();
  Server()->addItems({dead, At(echo), ""});
  ASSERT_TRUE(Start());
  auto line = [&](size_t i) { return QString::fromStdString(OutcomeLine(form.Engine().RecentOutcomes()[i])); };
  Client("hello");  // fails over from the closed port to the echo, then ends
  ASSERT_TRUE(WaitFor([&] { return Ended() == 1; }));
  // SOCKS 5 proxies, each heard exactly (the reasons are the engine's): {script, user, proxy|result}
  Child<QCheckBox>("CbServer")->setChecked(false);
  const std::string target = test::ToHex(std::string{char(echo.port() >> 8), char(echo.port() & 0xFF)});
  const std::tuple<std::string, QString, QString> proxies[] = {
      {"> 05 01 00 | < 05 00 | > 05 01 00 01 7F 00 00 01 " + target + " | < 05 05 00 01 00 00 00 00 00 00", "",
       "SOCKS 5|失败: 服务器都无法连接（SOCKS 5 代理拒绝: 连接被拒绝）"},
      {"> 05 02 02 00 | < 05 FF", "kova-user",  // offered "no authentication" and "user/password", it takes neither
       "SOCKS 5（用户 kova-user）|失败: 代理服务器出错, 服务器列表保持不变（SOCKS 5 代理: 没有可接受的认证方式）"}};
  for (const auto& [script, user, shown] : proxies) {
    test::FakePeer proxy(script);
    Child<QRadioButton>("RgProxy3")->click();
    Child<QLineEdit>("EdProxy")->setText(At(proxy.Start()));
    Child<QLineEdit>("EdUsername")->setText(user);
    const size_t before = Ended();
    EXPECT_TRUE(PeerClosedPumping(test::ConnectTo(address, port).get()));
    EXPECT_EQ(proxy.Finish(), proxy.Expected());
    ASSERT_TRUE(WaitFor([&] { return Ended() == before + 1; }));
  }
  Child<QRadioButton>("RgProxy0")->click();

  // The monitor's menu: ending a connection needs a row under the pointer; then the two views.
  QMenu* sockMenu = MenuOf(Child<QTableWidget>("SockList"));
  EXPECT_EQ(Texts(sockMenu).join('|'), "断开此连接-||最近结束的连接…|流量图…");
  Choose(sockMenu, "最近结束的连接…");
  ASSERT_TRUE(Child("RecentConnections")->isVisible());
  auto* list = Child<QTableWidget>("OutcomeList");
  ASSERT_EQ(list->rowCount(), 3);
  // Newest first: client, server, proxy, result, received, sent (time and duration vary).
  EXPECT_TRUE(Row("OutcomeList", 0).section('|', 1, 1).startsWith(QString::fromStdString(address) + ":"));
  for (int r = 0; r < 2; ++r)
    EXPECT_EQ(Row("OutcomeList", r).section('|', 2, 4).remove(QRegularExpression(" 127.0.0.1:[0-9]+")).toStdString(),
              (At(echo) + "|" + std::get<2>(proxies[1 - r])).toStdString());
  EXPECT_TRUE(Row("OutcomeList", 2).section('|', 2, 6).contains(QRegularExpression(
      "^" + At(echo) + "\\|不用代理\\|客户端关闭（之前 [12] 次连接失败）\\|5\\|5$"))) << Row("OutcomeList", 2).toStdString();
  const QString tried = list->item(2, 2)->toolTip();
  EXPECT_TRUE(tried.startsWith(dead + "：失败，目标服务器拒绝连接") && tried.contains(At(echo) + "：连接成功")) << tried.toStdString();

  // Failures only; copying with nothing selected takes every row shown, as log lines.
  Child<QCheckBox>("OnlyFailures")->click();
  ASSERT_EQ(list->rowCount(), 2);
  Click("CopyOutcomes");
  EXPECT_EQ(QGuiApplication::clipboard()->text(), line(0) + "\n" + line(1) + "\n");
  Child<QCheckBox>("OnlyFailures")->click();

  // The monitor timer refreshes the view; a selected row stays selected as new rows come in.
  list->selectRow(1);
  Client("again");
  ASSERT_TRUE(WaitFor([&] { return Ended() == 4; }));
  form.ATimerTimer();
  ASSERT_EQ(list->rowCount(), 4);
  Click("CopyOutcomes");
  EXPECT_EQ(QGuiApplication::clipboard()->text(), line(2) + "\n");
  EXPECT_TRUE(Child<QLabel>("LbConnect")->toolTip().startsWith("最近十分钟被拒绝或失败的连接：2\n"));

  // The log, where the state folder says, ends with the same lines.
  form.ConnectionLog().Flush();
  QFile log(qEnvironmentVariable("XDG_STATE_HOME") + "/kova/connections.log");
  ASSERT_TRUE(log.open(QIODevice::ReadOnly));
  EXPECT_TRUE(QString::fromUtf8(log.readAll()).endsWith(line(1) + "\n" + line(0) + "\n"));

  // The check (its menu's Qt entries translated where installed): every entry in list order, relays untouched.
  test::UniqueFd running = Client("before");
  const auto serverBefore = std::pair(Server()->currentText(), form.Engine().NextServerIndex());
  QMenu* menu = MenuAt(Child<QPlainTextEdit>("EdServers"), QPoint(5, 5));
  const QString standard = Texts(menu).join('|');
  if (QFile::exists(QLibraryInfo::path(QLibraryInfo::TranslationsPath) + "/qtbase_zh_CN.qm")) {
    EXPECT_TRUE(standard.contains("全选") && !standard.contains("Select All")) << standard.toStdString();
  }
  Choose(menu, "检测服务器");
  auto* check = form.findChild<TServerCheckWindow*>();
  ASSERT_TRUE(check && check->isVisible());
  ASSERT_TRUE(WaitFor([&] { return check->Pending() == 0; }));
  auto checked = [&] {  // the rows without the time each took
    QStringList rows;
    for (int r = 0; r < Child<QTableWidget>("CheckList")->rowCount(); ++r)
      rows << Row("CheckList", r).section('|', 0, 1) + "|" + Row("CheckList", r).section('|', 3);
    return rows << Child<QLabel>("CheckSummary")->text();
  };
  EXPECT_EQ(checked(), QStringList({dead + "|无法连接|目标服务器拒绝连接: Connection refused (10061)", At(echo) + "|可以连接|",
                                    "（空）|无法连接|不是 IP:Port 形式的服务器地址", "直接连接（不用代理），检测 3 个服务器：1 个可以连接，2 个无法连接。"}));
  EXPECT_TRUE(EchoesPumping(running.get(), "after"));
  EXPECT_EQ(std::pair(Server()->currentText(), form.Engine().NextServerIndex()), serverBefore);
  EXPECT_EQ(Ended(), 4u) << "a check is no relay";

  // Through a proxy that refuses: it hears the greeting and nothing else.
  test::FakePeer refusing(std::get<0>(proxies[1]));
  Child<QRadioButton>("RgProxy3")->click();
  Child<QLineEdit>("EdProxy")->setText(At(refusing.Start()));  // its user still set from above
  Server()->clear();
  Server()->addItem(At(echo));
  Click("CheckAgain");
  ASSERT_TRUE(WaitFor([&] { return check->Pending() == 0; }));
  EXPECT_EQ(checked(), QStringList({At(echo) + "|无法连接|SOCKS 5 代理: 没有可接受的认证方式",
                                    "经 SOCKS 5 代理 " + At(refusing) + "，检测 1 个服务器：0 个可以连接，1 个无法连接。"}));
  EXPECT_EQ(refusing.Finish(), refusing.Expected());
}

// A known amount through the traffic view; one connection ended by hand, a stale row's menu doing nothing.
TEST_F(ConnectionViews, TrafficViewAccountsForTheBytesAndOneConnectionIsEndedByHand) {
  Server()->setEditText(At(echo));
  Child<TSpinEdit>("EdTimeUpdate")->SetText("0");  // the monitor's ticks are the test's own
  form.show();
  ASSERT_TRUE(Start());
  test::UniqueFd moving = Client("m"), beside = Client("b");  // slots 0 and 1
  form.ATimerTimer();
  auto* sockList = Child<QTableWidget>("SockList");
  Choose(MenuOf(sockList, 0), "流量图…");
  auto* view = form.findChild<TTrafficWindow*>();
  ASSERT_TRUE(view && view->isVisible());
  auto* timer = view->findChild<QTimer*>("TrafficTimer");
  EXPECT_EQ(timer->isActive() ? timer->interval() : 0, 1000);
  timer->stop();  // the looks below are the test's own

  // 1 MiB each way between two looks: each line adds up to what moved, its last point is the moving row's rate.
  const size_t n = 1 << 20;
  view->Sample();
  std::thread sender([&] { test::SendAll(moving.get(), std::string(n, 'k')); });
  EXPECT_EQ(ReadPumping(moving.get(), n).size(), n);
  sender.join();
  view->Sample();
  auto* list = Child<QTableWidget>("TrafficList");
  ASSERT_EQ(list->rowCount(), 2);
  EXPECT_TRUE(Row("TrafficList", 0).startsWith("0|") && Row("TrafficList", 1).startsWith("1|")) << "fastest first";
  EXPECT_TRUE(Row("TrafficList", 0).endsWith(QStringLiteral("|%1").arg(2 * n + 2)));
  int column = 3;
  for (QLineSeries* line : {view->ReceivedSeries(), view->SentSeries()}) {
    const QList<QPointF> points = line->points();
    double bytes = 0;
    for (qsizetype i = 1; i < points.size(); ++i)
      bytes += points[i].y() * view->Divisor() * (points[i].x() - points[i - 1].x()) / 1000.0;
    EXPECT_NEAR(bytes, static_cast<double>(n), n * 0.01) << line->name().toStdString();
    EXPECT_DOUBLE_EQ(list->item(0, column)->data(Qt::UserRole).toDouble(), points.back().y() * view->Divisor());
    EXPECT_EQ(list->item(1, column++)->data(Qt::UserRole).toDouble(), 0.0);
  }

  // A menu opened on slot 2's row, then that client leaves and a new one takes the slot.
  test::UniqueFd leaving = Client("l");
  form.ATimerTimer();
  QMenu* stale = MenuOf(sockList, 2);
  ASSERT_TRUE(stale && Row("SockList", 2).startsWith("2|"));
  leaving.Reset();
  ASSERT_TRUE(Tick([&] { return form.Engine().ThreadsInUse() == 4; }));
  test::UniqueFd taker = Client("t");
  form.ATimerTimer();
  ASSERT_TRUE(Row("SockList", 2).startsWith("2|"));
  Choose(stale, "断开此连接");  // must leave the slot's new relay alone

  // From the view's own table: only that relay ends, as ended by the user.
  view->Sample();
  const auto rows = list->findItems("0", Qt::MatchExactly);
  ASSERT_EQ(rows.size(), 1);
  Choose(MenuOf(list, rows[0]->row()), "断开此连接");
  EXPECT_TRUE(PeerClosedPumping(moving.get()));
  for (int fd : {beside.get(), taker.get()}) EXPECT_TRUE(EchoesPumping(fd, "on"));
  ASSERT_TRUE(Tick([&] { return form.Engine().ThreadsInUse() == 4; })) << "both slots back";
  const TRelayOutcome ended = form.Engine().RecentOutcomes().front();
  EXPECT_EQ(std::tuple(ended.End, ended.BytesReceived, ended.BytesSent), std::tuple(TRelayEnd::UserDisconnect, n + 1, n + 1));
  form.findChild<QAction*>("ActRecent")->trigger();
  EXPECT_EQ(Row("OutcomeList", 0).section('|', 4, 4), "被用户断开");

  view->close();  // nothing is sampled while the view is closed
  EXPECT_FALSE(timer->isActive());
}

}  // namespace kova::gui
