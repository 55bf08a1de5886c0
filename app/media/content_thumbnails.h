// Pictures of documents and videos: the first page of a PDF (Poppler) and a
// frame of a video (ffmpegthumbnailer). Run on a worker thread: a broken file
// may take its decoder long; callers bound the wait.
#pragma once

#include <QImage>
#include <QSize>
#include <QString>

#include <optional>

enum class ContentKind { image, pdf, video, other };

// The kind of the file by its name and its first bytes.
ContentKind contentKindOf(const QString& path);

// The first page of the PDF at `path` rendered to fit `box` pixels; none when
// it cannot be read (locked, broken, no pages).
std::optional<QImage> pdfThumbnail(const QString& path, const QSize& box);

// A frame of the video at `path` fitting `box` pixels; none when no frame can
// be decoded.
std::optional<QImage> videoThumbnail(const QString& path, const QSize& box);
