// The local-network route inside a transfer. The host adds a grant to its
// manifest (a download) or its accept (an upload): its listener's address,
// its certificate's fingerprint and a capability for exactly the files its
// checks passed. The peer then moves the files over that route (several
// requests in flight either way), and uses
// the relay instead when the address cannot be reached.
#pragma once

#include "lan_client.h"
#include "lan_listener.h"
#include "transfer/transfer_core.h"

#include <QElapsedTimer>
#include <QHash>

namespace vantrel {

class TransferSink;

// Whether a host check's answer allows the route ("TransLAN" "1").
bool lanAllowedBy(const Json& info);
// The addresses a grant announces that this bridge may follow, in order.
QStringList lanUrlsOf(const Json& grant);
// The one port a grant names for its route: its "url"'s (or its first
// address's, from a grant without one); 0 when there is none.
quint16 lanPortOf(const Json& grant);

class TransferLan {
 public:
  // True when every file went over the route; false when the relay is to
  // carry them (nothing was moved).
  using Moved = std::function<void(bool moved)>;

  TransferLan(TransferCore& core, TransferSink& sink) : core_(core), sink_(sink) {}
  ~TransferLan();

  // Below this much of the handshake time left, the next address is not tried.
  static constexpr int kLeastConnectMs = 50;

  // The host's listener (null: this bridge offers no route).
  void setListener(LanListener* listener);
  // Whether this bridge follows its peers' grants (false: the route is off),
  // and whether its own route serves on loopback (then a grant's loopback
  // addresses are dialed too).
  void setFollowing(bool following, bool loopback) { following_ = following, loopback_ = loopback; }

  // Host: {"url","fp","cap"} for the task's files, or null when there is no
  // listener or the host's checks do not allow the route.
  Json offer(const TaskPtr& task);
  // Host: whether the peer has fetched any file of the download over the route.
  bool fetching(const TransferTask& task) const;
  // Peer: every accepted file of a download fetched, or of an upload sent.
  void fetch(const TaskPtr& task, const Json& grant, Moved then);
  void push(const TaskPtr& task, const Json& grant, Moved then);

  // The transfer ended: its grant goes, the files its peer is fetching are
  // broken off with the reason, its route run stops.
  void ended(const QString& xid, TransferReason reason);
  void sessionGone(const QString& session);

 private:
  struct Run {
    LanClient* client = nullptr;
    std::weak_ptr<TransferTask> task;
    bool push = false;
    qint64 next = 0;    // the next entry to request
    int running = 0;    // files requested and not yet in place
    qint64 answered = 0;  // uploads the host answered as in place
    bool movedAny = false;
    Moved then;
    QStringList urls;  // the announced addresses, tried in order
    qsizetype tried = 0;
    LanClient::Target target;  // without its address
    QElapsedTimer since;       // the first address's handshake began
  };
  void start(const TaskPtr& task, const Json& grant, bool push, Moved then);
  // A client for the next address within what is left of the handshake
  // time; false when there is none.
  bool connectNext(Run& run);
  void step(const QString& xid);
  void onFileDone(const QString& xid, const LanClient* client, qint64 index, bool ok, bool reached, const QString& why);
  void onFileSkipped(const QString& xid, qint64 index, const QString& why, bool unread);
  void drop(const QString& xid);
  std::unique_ptr<LanFileSink> openUpload(const QString& session, const QString& xid, qint64 index, qint64 size,
                                          QString* why, TransferReason* reason);

  TransferCore& core_;
  TransferSink& sink_;
  LanListener* listener_ = nullptr;
  bool following_ = true;
  bool loopback_ = false;
  QHash<QString, Run> runs_;
};

}  // namespace vantrel
