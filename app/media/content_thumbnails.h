// Pictures of documents and videos: the first page of a PDF (Poppler) and a
// frame of a video (ffmpegthumbnailer), read from an open file. Only the
// thumbnail helper process links these decoders: a broken file may take them
// long or crash them, so the client never runs them itself.
#pragma once

#include <QImage>
#include <QSize>
#include <QString>

#include <optional>

class QIODevice;

enum class ContentKind { image, pdf, video, other };

// The kind of the file: a video by its name's suffix, a PDF by its suffix or
// its first bytes (the device is peeked, not read); images are told apart by
// the image reader before this is asked.
ContentKind contentKindOf(const QString& name, QIODevice* device);

// The first page of the PDF in `device` rendered to fit `box` pixels; none
// when it cannot be read (locked, broken, no pages).
std::optional<QImage> pdfThumbnail(QIODevice* device, const QSize& box);

// A frame of the video in the open file `fd` (read with pread, never closed
// here) fitting `box` pixels; none when no frame can be decoded. `name` only
// helps the demuxer guess the container.
std::optional<QImage> videoThumbnail(int fd, const QString& name, const QSize& box);
