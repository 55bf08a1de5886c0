// The process-wide handle to the live main window. Unset until the window is
// first shown; a raiser that finds it unset raises nothing. Main thread only.
#pragma once

#include "bridge/view_handles.h"

namespace shell {

MainViewHandle* mainViewShared();
void setMainViewShared(MainViewHandle* view);

}  // namespace shell
