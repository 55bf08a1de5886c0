// The walks of folders that peers asked to download take turns by account on
// two threads of their own: a walk runs in slices of about kSliceMs, and the
// next slice goes to the account whose walks have spent least processor time
// (an account that starts to wait begins at what the account served last had
// spent, so idle time earns no credit). An account's walks run one at a time,
// in the order they came, each to its end, so that its pulls do not split
// what its bounds let it hold (pull_holds.h) and all end refused. All walks together spend at most
// kSharePercent of one core, with a burst of kBurst, so that a lone walk on an
// idle host runs at once and whole, while a flood of them from any number of
// accounts costs the host its share and no more. Main thread only.
#pragma once

#include <QHash>
#include <QObject>
#include <QElapsedTimer>
#include <QString>
#include <QThreadPool>
#include <QTimer>

#include <atomic>
#include <chrono>
#include <deque>
#include <functional>
#include <memory>

namespace vantrel {

class WalkTurns {
 public:
  static constexpr int kThreads = 2;
  static constexpr std::chrono::milliseconds kSliceMs{5};
  static constexpr int kSharePercent = 25;
  static constexpr std::chrono::milliseconds kBurst{1000};

  // One slice of a walk, run on a worker for about `slice`: true when the
  // walk is complete.
  using Slice = std::function<bool(std::chrono::milliseconds slice)>;
  // After each slice, on the main thread: whether the walk goes on (when
  // not complete). Not called for a walk whose `stop` was set meanwhile.
  using After = std::function<bool(bool complete)>;

  explicit WalkTurns(QObject* context);
  ~WalkTurns();

  // Queues a walk in `account`'s turns; it is dropped unrun once `stop` is set.
  void queue(const QString& account, std::shared_ptr<std::atomic_bool> stop, Slice slice, After after);

  // Walks waiting or running, in all.
  int size() const;
  // Processor time the walks have spent, in all (microseconds).
  qint64 spentUs() const { return spentUs_; }

 private:
  struct Walk {
    QString account;
    std::shared_ptr<std::atomic_bool> stop;
    Slice slice;
    After after;
  };
  using WalkPtr = std::shared_ptr<Walk>;
  struct Account {
    qint64 spentUs = 0;
    std::deque<WalkPtr> ready;
    int running = 0;
  };
  void pump();
  void ran(const WalkPtr& walk, bool complete, qint64 cpuUs);
  // The share's credit, refilled for the time since the last refill.
  qint64 creditUs();

  QObject* context_;
  QThreadPool pool_;
  QHash<QString, Account> accounts_;
  int running_ = 0;
  qint64 lastServedUs_ = 0;  // what the account served last had spent
  qint64 spentUs_ = 0;
  qint64 creditUs_;
  QElapsedTimer refilled_;
  QTimer wake_;  // when the share has credit again
};

}  // namespace vantrel
