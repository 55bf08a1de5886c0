#include "core/process_handle.h"

#include <QElapsedTimer>
#include <QFile>
#include <QThread>

#include <cerrno>
#include <csignal>
#include <poll.h>
#include <sys/syscall.h>
#include <unistd.h>

bool ProcessHandle::endedById(qint64 pid) {
  QFile file(QStringLiteral("/proc/%1/stat").arg(pid));
  if (!file.open(QIODevice::ReadOnly)) return true;
  const QByteArray stat = file.readAll();
  const qsizetype close = stat.lastIndexOf(')');
  if (close < 0 || close + 2 >= stat.size()) return true;
  const char state = stat.at(close + 2);
  return state == 'Z' || state == 'X';
}

ProcessHandle::ProcessHandle(qint64 pid) {
  if (pid <= 0 || pid != qint64(pid_t(pid))) return;
  fd_ = int(::syscall(SYS_pidfd_open, pid_t(pid), 0));
  if (fd_ >= 0) {
    pid_ = pid;
    return;
  }
  // Without pidfds (an old kernel, a filter that refuses the call), the id.
  if (errno != ESRCH && ::kill(pid_t(pid), 0) == 0) pid_ = pid;
}

ProcessHandle::~ProcessHandle() {
  if (fd_ >= 0) ::close(fd_);
}

ProcessHandle::ProcessHandle(ProcessHandle&& other) noexcept : pid_(other.pid_), fd_(other.fd_) {
  other.pid_ = 0;
  other.fd_ = -1;
}

ProcessHandle& ProcessHandle::operator=(ProcessHandle&& other) noexcept {
  if (this != &other) {
    if (fd_ >= 0) ::close(fd_);
    pid_ = other.pid_;
    fd_ = other.fd_;
    other.pid_ = 0;
    other.fd_ = -1;
  }
  return *this;
}

bool ProcessHandle::signal(int signal) const {
  if (fd_ >= 0) return ::syscall(SYS_pidfd_send_signal, fd_, signal, nullptr, 0) == 0;
  return pid_ > 0 && ::kill(pid_t(pid_), signal) == 0;
}

bool ProcessHandle::hasEnded() const {
  if (fd_ >= 0) {
    pollfd p{fd_, POLLIN, 0};
    return ::poll(&p, 1, 0) > 0;
  }
  return pid_ <= 0 || endedById(pid_);
}

bool ProcessHandle::waitForEnd(const std::vector<ProcessHandle>& handles, std::chrono::milliseconds timeout) {
  QElapsedTimer clock;
  clock.start();
  for (;;) {
    std::vector<pollfd> waiting;
    bool byProc = false;
    for (const ProcessHandle& handle : handles) {
      if (handle.hasEnded()) continue;
      if (handle.fd_ >= 0)
        waiting.push_back({handle.fd_, POLLIN, 0});
      else
        byProc = true;
    }
    if (waiting.empty() && !byProc) return true;
    const qint64 left = timeout.count() - clock.elapsed();
    if (left <= 0) return false;
    // Processes known only by their id are looked at every few milliseconds.
    const int slice = int(byProc ? std::min<qint64>(left, 5) : left);
    if (waiting.empty())
      QThread::msleep(ulong(slice));
    else
      ::poll(waiting.data(), nfds_t(waiting.size()), slice);
  }
}
