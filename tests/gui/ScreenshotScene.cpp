// Not checks: scenes scripts/screenshot.sh draws, each skipped unless its variable names the
// picture (the connection views' test draws the two diagnostic views). Loopback only.

#include <cmath>
#include <thread>

#include "GuiTestSupport.h"

namespace kova::gui {

using Screenshot = FormTest;

// --service: the window with two relays running, and its tray menu beside it ("<name>-menu.png").
TEST_F(Screenshot, WindowWithARunningRelay) {
  const QString out = qEnvironmentVariable("KOVA_SCREENSHOT_PNG");
  if (out.isEmpty()) GTEST_SKIP() << "set KOVA_SCREENSHOT_PNG to draw the picture";
  trayAvailable = true;
  Server()->addItems({EchoTarget(), "127.0.0.1:1"});
  Child<QPlainTextEdit>("EdServers")->setPlainText(EchoTarget() + "\n127.0.0.1:1\n");
  form.show();
  ASSERT_TRUE(Start());
  const test::UniqueFd clients[] = {Client("hello"), Client("a longer message through the relay")};
  ASSERT_TRUE(Tick([&] { return Child<QTableWidget>("SockList")->rowCount() == 2; }));
  ASSERT_TRUE(form.grab().save(out, "PNG"));
  QMenu* menu = form.findChild<QSystemTrayIcon*>("TrayIcon")->contextMenu();  // drawn where it would pop up
  menu->popup(form.mapToGlobal(QPoint(400, 200)));
  Snap(menu, "menu", "KOVA_SCREENSHOT_PNG");
  menu->hide();
}

// --views: the traffic view ("<name>-traffic.png") while two clients download from a loopback
// server whose pace swells and ebbs, the second joining a few seconds later.
TEST_F(Screenshot, TrafficViewDuringADownload) {
  if (qEnvironmentVariable("KOVA_SCREENSHOT_VIEWS").isEmpty()) GTEST_SKIP() << "set KOVA_SCREENSHOT_VIEWS";
  test::TScriptedTarget source([](int fd) {
    for (int i = 0; i < 600; ++i) {  // 0.3 to 2 MB/s, swelling and ebbing over twenty seconds
      if (!test::SendAll(fd, std::string(static_cast<size_t>(16384 * (4 + 3 * std::sin(i / 48.0))), 'd'))) return;
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
  });
  Server()->setEditText(QString::fromStdString(source.Text()));
  form.show();
  ASSERT_TRUE(Start());
  Choose(MenuOf(Child<QTableWidget>("SockList")), "流量图…");
  std::vector<test::UniqueFd> clients;
  QElapsedTimer since;
  since.start();
  WaitFor([&] {  // the view samples once a second meanwhile
    if (clients.size() < 2 && since.elapsed() >= static_cast<qint64>(clients.size()) * 8000)
      clients.push_back(test::ConnectTo(address, port));
    char b[65536];
    for (const auto& c : clients)
      while (::recv(c.get(), b, sizeof b, MSG_DONTWAIT) > 0) {
      }
    return false;
  }, 25000);
  Snap(form.findChild<QWidget*>("TrafficView"), "traffic");
}

}  // namespace kova::gui
