#include "media/bounded_image.h"

#include <QBuffer>
#include <QImageReader>

namespace {

// The format by the file's signature, not by what a plugin would guess.
QByteArray signatureFormat(const QByteArray& bytes) {
  if (bytes.startsWith(QByteArrayLiteral("\x89PNG\r\n\x1a\n"))) return QByteArrayLiteral("png");
  if (bytes.startsWith(QByteArrayLiteral("\xff\xd8\xff"))) return QByteArrayLiteral("jpeg");
  return {};
}

}  // namespace

std::optional<QImage> readBoundedImage(const QByteArray& bytes, const ImageBounds& bounds) {
  if (bytes.isEmpty() || bytes.size() > bounds.maxBytes) return std::nullopt;
  const QByteArray format = signatureFormat(bytes);
  if (format.isEmpty()) return std::nullopt;
  QBuffer buffer;
  buffer.setData(bytes);
  if (!buffer.open(QIODevice::ReadOnly)) return std::nullopt;
  QImageReader reader(&buffer, format);
  reader.setDecideFormatFromContent(false);
  reader.setAutoTransform(false);
  // The header's dimensions, read before any pixel memory exists.
  const QSize announced = reader.size();
  if (!announced.isValid() || announced.isEmpty() || announced.width() > bounds.maxSize.width() ||
      announced.height() > bounds.maxSize.height())
    return std::nullopt;
  QImage image = reader.read();
  if (image.isNull() || image.width() > bounds.maxSize.width() || image.height() > bounds.maxSize.height())
    return std::nullopt;
  return image;
}
