#include "host_side/host_turns.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QHash>
#include <QMetaObject>
#include <QStringList>
#include <QTimer>

#include <algorithm>
#include <atomic>
#include <deque>
#include <memory>

namespace hostside {

namespace {

// Idle accounts whose cost is still remembered, at most; the others start
// again from the cost of the turn served last.
constexpr int kRememberedAccounts = 1024;

struct Turns {
  QHash<QString, std::deque<HostWork>> byAccount;
  QStringList accounts;  // those with work waiting
  QHash<QString, int> perSession;
  QHash<QString, qint64> spent;  // microseconds of cost, on the scale of `now`
  QHash<QString, int> elsewhere;  // accounts whose work goes on off the main thread
  qint64 now = 0;                 // the cost of the account served last when its turn came
  qint64 budget = kHostBurst.count() * 1000;  // microseconds of cost peers may still spend now
  QElapsedTimer refilled;                     // since the budget was last topped up
  int waiting = 0;
  QString running;  // the account whose turn runs
  qint64 runningBytes = 0;
  QTimer* timer = nullptr;
};

Turns& turns() {
  static Turns state;
  return state;
}

qint64 costOf(qint64 micros, qint64 bytes) { return micros + bytes * kCostPerKiB.count() / 1024; }

void forget(Turns& t, const HostWork& work) {
  --t.waiting;
  if (--t.perSession[work.session] <= 0) t.perSession.remove(work.session);
}

// An account starting to wait begins no lower than the account served last:
// idle time earns no credit over those that waited.
void startWaiting(Turns& t, const QString& account) {
  qint64& spent = t.spent[account];
  spent = std::max(spent, t.now);
  if (t.spent.size() <= kRememberedAccounts) return;
  for (auto it = t.spent.begin(); it != t.spent.end();) {
    if (it.value() <= t.now && !t.byAccount.contains(it.key()) && !t.elsewhere.contains(it.key()))
      it = t.spent.erase(it);
    else
      ++it;
  }
}

// The waiting account that has spent least, whose work is not going on elsewhere.
int nextAccount(const Turns& t) {
  int best = -1;
  qint64 least = 0;
  for (int i = 0; i < t.accounts.size(); ++i) {
    if (t.elsewhere.contains(t.accounts[i])) continue;
    const qint64 spent = t.spent.value(t.accounts[i]);
    if (best < 0 || spent < least) best = i, least = spent;
  }
  return best;
}

void schedule(Turns& t, int afterMs = 0);

// Tops the budget up by the host's share of the time gone by; false, with the
// turns put off until there is some, while it is spent.
bool withinBudget(Turns& t) {
  if (!t.refilled.isValid()) t.refilled.start();
  const qint64 gone = t.refilled.nsecsElapsed() / 1000;
  t.refilled.restart();
  t.budget = std::min<qint64>(t.budget + gone * kHostSharePercent / 100, kHostBurst.count() * 1000);
  if (t.budget > 0) return true;
  schedule(t, int(1 + (-t.budget * 100 / kHostSharePercent) / 1000));
  return false;
}

// The account pays its whole cost; the host's budget owes at most a burst, so
// that one costly answer never holds everyone's turns for long.
void charge(Turns& t, const QString& account, qint64 cost) {
  t.spent[account] += cost;
  t.budget = std::max<qint64>(t.budget - cost, -kHostBurst.count() * 1000);
}

void runTurns() {
  Turns& t = turns();
  QElapsedTimer slice;
  slice.start();
  while (slice.elapsed() < kTurnSlice.count()) {
    const int next = nextAccount(t);
    if (next < 0) break;
    if (!withinBudget(t)) return;
    const QString account = t.accounts[next];
    std::deque<HostWork>& queue = t.byAccount[account];
    HostWork work = std::move(queue.front());
    queue.pop_front();
    if (queue.empty()) {
      t.byAccount.remove(account);
      t.accounts.removeAt(next);
    }
    forget(t, work);
    t.now = std::max(t.now, t.spent.value(account));
    t.running = account;
    t.runningBytes = 0;
    QElapsedTimer took;
    took.start();
    work.run();
    charge(t, account, costOf(took.nsecsElapsed() / 1000, t.runningBytes));
    t.running.clear();
  }
  if (nextAccount(t) >= 0) schedule(t);
}

void schedule(Turns& t, int afterMs) {
  if (!t.timer) {
    t.timer = new QTimer(QCoreApplication::instance());
    t.timer->setSingleShot(true);
    QObject::connect(t.timer, &QTimer::timeout, runTurns);
  }
  if (!t.timer->isActive()) t.timer->start(afterMs);
}

void doneElsewhere(const QString& account, qint64 cost) {
  Turns& t = turns();
  if (const auto it = t.elsewhere.find(account); it != t.elsewhere.end() && --*it <= 0) t.elsewhere.erase(it);
  charge(t, account, cost);
  if (!t.accounts.isEmpty()) schedule(t);
}

}  // namespace

bool queueHostWork(HostWork work) {
  Turns& t = turns();
  const auto queue = t.byAccount.constFind(work.account);
  const int ofAccount = queue == t.byAccount.constEnd() ? 0 : int(queue->size());
  if (t.perSession.value(work.session) >= kWaitingPerSession || ofAccount >= kWaitingPerAccount ||
      (t.waiting >= kWaitingInAll && ofAccount >= kWaitingReserved)) {
    if (work.refuse) work.refuse();
    return false;
  }
  if (ofAccount == 0) {
    t.accounts.append(work.account);
    startWaiting(t, work.account);
  }
  ++t.waiting;
  ++t.perSession[work.session];
  t.byAccount[work.account].push_back(std::move(work));
  schedule(t);
  return true;
}

void dropHostWork(const QString& session) {
  Turns& t = turns();
  if (!t.perSession.contains(session)) return;
  for (auto it = t.byAccount.begin(); it != t.byAccount.end();) {
    std::deque<HostWork>& queue = it.value();
    for (auto work = queue.begin(); work != queue.end();) {
      if (work->session != session) {
        ++work;
        continue;
      }
      forget(t, *work);
      work = queue.erase(work);
    }
    if (queue.empty()) {
      t.accounts.removeAll(it.key());
      it = t.byAccount.erase(it);
    } else {
      ++it;
    }
  }
}

int waitingHostWork() { return turns().waiting; }

namespace {

// The account's work elsewhere ends once: when told, or else when the last
// copy of the call goes (the work was dropped or failed), so that an account
// is never held for good.
class Elsewhere {
 public:
  explicit Elsewhere(QString account) : account_(std::move(account)) {}
  ~Elsewhere() { done(0); }
  void done(qint64 cost) {
    QObject* app = QCoreApplication::instance();
    if (done_.exchange(true) || !app) return;
    QMetaObject::invokeMethod(app, [account = account_, cost] { doneElsewhere(account, cost); }, Qt::QueuedConnection);
  }

 private:
  QString account_;
  std::atomic_bool done_ = false;
};

}  // namespace

ElsewhereDone continueElsewhere() {
  Turns& t = turns();
  if (t.running.isEmpty()) return [](std::chrono::microseconds, qint64) {};
  ++t.elsewhere[t.running];
  auto elsewhere = std::make_shared<Elsewhere>(t.running);
  return [elsewhere](std::chrono::microseconds spent, qint64 bytes) { elsewhere->done(costOf(spent.count(), bytes)); };
}

void countAnswerBytes(qint64 bytes) {
  Turns& t = turns();
  if (!t.running.isEmpty()) t.runningBytes += bytes;
}

}  // namespace hostside
