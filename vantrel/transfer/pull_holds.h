// What peers' downloads hold before their peer takes the offer: the paths
// asked for, the entries walked and checked, the manifest's entries waiting
// for "accept". Counted in entries (however they are sent), bounded per
// account and in all. An account within its share of the whole (the bound
// divided among the accounts holding some) always gets room: pulls of accounts
// over their share that are not accepted yet end ("busy") to make it: of the
// account holding most, the pull that has come least far. A pull beyond the
// bounds is refused "busy".
// A hold gives its entries back when it goes: at "accept", or when its pull
// ends, however it ends. Main thread only.
#pragma once

#include "transfer_task.h"

#include <QHash>
#include <QList>
#include <QString>

#include <functional>
#include <memory>

namespace vantrel {

class PullHolds;

// What one pull holds; given back when it goes.
class PullHold {
 public:
  ~PullHold();
  PullHold(const PullHold&) = delete;
  PullHold& operator=(const PullHold&) = delete;
  qint64 entries() const { return entries_; }

 private:
  friend class PullHolds;
  struct State;
  PullHold(std::weak_ptr<State> state, QString account) : state_(std::move(state)), account_(std::move(account)) {}
  std::weak_ptr<State> state_;
  QString account_;
  std::weak_ptr<TransferTask> task_;
  qint64 entries_ = 0;
};

class PullHolds {
 public:
  static constexpr qint64 kPerAccount = 100000;
  static constexpr qint64 kInAll = 400000;

  // Ends a pull to make room for another account's: its task, refused "busy".
  using Evict = std::function<void(const TaskPtr& task)>;
  explicit PullHolds(Evict evict);

  // A hold of nothing yet for a pull of `account`, and the pull's task once
  // there is one (a hold without it is never ended for another's room).
  std::shared_ptr<PullHold> open(const QString& account);
  void attach(PullHold& hold, const TaskPtr& task) { hold.task_ = task; }
  // Takes `entries` more for the hold; false when there is no room for them
  // (what it holds stays until it goes).
  bool take(PullHold& hold, qint64 entries);
  // What the hold keeps from now on, when fewer.
  void settle(PullHold& hold, qint64 entries);

  qint64 held() const;
  qint64 heldBy(const QString& account) const;
  // Other bounds than kPerAccount and kInAll (tests).
  void setBounds(qint64 perAccount, qint64 inAll) { perAccount_ = perAccount, inAll_ = inAll; }

 private:
  std::shared_ptr<PullHold::State> state_;
  Evict evict_;
  qint64 perAccount_ = kPerAccount;
  qint64 inAll_ = kInAll;
};

}  // namespace vantrel
