#include "console/console_images.h"

#include <QFont>
#include <QPainter>
#include <QPainterPath>
#include <QPixmap>
#include <QPolygonF>

namespace corvan {

namespace {

constexpr int kSize = 32;

QPixmap Blank() {
  QPixmap image(kSize, kSize);
  image.fill(Qt::transparent);
  return image;
}

}  // namespace

QIcon ServerStateImage(int index) {
  QPixmap image = Blank();
  QPainter p(&image);
  p.setRenderHint(QPainter::Antialiasing);
  const QColor grey(0xa0, 0xa0, 0xa0);
  switch (index) {
    case 0:
    case 1: {  // start: a triangle, green while it can be used
      QPolygonF triangle({QPointF(9, 6), QPointF(26, 16), QPointF(9, 26)});
      p.setPen(Qt::NoPen);
      p.setBrush(index == 0 ? QColor(0x2e, 0xa0, 0x43) : grey);
      p.drawPolygon(triangle);
      break;
    }
    case 2:
    case 3:  // stop: a square, red while the server runs
      p.setPen(Qt::NoPen);
      p.setBrush(index == 3 ? QColor(0xd0, 0x32, 0x2c) : grey);
      p.drawRoundedRect(QRectF(8, 8, 16, 16), 2, 2);
      break;
    default: {  // status: a lamp, green while the server runs
      p.setPen(QPen(QColor(0x40, 0x40, 0x40), 1.5));
      p.setBrush(index == 5 ? QColor(0x3c, 0xc8, 0x50) : grey);
      p.drawEllipse(QRectF(7, 5, 18, 18));
      p.setBrush(QColor(0x60, 0x60, 0x60));
      p.drawRect(QRectF(12, 23, 8, 5));
      break;
    }
  }
  return QIcon(image);
}

QIcon CommandImage(const QString& glyph, const QColor& color) {
  QPixmap image = Blank();
  QPainter p(&image);
  p.setRenderHint(QPainter::Antialiasing);
  p.setPen(Qt::NoPen);
  p.setBrush(color);
  p.drawRoundedRect(QRectF(3, 3, kSize - 6, kSize - 6), 5, 5);
  QFont font = p.font();
  font.setPixelSize(17);
  font.setBold(true);
  p.setFont(font);
  p.setPen(Qt::white);
  p.drawText(QRectF(3, 3, kSize - 6, kSize - 6), Qt::AlignCenter, glyph);
  return QIcon(image);
}

QIcon TrayImage() {
  QPixmap image = Blank();
  QPainter p(&image);
  p.setRenderHint(QPainter::Antialiasing);
  // A server cabinet with two lit drives.
  p.setPen(QPen(QColor(0x1f, 0x4e, 0x8c), 1.5));
  p.setBrush(QColor(0x4a, 0x86, 0xc8));
  p.drawRoundedRect(QRectF(7, 3, 18, 26), 3, 3);
  p.setBrush(QColor(0xe8, 0xf0, 0xf8));
  p.drawRect(QRectF(10, 7, 12, 5));
  p.drawRect(QRectF(10, 15, 12, 5));
  p.setPen(Qt::NoPen);
  p.setBrush(QColor(0x3c, 0xc8, 0x50));
  p.drawEllipse(QRectF(18, 23, 4, 4));
  return QIcon(image);
}

}  // namespace corvan
