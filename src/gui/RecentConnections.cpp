#include "gui/RecentConnections.h"

#include <QAction>
#include <QCheckBox>
#include <QClipboard>
#include <QDateTime>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QKeySequence>
#include <QLabel>
#include <QPushButton>
#include <QSet>
#include <QTableWidget>
#include <QVBoxLayout>

#include <algorithm>

namespace kova::gui {
namespace {

QString Q(const std::string& s) { return QString::fromStdString(s); }

const TAttempt* LastFailed(const TRelayOutcome& o) {
  for (auto it = o.Attempts.rbegin(); it != o.Attempts.rend(); ++it)
    if (!it->Ok) return &*it;
  return nullptr;
}

QString AttemptsText(const TRelayOutcome& o) {
  QStringList lines;
  for (const TAttempt& a : o.Attempts)
    lines << Q(a.Server) + (a.Ok ? QStringLiteral("：连接成功，用时 %1 毫秒").arg(a.ConnectMs)
                                 : QStringLiteral("：失败，%1").arg(Q(a.Reason)));
  return lines.isEmpty() ? QStringLiteral("没有连接任何服务器") : lines.join(u'\n');
}

// Identifies one outcome across refreshes, so a selection survives new rows above it.
QString Key(const TRelayOutcome& o) {
  return QString::number(o.StartUnixMs) + u'|' + Q(o.Client) + u'|' + QString::number(o.DurationMs);
}

}  // namespace

QString OutcomeResultText(const TRelayOutcome& o) {
  QString text = Q(RelayEndText(o.End));
  const TAttempt* failed = LastFailed(o);
  if (o.Failed() && failed) {
    text += QStringLiteral("（%1）").arg(Q(failed->Reason));
  } else if (failed) {
    const auto n = std::count_if(o.Attempts.begin(), o.Attempts.end(), [](const TAttempt& a) { return !a.Ok; });
    text += QStringLiteral("（之前 %1 次连接失败）").arg(n);
  }
  if (!o.Detail.empty()) text += QStringLiteral("：") + Q(o.Detail);
  return text;
}

QString OutcomeProxyText(const TRelayOutcome& o) {
  QString text = Q(ProxyTypeText(o.ProxyType));
  if (!o.Proxy.empty()) text += u' ' + Q(o.Proxy);
  if (!o.ProxyUser.empty()) text += QStringLiteral("（用户 %1）").arg(Q(o.ProxyUser));
  return text;
}

QString DurationText(int64_t ms) {
  if (ms < 60'000) return QString::number(static_cast<double>(ms) / 1000.0, 'f', 1) + QStringLiteral(" 秒");
  return QStringLiteral("%1 分 %2 秒").arg(ms / 60'000).arg(ms / 1000 % 60);
}

TRecentWindow::TRecentWindow(QWidget* parent, TSource source) : QWidget(parent, Qt::Window), source_(std::move(source)) {
  setObjectName(QStringLiteral("RecentConnections"));
  setWindowTitle(QStringLiteral("最近结束的连接 - KOVA 2.0"));
  setAttribute(Qt::WA_DeleteOnClose, false);
  resize(1180, 360);

  auto* layout = new QVBoxLayout(this);
  auto* bar = new QHBoxLayout;
  onlyFailures_ = new QCheckBox(QStringLiteral("只看失败的连接"), this);
  onlyFailures_->setObjectName(QStringLiteral("OnlyFailures"));
  summary_ = new QLabel(this);
  summary_->setObjectName(QStringLiteral("RecentSummary"));
  auto* copy = new QPushButton(QStringLiteral("复制"), this);
  copy->setObjectName(QStringLiteral("CopyOutcomes"));
  copy->setToolTip(QStringLiteral("把选中的行（没有选中时为全部行）作为文本复制到剪贴板"));
  bar->addWidget(onlyFailures_);
  bar->addSpacing(12);
  bar->addWidget(summary_, 1);
  bar->addWidget(copy);
  layout->addLayout(bar);

  list_ = new QTableWidget(0, 8, this);
  list_->setObjectName(QStringLiteral("OutcomeList"));
  list_->setHorizontalHeaderLabels({QStringLiteral("时间"), QStringLiteral("客户端地址"), QStringLiteral("服务端地址"),
                                    QStringLiteral("代理"), QStringLiteral("结果"), QStringLiteral("收到字节数"),
                                    QStringLiteral("发送字节数"), QStringLiteral("时长")});
  list_->setEditTriggers(QAbstractItemView::NoEditTriggers);
  list_->setSelectionBehavior(QAbstractItemView::SelectRows);
  list_->setSelectionMode(QAbstractItemView::ExtendedSelection);
  list_->setWordWrap(false);
  list_->verticalHeader()->hide();
  list_->verticalHeader()->setDefaultSectionSize(18);
  list_->horizontalHeader()->setStretchLastSection(false);
  const int widths[] = {138, 120, 120, 190, 400, 72, 72, 60};
  for (int c = 0; c < 8; ++c) list_->setColumnWidth(c, widths[c]);
  layout->addWidget(list_, 1);

  auto* copyKey = new QAction(this);
  copyKey->setShortcut(QKeySequence::Copy);
  copyKey->setShortcutContext(Qt::WidgetWithChildrenShortcut);
  addAction(copyKey);
  connect(copyKey, &QAction::triggered, this, &TRecentWindow::CopyToClipboard);
  connect(copy, &QPushButton::clicked, this, &TRecentWindow::CopyToClipboard);
  connect(onlyFailures_, &QCheckBox::toggled, this, [this] {
    fingerprint_.clear();
    Refresh();
  });
}

void TRecentWindow::Open() {
  fingerprint_.clear();
  outcomes_.clear();
  Refresh();
  show();
  raise();
  activateWindow();
}

void TRecentWindow::Refresh() {
  std::vector<TRelayOutcome> now = source_();
  const QString fingerprint = QString::number(now.size()) + u'/' + (now.empty() ? QString() : Key(now.front())) +
                              (onlyFailures_->isChecked() ? u'F' : u'A');
  if (fingerprint == fingerprint_) return;
  fingerprint_ = fingerprint;
  outcomes_ = std::move(now);
  Rebuild();
}

void TRecentWindow::Rebuild() {
  QSet<QString> selected;
  for (const QModelIndex& row : list_->selectionModel()->selectedRows()) selected << row.data(Qt::UserRole).toString();
  list_->clearSelection();

  shown_.clear();
  int failed = 0;
  for (int i = 0; i < static_cast<int>(outcomes_.size()); ++i) {
    const bool bad = outcomes_[static_cast<size_t>(i)].Failed();
    failed += bad;
    if (bad || !onlyFailures_->isChecked()) shown_.push_back(i);
  }
  summary_->setText(QStringLiteral("共 %1 个，其中失败 %2 个").arg(outcomes_.size()).arg(failed));

  list_->setRowCount(static_cast<int>(shown_.size()));
  for (int r = 0; r < static_cast<int>(shown_.size()); ++r) {
    const TRelayOutcome& o = outcomes_[static_cast<size_t>(shown_[static_cast<size_t>(r)])];
    const QString cells[] = {
        QDateTime::fromMSecsSinceEpoch(o.StartUnixMs).toString(QStringLiteral("yyyy-MM-dd HH:mm:ss")),
        Q(o.Client),
        o.Attempts.empty() ? QStringLiteral("—") : Q(o.Attempts.back().Server),
        OutcomeProxyText(o),
        OutcomeResultText(o),
        QString::number(o.BytesReceived),
        QString::number(o.BytesSent),
        DurationText(o.DurationMs)};
    for (int c = 0; c < 8; ++c) {
      auto* item = new QTableWidgetItem(cells[c]);
      item->setTextAlignment((c >= 5 ? Qt::AlignRight : Qt::AlignLeft) | Qt::AlignVCenter);
      if (o.Failed()) item->setForeground(QColor(200, 0, 0));
      if (c == 2) item->setToolTip(AttemptsText(o));
      if (c == 4) item->setToolTip(cells[c]);
      list_->setItem(r, c, item);
    }
    list_->item(r, 0)->setData(Qt::UserRole, Key(o));
    if (selected.contains(Key(o)))
      list_->selectionModel()->select(list_->model()->index(r, 0), QItemSelectionModel::Select | QItemSelectionModel::Rows);
  }
}

QString TRecentWindow::CopyText() const {
  QList<int> rows;
  for (const QModelIndex& index : list_->selectionModel()->selectedRows()) rows << index.row();
  std::sort(rows.begin(), rows.end());
  if (rows.isEmpty())
    for (int r = 0; r < static_cast<int>(shown_.size()); ++r) rows << r;
  QString text;
  for (int r : rows) text += Q(OutcomeLine(outcomes_[static_cast<size_t>(shown_[static_cast<size_t>(r)])])) + u'\n';
  return text;
}

void TRecentWindow::CopyToClipboard() { QGuiApplication::clipboard()->setText(CopyText()); }

}  // namespace kova::gui
