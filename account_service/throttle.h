// Limits guessing: wrong attempts are counted per key (an account, a source
// address); after kFreeFailures wrong ones in a row the key is refused for a
// pause that doubles with every further wrong attempt, up to maxPauseMs. A
// right attempt during the pause is refused too; one that is let through
// clears the key. A caller may count an attempt as wrong from its start until
// it is known right, so that attempts running at the same time cannot pass
// the limit.
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

  // The clock, replaceable by tests.
  std::function<qint64()> nowMs;

 private:
  struct Entry {
    int failures = 0;
    qint64 pausedUntil = 0;
    qint64 lastMs = 0;
  };
  qint64 now() const;
  void prune();

  qint64 firstPauseMs_;
  qint64 maxPauseMs_;
  qint64 forgetAfterMs_;
  int free_;
  QHash<QString, Entry> entries_;
};

}  // namespace kelvor
