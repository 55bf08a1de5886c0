#include "relay_link.h"

#include <QMetaObject>
#include <QSslSocket>
#include <QTcpSocket>
#include <QThread>
#include <QTimer>
#include <QWebSocket>

namespace kelvor {

namespace {

// Counts a message's bytes against its receiver until it reaches the socket
// or is dropped with the socket (then its event, and this, are destroyed).
struct Ticket {
  Ticket(LinkPtr link, std::atomic<qint64>& total, qint64 bytes) : to(std::move(link)), total(total), bytes(bytes) {
    to->posted += bytes;
    total += bytes;
  }
  ~Ticket() {
    to->posted -= bytes;
    total -= bytes;
  }
  LinkPtr to;
  std::atomic<qint64>& total;
  qint64 bytes;
};

// A frame cut in two by a pause must not time out inside the WebSocket's reader.
void holdPartialFrame(QWebSocket* socket) {
  for (QObject* child : socket->children())
    if (qstrcmp(child->metaObject()->className(), "QWebSocketDataProcessor") == 0)
      for (QTimer* timer : child->findChildren<QTimer*>()) timer->stop();
}

// Stops the WebSocket from reading the connection (its TCP socket's signals
// are blocked), and the TCP socket from taking in more than a little from the
// kernel, so the peer itself is held back.
void holdReading(QTcpSocket& tcp) {
  tcp.setReadBufferSize(RelayFlow::kPausedReadAhead);
  tcp.blockSignals(true);
}

}  // namespace

void RelayFlow::sendText(const LinkPtr& to, const QString& text) {
  post(to, text.size() * 2, [text](QWebSocket* socket) { socket->sendTextMessage(text); });
}

void RelayFlow::sendBinary(const LinkPtr& to, const QByteArray& message) {
  post(to, message.size(), [message](QWebSocket* socket) { socket->sendBinaryMessage(message); });
}

void RelayFlow::onLinkThread(const LinkPtr& link, std::function<void(QWebSocket*)> work) {
  post(link, 0, std::move(work));
}

void RelayFlow::post(const LinkPtr& to, qint64 bytes, std::function<void(QWebSocket*)> write) {
  auto ticket = bytes > 0 ? std::make_shared<Ticket>(to, total_, bytes) : nullptr;
  auto run = [this, to, ticket, write = std::move(write)]() mutable {
    QWebSocket* socket = to->socket;  // on the link thread now
    if (socket && !to->gone.load()) write(socket);
    ticket.reset();
    if (socket && !to->gone.load()) drained(to);
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

void RelayFlow::refreshBuffered(RelayLink& link) {
  qint64 now = 0;
  if (link.socket && !link.gone.load()) {
    // TLS takes the WebSocket's bytes at once and keeps them encrypted below.
    now = link.socket->bytesToWrite();
    if (const auto* tls = qobject_cast<const QSslSocket*>(link.tcp)) now += tls->encryptedBytesToWrite();
  }
  total_ += now - link.buffered.exchange(now);
}

void RelayFlow::drained(const LinkPtr& link) {
  refreshBuffered(*link);
  if (link->gone.load() || link->queued() <= kLinkLowWater) {
    std::vector<std::weak_ptr<RelayLink>> waiters;
    {
      std::lock_guard lock(link->waitersMutex);
      waiters.swap(link->waiters);
    }
    wake(std::move(waiters));
  }
  if (total_.load() <= kTotalLowWater) {
    std::vector<std::weak_ptr<RelayLink>> waiters;
    {
      std::lock_guard lock(totalWaitersMutex_);
      waiters.swap(totalWaiters_);
    }
    wake(std::move(waiters));
  }
}

void RelayFlow::forget(const LinkPtr& link) {
  total_ -= link->buffered.exchange(0);
  drained(link);
}

void RelayFlow::wake(std::vector<std::weak_ptr<RelayLink>> waiters) {
  for (const auto& weak : waiters)
    if (LinkPtr waiter = weak.lock()) onLinkThread(waiter, [this, waiter](QWebSocket*) { resume(waiter); });
}

void RelayFlow::throttle(const LinkPtr& sender, const LinkPtr& receiver) {
  if (sender->paused || !sender->tcp) return;
  if (receiver->queued() > kLinkHighWater)
    pause(sender, receiver);
  else if (total_.load() > kTotalHighWater)
    pause(sender, nullptr);
}

bool RelayFlow::mayResume(const RelayLink& link) const {
  const LinkPtr receiver = link.waitingOn.lock();
  if (receiver && !receiver->gone.load() && receiver->queued() > kLinkLowWater) return false;
  return total_.load() <= (link.pausedForTotal ? kTotalLowWater : kTotalHighWater);
}

void RelayFlow::pause(const LinkPtr& sender, const LinkPtr& receiver) {
  sender->paused = true;
  sender->waitingOn = receiver;
  sender->pausedForTotal = !receiver;
  holdReading(*sender->tcp);
  if (!sender->pausePoll) {
    sender->pausePoll = new QTimer(sender->socket);
    sender->pausePoll->setInterval(kPausePollMs);
    std::weak_ptr<RelayLink> weak = sender;
    QObject::connect(sender->pausePoll, &QTimer::timeout, sender->pausePoll, [this, weak] {
      if (LinkPtr link = weak.lock()) pollPaused(link);
    });
  }
  sender->pausePoll->start();
  if (receiver) {
    std::lock_guard lock(receiver->waitersMutex);
    receiver->waiters.push_back(sender);
  } else {
    std::lock_guard lock(totalWaitersMutex_);
    totalWaiters_.push_back(sender);
  }
  // The receiver may have drained before it could see this sender waiting.
  if (mayResume(*sender)) {
    // Still inside the sender's own reading: nothing was missed, just go on.
    sender->paused = false;
    sender->pausePoll->stop();
    sender->tcp->blockSignals(false);
    sender->tcp->setReadBufferSize(0);
  }
}

void RelayFlow::resume(const LinkPtr& link) {
  if (!link->paused || link->gone.load() || !mayResume(*link)) return;
  link->paused = false;
  link->pausePoll->stop();
  link->tcp->blockSignals(false);
  // Reading unlimited again; the TLS socket takes in what waits under it, and
  // the WebSocket reads what arrived meanwhile.
  link->tcp->setReadBufferSize(0);
  QMetaObject::invokeMethod(link->tcp, "_q_flushReadBuffer", Qt::QueuedConnection);
  emit link->tcp->readyRead();
}

void RelayFlow::pollPaused(const LinkPtr& link) {
  if (!link->paused || link->gone.load() || !link->socket) return;
  if (link->tcp->state() != QAbstractSocket::ConnectedState) {
    link->paused = false;
    link->pausePoll->stop();
    link->tcp->blockSignals(false);
    if (lostWhilePaused) lostWhilePaused(link);
    return;
  }
  holdPartialFrame(link->socket);
  // Its own outgoing bytes drain while its signals are blocked.
  drained(link);
  resume(link);
}

}  // namespace kelvor
