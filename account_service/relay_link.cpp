#include "relay_link.h"

#include <QMetaObject>
#include <QThread>

namespace kelvor {

void RelayFlow::sendText(const LinkPtr& to, const QString& text) {
  OutMessage message;
  message.text = text;
  message.size = text.size() * 2 + kControlMessageCost;
  enqueue(to, std::move(message));
}

bool RelayFlow::admit(const FlowPtr& flow, int side, qint64 bytes) {
  if (flow->ended.load()) return false;
  flow->touch();
  const qint64 waiting = flow->queued[side].load();
  // One message always fits an empty queue.
  if (waiting > 0 && waiting + bytes > kSessionWindow) return false;
  const AccountLoad& load = *flow->load[side];
  const RelayBudget& budget = *budget_;
  const qint64 total = budget.total();
  const qint64 share = budget.shareOf(load);
  if (load.held.load() + bytes <= share) {
    // Within its share, whatever the others hold: past the budget they make room.
    if (total + bytes > budget.bytes() && needRoom && !roomAsked_.exchange(true)) needRoom();
    return true;
  }
  if (total + bytes > budget.bytes()) return false;
  if (waiting == 0 || total <= budget.bytes() / 2) return true;
  return waiting + bytes <= std::max(kMinShare, share / std::max(1, load.busySessions.load()));
}

// While more than half the budget is taken, credit for what left for an
// account over its share waits until nothing more waits in that session.
bool RelayFlow::holdsCredit(const SessionFlow& flow, int side) const {
  const RelayBudget& budget = *budget_;
  return flow.queued[side].load() > 0 && budget.total() > budget.bytes() / 2 && budget.overShare(*flow.load[side]);
}

std::function<bool(qint64)> RelayFlow::arrivalsOf(const LoadPtr& load) const {
  return [budget = budget_, load](qint64 delta) { return budget->arrive(*load, delta); };
}

// A session's message of `size` bytes, counted as waiting from now until it leaves.
OutMessage RelayFlow::sessionMessage(const LinkPtr& from, const QByteArray& session, const FlowPtr& flow, int side,
                                     qint64 size) {
  OutMessage message;
  message.session = session;
  message.size = size;
  message.flow = flow;
  message.side = side;
  message.from = from;
  message.ticket = std::make_shared<FlowTicket>(flow, side, size, *budget_);
  const qint64 now = budget_->total();
  qint64 peak = peak_.load();
  while (now > peak && !peak_.compare_exchange_weak(peak, now)) {
  }
  return message;
}

bool RelayFlow::forwardText(const LinkPtr& from, const LinkPtr& to, const QByteArray& session, const FlowPtr& flow,
                            int side, const QString& text) {
  const qint64 bytes = text.size() * 2;
  if (!admit(flow, side, bytes)) return false;
  OutMessage message = sessionMessage(from, session, flow, side, bytes);
  message.text = text;
  enqueue(to, std::move(message));
  return true;
}

RelayFlow::Forward RelayFlow::forwardBinary(const LinkPtr& from, const LinkPtr& to, const QByteArray& session,
                                            const FlowPtr& flow, int side, const QByteArray& bytes) {
  // Bridges that count credit stay within one credit window; those that do
  // not (older ones) within their own acknowledgement window, about as much.
  // Frames dropped with an ended session count too: their credit never comes.
  const qint64 pending = flow->uncreditedSent[side] += bytes.size();
  if (pending > kCreditWindow + kCreditSlack) return Forward::BeyondCredit;
  if (!admit(flow, side, bytes.size())) return Forward::SessionFull;
  OutMessage message = sessionMessage(from, session, flow, side, bytes.size());
  message.binary = true;
  message.bytes = bytes;  // shared, not copied
  enqueue(to, std::move(message));
  return Forward::Sent;
}

void RelayFlow::closeAfterQueued(const LinkPtr& link, std::function<void(RelayConnection*)> close) {
  post(link, [this, link, close = std::move(close)](RelayConnection* socket) {
    if (link->closing) return;
    pump(link);
    link->closing = true;
    close(socket);
  });
}

// Runs on `link`'s thread, the only one that may move its socket. What was
// posted to the socket and not yet run moves along, in order; a notifier
// that was on is turned on again on the new thread.
void RelayFlow::colocate(const LinkPtr& link, const LinkPtr& with) {
  post(link, [this, link, with](RelayConnection* socket) {
    QThread* target = nullptr;
    {
      std::lock_guard lock(with->socketMutex);
      if (!with->socket || with->gone.load()) return;
      target = with->socket->thread();
    }
    // Under the lock the closing sweep of the loops takes too: a move comes
    // before the sweep looks at this link, or not at all.
    std::lock_guard lock(link->socketMutex);
    if (stopMoving_.load() || link->closing || target == socket->thread()) return;
    socket->moveToThread(target);
  });
}

void RelayFlow::enqueue(const LinkPtr& to, OutMessage message) {
  auto held = std::make_shared<OutMessage>(std::move(message));
  post(to, [this, to, held](RelayConnection*) {
    to->out.push(std::move(*held));
    pump(to);
  });
}

void RelayFlow::post(const LinkPtr& to, std::function<void(RelayConnection*)> work) {
  auto run = [to, work = std::move(work)] {
    RelayConnection* socket = to->socket;  // on the link thread now
    if (socket && !to->gone.load()) work(socket);
  };
  bool here = false;
  {
    std::lock_guard lock(to->socketMutex);
    if (!to->socket || to->gone.load()) return;
    here = to->socket->thread() == QThread::currentThread();
    if (!here) QMetaObject::invokeMethod(to->socket, std::move(run), Qt::QueuedConnection);
  }
  if (here) run();
}

qint64 RelayFlow::socketHolds(const RelayLink& link) const { return link.socket->bytesToWrite(); }

void RelayFlow::pump(const LinkPtr& link) {
  RelayConnection* socket = link->socket;
  if (!socket || link->gone.load() || link->closing) return;
  if (link->out.controlBytes() > kControlLimit) {
    link->closing = true;
    link->out.clear();
    if (overflowed) overflowed(link);
    return;
  }
  release(link);
  while (socketHolds(*link) < kSocketAhead) {
    std::optional<OutMessage> message = link->out.pop();
    if (!message) break;
    if (message->flow && message->flow->ended.load()) continue;  // nobody takes it any more
    if (message->binary)
      socket->sendBinary(message->bytes);
    else
      socket->sendText(message->text);
    if (!message->flow) continue;
    message->bytes = QByteArray();
    message->text = QString();
    link->inSocket.emplace_back(socket->bytesHandedOver(), std::move(*message));
  }
  release(link);
}

// Session messages that have left for the socket no longer count as
// waiting, and their data bytes go back to their sender as credit.
void RelayFlow::release(const LinkPtr& link) {
  const qint64 left = link->socket->bytesLeft();
  while (!link->inSocket.empty() && link->inSocket.front().first <= left) {
    OutMessage message = std::move(link->inSocket.front().second);
    link->inSocket.pop_front();
    message.ticket.reset();
    const FlowPtr& flow = message.flow;
    const int side = message.side;
    // A text message may be the last of its session to leave, with credit held before it.
    const qint64 owed = message.binary ? flow->uncredited[side] += message.size : flow->uncredited[side].load();
    if (owed < kCreditStep || holdsCredit(*flow, side)) continue;
    const qint64 n = flow->uncredited[side].exchange(0);
    flow->uncreditedSent[side] -= n;
    const LinkPtr sender = message.from.lock();
    // The credit may be sent from here to a link on this thread, which may
    // come back here: the message is off the list by then.
    if (n > 0 && sender && credit && !flow->ended.load()) credit(sender, message.session, n);
  }
}

void RelayFlow::drained(const LinkPtr& link) {
  pump(link);
}

void RelayFlow::forget(const LinkPtr& link) {
  link->out.clear();
  link->inSocket.clear();
}

void RelayFlow::dropSession(const LinkPtr& link, const QByteArray& session, const FlowPtr& flow) {
  post(link, [link, session, flow](RelayConnection*) { link->out.drop(session, flow); });
}

}  // namespace kelvor
