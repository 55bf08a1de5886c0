#include "bridge/link_attempts.h"

#include "core/log.h"

#include <QCoreApplication>
#include <QTimer>

#include <deque>
#include <optional>

namespace linkattempts {
namespace {

struct Waiting {
  LinkAttempt attempt;
  std::function<void()> send;
};

// At most one waiting attempt per owner.
std::deque<Waiting> queue;
std::optional<LinkAttempt> underWay;
quint64 lastId = 0;
// The attempt each owner waits for (0: none), by owner value.
quint64 wanted[4] = {};

quint64& wantedBy(LinkOwner owner) { return wanted[quint8(owner) & 3]; }

void dropQueued(LinkOwner owner) {
  std::erase_if(queue, [owner](const Waiting& w) { return w.attempt.owner == owner; });
}

// Runs while an attempt is under way.
QTimer* answerTimer() {
  static QTimer* timer = [] {
    auto* t = new QTimer(QCoreApplication::instance());
    t->setSingleShot(true);
    t->setInterval(kAnswerTimeoutMs);
    QObject::connect(t, &QTimer::timeout, [] {
      zlog::line(QStringLiteral("Peer link attempt unanswered, the next one goes ahead"));
      answered();
    });
    return t;
  }();
  return timer;
}

void stopTimer() {
  if (QCoreApplication::instance()) answerTimer()->stop();
}

void start(const LinkAttempt& attempt, const std::function<void()>& send) {
  underWay = attempt;
  if (QCoreApplication::instance()) answerTimer()->start();
  if (send) send();
}

void startNext() {
  while (!underWay && !queue.empty()) {
    Waiting next = std::move(queue.front());
    queue.pop_front();
    if (wantedBy(next.attempt.owner) == next.attempt.id) start(next.attempt, next.send);
  }
}

}  // namespace

void open(LinkOwner owner, std::function<void()> send) {
  if (owner == LinkOwner::none) return;
  const LinkAttempt attempt{++lastId, owner};
  wantedBy(owner) = attempt.id;
  dropQueued(owner);
  if (underWay) {
    queue.push_back({attempt, std::move(send)});
    return;
  }
  start(attempt, send);
}

void withdraw(LinkOwner owner) {
  wantedBy(owner) = 0;
  dropQueued(owner);
}

LinkAttempt answered() {
  const LinkAttempt attempt = underWay.value_or(LinkAttempt{});
  underWay.reset();
  stopTimer();
  startNext();
  return attempt;
}

bool take(const LinkAttempt& attempt) {
  if (attempt.id == 0 || wantedBy(attempt.owner) != attempt.id) return false;
  wantedBy(attempt.owner) = 0;
  return true;
}

bool waiting(LinkOwner owner) { return wantedBy(owner) != 0; }

void reset() {
  queue.clear();
  underWay.reset();
  stopTimer();
  for (quint64& id : wanted) id = 0;
}

}  // namespace linkattempts
