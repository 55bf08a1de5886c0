#include "shell/main_view_shared.h"

namespace shell {

namespace {
MainViewHandle* shared = nullptr;
}

MainViewHandle* mainViewShared() { return shared; }
void setMainViewShared(MainViewHandle* view) { shared = view; }

}  // namespace shell
