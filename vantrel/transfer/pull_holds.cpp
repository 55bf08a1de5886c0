#include "pull_holds.h"

#include <limits>

namespace vantrel {

struct PullHold::State {
  struct Account {
    qint64 held = 0;
    QList<PullHold*> holds;
  };
  QHash<QString, Account> accounts;
  qint64 total = 0;
  void add(PullHold& hold, qint64 entries);
};

void PullHold::State::add(PullHold& hold, qint64 entries) {
  hold.entries_ += entries;
  total += entries;
  accounts[hold.account_].held += entries;
}

PullHold::~PullHold() {
  const std::shared_ptr<State> state = state_.lock();
  if (!state) return;
  state->add(*this, -entries_);
  const auto it = state->accounts.find(account_);
  if (it == state->accounts.end()) return;
  it->holds.removeOne(this);
  if (it->holds.isEmpty()) state->accounts.erase(it);
}

PullHolds::PullHolds(Evict evict) : state_(std::make_shared<PullHold::State>()), evict_(std::move(evict)) {}

std::shared_ptr<PullHold> PullHolds::open(const QString& account) {
  std::shared_ptr<PullHold> hold(new PullHold(state_, account));
  state_->accounts[account].holds.append(hold.get());
  return hold;
}

bool PullHolds::take(PullHold& hold, qint64 entries) {
  if (entries <= 0) return true;
  for (;;) {
    const qint64 own = state_->accounts.value(hold.account_).held;
    if (own + entries > perAccount_) return false;
    if (state_->total + entries <= inAll_) {
      state_->add(hold, entries);
      return true;
    }
    // Full: room only for an account within its share, made by ending a
    // pull of the account most over its share.
    qint64 holding = own > 0 ? 0 : 1;
    QString most;
    qint64 mostHeld = 0;
    for (auto it = state_->accounts.cbegin(); it != state_->accounts.cend(); ++it) {
      if (it->held > 0) ++holding;
      if (it.key() != hold.account_ && it->held > mostHeld) most = it.key(), mostHeld = it->held;
    }
    const qint64 share = inAll_ / std::max<qint64>(1, holding);
    if (own + entries > share || mostHeld <= share) return false;
    // Of its pulls, the one that has come least far (the least of its
    // entries checked; one offered to its peer last), the largest of those.
    TaskPtr task;
    qint64 taskEntries = 0;
    const auto progress = [](const TransferTask& t) {
      return t.offeredAt >= 0 ? std::numeric_limits<qint64>::max() : qint64(t.entries.size());
    };
    for (const PullHold* h : std::as_const(state_->accounts[most].holds)) {
      const TaskPtr t = h->task_.lock();
      if (!t || h->entries_ == 0) continue;
      if (!task || progress(*t) < progress(*task) ||
          (progress(*t) == progress(*task) && h->entries_ > taskEntries))
        task = t, taskEntries = h->entries_;
    }
    const qint64 before = state_->total;
    // Ending it gives its hold back (and may change every account here).
    if (task) evict_(task);
    if (state_->total >= before) return false;
  }
}

void PullHolds::settle(PullHold& hold, qint64 entries) {
  if (entries < hold.entries_) state_->add(hold, entries - hold.entries_);
}

qint64 PullHolds::held() const { return state_->total; }
qint64 PullHolds::heldBy(const QString& account) const { return state_->accounts.value(account).held; }

}  // namespace vantrel
