#include "host_side/thumbnail_helpers.h"

#include <QCoreApplication>
#include <QFile>
#include <QThread>

#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include "core/log.h"

extern char** environ;

ThumbnailHelpers& ThumbnailHelpers::shared() {
  // Never destroyed: worker threads may still wait on it while the process
  // ends, and the helpers end by themselves when their socket closes.
  static ThumbnailHelpers* pool = new ThumbnailHelpers(
      QCoreApplication::applicationDirPath() + QStringLiteral("/zarkelo-thumbnailer"),
      std::max(2, QThread::idealThreadCount()));
  return *pool;
}

ThumbnailHelpers::ThumbnailHelpers(QString program, int maxHelpers, std::chrono::milliseconds idleEnd)
    : program_(std::move(program)), max_(std::max(1, maxHelpers)), idleEnd_(idleEnd) {
  idleWatch_ = std::thread([this] { endIdleHelpers(); });
}

ThumbnailHelpers::~ThumbnailHelpers() {
  {
    std::lock_guard lock(mutex_);
    ending_ = true;
  }
  wake_.notify_all();
  idleWatch_.join();
  std::lock_guard lock(mutex_);
  for (const Helper& helper : helpers_) stop(helper, nullptr);
}

// Ends the helpers beyond the kept ones that have had no work for a while.
void ThumbnailHelpers::endIdleHelpers() {
  std::unique_lock lock(mutex_);
  while (!ending_) {
    wake_.wait_for(lock, std::max<std::chrono::milliseconds>(idleEnd_ / 2, std::chrono::milliseconds(10)));
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
}

QList<qint64> ThumbnailHelpers::pids() const {
  std::lock_guard lock(mutex_);
  QList<qint64> list;
  for (const Helper& helper : helpers_) list.append(helper.pid);
  return list;
}

ThumbnailHelpers::Helper ThumbnailHelpers::start() {
  int pair[2];
  if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0) return {};
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, pair[1], STDIN_FILENO);
  posix_spawn_file_actions_adddup2(&actions, pair[1], STDOUT_FILENO);
  // The helper starts with default signal handling and nothing blocked.
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  sigset_t none, all;
  sigemptyset(&none);
  sigfillset(&all);
  posix_spawnattr_setsigmask(&attributes, &none);
  posix_spawnattr_setsigdefault(&attributes, &all);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
  const QByteArray path = QFile::encodeName(program_);
  char* argv[] = {const_cast<char*>(path.constData()), nullptr};
  pid_t pid = -1;
  const int failed = ::posix_spawn(&pid, path.constData(), &actions, &attributes, argv, environ);
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attributes);
  ::close(pair[1]);
  if (failed != 0) {
    ::close(pair[0]);
    zlog::parts(QStringLiteral("Thumbnail helper could not be started:"), program_);
    return {};
  }
  return Helper{pid, pair[0], false, {}};
}

ThumbnailHelpers::Helper* ThumbnailHelpers::acquire() {
  std::unique_lock lock(mutex_);
  for (;;) {
    for (Helper& helper : helpers_) {
      if (helper.busy) continue;
      helper.busy = true;
      return &helper;
    }
    if (int(helpers_.size()) + starting_ < max_) {
      ++starting_;
      lock.unlock();
      Helper fresh = start();
      lock.lock();
      --starting_;
      if (fresh.pid < 0) {
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
    helper->busy = false;
    helper->idleSince = std::chrono::steady_clock::now();
  }
  freed_.notify_one();
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
    if (!thumbwire::writeFrame(helper->socket, frame, fd)) {
      discard(helper, nullptr);
      continue;
    }
    QByteArray payload;
    const auto status = thumbwire::readFrame(helper->socket, thumbwire::kMaxReply, payload, nullptr,
                                             int(std::max<qint64>(1, limit.count())));
    const auto reply = status == thumbwire::ReadStatus::ok ? thumbwire::decodeReply(payload) : std::nullopt;
    if (!reply) {
      discard(helper, status == thumbwire::ReadStatus::timedOut ? "took too long, killed"
                      : status == thumbwire::ReadStatus::closed ? "ended in the middle of a request"
                                                                : "broke the protocol, killed");
      return {};
    }
    if (reply->retiring)
      discard(helper, nullptr);
    else
      release(helper);
    switch (reply->status) {
      case thumbwire::Status::picture: return {Outcome::picture, reply->bytes};
      case thumbwire::Status::text: return {Outcome::text, reply->bytes};
      case thumbwire::Status::none: return {Outcome::none, {}};
    }
    return {};
  }
  return {};
}
