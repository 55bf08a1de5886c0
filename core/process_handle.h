// A handle on another process by a process file descriptor (pidfd): a signal
// sent through it reaches the process it was opened on, never one that got
// its id later, and its end can be waited for or watched in an event loop.
// Where the kernel has no pidfds it falls back to the id and /proc.
#pragma once

#include <QtGlobal>

#include <chrono>
#include <vector>

class ProcessHandle {
 public:
  ProcessHandle() = default;
  // A handle on the process `pid`; invalid when there is no such process.
  explicit ProcessHandle(qint64 pid);
  ~ProcessHandle();
  ProcessHandle(ProcessHandle&& other) noexcept;
  ProcessHandle& operator=(ProcessHandle&& other) noexcept;
  ProcessHandle(const ProcessHandle&) = delete;
  ProcessHandle& operator=(const ProcessHandle&) = delete;

  bool isValid() const { return pid_ > 0; }
  qint64 pid() const { return pid_; }
  // The descriptor that becomes readable once the process has ended; -1
  // without pidfds.
  int fd() const { return fd_; }

  bool signal(int signal) const;
  // Exited (a zombie that waits to be reaped counts) or gone.
  bool hasEnded() const;

  // Whether the process `pid` has exited (a zombie counts) or is gone, as
  // /proc tells by the id alone.
  static bool endedById(qint64 pid);

  // Waits until every process of `handles` has ended, at most `timeout`;
  // true when all did.
  static bool waitForEnd(const std::vector<ProcessHandle>& handles, std::chrono::milliseconds timeout);

 private:
  qint64 pid_ = 0;
  int fd_ = -1;
};
