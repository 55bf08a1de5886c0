#include "remote_sharing/remote_toast.h"

#include "shell/main_view_shared.h"

namespace remotetoast {

void show(const QString& text) {
  if (MainViewHandle* window = shell::mainViewShared()) window->showToast(text);
}

}  // namespace remotetoast
