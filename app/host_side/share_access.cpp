#include "host_side/share_access.h"

#include <QElapsedTimer>
#include <QFile>

#include "core/log.h"
#include "local_sharing/share_store.h"

bool CodeThrottle::allows(const QString& key, qint64 nowMs) const {
  const auto it = keys_.constFind(key);
  return it == keys_.constEnd() || nowMs >= it->pausedUntil;
}

void CodeThrottle::recordWrong(const QString& key, qint64 nowMs) {
  if (!keys_.contains(key) && keys_.size() >= kMaxKeys) prune(nowMs);
  State& state = keys_[key];
  if (++state.wrongInARow < kFreeAttempts) return;
  state.pausedUntil = nowMs + state.nextPause;
  state.nextPause = std::min(state.nextPause * 2, kMaxPauseMs);
}

void CodeThrottle::recordRight(const QString& key) { keys_.remove(key); }

// A full table forgets the keys that are not paused now; when every key is
// paused the oldest pause goes first, so the table stays bounded.
void CodeThrottle::prune(qint64 nowMs) {
  for (auto it = keys_.begin(); it != keys_.end();)
    it = it->pausedUntil <= nowMs ? keys_.erase(it) : std::next(it);
  while (keys_.size() >= kMaxKeys) {
    auto oldest = keys_.begin();
    for (auto it = keys_.begin(); it != keys_.end(); ++it)
      if (it->pausedUntil < oldest->pausedUntil) oldest = it;
    keys_.erase(oldest);
  }
}

ShareAccess& ShareAccess::shared() {
  static ShareAccess access;
  // Test-only, off unless set: ZARKELO_TEST_CLOCK_FILE names a file holding
  // the milliseconds of the access clock, so that end-to-end tests of the
  // lock-outs do not depend on how fast the machine is.
  static const bool testClock = [] {
    const QString path = qEnvironmentVariable("ZARKELO_TEST_CLOCK_FILE");
    if (path.isEmpty()) return false;
    access.setClock([path] {
      QFile file(path);
      return file.open(QIODevice::ReadOnly) ? file.readAll().trimmed().toLongLong() : qint64(0);
    });
    return true;
  }();
  Q_UNUSED(testClock);
  return access;
}

void ShareAccess::setClock(Clock clock) { clock_ = std::move(clock); }

qint64 ShareAccess::now() const {
  if (clock_) return clock_();
  static QElapsedTimer monotonic = [] {
    QElapsedTimer t;
    t.start();
    return t;
  }();
  // Offset so that the first reading is well past zero.
  return monotonic.elapsed() + kIdleMs;
}

bool ShareAccess::tryCode(const QString& session, const QString& peer, const QString& tag, const QString& code) {
  touch(session);
  const qint64 t = now();
  // Counted per share, so that a code the peer does know never clears the
  // wrong guesses at another share.
  const QList<SharingObjPtr> shares = loadShares(tag, false, true);
  const QString share = (shares.isEmpty() ? tag : shares.first()->tag).toUpper();
  QStringList keys{QStringLiteral("session\n") + session + QLatin1Char('\n') + share};
  if (!peer.isEmpty()) keys.append(QStringLiteral("peer\n") + peer + QLatin1Char('\n') + share);
  for (const QString& key : keys) {
    if (!throttle_.allows(key, t)) {
      zlog::line(QStringLiteral("Access code attempt refused: too many wrong codes, paused"));
      return false;
    }
  }
  if (!checkSharePassword(tag, code)) {
    for (const QString& key : keys) throttle_.recordWrong(key, t);
    return false;
  }
  for (const QString& key : keys) throttle_.recordRight(key);
  if (!shares.isEmpty() && !session.isEmpty()) sessions_[session].proven.insert(shares.first()->tag, shares.first()->password);
  return true;
}

bool ShareAccess::mayReach(const QString& session, const QString& tag, const QString& password) const {
  if (password.isEmpty()) return true;
  const auto it = sessions_.constFind(session);
  if (it == sessions_.constEnd() || now() - it->lastSeen > kIdleMs) return false;
  // Proved against the code the share has now: a changed code locks again.
  const auto proven = it->proven.constFind(tag);
  return proven != it->proven.constEnd() && *proven == password;
}

bool ShareAccess::mayReachTag(const QString& session, const QString& tag) const {
  const QList<SharingObjPtr> shares = loadShares(tag, false, true);
  return !shares.isEmpty() && mayReach(session, shares.first()->tag, shares.first()->password);
}

bool ShareAccess::provedAnyCode(const QString& session) const {
  const auto it = sessions_.constFind(session);
  if (it == sessions_.constEnd()) return false;
  for (auto proven = it->proven.constBegin(); proven != it->proven.constEnd(); ++proven) {
    const QList<SharingObjPtr> shares = loadShares(proven.key(), false, true);
    // A share without a code, now or then, proves nothing.
    if (proven->isEmpty() || shares.isEmpty() || shares.first()->password.isEmpty()) continue;
    if (mayReach(session, shares.first()->tag, shares.first()->password)) return true;
  }
  return false;
}

void ShareAccess::touch(const QString& session) {
  if (session.isEmpty()) return;
  dropIdle();
  if (!sessions_.contains(session) && sessions_.size() >= kMaxSessions) {
    auto oldest = sessions_.begin();
    for (auto it = sessions_.begin(); it != sessions_.end(); ++it)
      if (it->lastSeen < oldest->lastSeen) oldest = it;
    sessions_.erase(oldest);
  }
  sessions_[session].lastSeen = now();
}

void ShareAccess::dropIdle() {
  const qint64 t = now();
  for (auto it = sessions_.begin(); it != sessions_.end();)
    it = t - it->lastSeen > kIdleMs ? sessions_.erase(it) : std::next(it);
}

void ShareAccess::forgetSession(const QString& session) { sessions_.remove(session); }

void ShareAccess::forgetAll() {
  sessions_.clear();
  throttle_.clear();
}
