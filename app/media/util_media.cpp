#include "media/util_media.h"

#include "media/content_thumbnails.h"
#include "core/log.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QGuiApplication>
#include <QImageReader>
#include <QScreen>
#include <QThreadPool>

#include <qrencode.h>

#include <cmath>
#include <memory>

namespace {

constexpr int kQuietZone = 4;  // modules of light margin around the symbol

double mainScreenScale() {
  const QScreen* screen = qobject_cast<QGuiApplication*>(QCoreApplication::instance())
                              ? QGuiApplication::primaryScreen()
                              : nullptr;
  return screen ? screen->devicePixelRatio() : 1.0;
}

}  // namespace

std::optional<QImage> generateThumbnailSync(const QString& path, double width, double height, double scale) {
  if (!QFileInfo(path).isFile()) return std::nullopt;
  const QSize box(std::max(1, int(std::lround(width * scale))), std::max(1, int(std::lround(height * scale))));
  QImageReader reader(path);
  reader.setAutoTransform(true);
  if (!reader.canRead()) {
    // Not an image: a document's first page or a video's frame; other kinds have no picture.
    switch (contentKindOf(path)) {
      case ContentKind::pdf:
        return pdfThumbnail(path, box);
      case ContentKind::video:
        return videoThumbnail(path, box);
      default:
        return std::nullopt;
    }
  }

  QSize size = reader.size();
  const bool rotated = reader.transformation() & QImageIOHandler::TransformationRotate90;
  if (size.isValid()) {
    // The box applies to the picture as shown; the decoder sees it unrotated.
    QSize shown = rotated ? size.transposed() : size;
    if (shown.width() > box.width() || shown.height() > box.height()) {
      shown = shown.scaled(box, Qt::KeepAspectRatio).expandedTo(QSize(1, 1));
      reader.setScaledSize(rotated ? shown.transposed() : shown);  // scaled while decoding
    }
  }
  QImage image = reader.read();
  if (image.isNull()) return std::nullopt;
  // Formats that can't tell their size beforehand are scaled after decoding.
  if (image.width() > box.width() || image.height() > box.height())
    image = image.scaled(box, Qt::KeepAspectRatio, Qt::SmoothTransformation);
  return image;
}

void generateThumbnail(const QString& path, double width, double height,
                       std::function<void(const std::optional<QImage>&)> completion) {
  const double scale = mainScreenScale();
  // The result is always posted to the main thread's queue: a continuation
  // attached after the worker has already finished would otherwise run at once,
  // inside this call, before the caller expects it.
  QThreadPool::globalInstance()->start([path, width, height, scale, completion = std::move(completion)]() mutable {
    std::optional<QImage> image = generateThumbnailSync(path, width, height, scale);
    QMetaObject::invokeMethod(
        QCoreApplication::instance(),
        [completion = std::move(completion), image = std::move(image)] { completion(image); }, Qt::QueuedConnection);
  });
}

std::optional<QImage> generateQRCIImage(const QString& text) {
  const QByteArray bytes = text.toUtf8();
  std::unique_ptr<QRcode, decltype(&QRcode_free)> code(
      QRcode_encodeData(int(bytes.size()), reinterpret_cast<const unsigned char*>(bytes.constData()), 0, QR_ECLEVEL_H),
      &QRcode_free);
  if (!code) {
    zlog::line(QStringLiteral("failed to generate a QRImage"));
    return std::nullopt;
  }
  const int modules = code->width;
  const int side = modules + 2 * kQuietZone;
  QImage image(side, side, QImage::Format_Grayscale8);
  image.fill(255);
  for (int y = 0; y < modules; ++y) {
    uchar* line = image.scanLine(y + kQuietZone);
    for (int x = 0; x < modules; ++x)
      if (code->data[y * modules + x] & 1) line[x + kQuietZone] = 0;  // bit 0: dark module
  }
  return image;
}

QImage generateColoredQRImage(const QString& text, const QColor& light, const QColor& dark, double width,
                              double height) {
  const auto code = generateQRCIImage(text);
  if (!code) return QImage();
  const QSize size(int(std::lround(width)), int(std::lround(height)));
  if (size.isEmpty()) {
    zlog::line(QStringLiteral("failed to generate the colorImage"));
    return QImage();
  }
  QImage colored(code->size(), QImage::Format_RGB32);
  const QRgb darkRgb = dark.rgb();
  const QRgb lightRgb = light.rgb();
  for (int y = 0; y < code->height(); ++y) {
    const uchar* in = code->constScanLine(y);
    auto* out = reinterpret_cast<QRgb*>(colored.scanLine(y));
    for (int x = 0; x < code->width(); ++x) out[x] = in[x] ? lightRgb : darkRgb;
  }
  // Nearest-neighbour: every pixel is one of the two colours, no blurred edges.
  return colored.scaled(size, Qt::IgnoreAspectRatio, Qt::FastTransformation);
}
