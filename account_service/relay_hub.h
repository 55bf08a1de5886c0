// The relay between bridges. Each bridge holds one WebSocket (a
// RelayConnection, handed over by the front door after its upgrade), authenticates
// with its login token ("hello"), opens sessions with the online client of an
// account's host name ("connect") and sends frames to the other client of a
// session: JSON text ("relay") or binary file data (routed by the session in
// its header, forwarded unchanged). Nothing reaches a client outside its sessions.
//
// Threads: connections are spread over the relay loops (RelayLoops) after
// their upgrade; frames are read, checked and forwarded on the sender's loop.
// A caller whose first session is with a host that has no other one moves to
// the host's loop, so that a pair's frames cross no thread.
// The routing table (clients and sessions) is written only by the main thread,
// under an exclusive lock, and read by the loops under a shared one. Sign-in
// checks ("hello") and session changes ("connect", "close", a client going)
// run on the main thread, which owns the account store.
#pragma once

#include "relay_frames.h"
#include "relay_link.h"
#include "front/heap_trim.h"
#include "front/relay_loops.h"
#include "service_core.h"
#include "throttle.h"

#include <QHash>
#include <QObject>
#include <QString>

#include <deque>
#include <memory>
#include <shared_mutex>
#include <unordered_set>

namespace kelvor {

class RelayHub : public QObject {
  Q_OBJECT

 public:
  static constexpr int kMaxSessionsPerClient = 256;
  // Sessions one account's clients may hold with one host; a new one evicts
  // that account's oldest, so no account can crowd others out of a host.
  static constexpr int kMaxSessionsPerPeerAtHost = 16;
  // Slots of a full host kept for the host's own account, whoever else calls.
  static constexpr int kOwnerReservedSlots = 16;
  static constexpr int kHelloTimeoutMs = 3000;
  // A connection that sent nothing for a ping interval is pinged; one silent
  // for kSilentPings intervals is dropped, and its client is offline.
  static constexpr int kPingIntervalMs = 15000;
  static constexpr int kSilentPings = 3;
  // What every failed "connect" answers.
  static constexpr const char* kConnectFailure = "the host cannot be reached";
  // Before "hello": the largest message, and connections without it per
  // source address and in all. A newcomer beyond either takes the place of
  // the oldest one that has sent no message (pings aside), of its own
  // address, or of the address holding the most when that holds more than
  // its own: whoever holds the places, a connection that says hello at once
  // gets in, and one whose hello has arrived or is arriving is never ended
  // for a newcomer.
  static constexpr qint64 kMaxHelloMessage = 4096;
  static constexpr int kMaxUnsignedPerAddress = 32;
  static constexpr int kMaxUnsignedTotal = 1024;
  // Decrypted bytes a signed-in connection's TLS worker reads ahead of the relay.
  static constexpr qint64 kLinkReadAhead = 4 * 1024 * 1024;
  // Once this much less waits than at the most since the last time, the
  // heaps hand their free pages back to the system.
  static constexpr qint64 kTrimAfterDrop = 32 * 1024 * 1024;

  // `loops`: relay threads, 0 for one per core; `budget`: what messages on
  // their way may hold in all, in bytes.
  explicit RelayHub(ServiceCore& core, int loops = 0, qint64 budget = RelayFlow::kDefaultBudget,
                    QObject* parent = nullptr);
  ~RelayHub() override;

  // Takes a freshly upgraded connection (not yet opened), living on one of
  // the relay loops. One whose path is not "/relay" is closed.
  void accept(std::unique_ptr<RelayConnection> socket);
  // For connections accepted from now on (tests shorten it).
  void setPingInterval(int ms) { pingMs_ = ms; }
  // Closes the relay connection of a client whose sign-in was dropped.
  void dropClient(const QString& clientId);

  int onlineCount() const;
  int sessionCount() const;
  int loopCount() const { return loops_->size(); }
  // The threads connections live on, from their first byte.
  RelayLoops& loops() { return *loops_; }

 private:
  struct Session {
    LinkPtr caller;
    LinkPtr host;
    qint64 callerAccount = 0;
    quint64 order = 0;
    FlowPtr flow;
  };
  // Where a sender's message of a session goes.
  struct Route {
    LinkPtr to;
    FlowPtr flow;
    int side = 0;  // of `to`: 0 the caller, 1 the host
  };

  // On the link's thread.
  void onText(const LinkPtr& link, const QString& text);
  void onBinary(const LinkPtr& link, const QByteArray& message);
  void forwardJson(const LinkPtr& link, const vex::Json& frame);
  void linkGone(const LinkPtr& link);
  // Any thread.
  Route otherEnd(const LinkPtr& sender, const QByteArray& session) const;
  void overflow(const QByteArray& id, const FlowPtr& flow);
  void sendFrame(const LinkPtr& link, const vex::Json& frame);
  void refuse(const LinkPtr& link, const QString& why, bool close = false);
  void cutOff(const LinkPtr& link, const QString& why);
  void closeLink(const LinkPtr& link, quint16 code, const QString& why);
  void toMain(std::function<void()> work);
  // Main thread.
  void handleHello(const LinkPtr& link, const QString& token);
  void handleConnect(const LinkPtr& link, const vex::Json& frame);
  void handleClose(const LinkPtr& link, const QByteArray& session);
  void makeRoomAtHost(const LinkPtr& caller, const LinkPtr& host);
  bool shareFullHost(const LinkPtr& caller, const LinkPtr& host);
  void endSession(const QByteArray& id, const LinkPtr& closedBy);
  void makeRoomInBudget();
  LoadPtr loadOf(qint64 accountId);
  void dropLink(const LinkPtr& link);
  void countSignedIn(const LinkPtr& link);
  bool makeUnsignedPlace(const QString& address);
  bool evictUnsigned(const QString& address);
  void keepUnsigned(const LinkPtr& link);
  QString nameOf(qint64 accountId);
  bool connectAllowed(const LinkPtr& link) const;
  void connectFailed(const LinkPtr& link);

  ServiceCore& core_;
  RelayFlow flow_;
  std::unique_ptr<RelayLoops> loops_;
  mutable std::shared_mutex routesMutex_;
  QHash<QString, LinkPtr> byClient_;     // signed-in links by client id
  QHash<QByteArray, Session> sessions_;  // by "caller|host"
  std::unordered_set<LinkPtr> links_;    // main thread: every link not yet gone
  qint64 readyCounter_ = 0;
  // Failed connects per account (a connect needs a sign-in, which the address
  // throttles): probing who exists or is online is slowed down. A successful
  // connect does not clear the count, or a prober would clear it with its own
  // host between guesses; a count unused for 10 minutes is forgotten. Main thread.
  Throttle connectThrottle_{1000, 60 * 1000, 10 * 60 * 1000};
  // Accounts whose connection was closed for data sent beyond its credit
  // (which no bridge does): their next hello waits 2 s, doubling with each
  // further closing, up to a minute, so that reconnecting to flood again
  // gains an attacker little. Main thread.
  Throttle creditThrottle_{2000, 60 * 1000, 10 * 60 * 1000, 1};
  // What each signed-in account holds of the budget, while a link of it holds it.
  QHash<qint64, std::weak_ptr<AccountLoad>> loads_;
  HeapTrim trim_{kTrimAfterDrop};  // main thread
  int unsignedTotal_ = 0;  // main thread: links not yet signed in
  quint64 unsignedCounter_ = 0;
  // The same by source address, oldest first.
  QHash<QString, std::deque<std::weak_ptr<RelayLink>>> unsignedByAddress_;
  quint64 sessionCounter_ = 0;
  int pingMs_ = kPingIntervalMs;
};

}  // namespace kelvor
