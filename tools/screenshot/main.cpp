// Draws the README's pictures of the window on whatever display Qt is given (scripts/screenshot.sh
// runs it under Xvfb). Every peer it talks to is its own, on 127.0.0.1.
//   kova-screenshot window OUT.png   the window relaying two clients (OUT.png) and its tray menu (OUT-menu.png)
//   kova-screenshot views OUT.png    OUT-recent.png, OUT-check.png and OUT-traffic.png

#include <QtNetwork>
#include <QtWidgets>
#include <cmath>
#include <cstdio>
#include <functional>

#include "gui/Seams.h"
#include "gui/ServerCheck.h"
#include "gui/Translations.h"
#include "gui/uMain.h"

namespace {

using namespace kova::gui;

[[noreturn]] void Fail(const QString& why) {
  std::fprintf(stderr, "kova-screenshot: %s\n", qPrintable(why));
  std::exit(1);
}

// Runs the event loop until pred holds; a scene that does not come about is a failure.
void WaitFor(const QString& what, const std::function<bool()>& pred, int ms = 10000) {
  for (QDeadlineTimer deadline(ms); !pred(); QThread::msleep(2)) {
    if (deadline.hasExpired()) Fail("timed out waiting for " + what);
    QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
  }
}

void Save(QWidget* w, const QString& path) {
  if (!w->grab().save(path, "PNG")) Fail("cannot write " + path);
  std::printf("%s\n", qPrintable(path));
}

// A loopback server that hands each connection to `serve`; "127.0.0.1:port" for the window.
struct TServer : QTcpServer {
  explicit TServer(std::function<void(QTcpSocket*)> serve) : QTcpServer(qApp) {
    if (!listen(QHostAddress::LocalHost)) Fail("no loopback listener: " + errorString());
    connect(this, &QTcpServer::newConnection, [this, serve] {
      while (QTcpSocket* s = nextPendingConnection()) serve(s);
    });
  }
  QString At() const { return "127.0.0.1:" + QString::number(serverPort()); }
};

TServer* Echo() {
  return new TServer([](QTcpSocket* s) { QObject::connect(s, &QTcpSocket::readyRead, [s] { s->write(s->readAll()); }); });
}

// Answers each thing it hears with the next of `answers`, then hangs up: enough of a proxy to refuse.
TServer* Answering(QList<QByteArray> answers) {
  return new TServer([answers](QTcpSocket* s) {
    QObject::connect(s, &QTcpSocket::readyRead, [s, left = answers]() mutable {
      s->readAll();
      if (left.isEmpty()) return s->disconnectFromHost();
      s->write(left.takeFirst());
    });
  });
}

QString ClosedPort() {
  QTcpServer gone;
  gone.listen(QHostAddress::LocalHost);
  return "127.0.0.1:" + QString::number(gone.serverPort());
}

struct TScene {
  TFormMain form;
  QHostAddress address;
  quint16 port = 0;

  template <typename T = QWidget>
  T* Child(const char* name) {
    T* w = form.findChild<T*>(name);
    if (!w) Fail(QString("no control named ") + name);
    return w;
  }
  QComboBox* Server() { return Child<QComboBox>("EdServerIP"); }
  // Without a proxy (the default one is not on loopback), on a free loopback port.
  void Start() {
    Child<QRadioButton>("RgProxy0")->click();
    Child<QLineEdit>("EdListenPort")->setText("0");
    Child<QAbstractButton>("BtStart")->click();
    WaitFor("the relay to listen", [&] { return Child("BtStop")->isEnabled(); });
    address = QHostAddress(QString::fromStdString(form.Engine().ListeningAddress()));
    port = static_cast<quint16>(Child<QLineEdit>("EdListenPort")->text().toUInt());
    if (!address.isLoopback() || port == 0) Fail("the relay listens on " + address.toString() + ", not on loopback");
  }
  QTcpSocket* Client() {
    auto* s = new QTcpSocket(&form);
    s->connectToHost(address, port);
    return s;
  }
  QTcpSocket* Echoed(const QByteArray& hello) {
    QTcpSocket* s = Client();
    QByteArray got;
    QObject::connect(s, &QTcpSocket::readyRead, [s, &got] { got += s->readAll(); });
    s->write(hello);
    WaitFor("an echo through the relay", [&] { return got == hello; });
    s->disconnect();
    return s;
  }
  size_t Ended() { return form.Engine().RecentOutcomes().size(); }
  void Refused(const QString& why) {  // a client the relay gives up on
    const size_t before = Ended();
    Client();
    WaitFor(why, [&] { return Ended() == before + 1; });
  }
};

void Window(const QString& out) {
  TUiSeam::SetTrayAvailableHook([] { return true; });
  TServer* echo = Echo();
  TScene scene;
  scene.Server()->addItems({echo->At(), "127.0.0.1:1"});
  scene.Child<QPlainTextEdit>("EdServers")->setPlainText(echo->At() + "\n127.0.0.1:1\n");
  scene.form.show();
  scene.Start();
  scene.Echoed("hello"), scene.Echoed("a longer message through the relay");
  auto* list = scene.Child<QTableWidget>("SockList");
  WaitFor("both relays listed", [&] { return scene.form.ATimerTimer(), list->rowCount() == 2; });
  Save(&scene.form, out);
  QMenu* menu = scene.Child<QSystemTrayIcon>("TrayIcon")->contextMenu();
  menu->popup(scene.form.mapToGlobal(QPoint(400, 200)));  // drawn where it would pop up
  Save(menu, out.chopped(4) + "-menu.png");
}

// Relays that ended in different ways, and a check of the same list.
void RecentAndCheck(const QString& out) {
  TServer* echo = Echo();
  const QString dead = ClosedPort();
  TScene scene;
  scene.Server()->addItems({dead, echo->At(), ""});
  scene.Start();
  scene.Echoed("hello")->close();  // fails over from the closed port to the echo
  WaitFor("the first relay to end", [&] { return scene.Ended() == 1; });
  scene.Child<QCheckBox>("CbServer")->setChecked(false);
  const struct { QList<QByteArray> Answers; QString User; } proxies[] = {
      {{QByteArray("\x05\x00", 2), QByteArray("\x05\x05\x00\x01\0\0\0\0\0\0", 10)}, ""}, {{"\x05\xFF"}, "kova-user"}};
  for (const auto& p : proxies) {
    scene.Child<QRadioButton>("RgProxy3")->click();
    scene.Child<QLineEdit>("EdProxy")->setText(Answering(p.Answers)->At());
    scene.Child<QLineEdit>("EdUsername")->setText(p.User);
    scene.Child<QLineEdit>("EdPassword")->setText(p.User.isEmpty() ? "" : "secret");
    scene.Refused("a relay refused by the proxy");
  }
  scene.Child<QRadioButton>("RgProxy0")->click();
  scene.form.ShowRecentConnections();
  scene.Child<QTableWidget>("OutcomeList")->selectRow(1);
  scene.Echoed("again")->close();
  WaitFor("the last relay to end", [&] { return scene.Ended() == 4; });
  scene.form.ATimerTimer();
  QWidget* recent = scene.Child("RecentConnections");
  recent->resize(1200, 250);
  Save(recent, out.chopped(4) + "-recent.png");

  scene.form.CheckServers();
  auto* check = scene.form.findChild<TServerCheckWindow*>();
  WaitFor("the check", [&] { return check && check->Pending() == 0; });
  Save(check, out.chopped(4) + "-check.png");
}

// Two clients download from a server whose pace swells and ebbs, the second joining eight seconds later.
void Traffic(const QString& out) {
  TServer* source = new TServer([](QTcpSocket* s) {
    auto* pace = new QTimer(s);
    QObject::connect(pace, &QTimer::timeout, [s, pace, i = 0]() mutable {
      if (++i > 600) return pace->stop();  // 0.3 to 2 MB/s over twenty seconds
      s->write(QByteArray(static_cast<qsizetype>(16384 * (4 + 3 * std::sin(i / 48.0))), 'd'));
    });
    pace->start(50);
  });
  TScene scene;
  scene.Server()->setEditText(source->At());
  scene.form.show();
  scene.Start();
  scene.form.ShowTraffic();
  QElapsedTimer since;
  since.start();
  for (int joined = 0; since.elapsed() < 25000; QCoreApplication::processEvents(QEventLoop::AllEvents, 50))
    if (joined < 2 && since.elapsed() >= joined * 8000) {
      QTcpSocket* s = scene.Client();
      QObject::connect(s, &QTcpSocket::readyRead, [s] { s->readAll(); });
      ++joined;
    }
  Save(scene.Child("TrafficView"), out.chopped(4) + "-traffic.png");
}

}  // namespace

int main(int argc, char* argv[]) {
  QTemporaryDir state;  // the windows' connection logs go here, never into the user's home
  qputenv("XDG_STATE_HOME", state.path().toLocal8Bit());
  QApplication app(argc, argv);
  const QStringList args = app.arguments();
  if (args.size() != 3 || !(args[1] == "window" || args[1] == "views") || !args[2].endsWith(".png"))
    Fail("usage: kova-screenshot window|views OUT.png");
  QApplication::setQuitOnLastWindowClosed(false);
  InstallQtTranslations();
  TUiSeam::SetListenAddress(QStringLiteral("127.0.0.1"));
  TUiSeam::SetMessageHook([](const QString&, const QString& text, bool, const QString& more) {
    Fail("the window said: " + text + " " + more);
  });
  if (args[1] == "window") return Window(args[2]), 0;
  RecentAndCheck(args[2]);
  Traffic(args[2]);
}
