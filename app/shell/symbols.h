// Bundled drawings: monochrome symbols (drawn in one colour, tinted on use
// with a named colour) and the full-colour images "folder", "file",
// "folder_up" and "kelvor". Sizes are in device-independent pixels.
#pragma once

#include <QColor>
#include <QIcon>
#include <QPixmap>
#include <QString>

namespace shellsymbols {

bool hasSymbol(const QString& name);
// The symbol tinted with `tint`; an unknown name gives a transparent pixmap.
QPixmap symbol(const QString& name, const QColor& tint, int size, qreal devicePixelRatio = 1.0);
// The same, tinted with a named colour of the palette.
QPixmap symbol(const QString& name, const QString& colourName, int size, qreal devicePixelRatio = 1.0);
QIcon symbolIcon(const QString& name, const QString& colourName);

bool hasImage(const QString& name);
// The image scaled to fit `size`, aspect kept; an unknown name gives a transparent pixmap.
QPixmap image(const QString& name, int size, qreal devicePixelRatio = 1.0);

}  // namespace shellsymbols
