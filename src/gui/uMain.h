#pragma once
// The program's one window: the settings, start/stop, the target server list, the connection
// and thread monitor, the tray icon. It owns the relay engine and is the engine's window: the
// engine's messages arrive here as posted events and are handled on this thread.

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include <QElapsedTimer>
#include <QWidget>

#include "engine/Relay.h"
#include "engine/WindowHost.h"

class QAction;
class QButtonGroup;
class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QPlainTextEdit;
class QPushButton;
class QSystemTrayIcon;
class QTableWidget;
class QTimer;

namespace kova {
class TConnectionLog;
}

namespace kova::gui {

class TRecentWindow;
class TServerCheckWindow;
class TTrafficWindow;
class TSpinEdit;
class TTrayMenu;

class TFormMain : public QWidget, public IRelayWindow {
  Q_OBJECT

 public:
  explicit TFormMain(QWidget* parent = nullptr, TTickSource tick = SystemTick);
  ~TFormMain() override;

  TRelayEngine& Engine() { return *engine_; }
  bool TrayActive() const { return trayActive_; }

  // IRelayWindow. PostMessage from any thread; the rest on the window thread only.
  void PostMessage(uint32_t msg, intptr_t wParam) override;
  std::string ServerText() override;
  void SetServerText(const std::string& text) override;
  const TTargetList& ServerList() override;
  int ServerCount();                  // entries of the in-use list
  std::string ServerItem(int index);  // one of them, as the engine gets it
  bool AutoSwitch() override;
  int ProxyType() override;
  std::string ProxyText() override;
  std::string ProxyUser() override;
  std::string ProxyPassword() override;
  int IdleLimitMinutes() override;
  void ListenStateChanged(int state, int boundPort) override;

  // The server list's edit box as plain text, lines separated by '\n', nothing else changed.
  QString EditBoxText() const;
  // Where every relay's outcome is written, one line each.
  TConnectionLog& ConnectionLog() { return *log_; }

 signals:
  // The window was really closed (not hidden to the tray): the program should end now.
  void programEndRequested();

 public slots:
  void BtStartClick();
  void BtStopClick();
  void BtServerAddClick();
  void BtServerUseClick();
  void BtEditClick();
  void BtUpdateClick();
  void BtSaveClick();
  void BtLoadClick();
  void ATimerTimer();
  void EdTimeUpdateChange();
  void TmShowClick();
  void TmHideClick();
  void TmExitClick();
  void ShowRecentConnections();  // "最近结束的连接…" of the connection monitor's menu
  void CheckServers();           // "检测服务器" of the server list's menu
  void EditAllowList();          // "允许连接的客户端…" of the port field's menu
  void ChooseListenAddress();    // "监听地址…" of the port field's menu
  void ShowTraffic();            // "流量图…" of the connection monitor's menu

 protected:
  bool event(QEvent* event) override;
  void closeEvent(QCloseEvent* event) override;
  void showEvent(QShowEvent* event) override;
  void changeEvent(QEvent* event) override;

 private:
  // The port field's and the tray's own tooltips, before the listening address is added.
  static inline const QString kListenPortTip = QStringLiteral("设置转发服务端口");
  static inline const QString kTrayTip = QStringLiteral("KOVA数据转发服务");
  QWidget* BuildSettingsPanel();
  QWidget* BuildMonitorArea();
  void BuildTray();
  void ActivateTray();
  void DeactivateTray();
  void CheckTray();
  void ApplyTimerPeriod();
  void ReplaceServerList(const QStringList& entries);
  // Keep servers_ equal to the drop-down's entries however they change: appended entries are
  // added one by one, anything else rebuilds it, so a failover never has to read the list.
  void ServerItemsInserted(int first, int last);
  void ServerItemsChanged();
  void UpdateFailureTip();
  void ShowServerListMenu(const QPoint& pos);
  void ShowListenPortMenu(const QPoint& globalPos);
  void UpdateListenTips();
  void ShowSockListMenu(const QPoint& pos);
  bool DisconnectRelay(TRelayKey relay);
  void UpdateTrayTip(const QString& down, const QString& up);  // the rates while listening
  static void FillList(QTableWidget* list, const std::vector<std::string>& rows);

  // Controls, named as the user-facing documentation names them.
  QLabel* Label3 = nullptr;
  QCheckBox* CbServer = nullptr;
  QComboBox* EdServerIP = nullptr;
  QPushButton* BtServerAdd = nullptr;
  QPushButton* BtServerUse = nullptr;
  QButtonGroup* RgProxyGroup = nullptr;
  QLineEdit* EdProxy = nullptr;
  QLineEdit* EdUsername = nullptr;
  QLineEdit* EdPassword = nullptr;
  QLineEdit* EdListenPort = nullptr;
  QPushButton* BtStart = nullptr;
  QPushButton* BtStop = nullptr;
  TSpinEdit* EdTimeClear = nullptr;
  TSpinEdit* EdTimeUpdate = nullptr;
  QTableWidget* SockList = nullptr;
  QTableWidget* ThreadList = nullptr;
  QLabel* LbConnect = nullptr;
  QLabel* LbThread = nullptr;
  QPlainTextEdit* EdServers = nullptr;
  QPushButton* BtEdit = nullptr;
  QPushButton* BtUpdate = nullptr;
  QPushButton* BtSave = nullptr;
  QPushButton* BtLoad = nullptr;
  QTimer* ATimer = nullptr;
  QTimer* trayWatch_ = nullptr;
  QSystemTrayIcon* TrayIcon = nullptr;
  TTrayMenu* TmPopup = nullptr;
  QAction* TmShow = nullptr;
  QAction* TmHide = nullptr;
  QAction* TmExit = nullptr;
  QAction* ActRecent = nullptr;        // on SockList's menu
  QAction* ActTraffic = nullptr;       // on SockList's menu
  QAction* ActCheckServers = nullptr;  // on EdServers' menu
  QAction* ActAllowList = nullptr;     // on EdListenPort's menu
  QAction* ActListenAddress = nullptr;
  TRecentWindow* recent_ = nullptr;    // made on first use
  TServerCheckWindow* check_ = nullptr;
  TTrafficWindow* traffic_ = nullptr;
  QString trayRates_;     // the tray's rate line while listening, else empty
  TTrafficMeter trayMeter_;  // the tray's rate, taken at the monitor's ticks
  QElapsedTimer trayClock_;

  QString listenAddress_;  // where the next start listens; empty: the machine's own address
  QString allowText_;      // the allow-list as last accepted, comments and all
  QString listeningAt_;    // "address:port" while listening, else empty
  bool trayActive_ = false;
  bool trayWasAvailable_ = false;
  bool shownOnce_ = false;
  TTargetList servers_;  // the drop-down's entries as the engine walks them, kept as they change
  std::unique_ptr<TConnectionLog> log_;  // outlives the engine, which records outcomes as it ends
  std::unique_ptr<TRelayEngine> engine_;
};

}  // namespace kova::gui
