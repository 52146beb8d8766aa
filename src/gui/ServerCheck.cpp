#include "gui/ServerCheck.h"

#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QPushButton>
#include <QTableWidget>
#include <QVBoxLayout>

#include <deque>
#include <mutex>
#include <thread>

#include "net/NetUtil.h"

namespace kova::gui {

// Shared by the window and the threads of one check. The threads outlive an abandoned check (a
// connect cannot be called back), so they hold this, never the window.
struct TServerCheckWindow::TRun {
  std::mutex Mu;
  QObject* Receiver = nullptr;  // cleared when the check is abandoned; posting happens under Mu
  std::deque<std::pair<int, std::string>> Jobs;  // row, server
  TProxySettings Proxy;
  int Generation = 0;
};

namespace {

QString Q(const std::string& s) { return QString::fromStdString(s); }

// The relay's own rules: a proxy address without a usable "host:port" means a direct connection.
bool UsableProxy(const TProxySettings& p) {
  std::string host, port;
  return p.Type != 0 && SplitTarget(p.Text, host, port);
}
bool UsableServer(const std::string& text) {
  std::string host, port;
  return UsableTarget(text, host, port);
}

}  // namespace

TServerCheckWindow::TServerCheckWindow(QWidget* parent, TSource source)
    : QWidget(parent, Qt::Window), source_(std::move(source)) {
  setObjectName(QStringLiteral("ServerCheck"));
  setWindowTitle(QStringLiteral("检测服务器 - KOVA 2.0"));
  resize(640, 300);
  auto* layout = new QVBoxLayout(this);
  auto* bar = new QHBoxLayout;
  summary_ = new QLabel(this);
  summary_->setObjectName(QStringLiteral("CheckSummary"));
  summary_->setWordWrap(true);
  auto* again = new QPushButton(QStringLiteral("重新检测"), this);
  again->setObjectName(QStringLiteral("CheckAgain"));
  again->setToolTip(QStringLiteral("按现在的服务器列表和代理设置再检测一次"));
  bar->addWidget(summary_, 1);
  bar->addWidget(again);
  layout->addLayout(bar);

  list_ = new QTableWidget(0, 4, this);
  list_->setObjectName(QStringLiteral("CheckList"));
  list_->setHorizontalHeaderLabels(
      {QStringLiteral("服务器"), QStringLiteral("结果"), QStringLiteral("连接用时"), QStringLiteral("原因")});
  list_->setEditTriggers(QAbstractItemView::NoEditTriggers);
  list_->setSelectionBehavior(QAbstractItemView::SelectRows);
  list_->setWordWrap(false);
  list_->verticalHeader()->hide();
  list_->verticalHeader()->setDefaultSectionSize(18);
  list_->horizontalHeader()->setStretchLastSection(true);
  const int widths[] = {150, 70, 70};
  for (int c = 0; c < 3; ++c) list_->setColumnWidth(c, widths[c]);
  layout->addWidget(list_, 1);
  connect(again, &QPushButton::clicked, this, &TServerCheckWindow::Start);
}

TServerCheckWindow::~TServerCheckWindow() { Abandon(); }

void TServerCheckWindow::Abandon() {
  if (!run_) return;
  std::lock_guard lock(run_->Mu);
  run_->Receiver = nullptr;
  run_->Jobs.clear();
}

void TServerCheckWindow::Start() {
  Abandon();
  const TServerCheckRequest request = source_();
  run_ = std::make_shared<TRun>();
  run_->Receiver = this;
  run_->Proxy = request.Proxy;
  run_->Generation = ++generation_;
  pending_ = static_cast<int>(request.Servers.size());
  reachable_ = 0;
  path_ = UsableProxy(request.Proxy) ? QStringLiteral("经 %1 代理 %2").arg(Q(ProxyTypeText(request.Proxy.Type)),
                                                                        Q(request.Proxy.Text))
                                     : QStringLiteral("直接连接（不用代理）");

  list_->setRowCount(pending_);
  tried_.clear();
  for (int r = 0; r < pending_; ++r) {
    const std::string& server = request.Servers[static_cast<size_t>(r)];
    run_->Jobs.emplace_back(r, server);
    tried_.push_back(UsableServer(server));
    const QString cells[] = {server.empty() ? QStringLiteral("（空）") : Q(server), QStringLiteral("检测中…"),
                             QString(), QString()};
    for (int c = 0; c < 4; ++c) {
      auto* item = new QTableWidgetItem(cells[c]);
      item->setForeground(QColor(110, 110, 110));
      if (c == 2) item->setTextAlignment(Qt::AlignRight | Qt::AlignVCenter);
      list_->setItem(r, c, item);
    }
  }
  UpdateSummary();

  for (int w = 0; w < std::min(kWorkers, pending_); ++w) {
    // Detached: a connect may take the whole proxy time-out, and nobody should wait for it.
    std::thread([run = run_] {
      for (;;) {
        std::pair<int, std::string> job;
        {
          std::lock_guard lock(run->Mu);
          if (!run->Receiver || run->Jobs.empty()) return;
          job = std::move(run->Jobs.front());
          run->Jobs.pop_front();
        }
        const TAttempt attempt = ProbeServer(job.second, run->Proxy);
        std::lock_guard lock(run->Mu);
        if (!run->Receiver) return;
        auto* window = static_cast<TServerCheckWindow*>(run->Receiver);
        QMetaObject::invokeMethod(
            window, [window, generation = run->Generation, row = job.first, attempt] {
              window->Report(generation, row, attempt);
            },
            Qt::QueuedConnection);
      }
    }).detach();
  }
  show();
  raise();
  activateWindow();
  if (pending_ == 0) emit finished();
}

void TServerCheckWindow::Report(int generation, int row, const TAttempt& attempt) {
  if (generation != generation_ || row >= list_->rowCount()) return;
  const QColor color = attempt.Ok ? QColor(0, 128, 0) : QColor(200, 0, 0);
  const QString cells[] = {attempt.Ok ? QStringLiteral("可以连接") : QStringLiteral("无法连接"),
                           tried_[static_cast<size_t>(row)] ? QStringLiteral("%1 毫秒").arg(attempt.ConnectMs) : QString(),
                           Q(attempt.Reason)};
  list_->item(row, 0)->setForeground(QColor(0, 0, 0));
  for (int c = 1; c < 4; ++c) {
    QTableWidgetItem* item = list_->item(row, c);
    item->setText(cells[c - 1]);
    item->setForeground(c == 1 ? color : QColor(0, 0, 0));
    if (c == 3) item->setToolTip(cells[c - 1]);
  }
  --pending_;
  reachable_ += attempt.Ok;
  UpdateSummary();
  if (pending_ == 0) emit finished();
}

void TServerCheckWindow::UpdateSummary() {
  const int total = list_->rowCount();
  if (total == 0) {
    summary_->setText(QStringLiteral("正在使用的服务器列表是空的：在“目标服务器列表”里编辑后点[应用]。"));
    return;
  }
  if (pending_ > 0) {
    summary_->setText(QStringLiteral("%1，检测 %2 个服务器：已完成 %3 个……").arg(path_).arg(total).arg(total - pending_));
    return;
  }
  summary_->setText(QStringLiteral("%1，检测 %2 个服务器：%3 个可以连接，%4 个无法连接。")
                        .arg(path_)
                        .arg(total)
                        .arg(reachable_)
                        .arg(total - reachable_));
}

}  // namespace kova::gui
