// Thumbnails of local files and QR-code images.
#pragma once

#include <QColor>
#include <QImage>
#include <QString>

#include <functional>
#include <optional>

// A picture of the file at `path` (an image, a PDF's first page or a video's
// frame) fitting width x height points times the main screen's scale, its
// aspect kept. Decoding runs on a worker thread;
// `completion` is called once, on the main thread, with none when the file
// is missing or no readable image. Call it from the main thread.
void generateThumbnail(const QString& path, double width, double height,
                       std::function<void(const std::optional<QImage>&)> completion);

// The same picture made on the calling thread (for worker threads), fitting
// width x height x scale pixels. Images smaller than that are not enlarged.
// A broken document or video may keep its decoder busy: bound the wait.
std::optional<QImage> generateThumbnailSync(const QString& path, double width, double height, double scale = 1.0);

// The QR code of the text's UTF-8 bytes at error-correction level H: one pixel
// per module, dark modules on a light ground, with a four-module quiet zone.
// None when the text is too long for a symbol.
std::optional<QImage> generateQRCIImage(const QString& text);

// The QR code in the two colours, scaled without smoothing to exactly
// width x height pixels; a null image when no code could be made.
QImage generateColoredQRImage(const QString& text, const QColor& light, const QColor& dark, double width,
                              double height);
