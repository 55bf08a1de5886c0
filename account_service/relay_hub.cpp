#include "relay_hub.h"

#include "core/log.h"
#include "protocol/data_frame.h"
#include "wire_models.h"

#include <QTimer>
#include <QWebSocket>

namespace kelvor {

bool jsonDepthWithin(const QByteArray& text, int limit) {
  return vex::nestingDepth(std::string_view(text.constData(), std::size_t(text.size()))) <= std::size_t(limit);
}

namespace {

QString textField(const vex::Json& frame, const char* key) {
  const auto it = frame.find(key);
  if (it == frame.end() || !it->is_string()) return {};
  return QString::fromStdString(it->get<std::string>());
}

vex::Json refOf(const vex::Json& frame) {
  const auto it = frame.find("ref");
  if (it == frame.end() || !(it->is_string() || it->is_number())) return nullptr;
  return *it;
}

}  // namespace

RelayHub::RelayHub(ServiceCore& core, QObject* parent) : QObject(parent), core_(core) {}

RelayHub::~RelayHub() {
  std::vector<QWebSocket*> sockets;
  for (const auto& entry : peers_) sockets.push_back(entry.first);
  for (QWebSocket* socket : sockets) {
    socket->disconnect(this);
    socket->abort();
    delete socket;
  }
}

void RelayHub::accept(std::unique_ptr<QWebSocket> owned) {
  QWebSocket* socket = owned.release();
  socket->setParent(nullptr);
  socket->setMaxAllowedIncomingMessageSize(static_cast<quint64>(kMaxMessage));
  socket->setMaxAllowedIncomingFrameSize(static_cast<quint64>(kMaxMessage));
  if (socket->requestUrl().path() != QLatin1String("/relay")) {
    zlog::parts(QStringLiteral("Relay - refused a WebSocket on"), socket->requestUrl().path());
    socket->close(QWebSocketProtocol::CloseCodePolicyViolated, QStringLiteral("unknown path"));
    socket->deleteLater();
    return;
  }
  Peer peer;
  peer.socket = socket;
  peer.helloTimer = new QTimer(socket);
  peer.helloTimer->setSingleShot(true);
  peer.helloTimer->start(kHelloTimeoutMs);
  connect(peer.helloTimer, &QTimer::timeout, this, [this, socket] {
    auto it = peers_.find(socket);
    if (it != peers_.end() && it->second.clientId.isEmpty())
      refuse(it->second, QStringLiteral("no hello in time"), true);
  });
  peers_.emplace(socket, peer);
  connect(socket, &QWebSocket::textMessageReceived, this,
          [this, socket](const QString& text) { onText(socket, text); });
  connect(socket, &QWebSocket::binaryMessageReceived, this,
          [this, socket](const QByteArray& message) { onBinary(socket, message); });
  connect(socket, &QWebSocket::disconnected, this, [this, socket] { onGone(socket); });
  connect(socket, QOverload<QAbstractSocket::SocketError>::of(&QWebSocket::error), this, [socket](QAbstractSocket::SocketError) {
    zlog::parts(QStringLiteral("Relay - connection dropped:"), socket->errorString());
  });
}

void RelayHub::send(QWebSocket* socket, const vex::Json& frame) {
  const auto text = vex::dump(frame);
  if (!text) return;
  socket->sendTextMessage(QString::fromStdString(*text));
}

void RelayHub::refuse(Peer& peer, const QString& why, bool close) {
  RelayError error;
  error.error = why;
  send(peer.socket, error.toJSONModel());
  zlog::parts(QStringLiteral("Relay - refused:"), why,
              peer.clientId.isEmpty() ? QStringLiteral("(not signed in)") : peer.clientId);
  if (close) peer.socket->close(QWebSocketProtocol::CloseCodePolicyViolated, why);
}

void RelayHub::onText(QWebSocket* socket, const QString& text) {
  auto it = peers_.find(socket);
  if (it == peers_.end()) return;
  Peer& peer = it->second;
  const QByteArray bytes = text.toUtf8();
  if (bytes.size() > kMaxMessage) {
    refuse(peer, QStringLiteral("frame too large"), true);
    return;
  }
  if (!jsonDepthWithin(bytes, kMaxJsonDepth)) {
    refuse(peer, QStringLiteral("frame nested too deeply"));
    return;
  }
  const auto frame = vex::Json::parse(bytes.constData(), bytes.constData() + bytes.size(), nullptr, false);
  if (!frame.is_object()) {
    refuse(peer, QStringLiteral("not a JSON object"));
    return;
  }
  const QString op = textField(frame, "op");
  if (peer.clientId.isEmpty()) {
    if (op == QLatin1String("hello"))
      handleHello(peer, frame);
    else
      refuse(peer, QStringLiteral("say hello first"), true);
    return;
  }
  if (op == QLatin1String("connect")) {
    handleConnect(peer, frame);
  } else if (op == QLatin1String("relay")) {
    handleRelay(peer, frame);
  } else if (op == QLatin1String("close")) {
    handleClose(peer, frame);
  } else if (op == QLatin1String("ping")) {
    send(socket, RelayPong{}.toJSONModel());
  } else if (op == QLatin1String("hello")) {
    refuse(peer, QStringLiteral("already signed in"));
  } else {
    refuse(peer, QStringLiteral("unknown op: ") + op.left(64));
  }
}

void RelayHub::handleHello(Peer& peer, const vex::Json& frame) {
  const auto session = core_.sessionByToken(textField(frame, "Token"));
  if (!session) {
    refuse(peer, QStringLiteral("unknown token"), true);
    return;
  }
  // One connection per login: a newer one replaces the older.
  if (QWebSocket* older = byClient_.value(session->clientId)) {
    onGone(older);
    older->close(QWebSocketProtocol::CloseCodeNormal, QStringLiteral("replaced by a newer connection"));
  }
  peer.clientId = session->clientId;
  peer.accountId = session->accountId;
  peer.readyOrder = ++readyCounter_;
  peer.helloTimer->stop();
  byClient_.insert(peer.clientId, peer.socket);
  RelayReady ready;
  ready.ClientID = peer.clientId;
  ready.ACC = peer.accountId;
  send(peer.socket, ready.toJSONModel());
  zlog::parts(QStringLiteral("Relay - online"), peer.clientId, QString::number(peer.accountId));
}

RelayHub::Peer* RelayHub::peerOf(const QString& clientId) {
  QWebSocket* socket = byClient_.value(clientId);
  if (!socket) return nullptr;
  auto it = peers_.find(socket);
  return it == peers_.end() ? nullptr : &it->second;
}

QString RelayHub::nameOf(qint64 accountId) {
  const auto account = core_.store().findById(accountId);
  return account ? account->nameAcc : QString();
}

void RelayHub::handleConnect(Peer& peer, const vex::Json& frame) {
  const vex::Json ref = refOf(frame);
  const QString hostname = textField(frame, "hostname").toLower();
  const QString tag = textField(frame, "tag");
  auto fail = [&](const QString& why) {
    RelayConnectFailed failed;
    failed.ref = ref;
    failed.error = why;
    send(peer.socket, failed.toJSONModel());
  };
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
  Peer* host = nullptr;
  for (auto& [socket, candidate] : peers_) {
    if (candidate.clientId.isEmpty() || candidate.accountId != account->id || candidate.clientId == peer.clientId)
      continue;
    if (!host || candidate.readyOrder > host->readyOrder) host = &candidate;
  }
  if (!host) {
    fail(QStringLiteral("host offline"));
    return;
  }
  const QString id = peer.clientId + QLatin1Char('|') + host->clientId;
  if (!sessions_.contains(id)) {
    if (peer.sessions.size() >= kMaxSessionsPerClient || host->sessions.size() >= kMaxSessionsPerClient) {
      fail(QStringLiteral("too many sessions"));
      return;
    }
    sessions_.insert(id, Session{peer.clientId, host->clientId});
    peer.sessions.insert(id);
    host->sessions.insert(id);
  }
  RelaySessionToCaller toCaller;
  toCaller.ref = ref;
  toCaller.Session = id;
  toCaller.ClientID1 = peer.clientId;
  toCaller.ClientID2 = host->clientId;
  toCaller.hostname = account->hostname;
  toCaller.tag = tag;
  toCaller.uname = account->nameAcc;
  RelaySessionToHost toHost;
  toHost.Session = id;
  toHost.ClientID1 = peer.clientId;
  toHost.ClientID2 = host->clientId;
  toHost.tag = tag;
  toHost.uname = nameOf(peer.accountId);
  toHost.ACC = peer.accountId;
  send(host->socket, toHost.toJSONModel());
  send(peer.socket, toCaller.toJSONModel());
  zlog::parts(QStringLiteral("Relay - session"), id);
}

void RelayHub::handleRelay(Peer& peer, const vex::Json& frame) {
  const QString id = textField(frame, "Session");
  const auto it = sessions_.constFind(id);
  if (it == sessions_.constEnd() || !peer.sessions.contains(id)) {
    refuse(peer, QStringLiteral("not your session: ") + id.left(80));
    return;
  }
  const auto body = frame.find("frame");
  if (body == frame.end()) {
    refuse(peer, QStringLiteral("relay without frame"));
    return;
  }
  const QString other = it->caller == peer.clientId ? it->host : it->caller;
  Peer* target = peerOf(other);
  if (!target) {
    endSession(id, QString());
    return;
  }
  RelayForward forward;
  forward.Session = id;
  forward.from = peer.clientId;
  forward.frame = *body;
  send(target->socket, forward.toJSONModel());
}

// A data frame goes unchanged to the other client of its session; only the
// session is read from it.
void RelayHub::onBinary(QWebSocket* socket, const QByteArray& message) {
  auto it = peers_.find(socket);
  if (it == peers_.end()) return;
  Peer& peer = it->second;
  if (peer.clientId.isEmpty()) {
    refuse(peer, QStringLiteral("say hello first"), true);
    return;
  }
  const auto sessionView = protocol::dataFrameSession(message);
  const QString id = sessionView ? QString::fromUtf8(sessionView->data(), sessionView->size()) : QString();
  const auto session = sessions_.constFind(id);
  if (session == sessions_.constEnd() || !peer.sessions.contains(id)) {
    refuse(peer, QStringLiteral("data frame outside your sessions"));
    return;
  }
  Peer* target = peerOf(session->caller == peer.clientId ? session->host : session->caller);
  if (!target) {
    endSession(id, QString());
    return;
  }
  target->socket->sendBinaryMessage(message);
}

void RelayHub::handleClose(Peer& peer, const vex::Json& frame) {
  const QString id = textField(frame, "Session");
  if (!peer.sessions.contains(id)) {
    refuse(peer, QStringLiteral("not your session: ") + id.left(80));
    return;
  }
  endSession(id, peer.clientId);
}

// Forgets the session and tells the side(s) that did not close it.
void RelayHub::endSession(const QString& id, const QString& closedBy) {
  const auto it = sessions_.constFind(id);
  if (it == sessions_.constEnd()) return;
  const Session session = *it;
  sessions_.remove(id);
  for (const QString& clientId : {session.caller, session.host}) {
    Peer* p = peerOf(clientId);
    if (!p) continue;
    p->sessions.remove(id);
    if (clientId != closedBy) {
      RelayClosed closed;
      closed.Session = id;
      send(p->socket, closed.toJSONModel());
    }
  }
}

void RelayHub::onGone(QWebSocket* socket) {
  auto it = peers_.find(socket);
  if (it == peers_.end()) return;
  const Peer peer = it->second;
  peers_.erase(it);
  if (!peer.clientId.isEmpty() && byClient_.value(peer.clientId) == socket) byClient_.remove(peer.clientId);
  for (const QString& id : peer.sessions) endSession(id, peer.clientId);
  if (!peer.clientId.isEmpty()) zlog::parts(QStringLiteral("Relay - offline"), peer.clientId);
  socket->disconnect(this);
  socket->deleteLater();
}

}  // namespace kelvor
