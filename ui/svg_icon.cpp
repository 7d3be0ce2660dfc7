#include "ui/svg_icon.h"

#include <QFile>
#include <QImage>
#include <QPainter>
#include <QSvgRenderer>

QPixmap LoadIconPixmap(const QString& path, QSize size, qreal devicePixelRatio) {
  if (size.isEmpty() || !QFile::exists(path)) return {};
  const QSize physical = (QSizeF(size) * devicePixelRatio).toSize();
  if (path.endsWith(QStringLiteral(".svg"), Qt::CaseInsensitive)) {
    QSvgRenderer renderer(path);
    if (!renderer.isValid()) return {};
    QImage image(physical, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    QPainter painter(&image);
    renderer.render(&painter, QRectF(QPointF(0, 0), QSizeF(physical)));
    painter.end();
    QPixmap pixmap = QPixmap::fromImage(image);
    pixmap.setDevicePixelRatio(devicePixelRatio);
    return pixmap;
  }
  QPixmap pixmap(path);
  if (pixmap.isNull()) return {};
  pixmap = pixmap.scaled(physical, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
  pixmap.setDevicePixelRatio(devicePixelRatio);
  return pixmap;
}
