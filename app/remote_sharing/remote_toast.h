// Toasts of the remote-sharing screens, shown on the main window when it is up.
#pragma once

#include <QString>

namespace remotetoast {

void show(const QString& text);

}  // namespace remotetoast
