#include "gui/Icons.h"

#include <QPainter>
#include <QPainterPath>
#include <QPixmap>

// The resource lives in a static library: nothing would pull it into the program otherwise.
static void InitIconResource() { Q_INIT_RESOURCE(Icons); }

namespace kova::gui {
namespace {

// Colours of one drawing; the disabled image uses greys of the same shapes.
struct TInk {
  bool disabled;
  QColor Pick(QColor normal) const {
    if (!disabled) return normal;
    const int g = 150 + qGray(normal.rgb()) / 4;
    return QColor(g, g, g);
  }
};

void DrawGlyph(QPainter& p, TIconKind kind, const TInk& ink) {
  p.setRenderHint(QPainter::Antialiasing);
  const QColor outline = ink.Pick(QColor(40, 40, 40));
  switch (kind) {
    case TIconKind::Add: {
      p.setPen(QPen(ink.Pick(QColor(0, 110, 0)), 1));
      p.setBrush(ink.Pick(QColor(60, 180, 60)));
      QPainterPath plus;
      plus.addRect(6, 2, 4, 12);
      plus.addRect(2, 6, 12, 4);
      p.drawPath(plus.simplified());
      break;
    }
    case TIconKind::Use: {
      p.setPen(QPen(ink.Pick(QColor(0, 70, 170)), 2.4, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
      p.drawPolyline(QPolygonF({QPointF(2.5, 8.5), QPointF(6.5, 12.5), QPointF(13.5, 3.5)}));
      break;
    }
    case TIconKind::Edit: {
      p.translate(8, 8);
      p.rotate(45);
      p.setPen(QPen(outline, 0.8));
      p.setBrush(ink.Pick(QColor(240, 190, 40)));
      p.drawRect(QRectF(-2, -7, 4, 10));
      p.setBrush(ink.Pick(QColor(230, 120, 120)));
      p.drawRect(QRectF(-2, -8, 4, 2));
      p.setBrush(ink.Pick(QColor(230, 210, 170)));
      p.drawPolygon(QPolygonF({QPointF(-2, 3), QPointF(2, 3), QPointF(0, 7)}));
      break;
    }
    case TIconKind::Update: {
      const QColor c = ink.Pick(QColor(0, 130, 60));
      p.setPen(QPen(c, 2, Qt::SolidLine, Qt::FlatCap));
      p.setBrush(Qt::NoBrush);
      p.drawArc(QRectF(3, 3, 10, 10), 30 * 16, 240 * 16);
      p.setPen(Qt::NoPen);
      p.setBrush(c);
      p.drawPolygon(QPolygonF({QPointF(10, 1), QPointF(15, 4.5), QPointF(10, 8)}));
      break;
    }
    case TIconKind::Save: {
      p.setPen(QPen(outline, 0.8));
      p.setBrush(ink.Pick(QColor(40, 80, 170)));
      p.drawRoundedRect(QRectF(1.5, 1.5, 13, 13), 1.5, 1.5);
      p.setBrush(ink.Pick(QColor(245, 245, 245)));
      p.drawRect(QRectF(4, 1.5, 8, 5));
      p.setBrush(ink.Pick(QColor(200, 200, 200)));
      p.drawRect(QRectF(4, 9, 8, 5.5));
      break;
    }
    case TIconKind::Load: {
      p.setPen(QPen(ink.Pick(QColor(150, 100, 0)), 0.8));
      p.setBrush(ink.Pick(QColor(235, 185, 60)));
      p.drawPolygon(QPolygonF({QPointF(1.5, 3.5), QPointF(6, 3.5), QPointF(7.5, 5), QPointF(14.5, 5),
                               QPointF(14.5, 13.5), QPointF(1.5, 13.5)}));
      p.setBrush(ink.Pick(QColor(250, 215, 110)));
      p.drawPolygon(QPolygonF({QPointF(3.5, 7.5), QPointF(15.5, 7.5), QPointF(14.5, 13.5), QPointF(1.5, 13.5)}));
      break;
    }
    case TIconKind::Start: {
      p.setPen(QPen(ink.Pick(QColor(0, 100, 0)), 0.8));
      p.setBrush(ink.Pick(QColor(40, 170, 40)));
      p.drawPolygon(QPolygonF({QPointF(4, 2), QPointF(14, 8), QPointF(4, 14)}));
      break;
    }
    case TIconKind::Stop: {
      p.setPen(QPen(ink.Pick(QColor(120, 0, 0)), 0.8));
      p.setBrush(ink.Pick(QColor(210, 40, 40)));
      p.drawRoundedRect(QRectF(3, 3, 10, 10), 1.5, 1.5);
      break;
    }
    case TIconKind::App:
      break;  // an image file, not a drawing: see MakeIcon
  }
}

QPixmap Render(TIconKind kind, int size, bool disabled) {
  QPixmap pm(size, size);
  pm.fill(Qt::transparent);
  QPainter p(&pm);
  p.scale(size / 16.0, size / 16.0);
  DrawGlyph(p, kind, TInk{disabled});
  return pm;
}

}  // namespace

QIcon MakeIcon(TIconKind kind) {
  QIcon icon;
  if (kind == TIconKind::App) {
    // The same PNGs that are installed into the icon theme, so window, tray and boxes agree.
    InitIconResource();
    for (int size : {16, 24, 32, 48, 64, 128, 256})
      icon.addFile(QStringLiteral(":/icons/kova-%1.png").arg(size), QSize(size, size));
    return icon;
  }
  for (int size : {16, 32, 64}) {
    icon.addPixmap(Render(kind, size, false), QIcon::Normal);
    icon.addPixmap(Render(kind, size, true), QIcon::Disabled);
  }
  return icon;
}

}  // namespace kova::gui
