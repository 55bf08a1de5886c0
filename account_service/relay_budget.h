// What the relay's messages hold of its memory budget, in all and by account.
// Bytes waiting for a receiver count against the receiver's account (and its
// session, session_queue.h); bytes of a message still arriving against the
// sender's. The budget is shared by the accounts that hold something: each may
// hold its share (the budget divided among them) whatever the others do. An
// account over its share gets only what the others leave free, has credit held
// back, and is the one whose sessions end when room must be made.
// Every counter is atomic: the connection loops charge and give back without a lock.
#pragma once

#include <QtGlobal>

#include <atomic>
#include <memory>

namespace kelvor {

struct AccountLoad {
  std::atomic<qint64> held{0};        // waiting for its clients, and its clients' messages still arriving
  std::atomic<qint64> arriving{0};    // of that, messages still arriving
  std::atomic<int> busySessions{0};   // its sessions with something waiting for it
};
using LoadPtr = std::shared_ptr<AccountLoad>;

class RelayBudget {
 public:
  // `minArriving`: what an account's messages still arriving may always hold.
  RelayBudget(qint64 bytes, qint64 minArriving) : bytes_(bytes), minArriving_(minArriving) {}

  qint64 bytes() const { return bytes_; }
  qint64 total() const { return total_.load(); }
  // `delta` bytes more (or fewer, when negative) held for `load`'s account.
  void add(AccountLoad& load, qint64 delta);
  // The budget divided among the accounts holding something, `load`'s included.
  qint64 shareOf(const AccountLoad& load) const;
  bool overShare(const AccountLoad& load) const { return load.held.load() > shareOf(load); }
  // `delta` more (or fewer) bytes of messages still arriving from `load`'s
  // clients. False when they hold more than they may, half the account's
  // share (but at least `minArriving`): the caller closes the connection.
  bool arrive(AccountLoad& load, qint64 delta);

 private:
  const qint64 bytes_;
  const qint64 minArriving_;
  std::atomic<qint64> total_{0};
  std::atomic<int> busyAccounts_{0};
};

}  // namespace kelvor
