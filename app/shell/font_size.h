// Text sizes of the views, in device-independent pixels (the unit of the
// window's own sizes).
#pragma once

#include <QFont>
#include <QWidget>

inline void setFontPixelSize(QWidget* widget, int pixels) {
  QFont font = widget->font();
  font.setPixelSize(pixels);
  widget->setFont(font);
}
