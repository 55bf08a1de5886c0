#include "throttle.h"

#include <QDateTime>

#include <algorithm>

namespace kelvor {

qint64 Throttle::now() const { return nowMs ? nowMs() : QDateTime::currentMSecsSinceEpoch(); }

bool Throttle::allowed(const QString& key) const { return pauseLeftMs(key) == 0; }

qint64 Throttle::pauseLeftMs(const QString& key) const {
  const auto it = entries_.constFind(key);
  if (it == entries_.constEnd()) return 0;
  return std::max<qint64>(0, it->pausedUntil - now());
}

int Throttle::failuresNow(const Entry& entry) const {
  const qint64 t = now();
  return forgetAfterMs_ > 0 && entry.pausedUntil <= t && t - entry.lastMs > forgetAfterMs_ ? 0 : entry.failures;
}

bool Throttle::hasRoom(const QString& key) const {
  const auto it = entries_.constFind(key);
  if (it == entries_.constEnd()) return true;
  if (it->pausedUntil > now()) return false;
  return std::max(free_ - failuresNow(*it), 1) > it->running;
}

void Throttle::begin(const QString& key) {
  if (entries_.size() >= kMaxKeys && !entries_.contains(key)) prune();
  ++entries_[key].running;
}

void Throttle::end(const QString& key, bool wrong) {
  const auto it = entries_.find(key);
  if (it == entries_.end()) return;
  it->running = std::max(0, it->running - 1);
  if (wrong) countWrong(key);
  else succeeded(key);
}

void Throttle::countWrong(const QString& key) {
  if (entries_.size() >= kMaxKeys && !entries_.contains(key)) prune();
  Entry& entry = entries_[key];
  const qint64 t = now();
  entry.failures = failuresNow(entry);
  entry.lastMs = t;
  ++entry.failures;
  if (entry.failures < free_) return;
  // The last free wrong attempt pauses for the first pause, each further one doubles it.
  const int doublings = std::min(entry.failures - free_, 30);
  const qint64 pause = std::min(maxPauseMs_, firstPauseMs_ << doublings);
  entry.pausedUntil = t + pause;
}

void Throttle::succeeded(const QString& key) {
  const auto it = entries_.find(key);
  if (it == entries_.end()) return;
  if (it->running == 0) entries_.erase(it);
  else *it = Entry{0, 0, it->lastMs, it->running};
}

void Throttle::prune() {
  // Keys idle longer than the longest pause have nothing left to hold back
  // beyond their count; dropping them keeps the table bounded.
  const qint64 t = now();
  for (auto it = entries_.begin(); it != entries_.end();) {
    if (it->running == 0 && it->pausedUntil <= t && t - it->lastMs > maxPauseMs_)
      it = entries_.erase(it);
    else
      ++it;
  }
  // Still full under a flood of fresh keys: forget the oldest half.
  if (entries_.size() >= kMaxKeys) {
    QList<qint64> times;
    for (const auto& e : std::as_const(entries_)) times.append(e.lastMs);
    std::nth_element(times.begin(), times.begin() + times.size() / 2, times.end());
    const qint64 cut = times[times.size() / 2];
    for (auto it = entries_.begin(); it != entries_.end();) {
      if (it->running == 0 && it->lastMs <= cut && it->pausedUntil <= t)
        it = entries_.erase(it);
      else
        ++it;
    }
  }
}

}  // namespace kelvor
