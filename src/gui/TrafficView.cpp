#include "gui/TrafficView.h"

#include <QChartView>
#include <QDateTime>
#include <QDateTimeAxis>
#include <QHeaderView>
#include <QLabel>
#include <QLineSeries>
#include <QMenu>
#include <QSplitter>
#include <QTableWidget>
#include <QTimer>
#include <QValueAxis>
#include <QVBoxLayout>

#include <algorithm>

namespace kova::gui {
namespace {

QString Q(const std::string& s) { return QString::fromStdString(s); }
QString Rate(double bytesPerSecond) { return Q(RateText(bytesPerSecond)); }

}  // namespace

QVariant RelayKeyData(TRelayKey key) {
  return QVariant::fromValue((static_cast<qulonglong>(key.Generation) << 8) | static_cast<qulonglong>(key.Slot & 0xFF));
}

std::optional<TRelayKey> RelayKeyFrom(const QVariant& data) {
  if (!data.isValid()) return std::nullopt;
  const qulonglong v = data.toULongLong();
  return TRelayKey{static_cast<int>(v & 0xFF), static_cast<uint32_t>(v >> 8)};
}

void AddDisconnectAction(QMenu* menu, std::optional<TRelayKey> key, TDisconnect disconnect) {
  QAction* a = menu->addAction(QStringLiteral("断开此连接"));
  a->setObjectName(QStringLiteral("ActDisconnect"));
  a->setEnabled(key.has_value());
  if (key) QObject::connect(a, &QAction::triggered, menu, [key, disconnect] { disconnect(*key); });
}

TTrafficWindow::TTrafficWindow(QWidget* parent, TSource source, TDisconnect disconnect)
    : QWidget(parent, Qt::Window), source_(std::move(source)), disconnect_(std::move(disconnect)) {
  setObjectName(QStringLiteral("TrafficView"));
  setWindowTitle(QStringLiteral("流量图 - KOVA 2.0"));
  setAttribute(Qt::WA_DeleteOnClose, false);
  resize(820, 560);

  down_ = new QLineSeries(this);
  down_->setName(QStringLiteral("收到（服务端→客户端）"));
  up_ = new QLineSeries(this);
  up_->setName(QStringLiteral("发送（客户端→服务端）"));
  chart_ = new QChart;
  chart_->addSeries(down_);
  chart_->addSeries(up_);
  chart_->legend()->setAlignment(Qt::AlignTop);
  chart_->setMargins(QMargins(4, 4, 4, 4));
  time_ = new QDateTimeAxis(chart_);
  time_->setFormat(QStringLiteral("HH:mm"));
  time_->setTickCount(11);  // a tick a minute
  time_->setTitleText(QStringLiteral("最近十分钟"));
  rate_ = new QValueAxis(chart_);
  rate_->setMin(0);
  // The unit rides on each label: a vertical title in these fonts is elided to a dot.
  rate_->setLabelFormat(QStringLiteral("%.4g B/s"));
  chart_->addAxis(time_, Qt::AlignBottom);
  chart_->addAxis(rate_, Qt::AlignLeft);
  for (QLineSeries* s : {down_, up_}) {
    s->attachAxis(time_);
    s->attachAxis(rate_);
  }
  auto* view = new QChartView(chart_, this);
  view->setObjectName(QStringLiteral("TrafficChart"));
  view->setRenderHint(QPainter::Antialiasing);
  view->setMinimumHeight(220);

  summary_ = new QLabel(this);
  summary_->setObjectName(QStringLiteral("TrafficSummary"));
  list_ = new QTableWidget(0, 6, this);
  list_->setObjectName(QStringLiteral("TrafficList"));
  list_->setHorizontalHeaderLabels({QStringLiteral("连接ID"), QStringLiteral("客户端地址"), QStringLiteral("服务端地址"),
                                    QStringLiteral("收到速率"), QStringLiteral("发送速率"), QStringLiteral("总字节数")});
  list_->setEditTriggers(QAbstractItemView::NoEditTriggers);
  list_->setSelectionBehavior(QAbstractItemView::SelectRows);
  list_->setSelectionMode(QAbstractItemView::SingleSelection);
  list_->setWordWrap(false);
  list_->verticalHeader()->hide();
  list_->verticalHeader()->setDefaultSectionSize(18);
  const int widths[] = {52, 150, 150, 100, 100, 110};
  for (int c = 0; c < 6; ++c) list_->setColumnWidth(c, widths[c]);
  list_->horizontalHeader()->setStretchLastSection(true);
  list_->setContextMenuPolicy(Qt::CustomContextMenu);
  connect(list_, &QWidget::customContextMenuRequested, this, &TTrafficWindow::ShowTableMenu);

  auto* split = new QSplitter(Qt::Vertical, this);
  split->addWidget(view);
  auto* lower = new QWidget(split);
  auto* lowerLayout = new QVBoxLayout(lower);
  lowerLayout->setContentsMargins(0, 0, 0, 0);
  lowerLayout->addWidget(summary_);
  lowerLayout->addWidget(list_, 1);
  split->addWidget(lower);
  split->setSizes({330, 200});
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(split);

  timer_ = new QTimer(this);
  timer_->setObjectName(QStringLiteral("TrafficTimer"));
  timer_->setInterval(kPeriodMs);
  connect(timer_, &QTimer::timeout, this, &TTrafficWindow::Sample);
}

void TTrafficWindow::Open() {
  show();
  raise();
  activateWindow();
}

void TTrafficWindow::showEvent(QShowEvent* event) {
  QWidget::showEvent(event);
  if (timer_->isActive()) return;
  // Nothing was sampled while closed: the graph starts again from now.
  meter_.Reset();
  points_.clear();
  clock_.start();
  startMs_ = static_cast<double>(QDateTime::currentMSecsSinceEpoch());
  lastMs_ = startMs_;
  Sample();
  timer_->start();
}

void TTrafficWindow::hideEvent(QHideEvent* event) {
  QWidget::hideEvent(event);
  timer_->stop();
}

void TTrafficWindow::Sample() {
  // Steady time, so that rate times interval is what moved even when the wall clock is set.
  const double ms = startMs_ + static_cast<double>(clock_.nsecsElapsed()) / 1e6;
  const TTrafficSample s = meter_.Take(source_(), (ms - lastMs_) / 1000.0);
  lastMs_ = ms;
  points_.push_back({ms, s.DownPerSecond, s.UpPerSecond});
  while (!points_.empty() && points_.front().Ms < ms - kSpanSeconds * 1000.0) points_.pop_front();
  summary_->setText(QStringLiteral("收到 %1，发送 %2，活动连接 %3 个")
                        .arg(Rate(s.DownPerSecond), Rate(s.UpPerSecond))
                        .arg(s.Relays.size()));
  Redraw();
  FillTable(s);
}

void TTrafficWindow::Redraw() {
  double top = 0;
  for (const TPoint& p : points_) top = std::max({top, p.Down, p.Up});
  const auto [divisor, unit] = RateScale(top);
  divisor_ = divisor;
  QList<QPointF> down, up;
  down.reserve(static_cast<qsizetype>(points_.size()));
  up.reserve(static_cast<qsizetype>(points_.size()));
  for (const TPoint& p : points_) {
    down.append({p.Ms, p.Down / divisor});
    up.append({p.Ms, p.Up / divisor});
  }
  down_->replace(down);
  up_->replace(up);
  const double now = points_.empty() ? lastMs_ : points_.back().Ms;
  time_->setRange(QDateTime::fromMSecsSinceEpoch(static_cast<qint64>(now) - kSpanSeconds * 1000),
                  QDateTime::fromMSecsSinceEpoch(static_cast<qint64>(now)));
  rate_->setRange(0, std::max(1.0, top / divisor * 1.1));
  rate_->applyNiceNumbers();
  rate_->setLabelFormat(QStringLiteral("%.4g ") + QLatin1String(unit));
}

void TTrafficWindow::FillTable(const TTrafficSample& s) {
  std::optional<TRelayKey> selected;
  if (const auto rows = list_->selectionModel()->selectedRows(); !rows.isEmpty())
    selected = RelayKeyFrom(rows.first().data(Qt::UserRole));
  list_->clearSelection();
  list_->setRowCount(static_cast<int>(s.Relays.size()));
  for (int r = 0; r < list_->rowCount(); ++r) {
    const TRelayRate& rate = s.Relays[static_cast<size_t>(r)];
    const TLiveRelay& relay = rate.Relay;
    const QString cells[] = {QString::number(relay.Key.Slot), Q(relay.Client), Q(relay.Server),
                             Rate(rate.DownPerSecond), Rate(rate.UpPerSecond),
                             QString::number(relay.Down + relay.Up)};
    for (int c = 0; c < 6; ++c) {
      auto* item = new QTableWidgetItem(cells[c]);
      item->setTextAlignment((c >= 3 ? Qt::AlignRight : c == 0 ? Qt::AlignHCenter : Qt::AlignLeft) | Qt::AlignVCenter);
      list_->setItem(r, c, item);
    }
    list_->item(r, 0)->setData(Qt::UserRole, RelayKeyData(relay.Key));
    list_->item(r, 3)->setData(Qt::UserRole, rate.DownPerSecond);
    list_->item(r, 4)->setData(Qt::UserRole, rate.UpPerSecond);
    if (selected == relay.Key) list_->selectRow(r);
  }
}

void TTrafficWindow::ShowTableMenu(const QPoint& pos) {
  auto* menu = new QMenu(this);
  menu->setAttribute(Qt::WA_DeleteOnClose);
  std::optional<TRelayKey> key;
  if (const int row = list_->indexAt(pos).row(); row >= 0) {
    list_->selectRow(row);
    key = RelayKeyFrom(list_->item(row, 0)->data(Qt::UserRole));
  }
  AddDisconnectAction(menu, key, disconnect_);
  menu->popup(list_->viewport()->mapToGlobal(pos));
}

}  // namespace kova::gui
