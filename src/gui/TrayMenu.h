#pragma once
// The tray icon's menu, drawn with a vertical side band that carries the program's name.

#include <QMenu>

namespace kova::gui {

class TTrayMenu : public QMenu {
  Q_OBJECT

 public:
  explicit TTrayMenu(QWidget* parent = nullptr);
  static constexpr int kBandWidth = 22;

 protected:
  void paintEvent(QPaintEvent* event) override;
};

}  // namespace kova::gui
