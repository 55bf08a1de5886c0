// One bridge's relay connection and the flow of messages to it.
//
// Ownership: the connection, its queues and everything under "link thread"
// belong to the thread the socket lives in (one of the relay loops). The
// identity is written once by the main thread before `signedIn` is set, and
// read elsewhere only after seeing `signedIn`. The sessions belong to the main
// thread.
//
// Every message to a link goes through RelayFlow, which hands it to the link's
// thread (directly when already there). There it waits in the link's
// SessionQueues until the socket has room: the relay's own messages first,
// then the sessions' in turn. A session's messages count against its window,
// and against the receiver's account's share of the relay's one budget
// (relay_budget.h), from the moment they are forwarded until they have left
// for the socket (its TLS layer took them). An account within its share is
// always served: past the budget, sessions of accounts over their share are
// ended to make room (`needRoom`). A sender that goes past the window, or
// whose receiver's account is over its share while the budget is spent (or,
// while more than half of it is taken, past its session's part of that share)
// has the session ended, and what waits of it is dropped, so a side that does
// not read holds up only its own sessions and no connection is ever paused.
// Data bytes that have left are credited back to their sender ("credit"),
// which sends data frames only within its credit; one that sends beyond it is
// cut off. While more than half the budget is taken, credit is held back from
// senders to an account over its share until their session's queue is empty.
#pragma once

#include "front/relay_connection.h"
#include "session_queue.h"

#include <QByteArray>
#include <QSet>
#include <QString>

#include <atomic>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>

namespace kelvor {

struct RelayLink;
using LinkPtr = std::shared_ptr<RelayLink>;

struct RelayLink {
  // Link thread. `socket`, and the thread it lives in, change only under
  // `socketMutex`, and only on the link thread (or on the main thread before
  // the link has a thread).
  std::mutex socketMutex;
  RelayConnection* socket = nullptr;
  std::atomic<bool> helloSeen{false};  // also read by the main thread
  qint64 strayData = 0;  // data frames for sessions it does not have, since its last one that went through
  SessionQueues out;
  // Session messages handed to the socket, by where they end in what it was
  // handed, until they leave it; only their accounting is kept.
  std::deque<std::pair<qint64, OutMessage>> inSocket;
  bool closing = false;

  // Written once by the main thread before `signedIn`.
  QString clientId;
  qint64 accountId = 0;
  LoadPtr load;  // what the account holds of the relay's budget
  std::atomic<bool> signedIn{false};

  // Main thread.
  QString address;       // the source address
  bool counted = false;  // no longer counted among those without "hello"
  quint64 arrival = 0;   // its order among those without "hello"
  bool spoke = false;    // a message of its had begun when it was to make room
  QSet<QByteArray> sessions;
  qint64 readyOrder = 0;

  // Any thread.
  std::atomic<bool> gone{false};

  // For log lines: the client id once signed in.
  QString name() const { return signedIn.load() ? clientId : QStringLiteral("(not signed in)"); }
};

class RelayFlow {
 public:
  // What may wait for one side of a session; past it the session ends.
  static constexpr qint64 kSessionWindow = 8 * 1024 * 1024;
  // Data bytes a sender may have on the way per session before credit comes
  // back (announced with the session as "window").
  static constexpr qint64 kCreditWindow = 4 * 1024 * 1024;
  // Beyond the window a sender is cut off; the slack covers the headers of
  // the frames of one window as bridges that count acknowledgements, not
  // credit, send them.
  static constexpr qint64 kCreditSlack = 64 * 1024;
  // Credit goes back in steps of this much (a sender keeping to its credit
  // then always has the window less one step for its next frame).
  static constexpr qint64 kCreditStep = 1024 * 1024;
  // What all sessions together may hold, unless the command line says otherwise.
  static constexpr qint64 kDefaultBudget = 256 * 1024 * 1024;
  // While more than half the budget is taken, a session of an account over
  // its share may hold only its part of that share, but not less than this.
  static constexpr qint64 kMinShare = 256 * 1024;
  // Once room must be made, sessions end until this part of the budget (an eighth) is free.
  static constexpr int kRoomDivisor = 8;
  // What the socket may hold ahead of the kernel before the queues wait:
  // bytes there cannot be dropped when their session ends, and the kernel's
  // own buffer keeps the connection busy meanwhile.
  static constexpr qint64 kSocketAhead = 256 * 1024;
  // The relay's own messages waiting for a link that does not read them,
  // each counted with what keeping it costs; past it the link is closed.
  static constexpr qint64 kControlLimit = 1024 * 1024;
  static constexpr qint64 kControlMessageCost = 256;

  explicit RelayFlow(qint64 budget = kDefaultBudget)
      : budget_(std::make_shared<RelayBudget>(budget, kCreditWindow + kCreditSlack)) {}

  // The relay's own message to `to` (dropped when it is gone).
  void sendText(const LinkPtr& to, const QString& text);
  enum class Forward { Sent, SessionFull, BeyondCredit };
  // A message of session `session` from `from` to side `side` of it (`to`);
  // false when the session's queue has no room: the caller ends the session.
  bool forwardText(const LinkPtr& from, const LinkPtr& to, const QByteArray& session, const FlowPtr& flow, int side,
                   const QString& text);
  // A data frame; BeyondCredit when the sender has far more data on the way
  // than its credit allows (it ignores credit: the caller closes it).
  Forward forwardBinary(const LinkPtr& from, const LinkPtr& to, const QByteArray& session, const FlowPtr& flow,
                        int side, const QByteArray& message);
  // Runs `work` on the link's thread with its socket, after handing it what
  // waits for it as far as it has room; nothing when it is gone.
  void closeAfterQueued(const LinkPtr& link, std::function<void(RelayConnection*)> close);
  // Moves `link`'s connection onto the thread `with`'s lives on, so that the
  // messages between the two cross no thread: each hand-over wakes another
  // core, which costs more than the forwarding itself saves on many cores.
  void colocate(const LinkPtr& link, const LinkPtr& with);
  // Main thread, before the loops close their connections: no connection
  // moves any more (one moved onto a loop already swept would stay open).
  void stopMoving() { stopMoving_ = true; }
  // Runs `work` on the link's thread with its socket; nothing when it is gone.
  void onLinkThread(const LinkPtr& link, std::function<void(RelayConnection*)> work) { post(link, std::move(work)); }

  // Link thread: the socket wrote some bytes; hands it more.
  void drained(const LinkPtr& link);
  // Link thread, when the link goes: drops what waits for it.
  void forget(const LinkPtr& link);
  // Drops what waits for `link` of an ended session.
  void dropSession(const LinkPtr& link, const QByteArray& session, const FlowPtr& flow);

  qint64 total() const { return budget_->total(); }
  // The most that waited at once since the last call.
  qint64 takePeak() { return peak_.exchange(budget_->total()); }
  const RelayBudget& budget() const { return *budget_; }
  // Link thread of a signed-in connection: what its unfinished messages hold
  // counts against `load`; the function says whether they may go on (any thread,
  // also after the relay has gone).
  std::function<bool(qint64 delta)> arrivalsOf(const LoadPtr& load) const;
  // Main thread: room was made after `needRoom`; the next shortage asks again.
  void roomMade() { roomAsked_ = false; }

  // Link thread of the receiver: `n` data bytes of `session` left for the
  // other side; tells `to` (the sender).
  std::function<void(const LinkPtr& to, const QByteArray& session, qint64 n)> credit;
  // Link thread: the link does not read even the relay's own messages.
  std::function<void(const LinkPtr& link)> overflowed;
  // Any thread, once until roomMade(): an account within its share took the
  // budget past its end; sessions of accounts over their share should end.
  std::function<void()> needRoom;

 private:
  bool admit(const FlowPtr& flow, int side, qint64 bytes);
  bool holdsCredit(const SessionFlow& flow, int side) const;
  OutMessage sessionMessage(const LinkPtr& from, const QByteArray& session, const FlowPtr& flow, int side,
                            qint64 size);
  void enqueue(const LinkPtr& to, OutMessage message);
  void post(const LinkPtr& to, std::function<void(RelayConnection*)> work);
  void pump(const LinkPtr& link);
  void release(const LinkPtr& link);
  qint64 socketHolds(const RelayLink& link) const;

  const std::shared_ptr<RelayBudget> budget_;

  std::atomic<bool> stopMoving_{false};
  std::atomic<bool> roomAsked_{false};
  std::atomic<qint64> peak_{0};
};

}  // namespace kelvor
