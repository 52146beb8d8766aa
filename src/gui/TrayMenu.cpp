#include "gui/TrayMenu.h"

#include <QLinearGradient>
#include <QPainter>

namespace kova::gui {

TTrayMenu::TTrayMenu(QWidget* parent) : QMenu(parent) {
  setContentsMargins(kBandWidth, 0, 0, 0);  // items start right of the band
}

void TTrayMenu::paintEvent(QPaintEvent* event) {
  QMenu::paintEvent(event);
  QPainter p(this);
  const QRect band(0, 0, kBandWidth, height());
  QLinearGradient g(band.bottomLeft(), band.topLeft());
  g.setColorAt(0, Qt::black);
  g.setColorAt(1, QColor(0, 255, 255));
  p.fillRect(band, g);
  QFont f = font();
  f.setBold(true);
  f.setItalic(true);
  f.setPixelSize(kBandWidth - 6);
  p.setFont(f);
  p.setPen(Qt::yellow);
  // Read bottom to top, starting at the band's foot.
  p.translate(band.left() + kBandWidth - 4, band.bottom() - 4);
  p.rotate(-90);
  p.drawText(0, 0, QStringLiteral("KOVA"));
}

}  // namespace kova::gui
