// The loading dialog's clock: one tick a second from the moment it is shown;
// when the count passes the record's limit it stops and closes the dialog by
// clearing the host's flag. Nothing else happens at the limit.
#pragma once

#include "shell/dialog_settings.h"
#include "shell/show_flag.h"

#include <QObject>
#include <QTimer>

class DialogLoadingLogic : public QObject {
  Q_OBJECT
 public:
  // Starts counting at once: build one per showing.
  DialogLoadingLogic(ShowFlag& isShowLoadingDialog, DialogLoadingSetting& setting, QObject* parent = nullptr);

  int timerCounter() const { return timerCounter_; }
  bool isRunning() const { return timer_.isActive(); }
  DialogLoadingSetting& setting() { return setting_; }

  // One tick of the clock (the timer calls it; tests may too).
  void tick();

 private:
  ShowFlag& flag_;
  DialogLoadingSetting& setting_;
  QTimer timer_;
  int timerCounter_ = 0;
};
