// Not a check: the scene scripts/screenshot.sh --service draws, skipped unless KOVA_SCREENSHOT_PNG
// names the picture. Everything it connects to is on loopback.

#include "GuiTestSupport.h"

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

}  // namespace kova::gui
