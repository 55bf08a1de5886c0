#include "relay_hub.h"

#include "core/log.h"
#include "wire_models.h"

#include <QThread>
#include <QTimer>

#include <algorithm>
#include <mutex>
#include <vector>

namespace kelvor {

namespace {

vex::Json refOf(const vex::Json& frame) {
  const auto it = frame.find("ref");
  if (it == frame.end() || !(it->is_string() || it->is_number())) return nullptr;
  return *it;
}

QString shown(const QByteArray& session) { return QString::fromUtf8(session.left(80)); }

}  // namespace

RelayHub::RelayHub(ServiceCore& core, int loops, qint64 budget, QObject* parent)
    : QObject(parent), core_(core), flow_(budget), loops_(std::make_unique<RelayLoops>(loops)) {
  flow_.credit = [this](const LinkPtr& to, const QByteArray& session, qint64 n) {
    RelayCredit credit;
    credit.Session = QString::fromUtf8(session);
    credit.n = n;
    sendFrame(to, credit.toJSONModel());
  };
  // Relayed frames come from the loops' heaps, which keep the pages a flood
  // took after it has gone.
  auto* trim = new QTimer(this);
  connect(trim, &QTimer::timeout, this, [this] { trim_.check(flow_.takePeak(), flow_.total()); });
  trim->start(1000);
  connect(trim, &QTimer::timeout, this, [this] { loads_.removeIf([](const auto& it) { return it.value().expired(); }); });
  flow_.needRoom = [this] { toMain([this] { makeRoomInBudget(); }); };
  flow_.overflowed = [this](const LinkPtr& link) {
    zlog::parts(QStringLiteral("Relay - closed a connection that does not read:"), link->name());
    QMetaObject::invokeMethod(link->socket, [this, link] { linkGone(link); }, Qt::QueuedConnection);
  };
}

RelayHub::~RelayHub() {
  // Each loop closes the connections living on it (the main thread waits, so
  // the set of links holds still) before the loops stop.
  flow_.stopMoving();
  loops_->onEach([this] {
    for (const LinkPtr& link : links_) {
      RelayConnection* socket = nullptr;
      {
        std::lock_guard lock(link->socketMutex);
        if (!link->socket || link->socket->thread() != QThread::currentThread()) continue;
        socket = std::exchange(link->socket, nullptr);
      }
      link->gone = true;
      flow_.forget(link);
      socket->disconnect();
      socket->abort();
      delete socket;
    }
  });
  loops_.reset();
}

int RelayHub::onlineCount() const {
  std::shared_lock lock(routesMutex_);
  return static_cast<int>(byClient_.size());
}

int RelayHub::sessionCount() const {
  std::shared_lock lock(routesMutex_);
  return static_cast<int>(sessions_.size());
}

void RelayHub::accept(std::unique_ptr<RelayConnection> owned) {
  RelayConnection* socket = owned.release();
  const QString address = socket->peerAddress();
  QString refusal;
  if (socket->path() != "/relay")
    refusal = QStringLiteral("unknown path");
  else if (!makeUnsignedPlace(address))
    refusal = QStringLiteral("too many connections without hello");
  if (!refusal.isEmpty()) {
    zlog::parts(QStringLiteral("Relay - refused a WebSocket:"), refusal, address);
    connect(socket, &RelayConnection::disconnected, socket, &QObject::deleteLater);
    QMetaObject::invokeMethod(
        socket,
        [socket, refusal] {
          socket->open();
          socket->close(RelayConnection::kClosePolicy, refusal);
        },
        Qt::QueuedConnection);
    return;
  }
  auto link = std::make_shared<RelayLink>();
  link->address = address;
  link->arrival = ++unsignedCounter_;
  ++unsignedTotal_;
  unsignedByAddress_[address].push_back(link);
  {
    std::lock_guard lock(link->socketMutex);
    link->socket = socket;
  }
  links_.insert(link);

  const std::weak_ptr<RelayLink> weak = link;
  // Context `socket`: every handler runs on the loop the socket lives in.
  connect(socket, &RelayConnection::textMessageReceived, socket, [this, weak](const QString& text) {
    if (const LinkPtr l = weak.lock()) onText(l, text);
  });
  connect(socket, &RelayConnection::binaryMessageReceived, socket, [this, weak](const QByteArray& message) {
    if (const LinkPtr l = weak.lock()) onBinary(l, message);
  });
  connect(socket, &RelayConnection::bytesWritten, socket, [this, weak] {
    if (const LinkPtr l = weak.lock()) flow_.drained(l);
  });
  connect(socket, &RelayConnection::disconnected, socket, [this, weak, socket] {
    if (!socket->errorString().isEmpty())
      zlog::parts(QStringLiteral("Relay - connection dropped:"), socket->errorString());
    if (const LinkPtr l = weak.lock()) linkGone(l);
  });
  // On its loop: until "hello" a message may hold kMaxHelloMessage (a larger
  // one is refused from its header, before it is kept; one data frame after);
  // the watch for silence and the hello timer start, and the upgrade is answered.
  QMetaObject::invokeMethod(
      socket,
      [this, socket, weak, pingMs = pingMs_] {
        socket->setMaxMessage(kMaxHelloMessage);
        socket->watchSilence(pingMs, pingMs * kSilentPings);
        socket->setReadBufferSize(kMaxHelloMessage * 4);
        // Nothing it may send before "hello" needs an answer it would not read.
        socket->setReadsWaitForWrites(true);
        auto* helloTimer = new QTimer(socket);
        helloTimer->setSingleShot(true);
        connect(helloTimer, &QTimer::timeout, socket, [this, weak] {
          const LinkPtr l = weak.lock();
          if (l && !l->signedIn.load()) refuse(l, QStringLiteral("no hello in time"), true);
        });
        helloTimer->start(kHelloTimeoutMs);
        socket->open();
      },
      Qt::QueuedConnection);
}

// ---- on the link's thread ----

void RelayHub::onText(const LinkPtr& link, const QString& text) {
  if (link->closing) return;  // nothing more is read from a connection being closed
  auto read = readControlFrame(text.toUtf8());
  if (const auto* refusal = std::get_if<FrameRefusal>(&read)) {
    refuse(link, refusal->why, refusal->close || !link->signedIn.load());
    return;
  }
  auto& frame = std::get<ControlFrame>(read);
  const QString& op = frame.op;
  // A bridge says nothing between its hello and "ready".
  if (link->helloSeen && !link->signedIn.load()) {
    refuse(link, QStringLiteral("wait for ready"), true);
    return;
  }
  if (!link->helloSeen) {
    if (op != QLatin1String("hello")) {
      refuse(link, QStringLiteral("say hello first"), true);
      return;
    }
    link->helloSeen = true;
    toMain([this, link, token = textField(frame.body, "Token")] { handleHello(link, token); });
    return;
  }
  if (op == QLatin1String("relay")) {
    forwardJson(link, frame.body);
  } else if (op == QLatin1String("ping")) {
    sendFrame(link, RelayPong{}.toJSONModel());
  } else if (op == QLatin1String("connect")) {
    toMain([this, link, body = std::move(frame.body)] { handleConnect(link, body); });
  } else if (op == QLatin1String("close")) {
    toMain([this, link, id = textField(frame.body, "Session").toUtf8()] { handleClose(link, id); });
  } else if (op == QLatin1String("hello")) {
    refuse(link, QStringLiteral("already signed in"));
  } else {
    refuse(link, QStringLiteral("unknown op: ") + op.left(64));
  }
}

void RelayHub::forwardJson(const LinkPtr& link, const vex::Json& frame) {
  const QByteArray id = textField(frame, "Session").toUtf8();
  const Route route = otherEnd(link, id);
  const LinkPtr& target = route.to;
  if (!target) {
    refuse(link, QStringLiteral("not your session: ") + shown(id));
    return;
  }
  const auto body = frame.find("frame");
  if (body == frame.end()) {
    refuse(link, QStringLiteral("relay without frame"));
    return;
  }
  RelayForward forward;
  forward.Session = QString::fromUtf8(id);
  forward.from = link->clientId;
  forward.frame = *body;
  const auto text = vex::dump(forward.toJSONModel());
  if (text && !flow_.forwardText(link, target, id, route.flow, route.side, QString::fromStdString(*text)))
    overflow(id, route.flow);
}

void RelayHub::onBinary(const LinkPtr& link, const QByteArray& message) {
  if (link->closing) return;
  if (!link->signedIn.load()) {
    refuse(link, QStringLiteral("say hello first"), true);
    return;
  }
  const auto route = routeOfDataFrame(message);
  if (const auto* refusal = std::get_if<FrameRefusal>(&route)) {
    refuse(link, refusal->why, refusal->close);
    return;
  }
  const QByteArray session = std::get<QByteArrayView>(route).toByteArray();
  const Route to = otherEnd(link, session);
  if (!to.to) {
    // A few frames may still come after a session ended; a flood of them does not.
    link->strayData += message.size();
    if (link->strayData > RelayFlow::kSessionWindow) return cutOff(link, QStringLiteral("data for sessions it does not have"));
    refuse(link, QStringLiteral("not your session: ") + shown(session));
    return;
  }
  link->strayData = 0;
  // The same bytes, shared, not copied.
  switch (flow_.forwardBinary(link, to.to, session, to.flow, to.side, message)) {
    case RelayFlow::Forward::Sent:
      return;
    case RelayFlow::Forward::SessionFull:
      return overflow(session, to.flow);
    case RelayFlow::Forward::BeyondCredit:
      overflow(session, to.flow);
      toMain([this, account = link->accountId] { creditThrottle_.countWrong(QStringLiteral("account ") + QString::number(account)); });
      return cutOff(link, QStringLiteral("data sent beyond its credit"));
  }
}

// A side of the session does not take what is sent to it: the session ends
// (its queue is dropped with it), nothing else waits for it.
void RelayHub::overflow(const QByteArray& id, const FlowPtr& flow) {
  if (flow->ended.exchange(true)) return;
  zlog::parts(QStringLiteral("Relay - session ended, its receiver does not read:"), shown(id));
  toMain([this, id, flow] {
    const auto it = sessions_.constFind(id);
    if (it != sessions_.constEnd() && it->flow == flow) endSession(id, nullptr);
  });
}

void RelayHub::linkGone(const LinkPtr& link) {
  if (link->gone.exchange(true)) return;
  RelayConnection* socket = nullptr;
  {
    std::lock_guard lock(link->socketMutex);
    socket = link->socket;
    link->socket = nullptr;
  }
  flow_.forget(link);
  if (socket) {
    QObject::disconnect(socket, nullptr, socket, nullptr);
    socket->abort();
    socket->deleteLater();
  }
  toMain([this, link] {
    countSignedIn(link);
    dropLink(link);
    links_.erase(link);
  });
}

// ---- any thread ----

RelayHub::Route RelayHub::otherEnd(const LinkPtr& sender, const QByteArray& session) const {
  std::shared_lock lock(routesMutex_);
  const auto it = sessions_.constFind(session);
  if (it == sessions_.constEnd()) return {};
  if (it->caller == sender) return {it->host, it->flow, 1};
  if (it->host == sender) return {it->caller, it->flow, 0};
  return {};
}

void RelayHub::sendFrame(const LinkPtr& link, const vex::Json& frame) {
  const auto text = vex::dump(frame);
  if (text) flow_.sendText(link, QString::fromStdString(*text));
}

void RelayHub::refuse(const LinkPtr& link, const QString& why, bool close) {
  RelayError error;
  error.error = why;
  sendFrame(link, error.toJSONModel());
  zlog::parts(QStringLiteral("Relay - refused:"), zlog::excerpt(why), link->name());
  if (close) closeLink(link, RelayConnection::kClosePolicy, why.left(100));
}

// A sender that floods: dropped at once, without reading what it has on the way.
void RelayHub::cutOff(const LinkPtr& link, const QString& why) {
  refuse(link, why);
  flow_.closeAfterQueued(link, [](RelayConnection* socket) { socket->abort(); });
}

void RelayHub::closeLink(const LinkPtr& link, quint16 code, const QString& why) {
  flow_.closeAfterQueued(link, [code, why](RelayConnection* socket) { socket->close(code, why); });
}

void RelayHub::toMain(std::function<void()> work) {
  QMetaObject::invokeMethod(this, std::move(work), Qt::QueuedConnection);
}

// ---- main thread ----

void RelayHub::countSignedIn(const LinkPtr& link) {
  if (link->counted) return;
  link->counted = true;
  --unsignedTotal_;
  const auto it = unsignedByAddress_.find(link->address);
  if (it == unsignedByAddress_.end()) return;
  std::erase_if(*it, [&](const std::weak_ptr<RelayLink>& held) {
    const LinkPtr l = held.lock();
    return !l || l == link;
  });
  if (it->empty()) unsignedByAddress_.erase(it);
}

// Whether a newcomer from `address` has a place among the connections
// without hello, made for it where the bounds are reached.
bool RelayHub::makeUnsignedPlace(const QString& address) {
  const auto own = unsignedByAddress_.constFind(address);
  const std::size_t held = own == unsignedByAddress_.constEnd() ? 0 : own->size();
  if (held >= std::size_t(kMaxUnsignedPerAddress)) return evictUnsigned(address);
  if (unsignedTotal_ < kMaxUnsignedTotal) return true;
  QString most;
  std::size_t mostHeld = held;
  for (auto it = unsignedByAddress_.cbegin(); it != unsignedByAddress_.cend(); ++it)
    if (it->size() > mostHeld) most = it.key(), mostHeld = it->size();
  return !most.isEmpty() && evictUnsigned(most);
}

// Ends the oldest connection of `address` that has sent no message (one
// that has is saying hello, or is refused and closed anyway); false when
// there is none. Its place is the newcomer's at once; on its own thread it
// first takes what has arrived, and a hello that came or is coming keeps it
// (keepUnsigned).
bool RelayHub::evictUnsigned(const QString& address) {
  const auto it = unsignedByAddress_.constFind(address);
  if (it == unsignedByAddress_.constEnd()) return false;
  for (const std::weak_ptr<RelayLink>& held : *it) {
    const LinkPtr link = held.lock();
    if (!link || link->helloSeen.load() || link->gone.load() || link->spoke) continue;
    countSignedIn(link);
    flow_.onLinkThread(link, [this, link](RelayConnection* socket) {
      socket->readNow();
      if (link->gone.load()) return;
      if (link->helloSeen.load() || socket->messageBegun()) return toMain([this, link] { keepUnsigned(link); });
      zlog::parts(QStringLiteral("Relay - a connection without hello made room for a newer one:"), link->address);
      socket->abort();
    });
    return true;
  }
  return false;
}

// `link` was to make room but had begun a message: it keeps a place while it
// has not said hello, and another of the bounds' addresses makes room for it
// where one can (until then the bound holds one more).
void RelayHub::keepUnsigned(const LinkPtr& link) {
  link->spoke = true;
  if (!link->counted || link->gone.load() || link->signedIn.load()) return;
  link->counted = false;
  ++unsignedTotal_;
  auto& held = unsignedByAddress_[link->address];
  const auto before = std::find_if(held.begin(), held.end(), [&](const std::weak_ptr<RelayLink>& other) {
    const LinkPtr l = other.lock();
    return l && l->arrival > link->arrival;
  });
  held.insert(before, link);
  if (held.size() > std::size_t(kMaxUnsignedPerAddress)) {
    evictUnsigned(link->address);
  } else if (unsignedTotal_ > kMaxUnsignedTotal) {
    QString most;
    std::size_t mostHeld = 0;
    for (auto it = unsignedByAddress_.cbegin(); it != unsignedByAddress_.cend(); ++it)
      if (it->size() > mostHeld) most = it.key(), mostHeld = it->size();
    evictUnsigned(most);
  }
}

void RelayHub::handleHello(const LinkPtr& link, const QString& token) {
  if (link->gone.load()) return;
  const auto session = core_.sessionByToken(token);
  if (!session) {
    refuse(link, QStringLiteral("unknown token"), true);
    return;
  }
  if (const qint64 wait = creditThrottle_.pauseLeftMs(QStringLiteral("account ") + QString::number(session->accountId))) {
    zlog::parts(QStringLiteral("Relay - hello refused: data beyond credit before"), session->clientId);
    refuse(link, QStringLiteral("data was sent beyond its credit; try again in %1 s").arg((wait + 999) / 1000), true);
    return;
  }
  // One connection per login: a newer one replaces the older.
  if (const LinkPtr older = byClient_.value(session->clientId)) {
    closeLink(older, RelayConnection::kCloseNormal, QStringLiteral("replaced by a newer connection"));
    dropLink(older);
  }
  link->clientId = session->clientId;
  link->accountId = session->accountId;
  link->load = loadOf(session->accountId);
  link->readyOrder = ++readyCounter_;
  {
    std::unique_lock lock(routesMutex_);
    byClient_.insert(link->clientId, link);
  }
  link->signedIn.store(true);
  countSignedIn(link);
  // Signed in: messages up to one data frame from now on (the bridge sends
  // nothing before "ready").
  flow_.onLinkThread(link, [arrivals = flow_.arrivalsOf(link->load)](RelayConnection* socket) {
    socket->setMaxMessage(maxDataMessage());
    socket->setReadBufferSize(kLinkReadAhead);
    // What a signed-in link sends goes to others whether or not it reads.
    socket->setReadsWaitForWrites(false);
    socket->growBuffers();
    socket->countArrivals(arrivals);
  });
  RelayReady ready;
  ready.ClientID = link->clientId;
  ready.ACC = link->accountId;
  sendFrame(link, ready.toJSONModel());
  zlog::parts(QStringLiteral("Relay - online"), link->clientId, QString::number(link->accountId));
}

void RelayHub::dropClient(const QString& clientId) {
  const LinkPtr link = byClient_.value(clientId);
  if (!link) return;
  refuse(link, QStringLiteral("sign-in ended"), true);
  dropLink(link);
}

QString RelayHub::nameOf(qint64 accountId) {
  const auto account = core_.store().findById(accountId);
  return account ? account->nameAcc : QString();
}

void RelayHub::handleConnect(const LinkPtr& link, const vex::Json& frame) {
  if (link->gone.load() || !link->signedIn.load()) return;
  const vex::Json ref = refOf(frame);
  const QString hostname = textField(frame, "hostname").toLower();
  const QString tag = textField(frame, "tag");
  // Every failure reads the same, so that a caller learns nothing about an
  // account it cannot reach; the reason goes to the log only.
  auto refuse = [&] {
    RelayConnectFailed failed;
    failed.ref = ref;
    failed.error = QString::fromLatin1(kConnectFailure);
    sendFrame(link, failed.toJSONModel());
  };
  // A full host is no guess: it does not count against the caller.
  auto full = [&] {
    zlog::parts(QStringLiteral("Relay - connect failed: too many sessions"), link->clientId);
    refuse();
  };
  auto fail = [&](const QString& why) {
    zlog::parts(QStringLiteral("Relay - connect failed:"), why, link->clientId);
    connectFailed(link);
    refuse();
  };
  if (!connectAllowed(link)) return refuse();
  if (hostname.isEmpty() || tag.size() > 256) {
    fail(QStringLiteral("hostname missing or tag too long"));
    return;
  }
  // A direct send to a contact names the contact's account by its e-mail.
  const bool byEmail = hostname.contains(QLatin1Char('@'));
  const auto account = byEmail ? core_.store().findByEmail(hostname) : core_.store().findByHostname(hostname);
  if (!account) {
    fail(byEmail ? QStringLiteral("unknown e-mail") : QStringLiteral("unknown host name"));
    return;
  }
  // The host is the account's most recently signed-in client other than the caller.
  LinkPtr host;
  for (const LinkPtr& candidate : std::as_const(byClient_)) {
    if (candidate->accountId != account->id || candidate == link || candidate->gone.load()) continue;
    if (!host || candidate->readyOrder > host->readyOrder) host = candidate;
  }
  if (!host) {
    fail(QStringLiteral("host offline"));
    return;
  }
  const QByteArray id = (link->clientId + QLatin1Char('|') + host->clientId).toUtf8();
  if (!sessions_.contains(id)) {
    makeRoomAtHost(link, host);
    if (host->sessions.size() >= kMaxSessionsPerClient && !shareFullHost(link, host)) {
      full();
      return;
    }
    if (link->sessions.size() >= kMaxSessionsPerClient || host->sessions.size() >= kMaxSessionsPerClient) {
      full();
      return;
    }
    auto flow = std::make_shared<SessionFlow>();
    flow->touch();
    flow->load[0] = link->load;
    flow->load[1] = host->load;
    {
      std::unique_lock lock(routesMutex_);
      sessions_.insert(id, Session{link, host, link->accountId, ++sessionCounter_, std::move(flow)});
    }
    link->sessions.insert(id);
    host->sessions.insert(id);
    // Two clients with no other session: their relaying is kept on one thread.
    if (link->sessions.size() == 1 && host->sessions.size() == 1) flow_.colocate(link, host);
  }
  RelaySessionToCaller toCaller;
  toCaller.ref = ref;
  toCaller.Session = QString::fromUtf8(id);
  toCaller.ClientID1 = link->clientId;
  toCaller.ClientID2 = host->clientId;
  toCaller.hostname = account->hostname;
  toCaller.tag = tag;
  toCaller.uname = account->nameAcc;
  toCaller.window = RelayFlow::kCreditWindow;
  RelaySessionToHost toHost;
  toHost.Session = toCaller.Session;
  toHost.ClientID1 = link->clientId;
  toHost.ClientID2 = host->clientId;
  toHost.tag = tag;
  toHost.uname = nameOf(link->accountId);
  toHost.ACC = link->accountId;
  toHost.window = RelayFlow::kCreditWindow;
  sendFrame(host, toHost.toJSONModel());
  sendFrame(link, toCaller.toJSONModel());
  zlog::parts(QStringLiteral("Relay - session"), toCaller.Session);
}

// A connect comes from a signed-in link: it counts against its account alone,
// so that others behind the same address are not shut out.
bool RelayHub::connectAllowed(const LinkPtr& link) const {
  return connectThrottle_.allowed(QStringLiteral("account ") + QString::number(link->accountId));
}

void RelayHub::connectFailed(const LinkPtr& link) {
  connectThrottle_.countWrong(QStringLiteral("account ") + QString::number(link->accountId));
}

// Ends the caller's account's oldest sessions with this host while it holds its share.
void RelayHub::makeRoomAtHost(const LinkPtr& caller, const LinkPtr& host) {
  while (true) {
    int held = 0;
    QByteArray oldest;
    quint64 oldestOrder = 0;
    for (const QByteArray& id : std::as_const(host->sessions)) {
      const auto it = sessions_.constFind(id);
      if (it == sessions_.constEnd() || it->host != host || it->callerAccount != caller->accountId) continue;
      ++held;
      if (oldest.isEmpty() || it->order < oldestOrder) {
        oldest = id;
        oldestOrder = it->order;
      }
    }
    if (held < kMaxSessionsPerPeerAtHost) return;
    zlog::parts(QStringLiteral("Relay - session evicted for a newer one of the same account:"), QString::fromUtf8(oldest));
    endSession(oldest, nullptr);
  }
}

// A full host: a caller whose account holds less than its fair share (the
// host's slots divided among the accounts present, the caller's included)
// takes the slot of the least recently used session of the account holding
// the most. The host's own account is never evicted while it holds no more
// than its reserved slots, and always gets a slot itself.
bool RelayHub::shareFullHost(const LinkPtr& caller, const LinkPtr& host) {
  QHash<qint64, int> held;
  for (const QByteArray& id : std::as_const(host->sessions)) {
    const auto it = sessions_.constFind(id);
    if (it == sessions_.constEnd()) continue;
    // Sessions the host opened itself count as its own account's.
    ++held[it->host == host ? it->callerAccount : host->accountId];
  }
  const bool owner = caller->accountId == host->accountId;
  const int accounts = int(held.size()) + (held.contains(caller->accountId) ? 0 : 1);
  const int share = kMaxSessionsPerClient / std::max(1, accounts);
  if (!owner && held.value(caller->accountId) >= share) return false;
  qint64 biggest = 0;
  int most = 0;
  for (auto it = held.cbegin(); it != held.cend(); ++it) {
    const bool protectedOwner = it.key() == host->accountId && it.value() <= kOwnerReservedSlots;
    if (it.key() == caller->accountId || protectedOwner || it.value() <= most) continue;
    biggest = it.key();
    most = it.value();
  }
  if (most == 0) return false;
  QByteArray idlest;
  qint64 idlestAt = 0;
  for (const QByteArray& id : std::as_const(host->sessions)) {
    const auto it = sessions_.constFind(id);
    if (it == sessions_.constEnd() || it->host != host || it->callerAccount != biggest) continue;
    const qint64 at = it->flow->lastActive.load();
    if (idlest.isEmpty() || at < idlestAt) {
      idlest = id;
      idlestAt = at;
    }
  }
  if (idlest.isEmpty()) return false;
  zlog::parts(QStringLiteral("Relay - session evicted for another account's fair share:"), QString::fromUtf8(idlest));
  endSession(idlest, nullptr);
  return host->sessions.size() < kMaxSessionsPerClient;
}

void RelayHub::handleClose(const LinkPtr& link, const QByteArray& id) {
  if (link->gone.load()) return;
  if (!link->sessions.contains(id)) {
    refuse(link, QStringLiteral("not your session: ") + shown(id));
    return;
  }
  endSession(id, link);
}

// Forgets the session and tells the side(s) that did not close it.
void RelayHub::endSession(const QByteArray& id, const LinkPtr& closedBy) {
  const auto it = sessions_.constFind(id);
  if (it == sessions_.constEnd()) return;
  const Session session = *it;
  session.flow->ended = true;
  {
    std::unique_lock lock(routesMutex_);
    sessions_.remove(id);
  }
  for (const LinkPtr& side : {session.caller, session.host}) {
    side->sessions.remove(id);
    flow_.dropSession(side, id, session.flow);
    if (side != closedBy) {
      RelayClosed closed;
      closed.Session = QString::fromUtf8(id);
      sendFrame(side, closed.toJSONModel());
    }
  }
}

LoadPtr RelayHub::loadOf(qint64 accountId) {
  LoadPtr load = loads_.value(accountId).lock();
  if (!load) {
    load = std::make_shared<AccountLoad>();
    loads_.insert(accountId, load);
  }
  return load;
}

// An account within its share took the budget past its end: sessions of the
// accounts over their share end, those waiting most for the account most
// over it first, until the budget has some room again.
void RelayHub::makeRoomInBudget() {
  flow_.roomMade();
  const RelayBudget& budget = flow_.budget();
  qint64 excess = budget.total() - (budget.bytes() - budget.bytes() / RelayFlow::kRoomDivisor);
  if (excess <= 0) return;
  struct Waiting {
    AccountLoad* load;
    qint64 held;
    qint64 bytes;
    QByteArray id;
  };
  std::vector<Waiting> over;
  for (auto it = sessions_.cbegin(); it != sessions_.cend(); ++it)
    for (int side : {0, 1}) {
      AccountLoad& load = *it->flow->load[side];
      const qint64 bytes = it->flow->queued[side].load();
      if (bytes > 0 && budget.overShare(load)) over.push_back({&load, load.held.load(), bytes, it.key()});
    }
  std::sort(over.begin(), over.end(), [](const Waiting& a, const Waiting& b) {
    return a.held != b.held ? a.held > b.held : a.bytes > b.bytes;
  });
  QHash<AccountLoad*, qint64> freed;
  for (const Waiting& w : over) {
    if (excess <= 0) break;
    if (w.held - freed.value(w.load) <= budget.shareOf(*w.load) || !sessions_.contains(w.id)) continue;
    zlog::parts(QStringLiteral("Relay - session ended, its account holds more than its share:"), shown(w.id));
    endSession(w.id, nullptr);
    excess -= w.bytes;
    freed[w.load] += w.bytes;
  }
}

void RelayHub::dropLink(const LinkPtr& link) {
  if (!link->signedIn.load()) return;
  if (byClient_.value(link->clientId) == link) {
    {
      std::unique_lock lock(routesMutex_);
      byClient_.remove(link->clientId);
    }
    zlog::parts(QStringLiteral("Relay - offline"), link->clientId);
  }
  const auto ids = link->sessions;
  for (const QByteArray& id : ids) endSession(id, link);
}

}  // namespace kelvor
