#include "host_side/host_turns.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QHash>
#include <QStringList>
#include <QTimer>

#include <deque>

namespace hostside {

namespace {

struct Turns {
  QHash<QString, std::deque<HostWork>> byAccount;
  QStringList accounts;  // those with work waiting, in the order of their next turn
  QHash<QString, int> perSession;
  int waiting = 0;
  QTimer* timer = nullptr;
};

Turns& turns() {
  static Turns state;
  return state;
}

void forget(Turns& t, const HostWork& work) {
  --t.waiting;
  if (--t.perSession[work.session] <= 0) t.perSession.remove(work.session);
}

void runTurns() {
  Turns& t = turns();
  QElapsedTimer slice;
  slice.start();
  while (!t.accounts.isEmpty() && slice.elapsed() < kTurnSlice.count()) {
    const QString account = t.accounts.takeFirst();
    std::deque<HostWork>& queue = t.byAccount[account];
    HostWork work = std::move(queue.front());
    queue.pop_front();
    if (queue.empty())
      t.byAccount.remove(account);
    else
      t.accounts.append(account);
    forget(t, work);
    work.run();
  }
  if (!t.accounts.isEmpty() && t.timer) t.timer->start();
}

void schedule(Turns& t) {
  if (!t.timer) {
    t.timer = new QTimer(QCoreApplication::instance());
    t.timer->setSingleShot(true);
    t.timer->setInterval(0);
    QObject::connect(t.timer, &QTimer::timeout, runTurns);
  }
  if (!t.timer->isActive()) t.timer->start();
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
  if (ofAccount == 0) t.accounts.append(work.account);
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

}  // namespace hostside
