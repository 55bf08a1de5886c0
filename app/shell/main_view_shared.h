// Shorthand for the process-wide handle to the live main window
// (Env::MainViewShared). Unset until the window is first shown; a raiser that
// finds it unset raises nothing. Main thread only.
#pragma once

#include "bridge/env.h"
#include "shell/view_handles.h"

namespace shell {

inline MainViewHandle* mainViewShared() { return Env::MainViewShared; }

}  // namespace shell
