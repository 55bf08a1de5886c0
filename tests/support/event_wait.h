// Waiting on the Qt event loop, shared by the test helpers and the benchmarks'
// process harness (header only: the benchmarks do not link the test library).
#pragma once

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QTimer>

#include <chrono>
#include <functional>

namespace testsupport {

// Runs the event loop until `done` gives true or `timeout` passes. Sleeps in the
// loop until events come or 5 ms pass: no busy wait taking a core from the
// processes under test. What is already posted is handled before `done` is
// first asked, and the loop runs once more after the deadline was seen: a
// test descheduled past its deadline still sees what arrived meanwhile.
inline bool spinEventsUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout) {
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

}  // namespace testsupport
