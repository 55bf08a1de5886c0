#include "relay_budget.h"

#include <algorithm>

namespace kelvor {

void RelayBudget::add(AccountLoad& load, qint64 delta) {
  if (delta == 0) return;
  const qint64 before = load.held.fetch_add(delta);
  if (before == 0)
    ++busyAccounts_;
  else if (before + delta == 0)
    --busyAccounts_;
  total_ += delta;
}

qint64 RelayBudget::shareOf(const AccountLoad& load) const {
  const int busy = busyAccounts_.load() + (load.held.load() == 0 ? 1 : 0);
  return bytes_ / std::max(1, busy);
}

bool RelayBudget::arrive(AccountLoad& load, qint64 delta) {
  const qint64 now = load.arriving.fetch_add(delta) + delta;
  add(load, delta);
  if (delta <= 0) return true;
  return now <= std::max(minArriving_, shareOf(load) / 2);
}

}  // namespace kelvor
