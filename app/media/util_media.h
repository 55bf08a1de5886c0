// QR-code images (thumbnails of local files: media/file_thumbnails.h).
#pragma once

#include <QColor>
#include <QImage>
#include <QString>

#include <optional>

// The QR code of the text's UTF-8 bytes at error-correction level H: one pixel
// per module, dark modules on a light ground, with a four-module quiet zone.
// None when the text is too long for a symbol.
std::optional<QImage> generateQRCIImage(const QString& text);

// The QR code in the two colours, scaled without smoothing to exactly
// width x height pixels; a null image when no code could be made.
QImage generateColoredQRImage(const QString& text, const QColor& light, const QColor& dark, double width,
                              double height);
