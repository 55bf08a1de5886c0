// Waiting on the Qt event loop, shared by the test helpers and the benchmarks'
// process harness (header only: the benchmarks do not link the test library).
#pragma once

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QTimer>

#include <chrono>
#include <cstdlib>
#include <functional>

namespace testsupport {

// How much longer than on a plain build the tests wait for a condition: the
// sanitized Debug build runs several times slower, and CTest gives its tests
// ZARKELO_TEST_TIME_SCALE. A wait is only ever longer, never a check less.
inline int timeScale() {
  static const int scale = [] {
    const char* text = std::getenv("ZARKELO_TEST_TIME_SCALE");
    const int value = text ? std::atoi(text) : 1;
    return value >= 1 && value <= 20 ? value : 1;
  }();
  return scale;
}

// Runs the event loop until `done` gives true or `timeout` passes, the time as
// given: for checks that something does not happen before a time. Sleeps in the
// loop until events come or 5 ms pass: no busy wait taking a core from the
// processes under test. What is already posted is handled before `done` is
// first asked, and the loop runs once more after the deadline was seen: a
// test descheduled past its deadline still sees what arrived meanwhile.
inline bool spinEventsWithin(const std::function<bool()>& done, std::chrono::milliseconds timeout) {
  QElapsedTimer timer;
  timer.start();
  QCoreApplication::processEvents();
  while (!done()) {
    const bool late = timer.elapsed() >= timeout.count();
    QEventLoop pause;
    QTimer::singleShot(5, &pause, &QEventLoop::quit);
    pause.exec();
    if (late) return done();
  }
  return true;
}

// Waits for `done` for `timeout` times the build's scale: a slower build is
// given longer to get there.
inline bool spinEventsUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout) {
  return spinEventsWithin(done, timeout * timeScale());
}

// Runs the event loop for `time`, as given.
inline void spinEventsFor(std::chrono::milliseconds time) {
  spinEventsWithin([] { return false; }, time);
}

}  // namespace testsupport
