// A bar of two groups: a leading one (a title, a picker) and a trailing one
// (buttons). They share one row while both fit at their natural widths, and
// the trailing group moves to a second row, right-aligned, when they do not,
// so that nothing overlaps or is cut at the window's smaller sizes.
#pragma once

#include <QWidget>

class QBoxLayout;
class QHBoxLayout;

class WrappingBar : public QWidget {
  Q_OBJECT
 public:
  // `rowHeight` is the height of one row; `margins` pad the whole bar. When
  // `leadingGrows`, spare width on one row goes to the leading group (to its
  // widgets added with a stretch) rather than before the trailing one.
  WrappingBar(int rowHeight, QMargins margins, bool leadingGrows = false, QWidget* parent = nullptr);

  // Adds to the leading group, left to right, or to the trailing one.
  void addLeading(QWidget* widget, int stretch = 0);
  void addLeadingSpacing(int size);
  void addTrailing(QWidget* widget);
  bool isWrapped() const { return wrapped_; }

  QSize minimumSizeHint() const override;

 protected:
  void resizeEvent(QResizeEvent* event) override;
  bool event(QEvent* event) override;

 private:
  void arrange(int width);

  int rowHeight_;
  bool leadingGrows_;
  QBoxLayout* outer_;
  QHBoxLayout* leading_;
  QHBoxLayout* trailing_;
  bool wrapped_ = false;
};
