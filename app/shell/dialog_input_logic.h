// The input dialog's check and actions. OK (while submitting is allowed) and
// Return run the check on the record as it is at that moment. A passing text
// closes the dialog, then runs the caller's action; a failing one keeps it
// open and names the rule in the dialog's own banner toast. Cancel and the
// close icon only close. Closing sets the host's flag false, never toggles it.
#pragma once

#include "shell/dialog_settings.h"
#include "shell/show_flag.h"
#include "shell/toast_state.h"

#include <QObject>
#include <QString>

#include <optional>

class DialogInputLogic : public QObject {
  Q_OBJECT
 public:
  DialogInputLogic(ShowFlag& isShowDialog, DialogInput_Setting& setting, bool isCanSubmiti = true,
                   QObject* parent = nullptr);

  // Characters as the user sees them (grapheme clusters), not bytes or UTF-16 units.
  static int characterCount(const QString& text);
  // 4 to 16 characters, each an ASCII letter or digit.
  static bool isPasswordText(const QString& text);
  // The rule a text breaks, or nothing when it passes.
  static std::optional<QString> check(const DialogInput_Setting& setting);

  void pressOK();      // does nothing while submitting is not allowed
  void pressReturn();  // always runs the check
  void pressCancel() { flag_.set(false); }
  void pressClose() { flag_.set(false); }

  bool isCanSubmiti() const { return isCanSubmiti_; }
  DialogInput_Setting& setting() { return setting_; }
  ToastState& toast() { return toast_; }

 private:
  void submitInput();

  ShowFlag& flag_;
  DialogInput_Setting& setting_;
  bool isCanSubmiti_;
  ToastState toast_{ToastState::kInputDialogMs};
};
