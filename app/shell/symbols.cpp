#include "shell/symbols.h"

#include "shell/palette.h"

#include <QFile>
#include <QImage>
#include <QPainter>
#include <QSvgRenderer>

namespace shellsymbols {

namespace {

QString symbolPath(const QString& name) { return QStringLiteral(":/shell/symbols/%1.svg").arg(name); }
QString imagePath(const QString& name) { return QStringLiteral(":/shell/images/%1.svg").arg(name); }

QImage render(const QString& path, int size, qreal dpr) {
  const int px = qMax(1, qRound(size * dpr));
  QImage image(px, px, QImage::Format_ARGB32_Premultiplied);
  image.fill(Qt::transparent);
  image.setDevicePixelRatio(dpr);
  if (!QFile::exists(path)) return image;
  QSvgRenderer renderer(path);
  if (renderer.isValid()) {
    QPainter painter(&image);
    painter.setRenderHint(QPainter::Antialiasing);
    // Keep the drawing's aspect, centred in the square.
    const QSizeF drawn = QSizeF(renderer.defaultSize()).scaled(size, size, Qt::KeepAspectRatio);
    renderer.render(&painter, QRectF((size - drawn.width()) / 2, (size - drawn.height()) / 2, drawn.width(),
                                     drawn.height()));
  }
  return image;
}

}  // namespace

bool hasSymbol(const QString& name) { return QFile::exists(symbolPath(name)); }
bool hasImage(const QString& name) { return QFile::exists(imagePath(name)); }

QPixmap symbol(const QString& name, const QColor& tint, int size, qreal dpr) {
  QImage image = render(symbolPath(name), size, dpr);
  QPainter painter(&image);
  painter.setCompositionMode(QPainter::CompositionMode_SourceIn);
  painter.fillRect(QRectF(0, 0, image.width(), image.height()), tint);
  painter.end();
  return QPixmap::fromImage(image);
}

QPixmap symbol(const QString& name, const QString& colourName, int size, qreal dpr) {
  return symbol(name, shellpalette::color(colourName), size, dpr);
}

QIcon symbolIcon(const QString& name, const QString& colourName) {
  QIcon icon;
  for (const int size : {16, 24, 32, 48}) {
    icon.addPixmap(symbol(name, colourName, size, 1.0));
    icon.addPixmap(symbol(name, colourName, size, 2.0));
  }
  return icon;
}

QPixmap image(const QString& name, int size, qreal dpr) { return QPixmap::fromImage(render(imagePath(name), size, dpr)); }

}  // namespace shellsymbols
