// Which shares each peer session may reach, and the brake on guessed access
// codes. A share without an access code is open to every session; one with a
// code only to the sessions that proved it ("ClientInit", "getShareInfo" or
// "checkAccessCode"). What a session proved is forgotten when it closes, or
// after it stayed silent for kIdleMs. Main thread only.
#pragma once

#include <QHash>
#include <QString>
#include <functional>

// Wrong codes in a row from one key (a peer account or a session): after
// kFreeAttempts of them every attempt is refused for a pause, which doubles
// with each further wrong code up to kMaxPauseMs. A right code resets the key.
class CodeThrottle {
 public:
  static constexpr int kFreeAttempts = 5;
  static constexpr qint64 kFirstPauseMs = 1000;
  static constexpr qint64 kMaxPauseMs = 5 * 60 * 1000;
  static constexpr int kMaxKeys = 4096;

  // False while `key` is paused.
  bool allows(const QString& key, qint64 nowMs) const;
  void recordWrong(const QString& key, qint64 nowMs);
  void recordRight(const QString& key);
  void clear() { keys_.clear(); }

 private:
  struct State {
    int wrongInARow = 0;
    qint64 pausedUntil = 0;
    qint64 nextPause = kFirstPauseMs;
  };
  void prune(qint64 nowMs);
  QHash<QString, State> keys_;
};

class ShareAccess {
 public:
  // Milliseconds on a clock that never goes back; tests set their own.
  using Clock = std::function<qint64()>;
  // Long: the browser sends nothing while its user reads a page, and the
  // bridge reports closed sessions anyway.
  static constexpr qint64 kIdleMs = qint64(6) * 60 * 60 * 1000;
  static constexpr int kMaxSessions = 4096;

  static ShareAccess& shared();

  void setClock(Clock clock);
  qint64 now() const;

  // One code attempt of `session` (whose peer account is `peer`) for the
  // share `tag` ("" and "index.php" name the default share). True when the
  // code is right and neither the peer nor the session is paused; the share
  // is then unlocked for the session.
  bool tryCode(const QString& session, const QString& peer, const QString& tag, const QString& code);

  // Whether `session` may reach the share stored as `tag` with `password`.
  bool mayReach(const QString& session, const QString& tag, const QString& password) const;

  // Whether `session` may reach the share that `tag` names ("" and
  // "index.php" the default share); false when there is none.
  bool mayReachTag(const QString& session, const QString& tag) const;
  // Whether `session` proved the access code that one of the shares has now.
  bool provedAnyCode(const QString& session) const;

  // A request of `session` arrived: it stays alive.
  void touch(const QString& session);
  void forgetSession(const QString& session);
  void forgetAll();

 private:
  struct Session {
    QHash<QString, QString> proven;  // stored tag -> the stored code it proved
    qint64 lastSeen = 0;
  };
  void dropIdle();

  Clock clock_;
  QHash<QString, Session> sessions_;
  CodeThrottle throttle_;
};
