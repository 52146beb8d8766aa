#pragma once
// Checking the server list: one connect and close per entry through the proxy settings of the
// moment, a few at a time on threads of their own, each result shown as it arrives. It never
// touches the relay engine, so running relays and the list's position stay as they are.

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <QWidget>

#include "engine/Outcome.h"

class QLabel;
class QTableWidget;

namespace kova::gui {

struct TServerCheckRequest {
  std::vector<std::string> Servers;  // the list in use, in order
  TProxySettings Proxy;
};

class TServerCheckWindow : public QWidget {
  Q_OBJECT

 public:
  static constexpr int kWorkers = 4;
  using TSource = std::function<TServerCheckRequest()>;
  TServerCheckWindow(QWidget* parent, TSource source);
  // A check still running is abandoned: its threads finish their current connect and report
  // nowhere.
  ~TServerCheckWindow() override;

  // Shows the window and checks the list as the source gives it now (a check running is abandoned).
  void Start();
  int Pending() const { return pending_; }

 signals:
  void finished();

 private:
  struct TRun;
  void Abandon();
  void Report(int generation, int row, const TAttempt& attempt);
  void UpdateSummary();

  TSource source_;
  std::shared_ptr<TRun> run_;
  int generation_ = 0;
  int pending_ = 0;
  int reachable_ = 0;
  QString path_;             // how the servers are reached, for the summary
  std::vector<bool> tried_;  // per row: an entry a connect was made for (host:port)
  QLabel* summary_ = nullptr;
  QTableWidget* list_ = nullptr;
};

}  // namespace kova::gui
