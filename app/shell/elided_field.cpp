#include "shell/elided_field.h"

#include <QEvent>
#include <QStyle>
#include <QStyleOptionFrame>

ElidedField::ElidedField(QWidget* parent) : QLineEdit(parent) { setReadOnly(true); }

void ElidedField::setFullText(const QString& text) {
  if (text == fullText_ && !text.isEmpty()) return;
  fullText_ = text;
  setToolTip(text);
  elide();
}

void ElidedField::elide() {
  QStyleOptionFrame option;
  initStyleOption(&option);
  const QRect box = style()->subElementRect(QStyle::SE_LineEditContents, &option, this);
  const QMargins margins = textMargins();
  // The field keeps 2 pixels free at each side of its text.
  const int room = box.width() - margins.left() - margins.right() - 4;
  setText(fontMetrics().elidedText(fullText_, Qt::ElideMiddle, qMax(0, room)));
  setCursorPosition(0);
}

void ElidedField::resizeEvent(QResizeEvent* event) {
  QLineEdit::resizeEvent(event);
  elide();
}

void ElidedField::changeEvent(QEvent* event) {
  QLineEdit::changeEvent(event);
  if (event->type() == QEvent::FontChange || event->type() == QEvent::StyleChange) elide();
}
