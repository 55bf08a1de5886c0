#include "shell/symbol_button.h"

#include "shell/palette.h"
#include "shell/symbols.h"

#include <QPainter>

namespace {
constexpr int kGap = 6;
}

SymbolButton::SymbolButton(const QString& symbolName, const QString& colourName, int symbolSize, const QString& text,
                           QWidget* parent)
    : QAbstractButton(parent), symbolName_(symbolName), colourName_(colourName), symbolSize_(symbolSize) {
  setText(text);
  setCursor(Qt::PointingHandCursor);
  setFocusPolicy(Qt::NoFocus);
  setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
}

void SymbolButton::setSymbol(const QString& symbolName, const QString& colourName) {
  symbolName_ = symbolName;
  colourName_ = colourName;
  update();
}

QSize SymbolButton::sizeHint() const {
  int width = symbolSize_;
  int height = symbolSize_;
  if (!text().isEmpty()) {
    width += kGap + fontMetrics().horizontalAdvance(text());
    height = qMax(height, fontMetrics().height());
  }
  return {width, height};
}

void SymbolButton::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  painter.setRenderHint(QPainter::Antialiasing);
  if (isDown()) painter.setOpacity(0.6);
  if (!isEnabled()) painter.setOpacity(0.4);
  const int top = (height() - symbolSize_) / 2;
  painter.drawPixmap(0, top, shellsymbols::symbol(symbolName_, colourName_, symbolSize_, devicePixelRatioF()));
  if (!text().isEmpty()) {
    painter.setPen(shellpalette::color(QStringLiteral("textPrimary")));
    const QRect textRect(symbolSize_ + kGap, 0, width() - symbolSize_ - kGap, height());
    painter.drawText(textRect, Qt::AlignVCenter | Qt::AlignLeft, text());
  }
}
