// The client's start-up sequence, run on the main thread before any window
// exists.
#pragma once

#include <functional>

// Logs the welcome line, finds the run location, opens the database (the step
// given) and restarts the bridge. Also makes sure the bridge this client
// starts is ended when the application quits.
void RunStartupSequence(const std::function<void()>& openDatabase);
