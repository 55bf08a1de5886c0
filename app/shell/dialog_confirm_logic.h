// What the confirm dialog does with its buttons. OK and Cancel run the
// button's action as the record holds it at that moment, then close; the
// close icon only closes. Closing sets the host's flag false (never toggles
// it), so an action that closes or reopens things itself cannot leave the
// dialog stuck open.
#pragma once

#include "shell/dialog_settings.h"
#include "shell/show_flag.h"

class DialogConfirmLogic {
 public:
  DialogConfirmLogic(ShowFlag& isShowConfirmDialog, DialogConfirmSetting& setting)
      : flag_(isShowConfirmDialog), setting_(setting) {}

  void pressOK() { runThenClose(setting_.okAction()); }
  void pressCancel() { runThenClose(setting_.cancelAction()); }
  void pressClose() { flag_.set(false); }

  DialogConfirmSetting& setting() { return setting_; }

 private:
  void runThenClose(const DialogAction& action) {
    if (action) action();
    flag_.set(false);
  }

  ShowFlag& flag_;
  DialogConfirmSetting& setting_;
};
