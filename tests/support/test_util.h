// Small helpers shared by tests.
#pragma once

#include <QString>

#include <chrono>
#include <functional>

namespace testutil {

// Runs the Qt event loop until `done` gives true or the time runs out.
bool waitUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout = std::chrono::seconds(5));

// Folder of the project's built executables (the client, its bridge, the service).
QString binDir();
// The source tree's root.
QString sourceDir();

}  // namespace testutil
