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
constexpr qint64 kBurstMicros = kHostBurst.count() * 1000;

// One kind of work (transfer checks, or peers' requests): its queues by
// account, what each account spent, and its budget of the host's time.
struct Lane {
  explicit Lane(int percent) : sharePercent(percent) {}
  const int sharePercent;
  QHash<QString, std::deque<HostWork>> byAccount;
  QStringList accounts;  // those with work waiting
  QHash<QString, int> perSession;
  QHash<QString, qint64> spent;   // microseconds of cost, on the scale of `now`
  QHash<QString, int> elsewhere;  // accounts whose work goes on off the main thread
  qint64 now = 0;                 // the cost of the account served last when its turn came
  qint64 budget = kBurstMicros;   // microseconds of cost the lane may still spend now
  QElapsedTimer refilled;         // since the budget was last topped up
  // Held of the budget by work going on elsewhere or outside the turns, what
  // it is expected to cost until it is done: several accounts' large answers
  // made at once never spend more than the budget had.
  qint64 reserved = 0;
  qint64 expectedElsewhere = 20000;  // what work elsewhere has cost lately
  int waiting = 0;
};

struct Turns {
  Lane checks{kCheckSharePercent};
  Lane requests{kHostSharePercent};
  QHash<QString, int> outside;  // accounts with work outside the turns (thumbnails)
  int hostTransfers = 0;
  QString running;  // the account whose turn runs
  Lane* runningLane = nullptr;
  bool runningWaived = false;
  qint64 runningBytes = 0;
  QTimer* timer = nullptr;
};

Turns& turns() {
  static Turns state;
  return state;
}

qint64 costOf(qint64 micros, qint64 bytes) { return micros + bytes * kCostPerKiB.count() / 1024; }

void forget(Lane& lane, const HostWork& work) {
  --lane.waiting;
  if (--lane.perSession[work.session] <= 0) lane.perSession.remove(work.session);
}

// An account starting to wait begins no lower than the account served last:
// idle time earns no credit over those that waited.
void startWaiting(const Turns& t, Lane& lane, const QString& account) {
  qint64& spent = lane.spent[account];
  spent = std::max(spent, lane.now);
  if (lane.spent.size() <= kRememberedAccounts) return;
  for (auto it = lane.spent.begin(); it != lane.spent.end();) {
    if (it.value() <= lane.now && !lane.byAccount.contains(it.key()) && !lane.elsewhere.contains(it.key()) &&
        !t.outside.contains(it.key()))
      it = lane.spent.erase(it);
    else
      ++it;
  }
}

// The waiting account that has spent least, whose work is not going on elsewhere.
int nextAccount(const Lane& lane) {
  int best = -1;
  qint64 least = 0;
  for (int i = 0; i < lane.accounts.size(); ++i) {
    if (lane.elsewhere.contains(lane.accounts[i])) continue;
    const qint64 spent = lane.spent.value(lane.accounts[i]);
    if (best < 0 || spent < least) best = i, least = spent;
  }
  return best;
}

// Whether `account` is the only one that wants the host's time: nobody else
// has work waiting, going on elsewhere or outside the turns, and (for peers'
// requests) the host's bridge runs no transfer. Its share then holds it back
// for nobody.
bool alone(const Turns& t, const Lane& lane, const QString& account) {
  if (&lane == &t.requests && t.hostTransfers > 0) return false;
  auto other = [&account](const QString& key) { return key != account; };
  auto othersIn = [&other](const QHash<QString, int>& held) {
    return std::any_of(held.keyBegin(), held.keyEnd(), other);
  };
  for (const Lane* l : {&t.checks, &t.requests})
    if (std::any_of(l->accounts.begin(), l->accounts.end(), other) || othersIn(l->elsewhere)) return false;
  return !othersIn(t.outside);
}

// Tops the lane's budget up by its share of the time gone by.
void refill(Lane& lane) {
  if (!lane.refilled.isValid()) lane.refilled.start();
  const qint64 gone = lane.refilled.nsecsElapsed() / 1000;
  lane.refilled.restart();
  lane.budget = std::min<qint64>(lane.budget + gone * lane.sharePercent / 100, kBurstMicros);
}

// Whether `account`'s work in `lane` may run now: within the lane's budget,
// or past it (`waived`) while nobody else wants the time.
bool mayRun(const Turns& t, Lane& lane, const QString& account, bool* waived) {
  refill(lane);
  *waived = false;
  if (lane.budget - lane.reserved > 0) return true;
  *waived = alone(t, lane, account);
  return *waived;
}

// Milliseconds until the lane's budget covers what is held of it.
int waitFor(const Lane& lane) {
  const qint64 missing = lane.reserved - lane.budget + 1;
  return int(1 + std::max<qint64>(0, missing) * 100 / lane.sharePercent / 1000);
}

// The account pays its whole cost; the lane's budget (unless waived) owes at
// most a burst, so that one costly answer never holds everyone's turns for long.
void charge(Lane& lane, const QString& account, qint64 cost, bool waived) {
  lane.spent[account] += cost;
  if (!waived) lane.budget = std::max<qint64>(lane.budget - cost, -kBurstMicros);
}

void runTurns();

void schedule(Turns& t, int afterMs) {
  if (!t.timer) {
    t.timer = new QTimer(QCoreApplication::instance());
    t.timer->setSingleShot(true);
    QObject::connect(t.timer, &QTimer::timeout, runTurns);
  }
  if (!t.timer->isActive() || t.timer->remainingTime() > afterMs) t.timer->start(afterMs);
}

// The turns run again as soon as some lane's next account may run.
void wake(Turns& t) {
  int delay = -1;
  for (Lane* lane : {&t.checks, &t.requests}) {
    const int next = nextAccount(*lane);
    if (next < 0) continue;
    bool waived = false;
    const int ms = mayRun(t, *lane, lane->accounts[next], &waived) ? 0 : waitFor(*lane);
    delay = delay < 0 ? ms : std::min(delay, ms);
  }
  if (delay >= 0) schedule(t, delay);
}

// Checks first, then peers' requests, each lane's account that has spent
// least, while its lane may run.
void runTurns() {
  Turns& t = turns();
  QElapsedTimer slice;
  slice.start();
  while (slice.elapsed() < kTurnSlice.count()) {
    Lane* lane = nullptr;
    int next = -1;
    bool waived = false;
    for (Lane* l : {&t.checks, &t.requests}) {
      next = nextAccount(*l);
      if (next >= 0 && mayRun(t, *l, l->accounts[next], &waived)) {
        lane = l;
        break;
      }
    }
    if (!lane) break;
    const QString account = lane->accounts[next];
    std::deque<HostWork>& queue = lane->byAccount[account];
    HostWork work = std::move(queue.front());
    queue.pop_front();
    if (queue.empty()) {
      lane->byAccount.remove(account);
      lane->accounts.removeAt(next);
    }
    forget(*lane, work);
    lane->now = std::max(lane->now, lane->spent.value(account));
    t.running = account;
    t.runningLane = lane;
    t.runningWaived = waived;
    t.runningBytes = 0;
    QElapsedTimer took;
    took.start();
    work.run();
    charge(*lane, account, costOf(took.nsecsElapsed() / 1000, t.runningBytes), waived);
    t.running.clear();
    t.runningLane = nullptr;
  }
  wake(t);
}

void doneElsewhere(Lane* lane, const QString& account, qint64 cost, qint64 reserved, bool waived) {
  Turns& t = turns();
  if (const auto it = lane->elsewhere.find(account); it != lane->elsewhere.end() && --*it <= 0)
    lane->elsewhere.erase(it);
  lane->reserved = std::max<qint64>(0, lane->reserved - reserved);
  if (cost > 0) lane->expectedElsewhere = (lane->expectedElsewhere * 3 + cost) / 4;
  charge(*lane, account, cost, waived);
  wake(t);
}

}  // namespace

bool queueHostWork(HostWork work) {
  Turns& t = turns();
  Lane& lane = work.transferCheck ? t.checks : t.requests;
  const auto queue = lane.byAccount.constFind(work.account);
  const int ofAccount = queue == lane.byAccount.constEnd() ? 0 : int(queue->size());
  if (lane.perSession.value(work.session) >= kWaitingPerSession || ofAccount >= kWaitingPerAccount ||
      (lane.waiting >= kWaitingInAll && ofAccount >= kWaitingReserved)) {
    if (work.refuse) work.refuse();
    return false;
  }
  if (ofAccount == 0) {
    lane.accounts.append(work.account);
    startWaiting(t, lane, work.account);
  }
  ++lane.waiting;
  ++lane.perSession[work.session];
  lane.byAccount[work.account].push_back(std::move(work));
  wake(t);
  return true;
}

void dropHostWork(const QString& session) {
  Turns& t = turns();
  for (Lane* lane : {&t.checks, &t.requests}) {
    if (!lane->perSession.contains(session)) continue;
    for (auto it = lane->byAccount.begin(); it != lane->byAccount.end();) {
      std::deque<HostWork>& queue = it.value();
      for (auto work = queue.begin(); work != queue.end();) {
        if (work->session != session) {
          ++work;
          continue;
        }
        forget(*lane, *work);
        work = queue.erase(work);
      }
      if (queue.empty()) {
        lane->accounts.removeAll(it.key());
        it = lane->byAccount.erase(it);
      } else {
        ++it;
      }
    }
  }
}

int waitingHostWork() { return turns().checks.waiting + turns().requests.waiting; }

void setHostTransfers(int running) {
  Turns& t = turns();
  const bool ended = t.hostTransfers > 0 && running <= 0;
  t.hostTransfers = std::max(0, running);
  if (ended) wake(t);
}

namespace {

// The account's work elsewhere ends once: when told, or else when the last
// copy of the call goes (the work was dropped or failed), so that an account
// is never held for good.
class Elsewhere {
 public:
  Elsewhere(Lane* lane, QString account, qint64 reserved, bool waived)
      : lane_(lane), account_(std::move(account)), reserved_(reserved), waived_(waived) {}
  ~Elsewhere() { done(0); }
  void done(qint64 cost) {
    QObject* app = QCoreApplication::instance();
    if (done_.exchange(true) || !app) return;
    QMetaObject::invokeMethod(
        app,
        [lane = lane_, account = account_, cost, reserved = reserved_, waived = waived_] {
          doneElsewhere(lane, account, cost, reserved, waived);
        },
        Qt::QueuedConnection);
  }

 private:
  Lane* lane_;  // one of the two lanes, which live as long as the process
  QString account_;
  qint64 reserved_;
  bool waived_;
  std::atomic_bool done_ = false;
};

}  // namespace

ElsewhereDone continueElsewhere() {
  Turns& t = turns();
  if (t.running.isEmpty() || !t.runningLane) return [](std::chrono::microseconds, qint64) {};
  Lane& lane = *t.runningLane;
  ++lane.elsewhere[t.running];
  const qint64 reserved = t.runningWaived ? 0 : lane.expectedElsewhere;
  lane.reserved += reserved;
  auto elsewhere = std::make_shared<Elsewhere>(&lane, t.running, reserved, t.runningWaived);
  return [elsewhere](std::chrono::microseconds spent, qint64 bytes) { elsewhere->done(costOf(spent.count(), bytes)); };
}

void countAnswerBytes(qint64 bytes) {
  Turns& t = turns();
  if (!t.running.isEmpty()) t.runningBytes += bytes;
}

void holdOutsideWork(const QString& account) {
  Turns& t = turns();
  if (t.outside[account]++ == 0) startWaiting(t, t.requests, account);
}

void releaseOutsideWork(const QString& account) {
  Turns& t = turns();
  const auto it = t.outside.find(account);
  if (it == t.outside.end() || --*it > 0) return;
  t.outside.erase(it);
  wake(t);  // another account may be alone now
}

qint64 spentBy(const QString& account) { return turns().requests.spent.value(account); }

bool startOutsideWork(const QString& account, std::chrono::microseconds estimate, OutsideWork* work,
                      std::chrono::milliseconds* wait) {
  Turns& t = turns();
  Lane& lane = t.requests;
  bool waived = false;
  if (!mayRun(t, lane, account, &waived)) {
    *wait = std::chrono::milliseconds(waitFor(lane));
    return false;
  }
  // Charged at once, so that the next piece goes to whoever has spent least
  // counting what runs; set right when it ends.
  work->account = account;
  work->waived = waived;
  work->expected = std::max<qint64>(0, estimate.count());
  work->reserved = waived ? 0 : work->expected;
  lane.spent[account] += work->expected;
  lane.reserved += work->reserved;
  return true;
}

void finishOutsideWork(const OutsideWork& work, std::chrono::microseconds spent, qint64 answerBytes) {
  Turns& t = turns();
  Lane& lane = t.requests;
  const qint64 cost = costOf(spent.count(), answerBytes);
  lane.reserved = std::max<qint64>(0, lane.reserved - work.reserved);
  lane.spent[work.account] += cost - work.expected;
  if (!work.waived) lane.budget = std::max<qint64>(lane.budget - cost, -kBurstMicros);
  wake(t);
}

void countLateAnswerBytes(const QString& account, qint64 bytes) {
  Turns& t = turns();
  if (!t.running.isEmpty()) return;
  charge(t.requests, account, costOf(0, bytes), alone(t, t.requests, account));
}

}  // namespace hostside
