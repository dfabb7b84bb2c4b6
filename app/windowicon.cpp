#include "app/windowicon.h"

#include <QImage>
#include <QPainter>
#include <QPixmap>

namespace tessaly {

QIcon DrawWindowIcon() {
  return QIcon(QPixmap::fromImage(DrawWindowIconImage(32)));
}

QImage DrawWindowIconImage(int size) {
  QImage image(size, size, QImage::Format_ARGB32_Premultiplied);
  image.fill(Qt::transparent);
  QPainter painter(&image);
  painter.setRenderHint(QPainter::Antialiasing);
  painter.scale(size / 32.0, size / 32.0);

  // The strip, tilted a little so it reads as film rather than a box.
  painter.translate(16, 16);
  painter.rotate(-12);
  painter.setPen(Qt::NoPen);
  painter.setBrush(QColor(40, 40, 48));
  painter.drawRoundedRect(QRectF(-15, -11, 30, 22), 2, 2);

  // Sprocket holes along both edges.
  painter.setBrush(QColor(235, 235, 225));
  for (int i = 0; i < 6; ++i) {
    const qreal x = -13 + i * 5;
    painter.drawRect(QRectF(x, -9.5, 2.5, 2.5));
    painter.drawRect(QRectF(x, 7, 2.5, 2.5));
  }

  // The frame: sky, sun and a hill.
  const QRectF frame(-11, -5.5, 22, 11);
  QLinearGradient sky(frame.topLeft(), frame.bottomLeft());
  sky.setColorAt(0, QColor(90, 160, 235));
  sky.setColorAt(1, QColor(190, 225, 250));
  painter.setBrush(sky);
  painter.drawRect(frame);
  painter.setBrush(QColor(255, 205, 60));
  painter.drawEllipse(QPointF(5.5, -2), 2.2, 2.2);
  painter.setBrush(QColor(70, 150, 80));
  painter.setClipRect(frame);
  painter.drawEllipse(QPointF(-4, 7), 10, 6);
  painter.end();
  return image;
}

}  // namespace tessaly
