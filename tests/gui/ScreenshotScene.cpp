// Not a check: the scene scripts/screenshot.sh --service draws, skipped unless KOVA_SCREENSHOT_PNG
// names the picture. Everything it connects to is on loopback.

#include "GuiTestSupport.h"
#include "gui/ServerCheck.h"
#include "support/FakePeer.h"

namespace kova::gui {

using Screenshot = FormTest;

TEST_F(Screenshot, WindowWithARunningRelay) {
  const QString out = qEnvironmentVariable("KOVA_SCREENSHOT_PNG");
  if (out.isEmpty()) GTEST_SKIP() << "set KOVA_SCREENSHOT_PNG to draw the picture";
  trayAvailable = true;
  Server()->addItems({EchoTarget(), "127.0.0.1:1"});
  Child<QPlainTextEdit>("EdServers")->setPlainText(EchoTarget() + "\n127.0.0.1:1\n");
  form.show();
  ASSERT_TRUE(Start());
  std::vector<test::UniqueFd> clients;
  for (const char* hello : {"hello", "a longer message through the relay"}) clients.push_back(Client(hello));
  ASSERT_TRUE(WaitFor([&] { return form.ATimerTimer(), Child<QTableWidget>("SockList")->rowCount() == 2; }));
  ASSERT_TRUE(form.grab().save(out, "PNG"));

  QMenu* menu = form.findChild<QSystemTrayIcon*>("TrayIcon")->contextMenu();  // drawn where it would pop up
  menu->popup(form.mapToGlobal(QPoint(400, 200)));
  ASSERT_TRUE(menu->grab().save(QFileInfo(out).path() + "/" + QFileInfo(out).completeBaseName() + "-menu.png"));
  menu->hide();
}


// The two diagnostic views (scripts/screenshot.sh --views): relays that ended in different ways
// through loopback peers, then a check of the list; pictures "<name>-recent.png", "<name>-check.png".
TEST_F(Screenshot, RecentConnectionsAndServerCheck) {
  const QString out = qEnvironmentVariable("KOVA_SCREENSHOT_VIEWS");
  if (out.isEmpty()) GTEST_SKIP() << "set KOVA_SCREENSHOT_VIEWS to draw the pictures";
  const QString base = QFileInfo(out).path() + "/" + QFileInfo(out).completeBaseName();
  Server()->addItems({ClosedPort(), EchoTarget(), "", "nocolon"});
  form.show();
  ASSERT_TRUE(Start());
  auto ended = [&](size_t n) { return WaitFor([&] { return form.Engine().RecentOutcomes().size() == n; }); };
  Client("hello");  // fails over from the closed port
  ASSERT_TRUE(ended(1));
  Client("a longer message through the relay");
  ASSERT_TRUE(ended(2));
  Child<QCheckBox>("CbServer")->setChecked(false);
  const std::string target = test::ToHex(std::string{char(echo.port() >> 8), char(echo.port() & 0xFF)});
  // {proxy type, script, user}: a refusing SOCKS 5, one without an acceptable method, an HTTP 407.
  const std::tuple<int, std::string, QString> proxies[] = {
      {3, "> 05 01 00 | < 05 00 | > 05 01 00 01 7F 00 00 01 " + target + " | < 05 05 00 01 00 00 00 00 00 00", ""},
      {3, "> 05 02 02 00 | < 05 FF", "kova-user"},
      {1, "> " + test::ToHex("CONNECT 127.0.0.1:" + echo.portText() + " HTTP/1.0\r\n\r\n") + " | < " +
              test::ToHex("HTTP/1.1 407 Proxy Authentication Required\r\n\r\n"), ""}};
  for (const auto& [type, script, user] : proxies) {
    test::FakePeer proxy(script);
    proxy.Start();
    UseProxy(type == 3 ? "RgProxy3" : "RgProxy1", At(proxy), user);
    const size_t before = form.Engine().RecentOutcomes().size();
    EXPECT_TRUE(PeerClosedPumping(test::ConnectTo(address, port).get()));
    ASSERT_TRUE(ended(before + 1));
  }
  Child<QRadioButton>("RgProxy0")->click();
  Child<QTableWidget>("SockList")->actions().first()->trigger();
  QWidget* recent = Child("RecentConnections");
  recent->resize(1200, 250);
  ASSERT_TRUE(WaitFor([&] { return recent->isVisible(); }));
  ASSERT_TRUE(recent->grab().save(base + "-recent.png", "PNG"));

  form.findChild<QAction*>("ActCheckServers")->trigger();
  auto* check = form.findChild<TServerCheckWindow*>();
  ASSERT_TRUE(WaitFor([&] { return check->Pending() == 0 && check->isVisible(); }));
  ASSERT_TRUE(check->grab().save(base + "-check.png", "PNG"));
}

}  // namespace kova::gui
