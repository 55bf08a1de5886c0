#include "media/content_thumbnails.h"

#include <QFileInfo>
#include <QIODevice>
#include <QMimeDatabase>
#include <QMimeType>
#include <QSet>

#include <libffmpegthumbnailer/videothumbnailer.h>
#include <poppler-qt6.h>

extern "C" {
#include <libavformat/avformat.h>
#include <libavutil/mem.h>
}

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <exception>
#include <vector>

namespace {

QImage fitted(QImage image, const QSize& box) {
  if (image.width() > box.width() || image.height() > box.height())
    image = image.scaled(box, Qt::KeepAspectRatio, Qt::SmoothTransformation);
  return image;
}

// The demuxer reads the open file through these, by offset: no path is opened.
struct FdSource {
  int fd = -1;
  int64_t position = 0;
  int64_t size = 0;
};

int readSource(void* opaque, uint8_t* buffer, int wanted) {
  auto* source = static_cast<FdSource*>(opaque);
  ssize_t got;
  do got = ::pread(source->fd, buffer, size_t(wanted), source->position);
  while (got < 0 && errno == EINTR);
  if (got < 0) return AVERROR(errno);
  if (got == 0) return AVERROR_EOF;
  source->position += got;
  return int(got);
}

int64_t seekSource(void* opaque, int64_t offset, int whence) {
  auto* source = static_cast<FdSource*>(opaque);
  if (whence & AVSEEK_SIZE) return source->size;
  int64_t target;
  switch (whence & ~AVSEEK_FORCE) {
    case SEEK_SET: target = offset; break;
    case SEEK_CUR: target = source->position + offset; break;
    case SEEK_END: target = source->size + offset; break;
    default: return AVERROR(EINVAL);
  }
  if (target < 0) return AVERROR(EINVAL);
  source->position = target;
  return target;
}

// A demuxer context over the open file; frees everything it made.
class FdInput {
 public:
  FdInput(int fd, const std::string& name) {
    struct stat info {};
    if (::fstat(fd, &info) != 0) return;
    source_ = FdSource{fd, 0, int64_t(info.st_size)};
    constexpr int kBuffer = 64 * 1024;
    auto* buffer = static_cast<unsigned char*>(av_malloc(kBuffer));
    if (!buffer) return;
    io_ = avio_alloc_context(buffer, kBuffer, 0, &source_, readSource, nullptr, seekSource);
    if (!io_) {
      av_free(buffer);
      return;
    }
    context_ = avformat_alloc_context();
    if (!context_) return;
    context_->pb = io_;
    context_->flags |= AVFMT_FLAG_CUSTOM_IO;
    if (avformat_open_input(&context_, name.c_str(), nullptr, nullptr) != 0) context_ = nullptr;  // freed by it
  }
  ~FdInput() {
    if (context_) avformat_close_input(&context_);
    if (io_) {
      av_freep(&io_->buffer);
      avio_context_free(&io_);
    }
  }
  FdInput(const FdInput&) = delete;
  FdInput& operator=(const FdInput&) = delete;
  AVFormatContext* context() const { return context_; }

 private:
  FdSource source_;
  AVIOContext* io_ = nullptr;
  AVFormatContext* context_ = nullptr;
};

}  // namespace

ContentKind contentKindOf(const QString& name, QIODevice* device) {
  // The mime database is read once, on first use: the thumbnail helper can no
  // longer open its files later.
  static const QSet<QString> videoSuffixes = [] {
    QSet<QString> suffixes;
    for (const QMimeType& type : QMimeDatabase().allMimeTypes())
      if (type.name().startsWith(QLatin1String("video/")))
        for (const QString& suffix : type.suffixes()) suffixes.insert(suffix.toLower());
    return suffixes;
  }();
  const QString suffix = QFileInfo(name).suffix().toLower();
  if (videoSuffixes.contains(suffix)) return ContentKind::video;
  if (suffix == QLatin1String("pdf") || (device && device->peek(1024).contains("%PDF-"))) return ContentKind::pdf;
  return ContentKind::other;
}

std::optional<QImage> pdfThumbnail(QIODevice* device, const QSize& box) {
  if (box.isEmpty() || !device->seek(0)) return std::nullopt;
  std::unique_ptr<Poppler::Document> document = Poppler::Document::load(device);
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

std::optional<QImage> videoThumbnail(int fd, const QString& name, const QSize& box) {
  if (box.isEmpty()) return std::nullopt;
  try {
    const std::string label = name.isEmpty() ? std::string("video") : name.toStdString();
    FdInput input(fd, label);
    if (!input.context()) return std::nullopt;
    ffmpegthumbnailer::VideoThumbnailer thumbnailer(std::max(box.width(), box.height()), false, true, 8, false);
    thumbnailer.setLogCallback([](ThumbnailerLogLevel, const std::string&) {});
    std::vector<uint8_t> png;
    thumbnailer.generateThumbnail(label, Png, png, input.context());
    QImage image;
    if (png.empty() || !image.loadFromData(png.data(), int(png.size()), "PNG")) return std::nullopt;
    return fitted(image, box);
  } catch (const std::exception&) {
    return std::nullopt;  // the library reports unreadable files by throwing
  }
}
