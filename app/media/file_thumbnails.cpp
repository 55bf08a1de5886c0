#include "media/file_thumbnails.h"

#include "media/content_thumbnails.h"

#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>
#include <QGuiApplication>
#include <QImageReader>
#include <QScreen>
#include <QThreadPool>

#include <fcntl.h>
#include <unistd.h>

#include <cmath>

namespace {

double mainScreenScale() {
  const QScreen* screen = qobject_cast<QGuiApplication*>(QCoreApplication::instance())
                              ? QGuiApplication::primaryScreen()
                              : nullptr;
  return screen ? screen->devicePixelRatio() : 1.0;
}

}  // namespace

std::optional<QImage> thumbnailOfFile(int fd, const QString& name, const QSize& box) {
  if (box.isEmpty()) return std::nullopt;
  QFile file;
  if (!file.open(fd, QIODevice::ReadOnly, QFileDevice::DontCloseHandle)) return std::nullopt;
  QImageReader reader(&file);
  reader.setAutoTransform(true);
  if (!reader.canRead()) {
    // Not an image: a document's first page or a video's frame; other kinds have no picture.
    switch (contentKindOf(name, &file)) {
      case ContentKind::pdf:
        return pdfThumbnail(&file, box);
      case ContentKind::video:
        return videoThumbnail(fd, name, box);
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

std::optional<QImage> generateThumbnailSync(const QString& path, double width, double height, double scale) {
  if (!QFileInfo(path).isFile()) return std::nullopt;
  const QSize box(std::max(1, int(std::lround(width * scale))), std::max(1, int(std::lround(height * scale))));
  const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
  if (fd < 0) return std::nullopt;
  auto image = thumbnailOfFile(fd, QFileInfo(path).fileName(), box);
  ::close(fd);
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
