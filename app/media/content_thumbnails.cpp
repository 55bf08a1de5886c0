#include "media/content_thumbnails.h"

#include <QFile>
#include <QMimeDatabase>
#include <QMimeType>

#include <libffmpegthumbnailer/videothumbnailer.h>
#include <poppler-qt6.h>

#include <algorithm>
#include <exception>
#include <vector>

namespace {

QImage fitted(QImage image, const QSize& box) {
  if (image.width() > box.width() || image.height() > box.height())
    image = image.scaled(box, Qt::KeepAspectRatio, Qt::SmoothTransformation);
  return image;
}

}  // namespace

ContentKind contentKindOf(const QString& path) {
  const QMimeType type = QMimeDatabase().mimeTypeForFile(path);
  if (type.inherits(QStringLiteral("application/pdf"))) return ContentKind::pdf;
  const QString name = type.name();
  if (name.startsWith(QLatin1String("image/"))) return ContentKind::image;
  if (name.startsWith(QLatin1String("video/"))) return ContentKind::video;
  return ContentKind::other;
}

std::optional<QImage> pdfThumbnail(const QString& path, const QSize& box) {
  if (box.isEmpty()) return std::nullopt;
  std::unique_ptr<Poppler::Document> document = Poppler::Document::load(path);
  if (!document || document->isLocked() || document->numPages() < 1) return std::nullopt;
  document->setRenderHint(Poppler::Document::Antialiasing);
  document->setRenderHint(Poppler::Document::TextAntialiasing);
  std::unique_ptr<Poppler::Page> page = document->page(0);
  if (!page) return std::nullopt;
  const QSizeF points = page->pageSizeF();  // 1/72 inch
  if (points.width() <= 0 || points.height() <= 0) return std::nullopt;
  // Resolution at which the page just fits the box; never absurdly high.
  const double scale = std::min(box.width() / points.width(), box.height() / points.height());
  const double dpi = std::clamp(72.0 * scale, 1.0, 600.0);
  const QImage image = page->renderToImage(dpi, dpi);
  if (image.isNull()) return std::nullopt;
  return fitted(image, box);
}

std::optional<QImage> videoThumbnail(const QString& path, const QSize& box) {
  if (box.isEmpty()) return std::nullopt;
  try {
    ffmpegthumbnailer::VideoThumbnailer thumbnailer(std::max(box.width(), box.height()), false, true, 8, false);
    thumbnailer.setLogCallback([](ThumbnailerLogLevel, const std::string&) {});
    std::vector<uint8_t> png;
    thumbnailer.generateThumbnail(QFile::encodeName(path).toStdString(), Png, png);
    QImage image;
    if (png.empty() || !image.loadFromData(png.data(), int(png.size()), "PNG")) return std::nullopt;
    return fitted(image, box);
  } catch (const std::exception&) {
    return std::nullopt;  // the library reports unreadable files by throwing
  }
}
