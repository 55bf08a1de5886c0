#include "host_side/thumbnail_helpers.h"

#include <QCoreApplication>
#include <QFile>
#include <QThread>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <optional>

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include "core/log.h"

extern char** environ;

namespace {
std::atomic<ThumbnailHelpers*> sharedPool{nullptr};

// The processor time process `pid` (a helper of ours) has used so far, or
// none when it cannot be read (the process is gone).
std::optional<std::chrono::microseconds> processorTime(qint64 pid) {
  clockid_t clock;
  struct timespec now {};
  if (::clock_getcpuclockid(pid_t(pid), &clock) != 0 || ::clock_gettime(clock, &now) != 0) return std::nullopt;
  return std::chrono::microseconds(qint64(now.tv_sec) * 1000000 + now.tv_nsec / 1000);
}
}  // namespace

int ThumbnailHelpers::sharedCount() { return std::max(2, QThread::idealThreadCount()); }

ThumbnailHelpers& ThumbnailHelpers::shared() {
  // Never destroyed: worker threads may still wait on it while the process
  // ends; its helpers die with the process.
  static ThumbnailHelpers* pool = [] {
    auto* made = new ThumbnailHelpers(QCoreApplication::applicationDirPath() + QStringLiteral("/zarkelo-thumbnailer"),
                                      sharedCount());
    sharedPool = made;
    return made;
  }();
  return *pool;
}

void ThumbnailHelpers::endShared() {
  if (ThumbnailHelpers* pool = sharedPool.load()) pool->end();
}

ThumbnailHelpers::ThumbnailHelpers(QString program, int maxHelpers, std::chrono::milliseconds idleEnd)
    : program_(std::move(program)), max_(std::max(1, maxHelpers)), idleEnd_(idleEnd) {
  keeper_ = std::thread([this] { keep(); });
}

ThumbnailHelpers::~ThumbnailHelpers() {
  end();
  keeper_.join();
}

// Idle helpers are stopped here; busy ones are killed, and reaped by the
// request that waits on them.
void ThumbnailHelpers::end() {
  std::list<Helper> idle;
  {
    std::lock_guard lock(mutex_);
    ending_ = true;
    for (auto it = helpers_.begin(); it != helpers_.end();) {
      if (it->busy) {
        ::kill(pid_t(it->pid), SIGKILL);
        ++it;
      } else {
        idle.splice(idle.end(), helpers_, it++);
      }
    }
  }
  wake_.notify_all();
  freed_.notify_all();
  for (const Helper& helper : idle) stop(helper, nullptr);
}

// The keeper thread: starts the helpers asked for, and ends those beyond the
// kept ones that have had no work for a while.
void ThumbnailHelpers::keep() {
  std::unique_lock lock(mutex_);
  while (!ending_) {
    wake_.wait_for(lock, std::max<std::chrono::milliseconds>(idleEnd_ / 2, std::chrono::milliseconds(10)),
                   [this] { return ending_ || !launches_.empty(); });
    while (!ending_ && !launches_.empty()) {
      const std::shared_ptr<Launch> launch = launches_.front();
      launches_.pop_front();
      lock.unlock();
      Helper fresh = start();
      lock.lock();
      launch->helper = fresh;
      launch->done = true;
      launched_.notify_all();
    }
    const auto now = std::chrono::steady_clock::now();
    std::list<Helper> ended;
    for (auto it = helpers_.begin(); it != helpers_.end() && int(helpers_.size()) > kKeptHelpers;) {
      if (!it->busy && now - it->idleSince >= idleEnd_)
        ended.splice(ended.end(), helpers_, it++);
      else
        ++it;
    }
    if (ended.empty()) continue;
    lock.unlock();
    for (const Helper& helper : ended) stop(helper, nullptr);
    lock.lock();
  }
  // Whoever still waits for a helper gets none.
  for (const auto& launch : launches_) launch->done = true;
  launches_.clear();
  launched_.notify_all();
}

QList<qint64> ThumbnailHelpers::pids() const {
  std::lock_guard lock(mutex_);
  QList<qint64> list;
  for (const Helper& helper : helpers_) list.append(helper.pid);
  return list;
}

ThumbnailHelpers::Helper ThumbnailHelpers::start() {
  const QByteArray path = QFile::encodeName(program_);
  char* argv[] = {const_cast<char*>(path.constData()), nullptr};
  int pair[2];
  if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0) return {};
  // Closed by a successful exec; otherwise it carries the child's errno.
  int status[2];
  if (::pipe2(status, O_CLOEXEC) != 0) {
    ::close(pair[0]);
    ::close(pair[1]);
    return {};
  }
  // No signal handler of this process may run in the child.
  sigset_t all, before;
  sigfillset(&all);
  ::pthread_sigmask(SIG_SETMASK, &all, &before);
  const pid_t parent = ::getpid();
  const pid_t pid = ::fork();
  if (pid == 0) {
    // Only async-signal-safe calls until exec. The helper dies with this
    // thread (the keeper, as long as the pool) and so with the client, even
    // when the client is killed; one whose client is already gone ends here.
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (::getppid() != parent) ::_exit(127);
    ::dup2(pair[1], STDIN_FILENO);
    ::dup2(pair[1], STDOUT_FILENO);
    // Default signal handling and nothing blocked.
    struct sigaction standard {};
    standard.sa_handler = SIG_DFL;
    for (int number = 1; number < NSIG; ++number) ::sigaction(number, &standard, nullptr);
    sigset_t none;
    sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    ::execve(path.constData(), argv, environ);
    const int error = errno;
    [[maybe_unused]] const ssize_t written = ::write(status[1], &error, sizeof error);
    ::_exit(127);
  }
  const int forkError = errno;
  ::pthread_sigmask(SIG_SETMASK, &before, nullptr);
  ::close(pair[1]);
  ::close(status[1]);
  int execError = pid < 0 ? forkError : 0;
  if (pid > 0) {
    ssize_t got;
    while ((got = ::read(status[0], &execError, sizeof execError)) < 0 && errno == EINTR) {
    }
    if (got != ssize_t(sizeof execError)) execError = 0;
  }
  ::close(status[0]);
  if (execError != 0) {
    if (pid > 0) ::waitpid(pid, nullptr, 0);
    ::close(pair[0]);
    zlog::parts(QStringLiteral("Thumbnail helper could not be started:"), program_,
                QString::fromLocal8Bit(strerror(execError)));
    return {};
  }
  return Helper{pid, pair[0], false, {}};
}

ThumbnailHelpers::Helper* ThumbnailHelpers::acquire() {
  std::unique_lock lock(mutex_);
  for (;;) {
    if (ending_) return nullptr;
    for (Helper& helper : helpers_) {
      if (helper.busy) continue;
      helper.busy = true;
      return &helper;
    }
    if (int(helpers_.size()) + starting_ < max_) {
      ++starting_;
      const auto launch = std::make_shared<Launch>();
      launches_.push_back(launch);
      wake_.notify_all();
      launched_.wait(lock, [&] { return launch->done; });
      --starting_;
      Helper fresh = launch->helper;
      if (fresh.pid < 0 || ending_) {
        if (fresh.pid >= 0) {
          lock.unlock();
          stop(fresh, nullptr);
        }
        freed_.notify_one();
        return nullptr;
      }
      fresh.busy = true;
      helpers_.push_back(fresh);
      return &helpers_.back();
    }
    freed_.wait(lock);
  }
}

void ThumbnailHelpers::release(Helper* helper) {
  {
    std::lock_guard lock(mutex_);
    if (!ending_) {
      helper->busy = false;
      helper->idleSince = std::chrono::steady_clock::now();
      freed_.notify_one();
      return;
    }
  }
  discard(helper, nullptr);  // killed as the pool ended
}

void ThumbnailHelpers::discard(Helper* helper, const char* reason) {
  Helper gone;
  {
    std::lock_guard lock(mutex_);
    gone = *helper;
    helpers_.remove_if([helper](const Helper& h) { return &h == helper; });
  }
  freed_.notify_one();
  stop(gone, reason);
}

void ThumbnailHelpers::stop(const Helper& helper, const char* reason) {
  ::kill(pid_t(helper.pid), SIGKILL);  // also ends a stopped or hanging one
  int status = 0;
  ::waitpid(pid_t(helper.pid), &status, 0);
  ::close(helper.socket);
  if (!reason) return;
  QString line = QStringLiteral("Thumbnail helper %1 %2").arg(helper.pid).arg(QLatin1String(reason));
  if (WIFSIGNALED(status) && WTERMSIG(status) != SIGKILL) line += QStringLiteral(" (signal %1)").arg(WTERMSIG(status));
  zlog::line(line);
}

ThumbnailHelpers::Result ThumbnailHelpers::request(const thumbwire::Request& request, int fd,
                                                   std::chrono::milliseconds limit) {
  const QByteArray frame = thumbwire::encodeRequest(request);
  // A helper that ended while idle is noticed when the request cannot be
  // written; the request then goes to a fresh one, once.
  for (int attempt = 0; attempt < 2; ++attempt) {
    Helper* helper = acquire();
    if (!helper) return {};
    const auto before = processorTime(helper->pid);
    // What the helper spent on it, read before a failed one is killed and reaped.
    auto spent = [&] {
      const auto after = processorTime(helper->pid);
      return before && after ? *after - *before : std::chrono::microseconds(0);
    };
    if (!thumbwire::writeFrame(helper->socket, frame, fd)) {
      discard(helper, nullptr);
      continue;
    }
    QByteArray payload;
    const auto status = thumbwire::readFrame(helper->socket, thumbwire::kMaxReply, payload, nullptr,
                                             int(std::max<qint64>(1, limit.count())));
    const auto reply = status == thumbwire::ReadStatus::ok ? thumbwire::decodeReply(payload) : std::nullopt;
    const std::chrono::microseconds took = spent();
    if (!reply) {
      discard(helper, status == thumbwire::ReadStatus::timedOut ? "took too long, killed"
                      : status == thumbwire::ReadStatus::closed ? "ended in the middle of a request"
                                                                : "broke the protocol, killed");
      return {Outcome::failed, {}, took};
    }
    if (reply->retiring)
      discard(helper, nullptr);
    else
      release(helper);
    switch (reply->status) {
      case thumbwire::Status::picture: return {Outcome::picture, reply->bytes, took};
      case thumbwire::Status::text: return {Outcome::text, reply->bytes, took};
      case thumbwire::Status::none: return {Outcome::none, {}, took};
    }
    return {Outcome::failed, {}, took};
  }
  return {};
}
