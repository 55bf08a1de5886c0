// One toast at a time: a description and the flag that shows it. Once shown
// the toast stays for its display time, or until a tap dismisses it, and then
// the flag is cleared. A new toast raised while one shows replaces it and
// starts its display time afresh.
#pragma once

#include "shell/view_handles.h"
#include "shell/show_flag.h"

#include <QObject>
#include <QTimer>

class ToastState : public QObject {
  Q_OBJECT
 public:
  // The main window's toasts show for 880 ms; the input dialog's for 1880 ms.
  static constexpr int kMainWindowMs = 880;
  static constexpr int kInputDialogMs = 1880;

  explicit ToastState(int durationMs, QObject* parent = nullptr);

  const AlertToast& toast() const { return toast_; }
  ShowFlag& isShowToast() { return shown_; }
  bool isShown() const { return shown_.value(); }
  int durationMs() const { return durationMs_; }

  // Writes the description without showing it.
  void setToast(const AlertToast& toast) {
    toast_ = toast;
    emit toastChanged();
  }
  // Stores the description first, then sets the flag.
  void show(const AlertToast& toast);
  // A tap on the toast.
  void dismiss() { shown_.set(false); }

 signals:
  void toastChanged();

 private:
  AlertToast toast_;
  ShowFlag shown_;
  QTimer timer_;
  int durationMs_;
};
