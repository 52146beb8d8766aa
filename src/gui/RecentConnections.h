#pragma once
// The recently ended connections: one row per relay outcome, newest first, with the hop that
// failed and why. A window of its own beside the main one, refreshed with the monitor.

#include <functional>
#include <vector>

#include <QWidget>

#include "engine/Outcome.h"

class QCheckBox;
class QLabel;
class QTableWidget;

namespace kova::gui {

// Texts of one outcome as the views show them.
QString OutcomeResultText(const TRelayOutcome& o);
QString OutcomeProxyText(const TRelayOutcome& o);
QString DurationText(int64_t ms);

class TRecentWindow : public QWidget {
  Q_OBJECT

 public:
  using TSource = std::function<std::vector<TRelayOutcome>()>;
  TRecentWindow(QWidget* parent, TSource source);

  // Shows the window (raised if already open) with the outcomes as they are now.
  void Open();
  // Takes the outcomes again; rows are rebuilt only when something changed, keeping the selection.
  void Refresh();
  // The selected rows as log lines, or every row shown when none is selected.
  QString CopyText() const;

 public slots:
  void CopyToClipboard();

 private:
  void Rebuild();

  TSource source_;
  std::vector<TRelayOutcome> outcomes_;  // newest first, as last taken
  std::vector<int> shown_;               // row -> index into outcomes_
  QString fingerprint_;
  QCheckBox* onlyFailures_ = nullptr;
  QLabel* summary_ = nullptr;
  QTableWidget* list_ = nullptr;
};

}  // namespace kova::gui
