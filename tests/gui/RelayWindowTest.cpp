// A real relay driven through the window: loopback echo targets, no proxy, the monitor's rows
// and counters, failover shown in EdServerIP, idle clearing, and stopping while relays run.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>

#include <poll.h>

#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QTableWidget>

#include "GuiTestSupport.h"
#include "gui/SpinEdit.h"
#include "gui/uMain.h"
#include "support/Loopback.h"

namespace kova::gui {
namespace {

using guitest::Child;
using guitest::Click;
using guitest::WaitFor;

class RelayWindow : public ::testing::Test {
 protected:
  guitest::TSeamScope seams;
  std::atomic<uint32_t> now{1'000'000};  // a tick of 0 would mean "no activity yet"
  test::EchoServer echo;
  std::unique_ptr<TFormMain> window = std::make_unique<TFormMain>(nullptr, [this] { return now.load(); });
  TFormMain& form = *window;
  std::string address;
  uint16_t port = 0;

  QTableWidget* Socks() { return Child<QTableWidget>(form, "SockList"); }
  QTableWidget* Threads() { return Child<QTableWidget>(form, "ThreadList"); }
  QComboBox* Server() { return Child<QComboBox>(form, "EdServerIP"); }
  static QStringList Row(QTableWidget* list, int row) {
    QStringList cells;
    for (int c = 0; c < list->columnCount(); ++c) cells << (list->item(row, c) ? list->item(row, c)->text() : "?");
    return cells;
  }
  std::string EchoTarget() { return echo.host() + ":" + echo.portText(); }

  // No proxy (the default one is not on this machine's loopback), then start on a free port.
  void Start() {
    Child<QRadioButton>(form, "RgProxy0")->click();
    ASSERT_EQ(form.ProxyType(), 0);
    Child<QLineEdit>(form, "EdListenPort")->setText("0");
    Click(form, "BtStart");
    ASSERT_TRUE(WaitFor([&] { return Child<QPushButton>(form, "BtStop")->isEnabled(); }));
    address = form.Engine().ListeningAddress();
    ASSERT_TRUE(test::IsLoopbackText(address)) << "the service listens on " << address;
    port = static_cast<uint16_t>(Child<QLineEdit>(form, "EdListenPort")->text().toInt());
    ASSERT_GT(port, 0);
  }
  // Connects a client through the relay and proves the path with one echoed message.
  test::UniqueFd Client(const std::string& hello = "hello") {
    test::UniqueFd fd = test::ConnectTo(address, port);
    EXPECT_TRUE(fd.valid());
    EXPECT_TRUE(test::SendAll(fd.get(), hello));
    EXPECT_EQ(guitest::ReadPumping(fd.get(), hello.size()), hello);
    return fd;
  }
  // Runs monitor ticks (as the timer would) until pred holds.
  bool TickUntil(const std::function<bool()>& pred) {
    return WaitFor([&] {
      form.ATimerTimer();
      return pred();
    });
  }
};

TEST_F(RelayWindow, RelaysBytesAndTheMonitorShowsThem) {
  Server()->setEditText(QString::fromStdString(EchoTarget()));
  Start();
  test::UniqueFd client = Client("hello");

  // Each worker bumps its counter after its own call returns: wait until both have.
  ASSERT_TRUE(TickUntil([&] {
    return Socks()->rowCount() == 1 && Row(Socks(), 0).value(3) == "5" && Row(Socks(), 0).value(4) == "5";
  }));
  const QStringList row = Row(Socks(), 0);
  EXPECT_EQ(row.value(0), "0");
  EXPECT_TRUE(row.value(1).startsWith(QString::fromStdString(address) + ":")) << row.join('|').toStdString();
  EXPECT_EQ(row.value(2), QString::fromStdString(EchoTarget()));
  EXPECT_EQ(row.value(3), "5");  // received from the target side
  EXPECT_EQ(row.value(4), "5");  // sent to the target side
  EXPECT_EQ(row.value(5), "0:0");
  EXPECT_EQ(Child<QLabel>(form, "LbConnect")->text(), "活动连接数：1 ");
  ASSERT_EQ(Threads()->rowCount(), 2);
  EXPECT_EQ(Row(Threads(), 0), QStringList({"0", "0[客户->服务]"}));
  EXPECT_EQ(Row(Threads(), 1), QStringList({"1", "0[服务->客户]"}));
  EXPECT_EQ(Child<QLabel>(form, "LbThread")->text(), "活动线程数：2 ");

  // The client leaves: the connection goes, then its threads are listed once parked and then not.
  client.Reset();
  ASSERT_TRUE(TickUntil([&] { return Socks()->rowCount() == 0 && Threads()->rowCount() == 0; }));
  EXPECT_EQ(Child<QLabel>(form, "LbConnect")->text(), "活动连接数：0 ");
  EXPECT_EQ(Child<QLabel>(form, "LbThread")->text(), "活动线程数：0 ");
  EXPECT_EQ(form.Engine().ThreadsInUse(), 0);
}

TEST_F(RelayWindow, FailoverMovesAlongTheListAndShowsTheServerInUse) {
  std::string dead;
  {
    test::RawListener closed;  // a port that refuses once this listener is gone
    dead = closed.host() + ":" + closed.portText();
  }
  Child<QComboBox>(form, "EdServerIP")->addItems({QString::fromStdString(dead), "", QString::fromStdString(EchoTarget())});
  Start();
  test::UniqueFd client = Client("via the third entry");
  EXPECT_EQ(Server()->currentText(), QString::fromStdString(EchoTarget()));
  EXPECT_EQ(form.Engine().TargetPort(), echo.portText());
  EXPECT_NE(form.Engine().NextServerIndex(), 0);

  Click(form, "BtUpdate");  // applying a list starts the walk again at its first entry
  EXPECT_EQ(form.Engine().NextServerIndex(), 0);
}

TEST_F(RelayWindow, IdleConnectionsAreClearedJustPastTheLimit) {
  Server()->setEditText(QString::fromStdString(EchoTarget()));
  Child<TSpinEdit>(form, "EdTimeClear")->SetText("0");  // 0: never cleared
  Start();
  test::UniqueFd client = Client();
  ASSERT_TRUE(TickUntil([&] { return Socks()->rowCount() == 1; }));
  now += 3725'000;
  form.ATimerTimer();
  EXPECT_EQ(Row(Socks(), 0).value(5), "62:5");
  ASSERT_EQ(form.Engine().ConnectionsInUse(), 1);

  Child<TSpinEdit>(form, "EdTimeClear")->SetText("1");  // read anew at every tick
  now -= 3725'000;

  now += 60'000;  // exactly the limit: kept
  form.ATimerTimer();
  ASSERT_EQ(Socks()->rowCount(), 1);
  EXPECT_EQ(Row(Socks(), 0).value(5), "1:0");
  EXPECT_EQ(form.Engine().ConnectionsInUse(), 1);

  now += 1'000;  // past it: released, still listed in this tick
  form.ATimerTimer();
  ASSERT_EQ(Socks()->rowCount(), 1);
  EXPECT_EQ(Row(Socks(), 0).value(5), "1:1");
  EXPECT_EQ(form.Engine().ConnectionsInUse(), 0);
  EXPECT_TRUE(guitest::PeerClosedPumping(client.get()));
  form.ATimerTimer();
  EXPECT_EQ(Socks()->rowCount(), 0);
  EXPECT_TRUE(TickUntil([&] { return Threads()->rowCount() == 0; }));
}

TEST_F(RelayWindow, StopLeavesRunningRelaysAlone) {
  Server()->setEditText(QString::fromStdString(EchoTarget()));
  Start();
  test::UniqueFd client = Client("before");
  Click(form, "BtStop");
  ASSERT_TRUE(WaitFor([&] { return Child<QPushButton>(form, "BtStart")->isEnabled(); }));

  test::UniqueFd late = test::ConnectTo(address, port);
  EXPECT_FALSE(late.valid()) << "the stopped service still accepts";
  EXPECT_TRUE(test::SendAll(client.get(), "after"));
  EXPECT_EQ(guitest::ReadPumping(client.get(), 5), "after");
  form.ATimerTimer();
  EXPECT_EQ(Socks()->rowCount(), 1);
}

TEST_F(RelayWindow, ProxyChangesApplyToLaterClientsOnly) {
  Server()->setEditText(QString::fromStdString(EchoTarget()));
  Start();
  test::UniqueFd first = Client("one");
  // A loopback "proxy" that never answers: a later client through it cannot reach the echo.
  test::RawListener silentProxy;
  Child<QLineEdit>(form, "EdProxy")->setText(QString::fromStdString(silentProxy.host() + ":" + silentProxy.portText()));
  Child<QRadioButton>(form, "RgProxy3")->click();
  test::UniqueFd second = test::ConnectTo(address, port);
  ASSERT_TRUE(second.valid());
  ASSERT_TRUE(WaitFor([&] {
    pollfd p{silentProxy.fd(), POLLIN, 0};
    return ::poll(&p, 1, 0) == 1;
  })) << "the later client did not go through the new proxy";
  test::UniqueFd atProxy = silentProxy.Accept(1000);
  EXPECT_TRUE(atProxy.valid()) << "the later client did not go through the new proxy";
  EXPECT_TRUE(test::SendAll(first.get(), "still direct"));
  EXPECT_EQ(guitest::ReadPumping(first.get(), 12), "still direct");
}

TEST_F(RelayWindow, DestroyingTheWindowWithRelaysRunningEndsThemPromptly) {
  Server()->setEditText(QString::fromStdString(EchoTarget()));
  Start();
  std::vector<test::UniqueFd> clients;
  for (int i = 0; i < 3; ++i) clients.push_back(Client("x"));
  const auto begin = std::chrono::steady_clock::now();
  window.reset();  // what the program's end does: listener, workers, sockets
  EXPECT_LT(std::chrono::steady_clock::now() - begin, std::chrono::seconds(5));
  for (auto& c : clients) EXPECT_TRUE(guitest::PeerClosedPumping(c.get()));
}

}  // namespace
}  // namespace kova::gui
