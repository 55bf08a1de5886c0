// Presents a sheet over a host widget while a show flag is true: the host is
// dimmed and takes no input, and the sheet's content, built afresh for each
// showing, sits in the middle. The content closes the sheet by clearing the
// flag; the overlay then removes it. An optional action runs on dismissal.
#pragma once

#include "shell/show_flag.h"

#include <QPointer>
#include <QWidget>

#include <functional>
#include <optional>

class SheetOverlay : public QWidget {
  Q_OBJECT
 public:
  using Factory = std::function<QWidget*(QWidget* parent)>;

  SheetOverlay(ShowFlag& flag, Factory factory, QWidget* host);

  void setFactory(Factory factory) { factory_ = std::move(factory); }
  void setOnDismiss(std::function<void()> action) { onDismiss_ = std::move(action); }
  QWidget* content() const { return content_; }
  const ShowFlag& flag() const { return flag_; }
  bool isPresented() const { return content_ != nullptr; }

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;
  void paintEvent(QPaintEvent* event) override;

 private:
  void present();
  void dismiss();
  void place();
  void growWindow();
  void restoreWindow();

  ShowFlag& flag_;
  Factory factory_;
  std::function<void()> onDismiss_;
  QPointer<QWidget> content_;
  std::optional<QSize> windowMinimum_;  // the window's own minimum, while a sheet widened it
};
