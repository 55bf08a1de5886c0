#include "remote_sharing/remote_toast.h"

#include "bridge/env.h"
#include "shell/main_view_shared.h"

namespace remotetoast {

void show(const QString& text) {
  MainViewHandle* window = shell::mainViewShared();
  if (!window) window = Env::MainViewShared;
  if (window) window->showToast(text);
}

}  // namespace remotetoast
