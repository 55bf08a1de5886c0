// Draws the toast of a ToastState over a host widget while its flag is true.
// The alert mode is a box in the middle of the host; the banner modes and the
// heads-up sit at the top. It pops in (a short scale-up); a click on it
// dismisses it. Clicks elsewhere reach the host as usual. A subtitle (a reason,
// a path the user must find) shows whole beneath the title, wrapped, and can be
// selected and copied; a click on it selects instead of dismissing.
#pragma once

#include "shell/toast_state.h"

#include <QVariantAnimation>
#include <QWidget>

class QTextEdit;

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
  // Where the title is drawn and the subtitle shown, in the toast's coordinates.
  QRect titleRect() const { return title_; }
  QRect subTitleRect() const { return sub_; }
  // The subtitle's text widget (hidden without a subtitle).
  const QTextEdit* subTitleText() const { return subText_; }

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;
  void paintEvent(QPaintEvent* event) override;
  void mousePressEvent(QMouseEvent* event) override;

 private:
  void appear();
  void place();
  // Lays the toast out in a box `width` wide: sets the title's, subtitle's and
  // icon's places and returns the box's height. `iconAbove`: the alert's
  // centred block, else the icon beside the text.
  int layOut(int width, bool iconAbove);
  int subTitleHeight(int width);

  ToastState& state_;
  QVariantAnimation pop_;
  qreal scale_ = 1.0;
  bool compact_ = false;  // the one-line alert box, where the full one finds no room
  QTextEdit* subText_;
  QRect icon_;
  QRect title_;
  QRect sub_;
};
