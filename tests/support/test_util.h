// Small helpers shared by tests.
#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <chrono>
#include <functional>

namespace testutil {

// Built with a sanitizer (the project's option or flags given by hand): memory
// figures of processes (resident size) hold the sanitizer's own shadow and
// quarantine, so limits on them don't apply.
#if defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer) || __has_feature(memory_sanitizer)
#define ZARKELO_TEST_SANITIZED 1
#endif
#endif
#if defined(ZARKELO_SANITIZED) || defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define ZARKELO_TEST_SANITIZED 1
#endif
#ifdef ZARKELO_TEST_SANITIZED
inline constexpr bool kMemoryLimitsApply = false;
#else
inline constexpr bool kMemoryLimitsApply = true;
#endif


// Runs the Qt event loop until `done` gives true or the time runs out (a
// generous default: a loaded machine is slow, not wrong). The time is scaled to
// the build (ZARKELO_TEST_TIME_SCALE): a sanitized build waits longer.
bool waitUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout = std::chrono::seconds(30));
// The same for the time as given, unscaled: for checks that something does not
// happen before a time.
bool comesWithin(const std::function<bool()>& done, std::chrono::milliseconds time);
// Runs the Qt event loop for `time`, as given.
void idleFor(std::chrono::milliseconds time);

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
