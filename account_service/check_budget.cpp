#include "check_budget.h"

#include <QDateTime>

#include <algorithm>

namespace kelvor {

qint64 CheckBudget::now() const { return nowMs ? nowMs() : QDateTime::currentMSecsSinceEpoch(); }

double CheckBudget::leftNow(const Entry& entry) const {
  const qint64 elapsed = std::max<qint64>(0, now() - entry.atMs);
  return std::min<double>(burst_, entry.left + double(elapsed) * perSecond_ / 1000.0);
}

bool CheckBudget::available(const QString& key) const {
  const auto it = entries_.constFind(key);
  return it == entries_.constEnd() || leftNow(*it) >= 1.0;
}

void CheckBudget::take(const QString& key) {
  if (entries_.size() >= kMaxKeys && !entries_.contains(key)) {
    // Keys full again hold nothing back.
    for (auto it = entries_.begin(); it != entries_.end();) {
      if (leftNow(*it) >= burst_) it = entries_.erase(it);
      else ++it;
    }
  }
  const auto it = entries_.constFind(key);
  const double left = it == entries_.constEnd() ? burst_ : leftNow(*it);
  entries_.insert(key, Entry{left - 1.0, now()});
}

}  // namespace kelvor
