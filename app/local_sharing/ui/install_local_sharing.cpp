#include "local_sharing/ui/install_local_sharing.h"

#include "local_sharing/share_store.h"
#include "local_sharing/ui/view_sharing_local.h"
#include "shell/main_view.h"

SharingObjList* installLocalSharing(MainView& view) {
  MainViewState& state = view.state();
  SharingObjList* list = state.sharingObjList();
  if (!list) {
    list = new SharingObjList(&state);
    state.setSharingObjList(list);
  }
  state.setShareListLoader([list] { list->setItems(loadShares(QString(), false, false)); });
  view.setPageFactory(MainViewState::pageLocalSharing, [list](MainViewState& window, QWidget* parent) -> QWidget* {
    auto* controller = new LocalSharePageController(window.isShowLogin, list);
    auto* page = new ViewSharingLocal(controller, &window, parent);
    controller->setParent(page);
    return page;
  });
  return list;
}
