// Not a check: the scene scripts/screenshot.sh --service pictures. Skipped unless
// KOVA_SCREENSHOT_PNG names the picture to write. Everything it connects to is on loopback.

#include <gtest/gtest.h>

#include <QComboBox>
#include <QFileInfo>
#include <QLineEdit>
#include <QMenu>
#include <QPixmap>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QSystemTrayIcon>
#include <QTableWidget>

#include "GuiTestSupport.h"
#include "gui/uMain.h"
#include "support/Loopback.h"

namespace kova::gui {
namespace {

using guitest::Child;
using guitest::WaitFor;

TEST(Screenshot, WindowWithARunningRelay) {
  const QString out = qEnvironmentVariable("KOVA_SCREENSHOT_PNG");
  if (out.isEmpty()) GTEST_SKIP() << "set KOVA_SCREENSHOT_PNG to draw the picture";

  guitest::TSeamScope seams;
  seams.TrayAvailable = true;
  test::EchoServer echo;
  TFormMain form;
  const QString target = QString::fromStdString(echo.host() + ":" + echo.portText());
  Child<QRadioButton>(form, "RgProxy0")->click();  // never the default proxy
  Child<QComboBox>(form, "EdServerIP")->addItems({target, "127.0.0.1:1"});
  Child<QComboBox>(form, "EdServerIP")->setEditText(target);
  Child<QPlainTextEdit>(form, "EdServers")->setPlainText(target + "\n127.0.0.1:1\n");
  Child<QLineEdit>(form, "EdUsername")->setText("user");
  Child<QLineEdit>(form, "EdPassword")->setText("secret");  // shown masked
  Child<QLineEdit>(form, "EdListenPort")->setText("0");
  form.show();
  Child<QPushButton>(form, "BtStart")->click();
  ASSERT_TRUE(WaitFor([&] { return Child<QPushButton>(form, "BtStop")->isEnabled(); }));
  const std::string address = form.Engine().ListeningAddress();
  ASSERT_TRUE(test::IsLoopbackText(address)) << address;
  const auto port = static_cast<uint16_t>(Child<QLineEdit>(form, "EdListenPort")->text().toInt());

  std::vector<test::UniqueFd> clients;
  for (const std::string message : {"hello", "a longer message through the relay"}) {
    clients.push_back(test::ConnectTo(address, port));
    ASSERT_TRUE(test::SendAll(clients.back().get(), message));
    ASSERT_EQ(guitest::ReadPumping(clients.back().get(), message.size()), message);
  }
  ASSERT_TRUE(WaitFor([&] {
    form.ATimerTimer();
    return Child<QTableWidget>(form, "SockList")->rowCount() == 2;
  }));
  guitest::Spin(300);

  ASSERT_TRUE(form.grab().save(out, "PNG"));
  // The tray menu, drawn where it would pop up.
  QMenu* menu = form.findChild<QSystemTrayIcon*>("TrayIcon")->contextMenu();
  menu->popup(form.mapToGlobal(QPoint(400, 200)));
  guitest::Spin(200);
  const QFileInfo info(out);
  ASSERT_TRUE(menu->grab().save(info.path() + "/" + info.completeBaseName() + "-menu.png", "PNG"));
  menu->hide();
}

}  // namespace
}  // namespace kova::gui
