// Small helpers shared by tests.
#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <chrono>
#include <functional>

namespace testutil {

// Built with the sanitizers: memory figures of processes (resident size) hold
// the sanitizers' own shadow and quarantine, so limits on them don't apply.
#ifdef ZARKELO_SANITIZED
inline constexpr bool kMemoryLimitsApply = false;
#else
inline constexpr bool kMemoryLimitsApply = true;
#endif


// Runs the Qt event loop until `done` gives true or the time runs out.
bool waitUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout = std::chrono::seconds(5));

// Folder of the project's built executables (the client, its bridge, the service).
QString binDir();
// The source tree's root.
QString sourceDir();

// Files for the transfer tests.
QByteArray randomBytes(qsizetype size);
// Writes `bytes` to `path`, making its folders; a failure fails the test.
void writeFile(const QString& path, const QByteArray& bytes);
// The file's bytes, or "<missing>" when it cannot be read.
QByteArray readFile(const QString& path);
// Every file below `dir` (hidden ones included), relative, sorted.
QStringList filesBelow(const QString& dir);

}  // namespace testutil
