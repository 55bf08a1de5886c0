#include "local_sharing/ui/install_local_sharing.h"

#include "local_sharing/ui/view_sharing_local.h"
#include "shell/main_view.h"

void installLocalSharing(MainView& view) {
  view.setPageFactory(MainViewState::pageLocalSharing, [](MainViewState& window, QWidget* parent) -> QWidget* {
    auto* controller = new LocalSharePageController(window.isShowLogin, window.sharingObjList());
    auto* page = new ViewSharingLocal(controller, &window, parent);
    controller->setParent(page);
    return page;
  });
}
