#include "remote_sharing/remote_toast.h"

#include "shell/main_view_shared.h"

namespace remotetoast {

void show(const QString& text) {
  if (MainViewHandle* window = shell::mainViewShared()) window->showToast(text);
}

void showError(const QString& text, const QString& reason) {
  MainViewHandle* window = shell::mainViewShared();
  if (!window) return;
  AlertToast toast = makeToast(AlertToast::Type::error, QStringLiteral("red"), text);
  if (!reason.isEmpty()) toast.subTitle = reason, toast.minShowMs = kReasonToastMs;
  window->showAlertToast(toast);
}

}  // namespace remotetoast
