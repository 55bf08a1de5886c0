#include "shell/toast_state.h"

#include <algorithm>

ToastState::ToastState(int durationMs, QObject* parent) : QObject(parent), durationMs_(durationMs) {
  timer_.setSingleShot(true);
  timer_.setTimerType(Qt::PreciseTimer);  // a coarse timer may end the toast up to 5% early
  timer_.setInterval(durationMs);
  connect(&timer_, &QTimer::timeout, this, [this] { shown_.set(false); });
  connect(&shown_, &ShowFlag::changed, this, [this](bool shown) {
    if (shown)
      timer_.start();
    else
      timer_.stop();
  });
}

void ToastState::show(const AlertToast& toast) {
  toast_ = toast;
  timer_.setInterval(std::max(durationMs_, toast.minShowMs));
  emit toastChanged();
  if (shown_.value())
    timer_.start();  // replaces the toast on screen: its time starts again
  else
    shown_.set(true);
}
