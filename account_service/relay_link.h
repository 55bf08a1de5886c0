// One bridge's relay connection and the flow of messages to it.
//
// Ownership: the WebSocket and everything under "link thread" belong to the
// thread the socket lives in (one of the relay loops). The identity is written
// once by the main thread before `signedIn` is set, and read elsewhere only
// after seeing `signedIn`. The sessions belong to the main thread. Queue sizes
// are atomics that any thread may read.
//
// Every message to a link goes through RelayFlow::send, which hands it to the
// link's thread (directly when already there) and counts its bytes until the
// socket has written them. A sender whose receiver has more than
// kLinkHighWater queued, or while all links together have more than
// kTotalHighWater, is paused: the signals of its TCP socket are blocked, so
// the WebSocket stops reading it, and its read buffer is capped, so that the
// kernel stops the peer. It resumes when the queue has drained below the
// low-water mark or the receiver is gone.
#pragma once

#include <QByteArray>
#include <QSet>
#include <QString>

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

class QTcpSocket;
class QTimer;
class QWebSocket;

namespace kelvor {

struct RelayLink;
using LinkPtr = std::shared_ptr<RelayLink>;

struct RelayLink {
  // Link thread. `socket` changes only under `socketMutex`, and only on the
  // link thread (or on the main thread before the link has a thread).
  std::mutex socketMutex;
  QWebSocket* socket = nullptr;
  QTcpSocket* tcp = nullptr;  // under the socket; null when unknown (then it cannot pause)
  bool helloSeen = false;
  bool paused = false;
  QTimer* pausePoll = nullptr;
  std::weak_ptr<RelayLink> waitingOn;  // the receiver it is paused for
  bool pausedForTotal = false;         // paused for all links' queues together

  // Written once by the main thread before `signedIn`.
  QString clientId;
  qint64 accountId = 0;
  std::atomic<bool> signedIn{false};

  // Main thread.
  QSet<QByteArray> sessions;
  qint64 readyOrder = 0;

  // Any thread.
  std::atomic<qint64> posted{0};    // handed to the link thread, not yet to the socket
  std::atomic<qint64> buffered{0};  // in the socket's write buffer
  std::atomic<bool> gone{false};
  std::mutex waitersMutex;
  std::vector<std::weak_ptr<RelayLink>> waiters;  // senders paused for this link

  qint64 queued() const { return posted.load() + buffered.load(); }
  // For log lines: the client id once signed in.
  QString name() const { return signedIn.load() ? clientId : QStringLiteral("(not signed in)"); }
};

class RelayFlow {
 public:
  static constexpr qint64 kLinkHighWater = 8 * 1024 * 1024;
  static constexpr qint64 kLinkLowWater = 2 * 1024 * 1024;
  static constexpr qint64 kTotalHighWater = 96 * 1024 * 1024;
  static constexpr qint64 kTotalLowWater = 48 * 1024 * 1024;
  static constexpr int kPausePollMs = 20;
  // What a paused sender's TLS socket may still take in from the kernel.
  static constexpr qint64 kPausedReadAhead = 256 * 1024;

  // Hands a text or binary message to `to` (dropped when it is gone).
  void sendText(const LinkPtr& to, const QString& text);
  void sendBinary(const LinkPtr& to, const QByteArray& message);
  // Runs `work` on the link's thread with its socket; nothing when it is gone.
  void onLinkThread(const LinkPtr& link, std::function<void(QWebSocket*)> work);

  // Link thread of `sender`, after it forwarded to `receiver`: pauses the
  // sender when the receiver or the total is past its high-water mark.
  void throttle(const LinkPtr& sender, const LinkPtr& receiver);
  // Link thread: the socket wrote some bytes (or the link went); wakes the
  // senders waiting for it when its queue is low enough.
  void drained(const LinkPtr& link);
  // Link thread, when the link goes: forgets its queue and wakes its waiters.
  void forget(const LinkPtr& link);

  qint64 total() const { return total_.load(); }

  // Called on the link thread when a paused link's TCP connection was found closed.
  std::function<void(const LinkPtr&)> lostWhilePaused;

 private:
  void post(const LinkPtr& to, qint64 bytes, std::function<void(QWebSocket*)> write);
  void refreshBuffered(RelayLink& link);
  void pause(const LinkPtr& sender, const LinkPtr& receiver);
  void resume(const LinkPtr& link);
  void pollPaused(const LinkPtr& link);
  bool mayResume(const RelayLink& link) const;
  void wake(std::vector<std::weak_ptr<RelayLink>> waiters);

  std::atomic<qint64> total_{0};
  std::mutex totalWaitersMutex_;
  std::vector<std::weak_ptr<RelayLink>> totalWaiters_;
};

}  // namespace kelvor
