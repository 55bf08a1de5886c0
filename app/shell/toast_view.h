// Draws the toast of a ToastState over a host widget while its flag is true.
// The alert mode is a box in the middle of the host; the banner modes and the
// heads-up sit at the top. It pops in (a short scale-up); a click on it
// dismisses it. Clicks elsewhere reach the host as usual.
#pragma once

#include "shell/toast_state.h"

#include <QVariantAnimation>
#include <QWidget>

class ToastView : public QWidget {
  Q_OBJECT
 public:
  ToastView(ToastState& state, QWidget* host);

  // The box the toast draws in, in host coordinates.
  QRect boxRect() const { return geometry(); }

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;
  void paintEvent(QPaintEvent* event) override;
  void mousePressEvent(QMouseEvent* event) override;

 private:
  void appear();
  void place();

  ToastState& state_;
  QVariantAnimation pop_;
  qreal scale_ = 1.0;
};
