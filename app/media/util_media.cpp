#include "media/util_media.h"

#include "core/log.h"

#include <qrencode.h>

#include <cmath>
#include <memory>

namespace {

constexpr int kQuietZone = 4;  // modules of light margin around the symbol

}  // namespace

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
