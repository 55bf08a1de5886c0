// Toasts of the remote-sharing screens, shown on the main window when it is up.
#pragma once

#include <QString>

namespace remotetoast {

void show(const QString& text);
// A failure: `text` with its reason beneath (none when empty); a reason
// keeps the toast up at least kReasonToastMs.
void showError(const QString& text, const QString& reason = {});

}  // namespace remotetoast
