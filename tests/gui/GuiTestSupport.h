#pragma once
// The window tests' kit: one offscreen application, waits that turn the event loop, a window that answers its own boxes.

#include <gtest/gtest.h>

#include <QtWidgets>
#include <atomic>

#include "gui/Seams.h"
#include "gui/SpinEdit.h"
#include "gui/Translations.h"
#include "gui/uMain.h"
#include "support/Loopback.h"

namespace kova::gui {

struct TQtEnvironment : ::testing::Environment {
  std::unique_ptr<QApplication> app;
  QTemporaryDir state;  // the windows' connection logs go here, never into the user's home
  void SetUp() override {
    qputenv("XDG_STATE_HOME", state.path().toLocal8Bit());
    qputenv("QT_QPA_PLATFORM", "offscreen");
    static int argc = 1;
    static char name[] = "kova_gui_tests", *argv[] = {name, nullptr};
    app = std::make_unique<QApplication>(argc, argv);
    QApplication::setQuitOnLastWindowClosed(false);
    InstallQtTranslations();  // as the program does
  }
  void TearDown() override { app.reset(); }
};
inline ::testing::Environment* const kQtEnvironment = ::testing::AddGlobalTestEnvironment(new TQtEnvironment);

// Runs the event loop until pred holds or the deadline passes; returns the last result.
inline bool WaitFor(const std::function<bool()>& pred, int ms = 8000) {
  for (QDeadlineTimer deadline(ms);; QThread::msleep(2)) {  // a poll interval leaves the workers a core
    QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    if (const bool ok = pred(); ok || deadline.hasExpired()) return ok;
  }
}

// Reads n bytes (fewer when the peer ends first) while the window handles the relay's messages.
inline std::string ReadPumping(int fd, size_t n, bool* closed = nullptr) {
  std::string got;
  bool end = false;
  WaitFor([&] {
    got += test::ReadUpTo(fd, n - got.size(), 0, &end);  // what has come, without waiting; a reset ends too
    return got.size() >= n || end;
  });
  if (closed) *closed = end;
  return got;
}
inline bool PeerClosedPumping(int fd) {
  bool closed = false;
  return ReadPumping(fd, SIZE_MAX, &closed), closed;
}
inline bool EchoesPumping(int fd, const std::string& text) {
  return test::SendAll(fd, text) && ReadPumping(fd, text.size()) == text;
}
template <typename TPeer>  // "host:port" of a loopback peer
QString At(const TPeer& peer) { return QString::fromStdString(peer.host() + ":" + peer.portText()); }
inline QString ClosedPort() { return At(test::RawListener()); }  // refuses once its listener is gone
inline QStringList Texts(QMenu* menu) {  // none without a menu
  QStringList texts;
  for (QAction* a : menu ? menu->actions() : QList<QAction*>()) texts << a->text() + (a->isEnabled() ? "" : "-");  // "-": disabled
  return texts;
}

class FormTest : public ::testing::Test {
 protected:
  // boxes shown, "title|text", then "|informative" where there is one, "|error" for a file error box
  QStringList messages;
  QString nextFileName;  // the file dialogs' answer; empty = cancelled
  bool trayAvailable = false;
  QString allowText;  // the allow-list box's answer; null = cancelled
  QString listenOn;   // the listening address box's answer, offered or not; null = cancelled
  const bool hooked = [this] {  // before the window exists
    TUiSeam::SetMessageHook([this](const QString& t, const QString& x, bool e, const QString& i) {
      messages << t + "|" + x + (i.isEmpty() ? "" : "|" + i) + (e ? "|error" : "");
    });
    TUiSeam::SetFileHook([this](const TFileRequest&) { return nextFileName; });
    TUiSeam::SetTrayAvailableHook([this] { return trayAvailable; });
    TUiSeam::SetDialogHook([this](QDialog& d) {
      if (auto* edit = d.findChild<QPlainTextEdit*>("EdAllowList")) return edit->setPlainText(allowText), !allowText.isNull();
      auto* box = d.findChild<QComboBox*>("CbListenAddress");
      if (!box || listenOn.isNull()) return false;
      if (box->findData(listenOn) < 0) box->addItem(listenOn, listenOn);
      return box->setCurrentIndex(box->findData(listenOn)), true;
    });
    TUiSeam::SetListenAddress(QStringLiteral("127.0.0.1"));
    return true;
  }();
  std::atomic<uint32_t> now{1'000'000};  // the engine's clock; 0 would mean "no activity yet"
  test::EchoServer echo;
  std::unique_ptr<TFormMain> window = std::make_unique<TFormMain>(nullptr, [this] { return now.load(); });
  TFormMain& form = *window;
  std::string address;  // where Start() listens
  uint16_t port = 0;
  QString where;  // the same as the tooltips give it

  ~FormTest() override {
    window.reset();
    TUiSeam::SetMessageHook(nullptr), TUiSeam::SetFileHook(nullptr);
    TUiSeam::SetTrayAvailableHook(nullptr), TUiSeam::SetDialogHook(nullptr);
  }
  template <typename T = QWidget>
  T* Child(const char* name) {
    T* w = form.findChild<T*>(name);
    EXPECT_NE(w, nullptr) << "no control named " << name;
    return w;
  }
  void Click(const char* name) {
    ASSERT_TRUE(Child(name)->isEnabled()) << name;
    Child<QAbstractButton>(name)->click();
  }
  QLineEdit* Port() { return Child<QLineEdit>("EdListenPort"); }
  QComboBox* Server() { return Child<QComboBox>("EdServerIP"); }
  QString Counters() { return Child<QLabel>("LbConnect")->text() + Child<QLabel>("LbThread")->text(); }
  QString Tips() { return Port()->toolTip() + "|" + form.findChild<QSystemTrayIcon*>()->toolTip(); }
  QString States() {  // enabled or not: BtStart, BtStop, EdListenPort, e.g. "+-+"
    QString s;
    for (const char* name : {"BtStart", "BtStop", "EdListenPort"}) s += Child(name)->isEnabled() ? '+' : '-';
    return s;
  }
  bool Tick(const std::function<bool()>& pred) { return WaitFor([&] { return form.ATimerTimer(), pred(); }); }
  // From the port field's menu, or while it is disabled the panel's under it.
  void FromPortMenu(const QString& entry) {
    Choose(Port()->isEnabled() ? MenuAt(Port(), {2, 2}) : MenuAt(Port()->parentWidget(), Port()->geometry().center()), entry);
  }
  void ListenOn(const QString& listen) { listenOn = listen, FromPortMenu("监听地址…"); }  // for the next start
  // Starts on a free port without a proxy (the default one is not on loopback); true once listening on loopback.
  bool Start() {
    Child<QRadioButton>("RgProxy0")->click();
    Port()->setText("0");
    Click("BtStart");
    EXPECT_EQ(States(), "--+");
    address = WaitFor([&] { return States() == "-+-"; }) ? form.Engine().ListeningAddress() : "";
    port = static_cast<uint16_t>(Port()->text().toInt());
    where = QString::fromStdString(address.find(':') == std::string::npos ? address : "[" + address + "]") + ":" + Port()->text();
    return test::IsLoopbackText(address) && port > 0;
  }
  bool Stop() {
    Click("BtStop");
    EXPECT_EQ(States(), "---");
    return WaitFor([&] { return States() == "+-+"; });
  }
  // A client through the relay, its path proven by one echoed message.
  test::UniqueFd Client(const std::string& hello) {
    test::UniqueFd fd = test::ConnectTo(address, port);
    EXPECT_TRUE(EchoesPumping(fd.get(), hello)) << hello;
    return fd;
  }
  size_t Ended() { return form.Engine().RecentOutcomes().size(); }
  // A context menu as the right button opens it; on a list, on `row` (none: below the rows).
  static QMenu* MenuAt(QWidget* w, QPoint at) {
    emit w->customContextMenuRequested(at);
    return qobject_cast<QMenu*>(QApplication::activePopupWidget());
  }
  static QMenu* MenuOf(QTableWidget* list, int row = -1) {
    return MenuAt(list, row < 0 ? QPoint(2, list->rowCount() * 40 + 2) : list->visualItemRect(list->item(row, 0)).center());
  }
  static void Choose(QMenu* menu, const QString& text) {  // triggers the entry, enabled as a user needs it
    ASSERT_NE(menu, nullptr);
    const qsizetype i = Texts(menu).indexOf(text);
    if (i >= 0) menu->actions()[i]->trigger();
    menu->close();
    ASSERT_GE(i, 0) << "no enabled menu entry " << text.toStdString();
  }
  QString Row(const char* table, int row) {  // the cells joined by '|'
    QStringList cells;
    const QAbstractItemModel* m = Child<QTableWidget>(table)->model();
    for (int c = 0; c < m->columnCount(); ++c) cells << m->index(row, c).data().toString();
    return cells.join('|');
  }
};

}  // namespace kova::gui
