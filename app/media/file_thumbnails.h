// Thumbnails of local files decoded in the calling process: images through
// Qt's image plugins, PDFs and videos through content_thumbnails.h. The
// client never links this: its host side asks the confined thumbnail helper
// (zarkelo-thumbnailer), which is built on it.
#pragma once

#include <QImage>
#include <QSize>
#include <QString>

#include <functional>
#include <optional>

// A picture of the open regular file `fd` (an image, a PDF's first page or a
// video's frame) fitting `box` pixels, its aspect kept; images smaller than
// the box are not enlarged. `name` (the file's name) helps to tell its kind.
// The descriptor is read, never closed. None when it is no readable picture.
std::optional<QImage> thumbnailOfFile(int fd, const QString& name, const QSize& box);

// The same picture of the file at `path`, fitting width x height x scale
// pixels, made on the calling thread. A broken document or video may keep its
// decoder busy: bound the wait.
std::optional<QImage> generateThumbnailSync(const QString& path, double width, double height, double scale = 1.0);

// generateThumbnailSync on a worker thread at the main screen's scale;
// `completion` is called once, on the main thread, with none when the file
// is missing or no readable image. Call it from the main thread.
void generateThumbnail(const QString& path, double width, double height,
                       std::function<void(const std::optional<QImage>&)> completion);
