// What the relay holds for one connection, per session: the bytes waiting for
// each side of a session (counted against one window, so a side that does not
// read holds up only its own sessions, and against the receiver's account,
// relay_budget.h), the credit given back to the sender of
// data frames as they leave, and the order in which waiting messages go out
// (the relay's own messages first, then the sessions' in deficit round robin).
// Nothing here knows the transport: a link hands out what `pop` gives as its
// socket has room.
#pragma once

#include "relay_budget.h"

#include <QByteArray>
#include <QHash>
#include <QString>

#include <atomic>
#include <deque>
#include <memory>
#include <optional>

namespace kelvor {

struct RelayLink;

// The shared state of one session; both links' threads read and write it.
struct SessionFlow {
  std::atomic<qint64> queued[2]{0, 0};     // bytes waiting for side 0 (caller) / 1 (host)
  std::atomic<qint64> uncredited[2]{0, 0};  // data bytes delivered to a side, not yet credited to the other
  std::atomic<qint64> uncreditedSent[2]{0, 0};  // data bytes sent to a side whose credit has not gone back
  std::atomic<bool> ended{false};
  std::atomic<qint64> lastActive{0};  // steady clock, ms: when a message last went through
  LoadPtr load[2];  // the account of side 0 / 1, which what waits for that side counts against; set before the session is used
  void touch();
};
using FlowPtr = std::shared_ptr<SessionFlow>;

// Counts a message's bytes as waiting until it leaves (or is dropped with its queue).
class FlowTicket {
 public:
  FlowTicket(FlowPtr flow, int side, qint64 bytes, RelayBudget& budget);
  ~FlowTicket();
  FlowTicket(const FlowTicket&) = delete;
  FlowTicket& operator=(const FlowTicket&) = delete;

 private:
  FlowPtr flow_;
  int side_;
  qint64 bytes_;
  RelayBudget& budget_;
};

struct OutMessage {
  QByteArray session;  // empty: the relay's own message to this link
  bool binary = false;
  QByteArray bytes;  // binary
  QString text;      // text
  qint64 size = 0;
  // Session messages: what the bytes count against, and who gets the credit.
  FlowPtr flow;
  int side = 0;
  std::weak_ptr<RelayLink> from;
  std::shared_ptr<FlowTicket> ticket;
};

// One link's waiting messages; used only on the link's thread.
class SessionQueues {
 public:
  // Bytes a session's lane may send per round before the next lane's turn.
  static constexpr qint64 kQuantum = 256 * 1024;

  void push(OutMessage message);
  std::optional<OutMessage> pop();
  bool empty() const { return control_.empty() && active_.empty(); }
  qint64 controlBytes() const { return controlBytes_; }
  // Drops what waits of `session` while it is `flow` (an id may come back as a new session).
  void drop(const QByteArray& session, const FlowPtr& flow);
  void clear();

 private:
  struct Lane {
    std::deque<OutMessage> messages;
    qint64 deficit = 0;
    bool inTurn = false;
  };
  std::deque<OutMessage> control_;
  qint64 controlBytes_ = 0;
  QHash<QByteArray, Lane> lanes_;
  std::deque<QByteArray> active_;  // lanes with messages, in turn order
};

}  // namespace kelvor
