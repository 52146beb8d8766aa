// The window's building: the settings panel, the monitor area and the tray, laid out as the
// program starts. Its handlers are in uMain.cpp.

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

#include <climits>

#include <unistd.h>

#include "engine/ConnectionLog.h"
#include "gui/Icons.h"
#include "gui/RecentConnections.h"
#include "gui/Seams.h"
#include "gui/ServerCheck.h"
#include "gui/ServerList.h"
#include "gui/SpinEdit.h"
#include "gui/TrayMenu.h"

namespace kova::gui {
namespace {

const QColor kSkyBlue(166, 202, 240);
const QColor kCream(255, 251, 240);
const QColor kTitleGreen(192, 220, 192);
const QColor kPanelText(0, 0, 128);
const QColor kEditText(0, 0, 200);

// The password box shows every character as "*" whatever the desktop's style would use.
class TStarMaskStyle : public QProxyStyle {
 public:
  int styleHint(StyleHint hint, const QStyleOption* option, const QWidget* widget,
                QStyleHintReturn* returnData) const override {
    if (hint == SH_LineEdit_PasswordCharacter) return '*';
    return QProxyStyle::styleHint(hint, option, widget, returnData);
  }
};

QFont PanelFont() {
  QFont f;
  f.setFamilies({QStringLiteral("Noto Sans CJK SC"), QStringLiteral("DejaVu Sans")});
  f.setPixelSize(12);
  return f;
}

QFont EditFont() {
  QFont f;
  f.setFamilies({QStringLiteral("DejaVu Serif"), QStringLiteral("Noto Serif CJK SC")});
  f.setPixelSize(11);
  return f;
}

template <typename T>
T* Named(T* widget, const char* name) {
  widget->setObjectName(QLatin1String(name));
  return widget;
}

QLabel* MakeLabel(QWidget* parent, const char* name, const QString& caption, QRect geometry) {
  auto* l = Named(new QLabel(caption, parent), name);
  l->setGeometry(geometry);
  l->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
  return l;
}

QLineEdit* MakeEdit(QWidget* parent, const char* name, const QString& text, const QString& tip, QRect geometry) {
  auto* e = Named(new QLineEdit(text, parent), name);
  e->setToolTip(tip);
  e->setGeometry(geometry);
  e->setFont(EditFont());
  return e;
}

QPushButton* MakeButton(QWidget* parent, const char* name, const QString& caption, const QString& tip,
                        TIconKind icon) {
  auto* b = Named(new QPushButton(MakeIcon(icon), caption, parent), name);
  b->setToolTip(tip);
  b->setIconSize(QSize(16, 16));
  return b;
}

QTableWidget* MakeList(QWidget* parent, const char* name, const QString& tip,
                       const QList<QPair<QString, int>>& columns, bool grid) {
  auto* t = Named(new QTableWidget(0, static_cast<int>(columns.size()), parent), name);
  t->setToolTip(tip);
  t->setEditTriggers(QAbstractItemView::NoEditTriggers);
  t->setSelectionBehavior(QAbstractItemView::SelectRows);
  t->setSelectionMode(QAbstractItemView::SingleSelection);
  t->setShowGrid(grid);
  t->setWordWrap(false);
  t->setSortingEnabled(false);
  t->verticalHeader()->hide();
  t->verticalHeader()->setDefaultSectionSize(17);
  t->verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
  QHeaderView* h = t->horizontalHeader();
  h->setFixedHeight(17);
  h->setDefaultAlignment(Qt::AlignCenter);
  h->setHighlightSections(false);
  h->setSectionsClickable(false);
  h->setFont(PanelFont());
  QStringList labels;
  for (int i = 0; i < columns.size(); ++i) {
    labels << columns[i].first;
    h->setSectionResizeMode(i, QHeaderView::Interactive);
    t->setColumnWidth(i, columns[i].second);
  }
  t->setHorizontalHeaderLabels(labels);
  return t;
}

// A light green title bar with its caption at the left and, optionally, a red counter at the right.
QFrame* MakeTitleBar(QWidget* parent, const char* name, const QString& caption, QLabel* counter) {
  auto* bar = Named(new QFrame(parent), name);
  bar->setFixedHeight(20);
  auto* row = new QHBoxLayout(bar);
  row->setContentsMargins(6, 0, 4, 0);
  auto* title = new QLabel(caption, bar);
  row->addWidget(title);
  row->addStretch(1);
  if (counter) row->addWidget(counter);
  return bar;
}

}  // namespace

TFormMain::TFormMain(QWidget* parent, TTickSource tick)
    : QWidget(parent, Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                          Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint) {
  setObjectName(QStringLiteral("FormMain"));
  setWindowTitle(QStringLiteral("KOVA数据转发服务器 2.0 [松下石灯出品]"));
  setWindowIcon(MakeIcon(TIconKind::App));
  setFont(PanelFont());
  setFixedSize(701, 404);
  setStyleSheet(QStringLiteral(
      "#Panel1 { background: %1; }"
      "#Panel2, #Panel3, #Panel5, #Panel7, #Panel8, #Panel10 { background: %2; }"
      "#Panel4, #Panel6, #Panel9 { background: %3; border-bottom: 1px solid #8cae8c; }"
      "QLabel, QCheckBox, QRadioButton { color: %4; }"
      "#LbConnect, #LbThread { color: #e00000; }"
      "#BtStart { color: #008000; } #BtStop { color: #c80000; }")
                    .arg(kSkyBlue.name(), kCream.name(), kTitleGreen.name(), kPanelText.name()));

  auto* root = new QHBoxLayout(this);
  root->setContentsMargins(0, 0, 0, 0);
  root->setSpacing(0);
  root->addWidget(BuildSettingsPanel());
  root->addWidget(BuildMonitorArea(), 1);

  ATimer = Named(new QTimer(this), "ATimer");
  connect(ATimer, &QTimer::timeout, this, &TFormMain::ATimerTimer);
  BuildTray();

  // Why relays ended: menus on the monitor and the server list, nothing added to the layout.
  ActRecent = Named(new QAction(QStringLiteral("最近结束的连接…"), this), "ActRecent");
  connect(ActRecent, &QAction::triggered, this, &TFormMain::ShowRecentConnections);
  ActTraffic = Named(new QAction(QStringLiteral("流量图…"), this), "ActTraffic");
  connect(ActTraffic, &QAction::triggered, this, &TFormMain::ShowTraffic);
  SockList->addAction(ActRecent);
  SockList->addAction(ActTraffic);
  SockList->setContextMenuPolicy(Qt::CustomContextMenu);
  connect(SockList, &QWidget::customContextMenuRequested, this, &TFormMain::ShowSockListMenu);
  ActCheckServers = Named(new QAction(QStringLiteral("检测服务器"), this), "ActCheckServers");
  connect(ActCheckServers, &QAction::triggered, this, &TFormMain::CheckServers);
  EdServers->setContextMenuPolicy(Qt::CustomContextMenu);
  connect(EdServers, &QWidget::customContextMenuRequested, this, &TFormMain::ShowServerListMenu);
  // Who may connect and where the service listens: on the port field's menu. While listening the
  // field is disabled and its menu requests reach the panel, which offers the same two entries.
  ActAllowList = Named(new QAction(QStringLiteral("允许连接的客户端…"), this), "ActAllowList");
  connect(ActAllowList, &QAction::triggered, this, &TFormMain::EditAllowList);
  ActListenAddress = Named(new QAction(QStringLiteral("监听地址…"), this), "ActListenAddress");
  connect(ActListenAddress, &QAction::triggered, this, &TFormMain::ChooseListenAddress);
  EdListenPort->setContextMenuPolicy(Qt::CustomContextMenu);
  connect(EdListenPort, &QWidget::customContextMenuRequested, this,
          [this](const QPoint& pos) { ShowListenPortMenu(EdListenPort->mapToGlobal(pos)); });
  QWidget* panel = EdListenPort->parentWidget();
  panel->setContextMenuPolicy(Qt::CustomContextMenu);
  connect(panel, &QWidget::customContextMenuRequested, this, [this, panel](const QPoint& pos) {
    if (EdListenPort->geometry().contains(pos)) ShowListenPortMenu(panel->mapToGlobal(pos));
  });
  listenAddress_ = TUiSeam::ListenAddress();

  if (QScreen* screen = QGuiApplication::primaryScreen())
    move(screen->availableGeometry().center() - QPoint(width() / 2, height() / 2));

  // What the program's start does to the window: an engine with empty tables, BtStop disabled.
  log_ = std::make_unique<TConnectionLog>(DefaultConnectionLogPath());
  engine_ = std::make_unique<TRelayEngine>(*this, std::move(tick));
  engine_->SetOutcomeHandler([this](const TRelayOutcome& o) { log_->Add(o); });
  BtStop->setEnabled(false);
  UpdateFailureTip();
}

TFormMain::~TFormMain() {
  ATimer->stop();
  trayWatch_->stop();
  // Listener, then the workers (waited for), then the sockets; no engine message is handled after.
  engine_.reset();
  if (trayActive_) TrayIcon->hide();
}

QWidget* TFormMain::BuildSettingsPanel() {
  auto* p = Named(new QFrame(this), "Panel1");
  p->setFixedWidth(185);
  const int left = 6;
  const int full = 185 - 2 * left;

  Label3 = MakeLabel(p, "Label3", QStringLiteral("服务器地址："), QRect(left, 8, 96, 20));
  CbServer = Named(new QCheckBox(QStringLiteral("自动切换"), p), "CbServer");
  CbServer->setToolTip(QStringLiteral("连接不上时自动切换到下一个服务器"));
  CbServer->setChecked(true);
  CbServer->setGeometry(104, 8, 78, 20);

  EdServerIP = Named(new QComboBox(p), "EdServerIP");
  EdServerIP->setEditable(true);
  EdServerIP->setInsertPolicy(QComboBox::NoInsert);  // only BtServerAdd adds to the list in use
  EdServerIP->setCompleter(nullptr);                 // typed text must stay as typed
  EdServerIP->setDuplicatesEnabled(true);
  EdServerIP->setToolTip(QStringLiteral("输入要使用的服务器地址(IP:Port)"));
  EdServerIP->setFont(EditFont());
  EdServerIP->setGeometry(left, 31, full, 23);
  QAbstractItemModel* entries = EdServerIP->model();
  connect(entries, &QAbstractItemModel::rowsInserted, this,
          [this](const QModelIndex&, int first, int last) { ServerItemsInserted(first, last); });
  connect(entries, &QAbstractItemModel::rowsRemoved, this, &TFormMain::ServerItemsChanged);
  connect(entries, &QAbstractItemModel::modelReset, this, &TFormMain::ServerItemsChanged);

  const int half = (full - 6) / 2;
  BtServerAdd = MakeButton(p, "BtServerAdd", QStringLiteral("加入"), QStringLiteral("将当前服务器地址加入到列表"),
                           TIconKind::Add);
  BtServerAdd->setGeometry(left, 59, half, 25);
  BtServerUse = MakeButton(p, "BtServerUse", QStringLiteral("使用"), QStringLiteral("使用当前的服务器地址"),
                           TIconKind::Use);
  BtServerUse->setGeometry(left + full - half, 59, half, 25);
  connect(BtServerAdd, &QPushButton::clicked, this, &TFormMain::BtServerAddClick);
  connect(BtServerUse, &QPushButton::clicked, this, &TFormMain::BtServerUseClick);

  auto* rg = Named(new QGroupBox(QStringLiteral("代理服务器"), p), "RgProxy");
  rg->setToolTip(QStringLiteral("选择转发时使用的代理服务器类型"));
  rg->setGeometry(left, 90, full, 62);
  RgProxyGroup = new QButtonGroup(rg);
  auto* grid = new QGridLayout(rg);
  grid->setContentsMargins(8, 4, 4, 4);
  grid->setVerticalSpacing(2);
  const QString items[] = {QStringLiteral("不用代理"), QStringLiteral("HTTP"), QStringLiteral("SOCKS 4"),
                           QStringLiteral("SOCKS 5")};
  for (int i = 0; i < 4; ++i) {
    auto* r = new QRadioButton(items[i], rg);
    r->setObjectName(QStringLiteral("RgProxy%1").arg(i));
    RgProxyGroup->addButton(r, i);
    grid->addWidget(r, i % 2, i / 2);  // items 0 and 1 in the first column, 2 and 3 in the second
  }
  RgProxyGroup->button(1)->setChecked(true);

  const int editX = 40;
  MakeLabel(p, "Label2", QStringLiteral("地址"), QRect(left + 2, 160, 32, 22));
  EdProxy = MakeEdit(p, "EdProxy", QStringLiteral("192.168.1.1:3128"),
                     QStringLiteral("设置代理服务器的地址(IP:Port)"), QRect(editX, 160, 185 - left - editX, 22));
  MakeLabel(p, "Label4", QStringLiteral("用户"), QRect(left + 2, 187, 32, 22));
  EdUsername = MakeEdit(p, "EdUsername", QString(), QStringLiteral("连接代理服务器需要的用户名"),
                        QRect(editX, 187, 185 - left - editX, 22));
  MakeLabel(p, "Label5", QStringLiteral("密码"), QRect(left + 2, 214, 32, 22));
  EdPassword = MakeEdit(p, "EdPassword", QString(), QStringLiteral("连接代理服务器需要的密码"),
                        QRect(editX, 214, 185 - left - editX, 22));
  auto* mask = new TStarMaskStyle;
  mask->setParent(EdPassword);
  EdPassword->setStyle(mask);
  EdPassword->setEchoMode(QLineEdit::Password);

  MakeLabel(p, "Label6", QStringLiteral("转发服务端口："), QRect(left + 2, 243, 96, 22));
  EdListenPort = MakeEdit(p, "EdListenPort", QStringLiteral("1080"), kListenPortTip,
                          QRect(104, 243, 185 - left - 104, 22));

  BtStart = MakeButton(p, "BtStart", QStringLiteral("启动"), QStringLiteral("启动转发服务"), TIconKind::Start);
  BtStart->setGeometry(left, 274, half, 28);
  BtStop = MakeButton(p, "BtStop", QStringLiteral("停止"), QStringLiteral("停止转发服务，已有的连接不受影响"),
                      TIconKind::Stop);
  BtStop->setGeometry(left + full - half, 274, half, 28);
  connect(BtStart, &QPushButton::clicked, this, &TFormMain::BtStartClick);
  connect(BtStop, &QPushButton::clicked, this, &TFormMain::BtStopClick);

  auto* rule = new QFrame(p);
  rule->setFrameShape(QFrame::HLine);
  rule->setFrameShadow(QFrame::Sunken);
  rule->setGeometry(left, 311, full, 2);

  MakeLabel(p, "Label8", QStringLiteral("自动清除空闲(分)"), QRect(left + 2, 320, 112, 22));
  EdTimeClear = Named(new TSpinEdit(0, 600, 5, p), "EdTimeClear");
  EdTimeClear->setToolTip(QStringLiteral("输入连接被清除前经历的空闲时间"));
  EdTimeClear->setGeometry(120, 320, 185 - left - 120, 22);
  EdTimeClear->setFont(EditFont());
  MakeLabel(p, "Label1", QStringLiteral("统计信息更新(秒)"), QRect(left + 2, 348, 112, 22));
  EdTimeUpdate = Named(new TSpinEdit(1, 600, 3, p), "EdTimeUpdate");
  EdTimeUpdate->setToolTip(QStringLiteral("输入更新信息的时间间隔"));
  EdTimeUpdate->setGeometry(120, 348, 185 - left - 120, 22);
  EdTimeUpdate->setFont(EditFont());
  connect(EdTimeUpdate, &TSpinEdit::textChanged, this, &TFormMain::EdTimeUpdateChange);
  for (TSpinEdit* s : {EdTimeClear, EdTimeUpdate}) {
    QPalette pal = s->LineEdit()->palette();
    pal.setColor(QPalette::Text, kEditText);
    s->LineEdit()->setPalette(pal);
  }
  for (QWidget* w : std::initializer_list<QWidget*>{EdServerIP, EdProxy, EdUsername, EdPassword, EdListenPort}) {
    QPalette pal = w->palette();
    pal.setColor(QPalette::Text, kEditText);
    w->setPalette(pal);
  }
  return p;
}

QWidget* TFormMain::BuildMonitorArea() {
  auto* area = Named(new QFrame(this), "Panel2");
  auto* areaLayout = new QVBoxLayout(area);
  areaLayout->setContentsMargins(3, 3, 3, 3);

  auto* splitter = Named(new QSplitter(Qt::Vertical, area), "Splitter1");
  splitter->setChildrenCollapsible(false);
  splitter->setHandleWidth(5);
  areaLayout->addWidget(splitter);

  // Connection monitor.
  auto* conn = Named(new QFrame(splitter), "Panel3");
  conn->setFrameShape(QFrame::StyledPanel);
  auto* connLayout = new QVBoxLayout(conn);
  connLayout->setContentsMargins(0, 0, 0, 0);
  connLayout->setSpacing(0);
  LbConnect = Named(new QLabel(QStringLiteral("活动连接数：0 "), conn), "LbConnect");
  connLayout->addWidget(MakeTitleBar(conn, "Panel4", QStringLiteral("连接监视器"), LbConnect));
  SockList = MakeList(conn, "SockList", QStringLiteral("最大活动连接数=50"),
                      {{QStringLiteral("连接ID"), 52},
                       {QStringLiteral("客户端地址"), 120},
                       {QStringLiteral("服务端地址"), 120},
                       {QStringLiteral("收到字节数"), 80},
                       {QStringLiteral("发送字节数"), 80},
                       {QStringLiteral("已空闲"), 54}},
                      true);
  SockList->setFont(EditFont());
  {
    QPalette pal = SockList->palette();
    pal.setColor(QPalette::Text, kEditText);
    SockList->setPalette(pal);
  }
  connLayout->addWidget(SockList);

  // Lower half: thread monitor at the left, the server list at the right.
  auto* lower = Named(new QFrame(splitter), "Panel5");
  auto* lowerLayout = new QHBoxLayout(lower);
  lowerLayout->setContentsMargins(0, 0, 0, 0);
  lowerLayout->setSpacing(3);

  auto* threads = Named(new QFrame(lower), "Panel7");
  threads->setFrameShape(QFrame::StyledPanel);
  threads->setFixedWidth(238);
  auto* threadsLayout = new QVBoxLayout(threads);
  threadsLayout->setContentsMargins(0, 0, 0, 0);
  threadsLayout->setSpacing(0);
  LbThread = Named(new QLabel(QStringLiteral("活动线程数：0 "), threads), "LbThread");
  threadsLayout->addWidget(MakeTitleBar(threads, "Panel6", QStringLiteral("线程监视器"), LbThread));
  ThreadList = MakeList(threads, "ThreadList", QStringLiteral("最大活动线程数=100"),
                        {{QStringLiteral("线程ID"), 52}, {QStringLiteral("连接ID[操作类型]"), 180}}, false);
  threadsLayout->addWidget(ThreadList);
  lowerLayout->addWidget(threads);

  auto* servers = Named(new QFrame(lower), "Panel8");
  servers->setFrameShape(QFrame::StyledPanel);
  auto* serversLayout = new QVBoxLayout(servers);
  serversLayout->setContentsMargins(0, 0, 0, 0);
  serversLayout->setSpacing(0);
  serversLayout->addWidget(MakeTitleBar(servers, "Panel9", QStringLiteral("目标服务器列表"), nullptr));
  auto* body = new QHBoxLayout;
  body->setContentsMargins(2, 2, 2, 2);
  body->setSpacing(2);
  EdServers = Named(new QPlainTextEdit(servers), "EdServers");
  EdServers->setToolTip(QStringLiteral(
      "在这里可以编辑目标服务器列表，需要编辑正在使用的列表时请先点[编辑]，编辑完成点[应用]更新正在使用的列表"));
  EdServers->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  EdServers->setLineWrapMode(QPlainTextEdit::NoWrap);
  EdServers->setFont(EditFont());
  {
    QPalette pal = EdServers->palette();
    pal.setColor(QPalette::Text, kEditText);
    EdServers->setPalette(pal);
  }
  body->addWidget(EdServers, 1);
  auto* column = Named(new QFrame(servers), "Panel10");
  auto* columnLayout = new QVBoxLayout(column);
  columnLayout->setContentsMargins(0, 0, 0, 0);
  columnLayout->setSpacing(3);
  BtEdit = MakeButton(column, "BtEdit", QStringLiteral("编辑"), QStringLiteral("获取服务器列表的内容来进行编辑"),
                      TIconKind::Edit);
  BtUpdate = MakeButton(column, "BtUpdate", QStringLiteral("应用"),
                        QStringLiteral("用左边编辑的内容替换到服务器列表"), TIconKind::Update);
  BtSave = MakeButton(column, "BtSave", QStringLiteral("保存"), QStringLiteral("保存编辑的内容到磁盘"),
                      TIconKind::Save);
  BtLoad = MakeButton(column, "BtLoad", QStringLiteral("加载"), QStringLiteral("读取磁盘文件进行编辑"),
                      TIconKind::Load);
  for (QPushButton* b : {BtEdit, BtUpdate, BtSave, BtLoad}) {
    b->setFixedSize(64, 24);
    columnLayout->addWidget(b);
  }
  columnLayout->addStretch(1);
  body->addWidget(column);
  serversLayout->addLayout(body, 1);
  lowerLayout->addWidget(servers, 1);
  connect(BtEdit, &QPushButton::clicked, this, &TFormMain::BtEditClick);
  connect(BtUpdate, &QPushButton::clicked, this, &TFormMain::BtUpdateClick);
  connect(BtSave, &QPushButton::clicked, this, &TFormMain::BtSaveClick);
  connect(BtLoad, &QPushButton::clicked, this, &TFormMain::BtLoadClick);

  splitter->addWidget(conn);
  splitter->addWidget(lower);
  splitter->setStretchFactor(0, 1);
  splitter->setSizes({222, 170});
  return area;
}

void TFormMain::BuildTray() {
  TmPopup = Named(new TTrayMenu(this), "TmPopup");
  TmShow = Named(TmPopup->addAction(QStringLiteral("显示")), "TmShow");
  TmHide = Named(TmPopup->addAction(QStringLiteral("隐藏")), "TmHide");
  TmPopup->addSeparator();
  TmExit = Named(TmPopup->addAction(QStringLiteral("退出")), "TmExit");
  connect(TmShow, &QAction::triggered, this, &TFormMain::TmShowClick);
  connect(TmHide, &QAction::triggered, this, &TFormMain::TmHideClick);
  connect(TmExit, &QAction::triggered, this, &TFormMain::TmExitClick);

  TrayIcon = Named(new QSystemTrayIcon(MakeIcon(TIconKind::App), this), "TrayIcon");
  TrayIcon->setToolTip(kTrayTip);
  TrayIcon->setContextMenu(TmPopup);

  // The notification area may appear late or restart; put the icon (back) when it shows up.
  trayWatch_ = new QTimer(this);
  trayWatch_->setInterval(2000);
  connect(trayWatch_, &QTimer::timeout, this, &TFormMain::CheckTray);
}

}  // namespace kova::gui
