// Waiting on the Qt event loop, shared by the test helpers and the benchmarks'
// process harness (header only: the benchmarks do not link the test library).
#pragma once

#include <QElapsedTimer>
#include <QEventLoop>
#include <QTimer>

#include <chrono>
#include <functional>

namespace testsupport {

// Runs the event loop until `done` gives true or `timeout` passes. Sleeps in the
// loop until events come or 5 ms pass: no busy wait taking a core from the
// processes under test.
inline bool spinEventsUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout) {
  QElapsedTimer timer;
  timer.start();
  while (!done()) {
    if (timer.elapsed() > timeout.count()) return false;
    QEventLoop pause;
    QTimer::singleShot(5, &pause, &QEventLoop::quit);
    pause.exec();
  }
  return true;
}

}  // namespace testsupport
