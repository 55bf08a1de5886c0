#include "front_door.h"

#include "common/net/http_head.h"
#include "core/log.h"

#include <QTcpSocket>
#include <QThread>
#include <QTimer>

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace kelvor {

namespace {

QHostAddress peerOf(qintptr descriptor, quint16* port) {
  sockaddr_storage address{};
  socklen_t size = sizeof address;
  *port = 0;
  if (::getpeername(int(descriptor), reinterpret_cast<sockaddr*>(&address), &size) != 0) return {};
  QHostAddress peer(reinterpret_cast<const sockaddr*>(&address));
  if (address.ss_family == AF_INET) *port = ntohs(reinterpret_cast<const sockaddr_in*>(&address)->sin_port);
  if (address.ss_family == AF_INET6) *port = ntohs(reinterpret_cast<const sockaddr_in6*>(&address)->sin6_port);
  // An IPv4 client of a dual-stack socket reads as itself.
  bool v4 = false;
  const quint32 ip4 = peer.toIPv4Address(&v4);
  return v4 ? QHostAddress(ip4) : peer;
}

QByteArray pathOf(const QByteArray& target) {
  const qsizetype query = target.indexOf('?');
  return query < 0 ? target : target.left(query);
}

}  // namespace

// One connection on its loop, until its first request head has told where it
// goes; for plain HTTP it then carries the bytes both ways.
class FrontConnection : public QObject {
 public:
  FrontConnection(FrontDoor* door, qintptr descriptor) : door_(door), descriptor_(descriptor) {
    peer_ = peerOf(descriptor, &peerPort_);
    const std::lock_guard lock(door_->connectionsMutex_);
    door_->connections_.insert(this);
  }
  ~FrontConnection() override {
    // First: once it holds no place, nothing more is handed to it.
    door_->leaveOpening(this);
    endTurn();
    if (descriptor_ >= 0) ::close(int(descriptor_));  // never started
    const std::lock_guard lock(door_->connectionsMutex_);
    door_->connections_.erase(this);
  }

  // On the loop.
  void start() {
    socket_ = new znet::TlsSocket(this);
    socket_->setReadBufferSize(znet::kMaxHeadBytes * 2);
    connect(socket_, &znet::TlsSocket::readyRead, this, &FrontConnection::onReadable);
    connect(socket_, &znet::TlsSocket::encrypted, this, [this] { handshook_ = true; });
    connect(socket_, &znet::TlsSocket::closed, this, [this](const QString& why) {
      if (!handshook_ && !why.isEmpty())
        zlog::parts(QStringLiteral("TLS - connection dropped:"), why, peer_.toString());
      finish();
    });
    deadline_ = new QTimer(this);
    deadline_->setSingleShot(true);
    connect(deadline_, &QTimer::timeout, this, [this] {
      zlog::parts(QStringLiteral("HTTP - dropped a request that took too long from"), peer_.toString());
      socket_->abort();
      finish();
    });
    deadline_->start(FrontDoor::kHeadDeadlineMs);
    connect(socket_, &znet::TlsSocket::encrypted, this, [this] { endTurn(); });
    turn_ = Turn::Waiting;
    if (door_->takeHandshakeTurn(this)) handshake();
  }

  // On the loop, once its address has a turn for it.
  void handshake() {
    if (descriptor_ < 0 || turn_ == Turn::Ended) return;
    turn_ = Turn::Running;
    socket_->accept(std::exchange(descriptor_, -1), door_->tls_);
  }

  // On the loop: a newer connection took its place.
  void evict() {
    if (std::exchange(routed_, true)) return;
    if (socket_) socket_->abort();
    finish();
  }

  const QHostAddress& peer() const { return peer_; }

 private:
  friend class FrontDoor;
  void onReadable() {
    if (routed_) return;
    for (const QByteArray& chunk : socket_->readChunks()) buffer_ += chunk;
    znet::Head head;
    const qsizetype used = znet::parseRequestHead(buffer_, &head);
    if (used == 0) return;
    deadline_->stop();
    if (!door_->leaveOpening(this)) return evict();  // its place went to a newer one meanwhile
    if (used < 0 || znet::requestFraming(head).kind == znet::Framing::Kind::Invalid) return refuse("400 Bad Request");
    const QByteArray key = head.field("sec-websocket-key");
    if (znet::hasToken(head.field("upgrade"), "websocket")) {
      // Every WebSocket goes to the relay, which closes one of another path.
      if (head.method == "GET" && znet::hasToken(head.field("connection"), "upgrade") &&
          head.field("sec-websocket-version") == "13" && !key.isEmpty())
        return toRelay(pathOf(head.target), key, buffer_.mid(used));
      return refuse("400 Bad Request");
    }
    toHttp();
  }

  void refuse(const char* status) {
    routed_ = true;
    socket_->write(QByteArrayLiteral("HTTP/1.1 ") + status + "\r\nConnection: close\r\nContent-Length: 0\r\n\r\n");
    socket_->closeAfterWrites();
  }

  // The socket leaves with the relay connection (on this loop); this one goes.
  void toRelay(const QByteArray& path, const QByteArray& key, const QByteArray& early) {
    routed_ = true;
    socket_->disconnect(this);
    auto relay = std::make_unique<RelayConnection>(socket_, peer_.toString(), path, key, early,
                                                   door_->relayFirstLimit_);
    socket_ = nullptr;
    door_->relay_(std::move(relay));
    deleteLater();
  }

  // From now on bytes go both ways between the TLS socket and one end of a
  // socket pair; the other end is the HTTP server's connection.
  void toHttp() {
    routed_ = true;
    int pair[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0, pair) != 0) {
      socket_->abort();
      return finish();
    }
    far_ = new QTcpSocket(this);
    if (!far_->setSocketDescriptor(pair[1])) {
      ::close(pair[0]);
      ::close(pair[1]);
      socket_->abort();
      return finish();
    }
    // Runs on the main thread, and only while the tunnel is there (it goes
    // after the front door has ended every connection on the loops).
    HttpTunnel* http = door_->http_;
    QMetaObject::invokeMethod(
        http, [http, near = pair[0], peer = peer_, port = peerPort_] {
          if (!http->adopt(near, peer, port)) ::close(near);
        },
        Qt::QueuedConnection);
    socket_->setReadBufferSize(HttpTunnel::kMaxRequestBytes);
    connect(far_, &QIODevice::readyRead, this, [this] {
      const QByteArray answers = far_->readAll();
      if (!responses_.feed(answers, nullptr)) responsesLost_ = true;
      socket_->write(answers);
      refuseOnceAnswered();
    });
    connect(far_, &QAbstractSocket::disconnected, socket_, &znet::TlsSocket::closeAfterWrites);
    disconnect(socket_, &znet::TlsSocket::readyRead, this, nullptr);
    connect(socket_, &znet::TlsSocket::readyRead, this, [this] {
      for (const QByteArray& chunk : socket_->readChunks()) forward(chunk);
    });
    forward(std::exchange(buffer_, QByteArray()));
  }

  // Request bytes go to the HTTP server only as far as their framing is
  // clear; from a request whose framing is not, nothing more is read.
  void forward(const QByteArray& bytes) {
    if (refusing_) return;
    QByteArray clear;
    const bool ok = requests_.feed(bytes, &clear);
    if (!clear.isEmpty()) far_->write(clear);
    if (ok) return;
    zlog::parts(QStringLiteral("HTTP - refused a request of unclear framing from"), peer_.toString());
    refusing_ = true;
    disconnect(socket_, &znet::TlsSocket::readyRead, this, nullptr);
    refuseOnceAnswered();
  }

  // The 400 follows the answers to the requests before it, then the connection ends.
  void refuseOnceAnswered() {
    if (!refusing_ || far_->state() == QAbstractSocket::UnconnectedState) return;
    if (!responsesLost_ && responses_.completed() < requests_.completed()) return;
    refuse("400 Bad Request");
    far_->disconnect(this);
    far_->abort();
  }

  void finish() {
    if (far_) far_->disconnectFromHost();
    door_->leaveOpening(this);
    endTurn();
    deleteLater();
  }

  // Once: its handshake ended, or it goes (whether it had its turn or not).
  void endTurn() {
    const Turn was = std::exchange(turn_, Turn::Ended);
    if (was == Turn::Waiting || was == Turn::Running) door_->endHandshakeTurn(this);
  }

  FrontDoor* door_;
  qintptr descriptor_;
  QHostAddress peer_;
  quint16 peerPort_ = 0;
  znet::TlsSocket* socket_ = nullptr;
  QTcpSocket* far_ = nullptr;
  QTimer* deadline_ = nullptr;
  QByteArray buffer_;
  // Both ways of a tunnelled connection, message by message.
  znet::MessageStream requests_{znet::MessageStream::Side::Requests};
  znet::MessageStream responses_{znet::MessageStream::Side::Responses};
  bool responsesLost_ = false;  // an answer whose end cannot be told
  bool refusing_ = false;
  bool routed_ = false;
  bool handshook_ = false;
  bool listed_ = false;  // under the door's mutex: it holds a place among those opening
  enum class Turn { NotAsked, Waiting, Running, Ended };
  Turn turn_ = Turn::NotAsked;  // its handshake's
};

FrontDoor::FrontDoor(std::shared_ptr<znet::TlsContext> tls, HttpTunnel* http, RelayLoops& loops,
                     std::function<void(std::unique_ptr<RelayConnection>)> relay, qint64 relayFirstLimit,
                     QObject* parent)
    : QTcpServer(parent),
      tls_(std::move(tls)),
      http_(http),
      loops_(loops),
      relay_(std::move(relay)),
      relayFirstLimit_(relayFirstLimit) {
  // Every connection, relayed, tunnelled or still opening, has its TLS socket.
  auto* trim = new QTimer(this);
  connect(trim, &QTimer::timeout, this,
          [this] { trim_.check(znet::TlsSocket::takePeakAlive(), znet::TlsSocket::alive()); });
  trim->start(1000);
}

FrontDoor::~FrontDoor() {
  close();
  // Each loop deletes its own; none is deleted while it runs.
  loops_.onEach([this] {
    std::vector<FrontConnection*> here;
    {
      const std::lock_guard lock(connectionsMutex_);
      for (FrontConnection* connection : connections_)
        if (connection->thread() == QThread::currentThread()) here.push_back(connection);
    }
    for (FrontConnection* connection : here) delete connection;
  });
}

bool FrontDoor::takeHandshakeTurn(FrontConnection* connection) {
  const std::lock_guard lock(connectionsMutex_);
  Handshakes& here = handshakes_[connection->peer()];
  if (here.running < kHandshakesPerAddress) return ++here.running, true;
  here.waiting.push_back(connection);
  return false;
}

void FrontDoor::endHandshakeTurn(FrontConnection* connection) {
  const std::lock_guard lock(connectionsMutex_);
  const auto it = handshakes_.find(connection->peer());
  if (it == handshakes_.end()) return;
  // One still waiting only leaves; one not listed had a turn (perhaps handed
  // to it and not yet begun), which passes on.
  const bool waited = std::erase(it->waiting, connection) > 0;
  if (!waited && it->waiting.empty()) {
    --it->running;
  } else if (!waited) {
    // The turn passes on; the connection is alive while it is listed (it
    // leaves the list under this lock before it goes).
    FrontConnection* next = it->waiting.front();
    it->waiting.pop_front();
    QMetaObject::invokeMethod(next, [next] { next->handshake(); }, Qt::QueuedConnection);
  }
  if (it->running == 0 && it->waiting.empty()) handshakes_.erase(it);
}

bool FrontDoor::takeOpeningPlace(FrontConnection* connection) {
  const std::lock_guard lock(connectionsMutex_);
  const QHostAddress peer = connection->peer();
  std::deque<FrontConnection*>* own = &opening_[peer];
  std::deque<FrontConnection*>* from = nullptr;
  if (own->size() >= std::size_t(kOpeningPerAddress)) {
    from = own;
  } else if (openingTotal_ >= kMaxOpening) {
    std::size_t most = own->size();
    for (auto it = opening_.begin(); it != opening_.end(); ++it)
      if (it->size() > most) most = it->size(), from = &*it;
    if (!from) {
      if (own->empty()) opening_.remove(peer);
      return false;
    }
  }
  own->push_back(connection);
  connection->listed_ = true;
  ++openingTotal_;
  if (!from) return true;
  // The oldest of that address gives up its place at once and ends on its loop;
  // it is alive while listed (it leaves the list under this lock before it goes).
  FrontConnection* oldest = from->front();
  from->pop_front();
  oldest->listed_ = false;
  --openingTotal_;
  if (from->empty()) opening_.remove(oldest->peer());  // never the newcomer's own
  QMetaObject::invokeMethod(oldest, [oldest] { oldest->evict(); }, Qt::QueuedConnection);
  return true;
}

bool FrontDoor::leaveOpening(FrontConnection* connection) {
  const std::lock_guard lock(connectionsMutex_);
  if (!connection->listed_) return false;
  connection->listed_ = false;
  --openingTotal_;
  const auto it = opening_.find(connection->peer());
  if (it == opening_.end()) return true;
  std::erase(*it, connection);
  if (it->empty()) opening_.erase(it);
  return true;
}

void FrontDoor::incomingConnection(qintptr descriptor) {
  auto* connection = new FrontConnection(this, descriptor);
  if (!takeOpeningPlace(connection)) {
    delete connection;  // closes the descriptor
    return;
  }
  connection->moveToThread(loops_.next());
  QMetaObject::invokeMethod(connection, [connection] { connection->start(); }, Qt::QueuedConnection);
}

}  // namespace kelvor
