// Pictures made by someone else (a peer's thumbnails, the thumbnail helper's
// replies), decoded only after their format, byte size and announced
// dimensions have been checked, so that a hostile header never makes this
// process allocate its pixels.
#pragma once

#include <QByteArray>
#include <QImage>
#include <QSize>

#include <optional>

struct ImageBounds {
  qint64 maxBytes = 0;
  QSize maxSize;
};

// What the remote browser accepts from a host: at most 1 MiB, 1024 x 1024.
inline constexpr ImageBounds kArrivingThumbnailBounds{qint64(1) << 20, QSize(1024, 1024)};

// The PNG or JPEG image in `bytes` when it keeps within `bounds`; none for any
// other format, a larger file or larger announced dimensions, or broken data.
std::optional<QImage> readBoundedImage(const QByteArray& bytes, const ImageBounds& bounds);
