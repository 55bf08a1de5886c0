// Signals to the processes a test started, by their own id only: a pid of 0
// or below would reach the whole process group (the test runner included).
#pragma once

#include <QtGlobal>

#include <csignal>
#include <sys/types.h>

namespace testsupport {

// Sends `signal` to the one process `pid`; false (and nothing sent) for a pid
// that names no single process.
inline bool signalProcess(qint64 pid, int signal) {
  if (pid <= 0 || pid != qint64(pid_t(pid))) return false;
  return ::kill(pid_t(pid), signal) == 0;
}

}  // namespace testsupport
