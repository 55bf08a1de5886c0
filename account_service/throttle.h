// Limits guessing: wrong attempts are counted per key (an account, a source
// address); after kFreeFailures wrong ones in a row the key is refused for a
// pause that doubles with every further wrong attempt, up to maxPauseMs. A
// right attempt during the pause is refused too; one that is let through
// clears the key. Attempts under way hold a place each (begin/end): while
// the places left under a key are taken, further attempts wait for one instead
// of counting as wrong, so that attempts running at the same time are checked
// no faster than one after the other.
#pragma once

#include <QHash>
#include <QString>

#include <functional>

namespace kelvor {

class Throttle {
 public:
  static constexpr int kFreeFailures = 5;
  static constexpr int kMaxKeys = 100000;

  // `forgetAfterMs` > 0: a key without wrong attempts for that long starts afresh.
  explicit Throttle(qint64 firstPauseMs = 2000, qint64 maxPauseMs = 5 * 60 * 1000, qint64 forgetAfterMs = 0,
                    int freeFailures = kFreeFailures)
      : firstPauseMs_(firstPauseMs), maxPauseMs_(maxPauseMs), forgetAfterMs_(forgetAfterMs), free_(freeFailures) {}

  // False while the key is paused.
  bool allowed(const QString& key) const;
  // A wrong attempt under the key (or one that counts as wrong until succeeded()).
  void countWrong(const QString& key);
  // The attempt was right: the key starts afresh.
  void succeeded(const QString& key);
  // Milliseconds until the key may try again (0 when it may now).
  qint64 pauseLeftMs(const QString& key) const;

  // Whether one more attempt may be under way now: the wrong ones the key has
  // left before its pause (one after a pause ended) outnumber those under way.
  bool hasRoom(const QString& key) const;
  // An attempt under the key starts; it ends, wrong or right, with end().
  void begin(const QString& key);
  void end(const QString& key, bool wrong);

  // The clock, replaceable by tests.
  std::function<qint64()> nowMs;

 private:
  struct Entry {
    int failures = 0;
    qint64 pausedUntil = 0;
    qint64 lastMs = 0;
    int running = 0;
  };
  qint64 now() const;
  // Wrong attempts that count now (none once forgotten).
  int failuresNow(const Entry& entry) const;
  void prune();

  qint64 firstPauseMs_;
  qint64 maxPauseMs_;
  qint64 forgetAfterMs_;
  int free_;
  QHash<QString, Entry> entries_;
};

}  // namespace kelvor
