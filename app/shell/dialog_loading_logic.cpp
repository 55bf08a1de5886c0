#include "shell/dialog_loading_logic.h"

DialogLoadingLogic::DialogLoadingLogic(ShowFlag& isShowLoadingDialog, DialogLoadingSetting& setting, QObject* parent)
    : QObject(parent), flag_(isShowLoadingDialog), setting_(setting) {
  timer_.setInterval(1000);
  timer_.setTimerType(Qt::PreciseTimer);
  connect(&timer_, &QTimer::timeout, this, &DialogLoadingLogic::tick);
  // A host that hides the dialog first sees no further effect from it.
  connect(&flag_, &ShowFlag::changed, this, [this](bool shown) {
    if (!shown) timer_.stop();
  });
  timer_.start();
}

void DialogLoadingLogic::tick() {
  ++timerCounter_;
  if (setting_.maxWaiting() < timerCounter_) {
    timer_.stop();
    flag_.set(false);
  }
}
