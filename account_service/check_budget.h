// What password checks a key (an account at an address) may cost, right or
// wrong: a burst of `burst` checks, then `perSecond`. Right passwords are a
// cost like wrong ones: a flood of them from one address is checked at this
// rate while others' checks take the pool. Keys that are full again are
// forgotten. Used on one thread.
#pragma once

#include <QHash>
#include <QString>

#include <functional>

namespace kelvor {

class CheckBudget {
 public:
  static constexpr int kMaxKeys = 100000;

  CheckBudget(int burst, int perSecond) : burst_(burst), perSecond_(perSecond) {}

  // Whether the key may have one more check now.
  bool available(const QString& key) const;
  // One check under the key.
  void take(const QString& key);

  // The clock (milliseconds), replaceable by tests.
  std::function<qint64()> nowMs;

 private:
  struct Entry {
    double left = 0;
    qint64 atMs = 0;
  };
  qint64 now() const;
  double leftNow(const Entry& entry) const;

  int burst_;
  int perSecond_;
  QHash<QString, Entry> entries_;
};

}  // namespace kelvor
