#include "shell/wrapping_bar.h"

#include <QEvent>
#include <QHBoxLayout>
#include <QResizeEvent>

namespace {
constexpr int kGroupGap = 16;
}

WrappingBar::WrappingBar(int rowHeight, QMargins margins, bool leadingGrows, QWidget* parent)
    : QWidget(parent), rowHeight_(rowHeight), leadingGrows_(leadingGrows), leading_(new QHBoxLayout),
      trailing_(new QHBoxLayout) {
  outer_ = new QBoxLayout(QBoxLayout::LeftToRight, this);
  outer_->setContentsMargins(margins);
  outer_->setSpacing(kGroupGap);
  leading_->setSpacing(10);
  trailing_->setSpacing(10);
  leading_->addStretch(leadingGrows ? 0 : 1);
  trailing_->addStretch(1);
  outer_->addLayout(leading_, leadingGrows ? 1 : 0);
  outer_->addLayout(trailing_, leadingGrows ? 0 : 1);
  setFixedHeight(rowHeight_ + margins.top() + margins.bottom());
}

void WrappingBar::addLeading(QWidget* widget, int stretch) {
  leading_->insertWidget(leading_->count() - 1, widget, stretch);
}

void WrappingBar::addLeadingSpacing(int size) { leading_->insertSpacing(leading_->count() - 1, size); }

void WrappingBar::addTrailing(QWidget* widget) { trailing_->addWidget(widget); }

QSize WrappingBar::minimumSizeHint() const {
  const QMargins m = outer_->contentsMargins();
  const int widest = qMax(leading_->minimumSize().width(), trailing_->minimumSize().width());
  return {widest + m.left() + m.right(), height()};
}

void WrappingBar::arrange(int width) {
  const QMargins m = outer_->contentsMargins();
  const int oneRow = leading_->sizeHint().width() + kGroupGap + trailing_->sizeHint().width() + m.left() + m.right();
  const bool wrap = width < oneRow;
  if (wrap == wrapped_) return;
  wrapped_ = wrap;
  outer_->setDirection(wrap ? QBoxLayout::TopToBottom : QBoxLayout::LeftToRight);
  outer_->setSpacing(wrap ? 0 : kGroupGap);
  setFixedHeight((wrap ? 2 : 1) * rowHeight_ + m.top() + m.bottom());
}

void WrappingBar::resizeEvent(QResizeEvent* event) {
  QWidget::resizeEvent(event);
  arrange(event->size().width());
}

bool WrappingBar::event(QEvent* event) {
  // A group's contents changed (a longer title, another host): measure again.
  if (event->type() == QEvent::LayoutRequest) arrange(width());
  return QWidget::event(event);
}
