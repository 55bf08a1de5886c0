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

  // A sheet's toast: it lies over what surrounds the sheet's card (the sheet's
  // dimmed layer), beside the card, so that it hides none of the card's fields;
  // it goes when the card goes. Without a surrounding widget it lies over the card.
  static ToastView* besideCard(ToastState& state, QWidget* card);

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
  bool compact_ = false;  // the one-line alert box, where the full one finds no room
};
