// The window's handlers: the engine's window interface, the service buttons, the monitor,
// the server list and the tray.

#include "gui/uMain.h"

#include <QAction>
#include <QButtonGroup>
#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QCoreApplication>
#include <QFileInfo>
#include <QFrame>
#include <QGridLayout>
#include <QGroupBox>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPlainTextEdit>
#include <QProxyStyle>
#include <QPushButton>
#include <QRadioButton>
#include <QScreen>
#include <QSplitter>
#include <QSystemTrayIcon>
#include <QTableWidget>
#include <QTextDocument>
#include <QTimer>
#include <QVBoxLayout>

#include <cerrno>
#include <climits>

#include <unistd.h>

#include "engine/ConnectionLog.h"
#include "net/AllowList.h"
#include "gui/AccessDialogs.h"
#include "gui/Icons.h"
#include "gui/RecentConnections.h"
#include "gui/Seams.h"
#include "gui/ServerCheck.h"
#include "gui/ServerList.h"
#include "gui/SpinEdit.h"
#include "gui/TrafficView.h"
#include "gui/TrayMenu.h"

namespace kova::gui {
namespace {

QString Q(const std::string& s) { return QString::fromStdString(s); }

// One engine message on its way to the window thread. A client handle that never reaches the
// engine is not closed here: the engine's own post box closes every handle still on its way when
// the engine ends, and a second close could hit a descriptor number already reused.
class TWindowMessageEvent : public QEvent {
 public:
  static QEvent::Type EventType() {
    static const auto type = static_cast<QEvent::Type>(QEvent::registerEventType());
    return type;
  }
  TWindowMessageEvent(uint32_t msg, intptr_t wParam) : QEvent(EventType()), Msg(msg), WParam(wParam) {}
  uint32_t Msg;
  intptr_t WParam;
};

// The start-failure box's second line: where the listener tried and why, in a few words.
QString ListenFailureText(const TListenFailure& f) {
  QString reason;
  if (f.Kind == TListenFailure::BadPort) {
    reason = QStringLiteral("不是端口号（0-65535）");
  } else if (f.Kind == TListenFailure::UnknownAddress) {
    reason = QStringLiteral("找不到这个地址");
  } else if (f.Kind == TListenFailure::System && f.Errno == EADDRINUSE) {
    reason = QStringLiteral("端口已被占用");
  } else if (f.Kind == TListenFailure::System && f.Errno == EADDRNOTAVAIL) {
    reason = QStringLiteral("不是本机的地址");
  } else if (f.Kind == TListenFailure::System && (f.Errno == EACCES || f.Errno == EPERM)) {
    reason = QStringLiteral("无权使用 1024 以下的端口");
  } else if (f.Kind == TListenFailure::System) {
    reason = QString::fromStdString(f.Reason());
  } else {
    return {};
  }
  QString where = f.Address.empty() ? QStringLiteral("本机地址") : QString::fromStdString(f.Address);
  if (where.contains(u':')) where = u'[' + where + u']';
  return QStringLiteral("%1 端口 %2：%3").arg(where, QString::fromStdString(f.Port), reason);
}

}  // namespace

// ---- engine's window -------------------------------------------------------------------------

void TFormMain::PostMessage(uint32_t msg, intptr_t wParam) {
  QCoreApplication::postEvent(this, new TWindowMessageEvent(msg, wParam));
}

// The server texts hold placeholders for bytes a loaded list file had; the engine gets those bytes.
std::string TFormMain::ServerText() { return EngineTextFromText(EdServerIP->currentText()); }

void TFormMain::SetServerText(const std::string& text) {
  EdServerIP->setEditText(TextFromBytes(QByteArray::fromStdString(text)));
}

const TTargetList& TFormMain::ServerList() { return servers_; }

int TFormMain::ServerCount() { return servers_.Count(); }

std::string TFormMain::ServerItem(int index) { return servers_.Entry(index); }

bool TFormMain::AutoSwitch() { return CbServer->isChecked(); }

int TFormMain::ProxyType() { return RgProxyGroup->checkedId(); }

std::string TFormMain::ProxyText() { return EdProxy->text().toStdString(); }

std::string TFormMain::ProxyUser() { return EdUsername->text().toStdString(); }

std::string TFormMain::ProxyPassword() { return EdPassword->text().toStdString(); }

int TFormMain::IdleLimitMinutes() { return EdTimeClear->Value(); }

void TFormMain::ListenStateChanged(int state, int boundPort) {
  switch (state) {
    case 1: {
      BtStop->setEnabled(true);
      EdListenPort->setText(QString::number(boundPort));
      EdListenPort->setEnabled(false);
      // The user learns where clients can reach the service.
      listeningAt_ = QString::fromStdString(engine_->ListeningAddress());
      if (listeningAt_.contains(u':')) listeningAt_ = u'[' + listeningAt_ + u']';
      listeningAt_ += u':' + QString::number(boundPort);
      trayMeter_.Reset();
      trayMeter_.Take(engine_->Traffic(), 0);
      trayClock_.start();
      UpdateTrayTip(Q(RateText(0)), Q(RateText(0)));
      break;
    }
    case 2:
      // The box runs its own event loop; show it after the engine has finished with this message.
      QMetaObject::invokeMethod(
          this,
          [this, why = ListenFailureText(engine_->ListenFailure())] {
            TUiSeam::ShowMessage(this, QStringLiteral("服务器开启失败!"), false, why);
            BtStop->setEnabled(false);
            BtStart->setEnabled(true);
            EdListenPort->setEnabled(true);
          },
          Qt::QueuedConnection);
      break;
    case 3:
      BtStop->setEnabled(false);
      BtStart->setEnabled(true);
      EdListenPort->setEnabled(true);
      listeningAt_.clear();
      UpdateTrayTip({}, {});
      break;
    default:
      break;
  }
}

bool TFormMain::event(QEvent* event) {
  if (event->type() == TWindowMessageEvent::EventType()) {
    auto* m = static_cast<TWindowMessageEvent*>(event);
    if (engine_) engine_->HandleMessage(m->Msg, m->WParam);
    return true;
  }
  return QWidget::event(event);
}

// ---- service ---------------------------------------------------------------------------------

void TFormMain::BtStartClick() {
  BtStart->setEnabled(false);
  engine_->StartService(EdListenPort->text().toStdString(), listenAddress_.toStdString());
  if (EdTimeUpdate->Value() > 0) ApplyTimerPeriod();
}

void TFormMain::BtStopClick() {
  BtStop->setEnabled(false);
  EdListenPort->setEnabled(false);
  engine_->StopService();
}

void TFormMain::ApplyTimerPeriod() {
  const int seconds = EdTimeUpdate->Value();
  if (seconds < 1) {
    ATimer->stop();
    return;
  }
  // A typed number beyond the limit is read as typed; keep its period within the timer's range.
  const int ms = static_cast<int>(std::min<long long>(seconds * 1000LL, INT_MAX));
  if (!ATimer->isActive() || ATimer->interval() != ms) ATimer->start(ms);
}

void TFormMain::EdTimeUpdateChange() { ApplyTimerPeriod(); }

// ---- monitor ---------------------------------------------------------------------------------

void TFormMain::FillList(QTableWidget* list, const std::vector<std::string>& rows) {
  list->setRowCount(static_cast<int>(rows.size()));
  for (int r = 0; r < static_cast<int>(rows.size()); ++r) {
    const QStringList cells = QString::fromStdString(rows[r]).split(QLatin1Char(';'));
    for (int c = 0; c < list->columnCount(); ++c) {
      auto* item = new QTableWidgetItem(cells.value(c));
      // Numbers line up at the right; addresses read from the left; ids and idle times centred.
      Qt::Alignment align = Qt::AlignLeft | Qt::AlignVCenter;
      if (c == 0 || (list->columnCount() == 6 && c == 5)) align = Qt::AlignCenter;
      if (list->columnCount() == 6 && (c == 3 || c == 4)) align = Qt::AlignRight | Qt::AlignVCenter;
      item->setTextAlignment(align);
      list->setItem(r, c, item);
    }
  }
}

void TFormMain::UpdateTrayTip(const QString& down, const QString& up) {
  trayRates_ = down.isEmpty() ? QString() : QStringLiteral("\n收到 %1，发送 %2").arg(down, up);
  UpdateListenTips();
}

void TFormMain::ATimerTimer() {
  const TMonitorRows rows = engine_->Sweep();
  FillList(SockList, rows.Connections);
  for (int r = 0; r < SockList->rowCount() && r < static_cast<int>(rows.ConnectionKeys.size()); ++r)
    SockList->item(r, 0)->setData(Qt::UserRole, RelayKeyData(rows.ConnectionKeys[static_cast<size_t>(r)]));
  if (!listeningAt_.isEmpty()) {
    // The rate since the last tick: the monitor already runs, so the tray needs no timer of its own.
    const double seconds = static_cast<double>(trayClock_.nsecsElapsed()) / 1e9;
    trayClock_.start();
    const TTrafficSample s = trayMeter_.Take(engine_->Traffic(), seconds);
    UpdateTrayTip(Q(RateText(s.DownPerSecond)), Q(RateText(s.UpPerSecond)));
  }
  LbConnect->setText(QStringLiteral("活动连接数：%1 ").arg(SockList->rowCount()));
  FillList(ThreadList, rows.Threads);
  LbThread->setText(QStringLiteral("活动线程数：%1 ").arg(ThreadList->rowCount()));
  UpdateFailureTip();
  if (recent_ && recent_->isVisible()) recent_->Refresh();
}

void TFormMain::UpdateFailureTip() {
  constexpr int64_t kTenMinutesMs = 10 * 60 * 1000;
  LbConnect->setToolTip(QStringLiteral("最近十分钟被拒绝或失败的连接：%1\n右键点连接列表可查看最近结束的连接")
                            .arg(engine_->FailedOutcomesSince(UnixMillis() - kTenMinutesMs)));
}

void TFormMain::ShowRecentConnections() {
  if (!recent_) recent_ = new TRecentWindow(this, [this] { return engine_->RecentOutcomes(); });
  recent_->Open();
}

void TFormMain::ShowSockListMenu(const QPoint& pos) {
  auto* menu = new QMenu(SockList);
  menu->setAttribute(Qt::WA_DeleteOnClose);
  std::optional<TRelayKey> key;
  if (const int row = SockList->indexAt(pos).row(); row >= 0) {
    SockList->selectRow(row);
    key = RelayKeyFrom(SockList->item(row, 0)->data(Qt::UserRole));
  }
  AddDisconnectAction(menu, key, [this](TRelayKey relay) { return DisconnectRelay(relay); });
  menu->addSeparator();
  menu->addAction(ActRecent);
  menu->addAction(ActTraffic);
  menu->popup(SockList->viewport()->mapToGlobal(pos));
}

bool TFormMain::DisconnectRelay(TRelayKey relay) {
  // The row stays until the next tick, as a connection the idle sweep releases does.
  return engine_->Disconnect(relay);
}

void TFormMain::ShowTraffic() {
  if (!traffic_)
    traffic_ = new TTrafficWindow(
        this, [this] { return engine_->Traffic(); }, [this](TRelayKey relay) { return DisconnectRelay(relay); });
  traffic_->Open();
}

// ---- server list -----------------------------------------------------------------------------

void TFormMain::ReplaceServerList(const QStringList& entries) {
  // Changing the drop-down's items must not change its text: only NextServer does that.
  const QString text = EdServerIP->currentText();
  EdServerIP->clear();
  EdServerIP->addItems(entries);
  EdServerIP->setEditText(text);
}

void TFormMain::ServerItemsInserted(int first, int last) {
  if (first != servers_.Count()) return ServerItemsChanged();
  for (int i = first; i <= last; ++i) servers_.Add(EngineTextFromText(EdServerIP->itemText(i)));
}

void TFormMain::ServerItemsChanged() {
  std::vector<std::string> entries;
  entries.reserve(static_cast<size_t>(EdServerIP->count()));
  for (int i = 0; i < EdServerIP->count(); ++i) entries.push_back(EngineTextFromText(EdServerIP->itemText(i)));
  servers_.Assign(std::move(entries));
}

void TFormMain::BtServerAddClick() {
  const QString text = EdServerIP->currentText();
  EdServerIP->addItem(text);
  EdServerIP->setEditText(text);
}

void TFormMain::BtServerUseClick() {
  if (const auto target = UsableServer(ServerText()))
    engine_->SetTarget(target->Host, target->Port);
}

void TFormMain::BtEditClick() {
  QStringList entries;
  for (int i = 0; i < EdServerIP->count(); ++i) entries << EdServerIP->itemText(i);
  EdServers->setPlainText(EditTextFromEntries(entries));
}

void TFormMain::BtUpdateClick() {
  engine_->ResetNextServerIndex();
  ReplaceServerList(EntriesFromEditText(EditBoxText()));
}

QString TFormMain::EditBoxText() const {
  // Raw text keeps every character as typed (toPlainText would turn no-break spaces into blanks).
  QString text = EdServers->document()->toRawText();
  text.replace(QChar::ParagraphSeparator, QLatin1Char('\n'));
  return text;
}

void TFormMain::BtSaveClick() {
  TFileRequest request;
  request.Save = true;
  request.FilterLabels = {QStringLiteral("文本文件(*.txt)"), QStringLiteral("所有文件（*.*)")};
  request.FilterPatterns = {QStringLiteral("*.txt"), QStringLiteral("*.*")};
  request.InitialName = QStringLiteral("*.txt");
  request.Folder = QStringLiteral(".");
  request.DefaultSuffix = QStringLiteral("txt");
  const QString name = TUiSeam::AskFileName(this, request);
  if (name.isEmpty()) return;
  if (const int error = WriteWholeFile(name, FileBytesFromEditText(EditBoxText())))
    TUiSeam::ShowMessage(this, FileErrorText(true, QFileInfo(name).absoluteFilePath(), error), true);
}

void TFormMain::BtLoadClick() {
  TFileRequest request;
  request.FilterLabels = {QStringLiteral("文本文件(*.txt)"), QStringLiteral("所有文件(*.*)")};
  request.FilterPatterns = {QStringLiteral("*.txt"), QStringLiteral("*.*")};
  request.InitialName = QStringLiteral("*.txt");
  request.Folder = QStringLiteral(".");
  request.DefaultSuffix = QStringLiteral("txt");
  const QString name = TUiSeam::AskFileName(this, request);
  if (name.isEmpty()) return;
  QByteArray bytes;
  if (const int error = ReadWholeFile(name, bytes)) {
    TUiSeam::ShowMessage(this, FileErrorText(false, QFileInfo(name).absoluteFilePath(), error), true);
    return;
  }
  EdServers->setPlainText(EditTextFromFileBytes(bytes));
}

void TFormMain::ShowServerListMenu(const QPoint& pos) {
  QMenu* menu = EdServers->createStandardContextMenu(pos);
  menu->addSeparator();
  menu->addAction(ActCheckServers);
  menu->setAttribute(Qt::WA_DeleteOnClose);
  menu->popup(EdServers->viewport()->mapToGlobal(pos));
}

void TFormMain::ShowListenPortMenu(const QPoint& globalPos) {
  QMenu* menu = EdListenPort->isEnabled() ? EdListenPort->createStandardContextMenu() : new QMenu(this);
  if (!menu->isEmpty()) menu->addSeparator();
  menu->addAction(ActAllowList);
  menu->addAction(ActListenAddress);
  menu->setAttribute(Qt::WA_DeleteOnClose);
  menu->popup(globalPos);
}

void TFormMain::EditAllowList() {
  QString text = allowText_;
  if (!AskAllowListText(this, text)) return;
  auto list = std::make_shared<TAllowList>();
  std::string bad;
  if (!list->Add(text.toStdString(), bad)) {
    TUiSeam::ShowMessage(this, QStringLiteral("无效的条目: %1\n允许列表没有改变。").arg(QString::fromStdString(bad)), false);
    return;
  }
  allowText_ = text;
  engine_->SetAllowList(std::move(list));  // the next client accepted is judged by it
  UpdateListenTips();
}

void TFormMain::ChooseListenAddress() { AskListenAddress(this, listenAddress_); }

void TFormMain::UpdateListenTips() {
  QString allow;
  if (const auto list = engine_->AllowList())
    allow = QStringLiteral("\n只允许列表中的客户端连接 (%1 项)").arg(list->Size());
  const QString where = listeningAt_.isEmpty() ? QString() : QStringLiteral("\n监听地址 ") + listeningAt_;
  EdListenPort->setToolTip(kListenPortTip + where + allow);
  if (TrayIcon)
    TrayIcon->setToolTip(kTrayTip + (listeningAt_.isEmpty() ? QString() : u'\n' + listeningAt_ + trayRates_) + allow);
}

void TFormMain::CheckServers() {
  if (!check_) {
    // The list in use and the proxy as a client accepted now would get them; the engine is not asked.
    check_ = new TServerCheckWindow(this, [this] {
      TServerCheckRequest request;
      for (int i = 0; i < ServerCount(); ++i) request.Servers.push_back(ServerItem(i));
      request.Proxy = {ProxyType(), ProxyText(), ProxyUser(), ProxyPassword()};
      return request;
    });
  }
  check_->Start();
}

// ---- tray and window commands -----------------------------------------------------------------

void TFormMain::ActivateTray() {
  if (trayActive_ || !TUiSeam::TrayAvailable()) return;
  TrayIcon->show();
  trayActive_ = true;
}

void TFormMain::DeactivateTray() {
  if (!trayActive_) return;
  TrayIcon->hide();
  trayActive_ = false;
}

void TFormMain::CheckTray() {
  const bool available = TUiSeam::TrayAvailable();
  if (available && !trayWasAvailable_) {
    if (trayActive_) {
      TrayIcon->hide();  // a restarted notification area: add the icon again
      TrayIcon->show();
    } else if (shownOnce_) {
      ActivateTray();
    }
  }
  trayWasAvailable_ = available;
}

void TFormMain::showEvent(QShowEvent* event) {
  QWidget::showEvent(event);
  if (!shownOnce_) {
    shownOnce_ = true;
    trayWasAvailable_ = TUiSeam::TrayAvailable();
    trayWatch_->start();
  }
  ActivateTray();
}

void TFormMain::closeEvent(QCloseEvent* event) {
  if (trayActive_) {
    // Closing only hides: the service, its connections and the monitor go on.
    event->ignore();
    hide();
    return;
  }
  // Without a tray icon nothing could bring a hidden window back, so closing ends the program.
  event->accept();
  emit programEndRequested();
}

void TFormMain::changeEvent(QEvent* event) {
  QWidget::changeEvent(event);
  if (event->type() == QEvent::WindowStateChange && isMinimized() && trayActive_)
    QTimer::singleShot(0, this, [this] { hide(); });
}

void TFormMain::TmShowClick() {
  setWindowState(windowState() & ~Qt::WindowMinimized);
  show();
  raise();
  activateWindow();
}

void TFormMain::TmHideClick() { hide(); }

void TFormMain::TmExitClick() {
  DeactivateTray();
  close();
}

}  // namespace kova::gui
