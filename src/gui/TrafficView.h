#pragma once
// The traffic view: the relay's received and sent throughput over the last ten minutes as two
// lines, and the live connections fastest first, sampled once a second while the view is open.

#include <deque>
#include <functional>
#include <optional>

#include <QElapsedTimer>
#include <QVariant>
#include <QWidget>

#include "engine/TrafficMeter.h"

class QChart;
class QDateTimeAxis;
class QLabel;
class QLineSeries;
class QMenu;
class QTableWidget;
class QTimer;
class QValueAxis;

namespace kova::gui {

using TDisconnect = std::function<bool(TRelayKey)>;

// A relay's identity kept in a list row, so a row drawn before its slot was reused stays its own.
QVariant RelayKeyData(TRelayKey key);
std::optional<TRelayKey> RelayKeyFrom(const QVariant& data);
// "断开此连接" for the relay a row showed when the menu opened; disabled without one.
void AddDisconnectAction(QMenu* menu, std::optional<TRelayKey> key, TDisconnect disconnect);

class TTrafficWindow : public QWidget {
  Q_OBJECT

 public:
  using TSource = std::function<TTrafficSnapshot()>;
  static constexpr int kPeriodMs = 1000;
  static constexpr int kSpanSeconds = 600;

  TTrafficWindow(QWidget* parent, TSource source, TDisconnect disconnect);

  void Open();  // shows the window (raised if already open); a closed view starts afresh
  QLineSeries* ReceivedSeries() const { return down_; }
  QLineSeries* SentSeries() const { return up_; }
  double Divisor() const { return divisor_; }  // bytes per second of one unit of the value axis

 public slots:
  void Sample();  // one look: a point on each line, the table rebuilt

 protected:
  void showEvent(QShowEvent* event) override;
  void hideEvent(QHideEvent* event) override;

 private:
  struct TPoint {
    double Ms;  // wall-clock milliseconds
    double Down, Up;  // bytes per second
  };
  void Redraw();
  void FillTable(const TTrafficSample& s);
  void ShowTableMenu(const QPoint& pos);

  TSource source_;
  TDisconnect disconnect_;
  TTrafficMeter meter_;
  QElapsedTimer clock_;
  double startMs_ = 0;
  double lastMs_ = 0;
  std::deque<TPoint> points_;
  double divisor_ = 1;
  QTimer* timer_ = nullptr;
  QChart* chart_ = nullptr;
  QLineSeries* down_ = nullptr;
  QLineSeries* up_ = nullptr;
  QDateTimeAxis* time_ = nullptr;
  QValueAxis* rate_ = nullptr;
  QLabel* summary_ = nullptr;
  QTableWidget* list_ = nullptr;
};

}  // namespace kova::gui
