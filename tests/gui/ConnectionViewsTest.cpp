// Why relays failed, in the window: the recently ended connections, the failure count on the
// counter's tooltip, the connection log, and the check of the server list. Loopback peers only.

#include "GuiTestSupport.h"
#include "engine/ConnectionLog.h"
#include "gui/ServerCheck.h"
#include "gui/TrafficView.h"

#include <QLineSeries>
#include <thread>
#include "support/FakePeer.h"

namespace kova::gui {
namespace {

using ConnectionViews = FormTest;

const char kPassword[] = "pw-secret-13";
// A SOCKS 5 proxy offered "no authentication" and "user/password" that accepts neither.
const char kRefusingProxy[] = "> 05 02 02 00 | < 05 FF";

TEST_F(ConnectionViews, RecentConnectionsTheLogAndTheServerCheckShowWhyRelaysFailWithoutPasswords) {
  const QString dead = ClosedPort();
  Server()->addItems({dead, EchoTarget(), "", "nocolon"});
  ASSERT_TRUE(Start());
  auto outcomes = [&] { return form.Engine().RecentOutcomes(); };
  auto line = [&](size_t i) { return QString::fromStdString(OutcomeLine(outcomes()[i])); };
  Client("hello");  // fails over from the closed port to the echo, then ends
  ASSERT_TRUE(WaitFor([&] { return outcomes().size() == 1; }));

  test::FakePeer proxy(kRefusingProxy);
  proxy.Start();
  Child<QCheckBox>("CbServer")->setChecked(false);
  UseProxy("RgProxy3", At(proxy), "kova-user", kPassword);
  EXPECT_TRUE(PeerClosedPumping(test::ConnectTo(address, port).get()));
  EXPECT_EQ(proxy.Finish(), proxy.Expected());
  ASSERT_TRUE(WaitFor([&] { return outcomes().size() == 2; }));

  // The monitor's menu: ending a connection needs a row under the pointer; then the two views.
  QMenu* sockMenu = MenuOf(Child<QTableWidget>("SockList"));
  ASSERT_NE(sockMenu, nullptr);
  QStringList entries;
  for (QAction* a : sockMenu->actions()) entries << a->text() + (a->isEnabled() ? "" : "-");
  EXPECT_EQ(entries.join('|'), "断开此连接-||最近结束的连接…|流量图…");
  ActionOf(sockMenu, "最近结束的连接…")->trigger();
  sockMenu->close();
  ASSERT_TRUE(Child("RecentConnections")->isVisible());
  EXPECT_EQ(Child("RecentConnections")->windowModality(), Qt::NonModal);
  auto* list = Child<QTableWidget>("OutcomeList");
  ASSERT_EQ(list->rowCount(), 2);
  // Newest first: client, server, proxy, result, received, sent (time and duration vary).
  EXPECT_TRUE(Row("OutcomeList", 0).section('|', 1, 1).startsWith(QString::fromStdString(address) + ":"));
  EXPECT_EQ(Row("OutcomeList", 0).section('|', 2, 4), EchoTarget() + "|SOCKS 5 " + At(proxy) +
            "（用户 kova-user）|失败: 代理服务器出错, 服务器列表保持不变（SOCKS 5 代理: 没有可接受的认证方式）");
  EXPECT_TRUE(Row("OutcomeList", 1).section('|', 2, 6).contains(QRegularExpression(
      "^" + EchoTarget() + "\\|不用代理\\|客户端关闭（之前 [12] 次连接失败）\\|5\\|5$"))) << Row("OutcomeList", 1).toStdString();
  const QString tried = list->item(1, 2)->toolTip();
  EXPECT_TRUE(tried.startsWith(dead + "：失败，目标服务器拒绝连接")) << tried.toStdString();
  EXPECT_TRUE(tried.contains(EchoTarget() + "：连接成功")) << tried.toStdString();

  // Failures only; copying with nothing selected takes every row shown, as log lines.
  Child<QCheckBox>("OnlyFailures")->click();
  ASSERT_EQ(list->rowCount(), 1);
  Click("CopyOutcomes");
  EXPECT_EQ(QGuiApplication::clipboard()->text(), line(0) + "\n");
  EXPECT_TRUE(line(0).contains("user=kova-user"));
  Child<QCheckBox>("OnlyFailures")->click();

  // The monitor timer refreshes the view; a selected row stays selected as new rows come in.
  list->selectRow(1);
  Child<QRadioButton>("RgProxy0")->click();
  Client("again");
  ASSERT_TRUE(WaitFor([&] { return outcomes().size() == 3; }));
  form.ATimerTimer();
  ASSERT_EQ(list->rowCount(), 3);
  Click("CopyOutcomes");
  EXPECT_EQ(QGuiApplication::clipboard()->text(), line(2) + "\n");
  EXPECT_TRUE(Child<QLabel>("LbConnect")->toolTip().startsWith("最近十分钟被拒绝或失败的连接：1\n"));

  // The log, where the state folder says, holds the same lines; no password anywhere.
  form.ConnectionLog().Flush();
  const QString logPath = qEnvironmentVariable("XDG_STATE_HOME") + "/kova/connections.log";
  EXPECT_EQ(QString::fromStdString(form.ConnectionLog().Path()), logPath);
  QFile log(logPath);
  ASSERT_TRUE(log.open(QIODevice::ReadOnly));
  const QString logText = QString::fromUtf8(log.readAll());
  EXPECT_TRUE(logText.endsWith(line(2) + "\n" + line(1) + "\n" + line(0) + "\n")) << logText.toStdString();
  for (const QString& text : {logText, line(0)}) EXPECT_FALSE(text.contains(kPassword));

  // The check of the list in use reports every entry and leaves relays and the list alone.
  test::UniqueFd running = Client("before");
  const QString textBefore = Server()->currentText();
  const int indexBefore = form.Engine().NextServerIndex();

  // From the server list's own menu, below its usual edit entries.
  emit Child<QPlainTextEdit>("EdServers")->customContextMenuRequested(QPoint(5, 5));
  auto* menu = qobject_cast<QMenu*>(QApplication::activePopupWidget());
  ASSERT_NE(menu, nullptr);
  EXPECT_EQ(menu->actions().back()->text(), "检测服务器");
  // Qt's own entries speak the window's language wherever the translation is installed.
  if (QFile::exists(QLibraryInfo::path(QLibraryInfo::TranslationsPath) + "/qtbase_zh_CN.qm")) {
    QStringList standard;
    for (QAction* a : menu->actions()) standard << a->text();
    EXPECT_TRUE(standard.join('|').contains("全选")) << standard.join('|').toStdString();
    EXPECT_FALSE(standard.join('|').contains("Select All"));
  }
  menu->actions().back()->trigger();
  menu->close();
  auto* check = form.findChild<TServerCheckWindow*>();
  ASSERT_TRUE(check && check->isVisible());
  ASSERT_TRUE(WaitFor([&] { return check->Pending() == 0; }));
  // Rows in list order whatever order the answers came in.
  EXPECT_TRUE(Row("CheckList", 0).startsWith(dead + "|无法连接|"));
  EXPECT_TRUE(Row("CheckList", 0).endsWith("|目标服务器拒绝连接: Connection refused (10061)"));
  EXPECT_TRUE(Row("CheckList", 1).startsWith(EchoTarget() + "|可以连接|")) << Row("CheckList", 1).toStdString();
  EXPECT_EQ(Row("CheckList", 2), "（空）|无法连接||不是 IP:Port 形式的服务器地址");
  EXPECT_EQ(Row("CheckList", 3), "nocolon|无法连接||不是 IP:Port 形式的服务器地址");
  EXPECT_EQ(Child<QLabel>("CheckSummary")->text(), "直接连接（不用代理），检测 4 个服务器：1 个可以连接，3 个无法连接。");
  EXPECT_TRUE(test::SendAll(running.get(), "after"));
  EXPECT_EQ(ReadPumping(running.get(), 5), "after");
  EXPECT_EQ(Server()->currentText(), textBefore);
  EXPECT_EQ(form.Engine().NextServerIndex(), indexBefore);
  EXPECT_EQ(outcomes().size(), 3u) << "a check is no relay";

  // Through a proxy that refuses: it hears the greeting and nothing else.
  test::FakePeer checked(kRefusingProxy);
  checked.Start();
  UseProxy("RgProxy3", At(checked), "kova-user", kPassword);
  Server()->clear();
  Server()->addItem(EchoTarget());
  Click("CheckAgain");
  ASSERT_TRUE(WaitFor([&] { return check->Pending() == 0; }));
  EXPECT_TRUE(Row("CheckList", 0).startsWith(EchoTarget() + "|无法连接|"));
  EXPECT_TRUE(Row("CheckList", 0).endsWith("|SOCKS 5 代理: 没有可接受的认证方式")) << Row("CheckList", 0).toStdString();
  EXPECT_EQ(Child<QLabel>("CheckSummary")->text(),
            "经 SOCKS 5 代理 " + At(checked) + "，检测 1 个服务器：0 个可以连接，1 个无法连接。");
  EXPECT_EQ(checked.Finish(), checked.Expected());
}

// A known amount through the window: the traffic view's rates and lines account for it, and one
// connection is ended by hand while the others go on; a menu opened on a row whose slot a new
// client has taken since does nothing.
TEST_F(ConnectionViews, TrafficViewAccountsForTheBytesAndOneConnectionIsEndedByHand) {
  Server()->setEditText(EchoTarget());
  Child<TSpinEdit>("EdTimeUpdate")->SetText("0");  // the monitor's ticks are the test's own
  form.show();
  ASSERT_TRUE(Start());
  test::UniqueFd moving = Client("m"), beside = Client("b");  // slots 0 and 1
  form.ATimerTimer();
  auto* sockList = Child<QTableWidget>("SockList");
  QMenu* menu = MenuOf(sockList, 0);
  ASSERT_NE(menu, nullptr);
  EXPECT_TRUE(ActionOf(menu, "断开此连接")->isEnabled());
  ActionOf(menu, "流量图…")->trigger();
  menu->close();
  auto* view = form.findChild<TTrafficWindow*>();
  ASSERT_TRUE(view && view->isVisible());
  EXPECT_EQ(view->windowModality(), Qt::NonModal);
  auto* timer = view->findChild<QTimer*>("TrafficTimer");
  EXPECT_EQ(timer->isActive() ? timer->interval() : 0, 1000);
  timer->stop();  // the looks below are the test's own

  // 1 MiB each way between two looks: the row's rate is that over the time between them.
  const size_t n = 1 << 20;
  QElapsedTimer outer, inner;
  outer.start();
  view->Sample();
  inner.start();
  std::thread sender([&] { test::SendAll(moving.get(), std::string(n, 'k')); });
  EXPECT_EQ(ReadPumping(moving.get(), n).size(), n);
  sender.join();
  const double lower = static_cast<double>(inner.nsecsElapsed()) / 1e9;
  view->Sample();
  const double upper = static_cast<double>(outer.nsecsElapsed()) / 1e9;
  auto* list = Child<QTableWidget>("TrafficList");
  ASSERT_EQ(list->rowCount(), 2);
  EXPECT_TRUE(Row("TrafficList", 0).startsWith("0|")) << "fastest first";
  EXPECT_TRUE(Row("TrafficList", 0).endsWith(QStringLiteral("|%1").arg(2 * n + 2)));
  for (int c : {3, 4}) {
    const double rate = list->item(0, c)->data(Qt::UserRole).toDouble();
    EXPECT_GE(rate, n / upper * 0.999);
    EXPECT_LE(rate, n / lower * 1.001);
  }
  EXPECT_TRUE(Row("TrafficList", 1).startsWith("1|"));
  EXPECT_EQ(list->item(1, 3)->data(Qt::UserRole).toDouble(), 0.0);
  // Each line, rate by interval, adds up to what moved.
  for (QLineSeries* line : {view->ReceivedSeries(), view->SentSeries()}) {
    const QList<QPointF> points = line->points();
    double bytes = 0;
    for (qsizetype i = 1; i < points.size(); ++i)
      bytes += points[i].y() * view->Divisor() * (points[i].x() - points[i - 1].x()) / 1000.0;
    EXPECT_NEAR(bytes, static_cast<double>(n), n * 0.01) << line->name().toStdString();
  }

  // A menu opened on slot 2's row, then that client leaves and a new one takes the slot.
  test::UniqueFd leaving = Client("l");
  form.ATimerTimer();
  QMenu* stale = MenuOf(sockList, 2);
  ASSERT_TRUE(stale && Row("SockList", 2).startsWith("2|"));
  leaving.Reset();
  ASSERT_TRUE(WaitFor([&] { return form.ATimerTimer(), form.Engine().ThreadsInUse() == 4; }));
  test::UniqueFd taker = Client("t");
  form.ATimerTimer();
  ASSERT_TRUE(Row("SockList", 2).startsWith("2|"));
  ActionOf(stale, "断开此连接")->trigger();
  stale->close();
  EXPECT_EQ(form.Engine().ConnectionsInUse(), 3) << "a stale row ended the slot's new relay";

  // From the view's own table: only that relay ends, as ended by the user.
  view->Sample();
  const auto rows = list->findItems("0", Qt::MatchExactly);
  ASSERT_EQ(rows.size(), 1);
  menu = MenuOf(list, rows[0]->row());
  ASSERT_NE(menu, nullptr);
  ActionOf(menu, "断开此连接")->trigger();
  menu->close();
  EXPECT_TRUE(PeerClosedPumping(moving.get()));
  for (int fd : {beside.get(), taker.get()}) {
    EXPECT_TRUE(test::SendAll(fd, "on"));
    EXPECT_EQ(ReadPumping(fd, 2), "on");
  }
  ASSERT_TRUE(WaitFor([&] { return form.ATimerTimer(), form.Engine().ThreadsInUse() == 4; })) << "both slots back";
  const TRelayOutcome ended = form.Engine().RecentOutcomes().front();
  EXPECT_EQ(ended.End, TRelayEnd::UserDisconnect);
  EXPECT_EQ(ended.BytesReceived, n + 1);
  EXPECT_EQ(ended.BytesSent, n + 1);
  form.findChild<QAction*>("ActRecent")->trigger();
  EXPECT_EQ(Row("OutcomeList", 0).section('|', 4, 4), "被用户断开");

  view->close();  // nothing is sampled while the view is closed
  EXPECT_FALSE(timer->isActive());
}

}  // namespace
}  // namespace kova::gui
