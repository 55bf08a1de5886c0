#include "front_door.h"

#include "common/net/http_head.h"
#include "core/log.h"

#include <QTcpSocket>
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

// One connection until its first request head has told where it goes.
class FrontConnection : public QObject {
 public:
  FrontConnection(FrontDoor* door, qintptr descriptor) : QObject(door), door_(door) {
    ++door_->opening_;
    peer_ = peerOf(descriptor, &peerPort_);
    channel_ = new znet::TlsChannel(this);
    channel_->setReadBufferSize(znet::kMaxHeadBytes * 2);
    connect(channel_, &znet::TlsChannel::readyRead, this, &FrontConnection::onReadable);
    connect(channel_, &znet::TlsChannel::encrypted, this, [this] { handshook_ = true; });
    connect(channel_, &znet::TlsChannel::closed, this, [this](const QString& why) {
      if (!handshook_ && !why.isEmpty())
        zlog::parts(QStringLiteral("TLS - connection dropped:"), why, peer_.toString());
      finish();
    });
    deadline_.setSingleShot(true);
    connect(&deadline_, &QTimer::timeout, this, [this] {
      zlog::parts(QStringLiteral("HTTP - dropped a request that took too long from"), peer_.toString());
      channel_->abort();
      finish();
    });
    deadline_.start(FrontDoor::kHeadDeadlineMs);
    channel_->accept(descriptor, door_->tls_);
  }
  ~FrontConnection() override { leaveOpening(); }

 private:
  void onReadable() {
    if (routed_) return;
    buffer_ += channel_->readAll();
    znet::Head head;
    const qsizetype used = znet::parseRequestHead(buffer_, &head);
    if (used == 0) return;
    leaveOpening();
    deadline_.stop();
    if (used < 0) return refuse("400 Bad Request");
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
    channel_->write(QByteArrayLiteral("HTTP/1.1 ") + status + "\r\nConnection: close\r\nContent-Length: 0\r\n\r\n");
    channel_->closeAfterWrites();
  }

  // The channel leaves with the relay connection; this one goes.
  void toRelay(const QByteArray& path, const QByteArray& key, const QByteArray& early) {
    routed_ = true;
    channel_->disconnect(this);
    auto relay = std::make_unique<RelayConnection>(channel_, peer_.toString(), path, key, early,
                                                   door_->relayFirstLimit_);
    channel_ = nullptr;
    door_->relay_(std::move(relay));
    deleteLater();
  }

  // From now on bytes go both ways between the channel and the HTTP server.
  void toHttp() {
    routed_ = true;
    const int fd = door_->http_->open(peer_, peerPort_);
    far_ = new QTcpSocket(this);
    if (fd < 0 || !far_->setSocketDescriptor(fd)) {
      if (fd >= 0) ::close(fd);
      channel_->abort();
      return finish();
    }
    channel_->setReadBufferSize(HttpTunnel::kMaxRequestBytes);
    connect(far_, &QIODevice::readyRead, this, [this] { channel_->write(far_->readAll()); });
    connect(far_, &QAbstractSocket::disconnected, channel_, &znet::TlsChannel::closeAfterWrites);
    far_->write(std::exchange(buffer_, QByteArray()));
    disconnect(channel_, &znet::TlsChannel::readyRead, this, nullptr);
    connect(channel_, &znet::TlsChannel::readyRead, this, [this] { far_->write(channel_->readAll()); });
  }

  void finish() {
    if (far_) far_->disconnectFromHost();
    leaveOpening();
    deleteLater();
  }

  void leaveOpening() {
    if (counted_) return;
    counted_ = true;
    --door_->opening_;
  }

  FrontDoor* door_;
  QHostAddress peer_;
  quint16 peerPort_ = 0;
  znet::TlsChannel* channel_ = nullptr;
  QTcpSocket* far_ = nullptr;
  QTimer deadline_;
  QByteArray buffer_;
  bool routed_ = false;
  bool handshook_ = false;
  bool counted_ = false;
};

FrontDoor::FrontDoor(std::shared_ptr<znet::TlsContext> tls, HttpTunnel* http,
                     std::function<void(std::unique_ptr<RelayConnection>)> relay, qint64 relayFirstLimit,
                     QObject* parent)
    : QTcpServer(parent), tls_(std::move(tls)), http_(http), relay_(std::move(relay)), relayFirstLimit_(relayFirstLimit) {}

void FrontDoor::incomingConnection(qintptr descriptor) {
  if (opening_ >= kMaxOpening) {
    ::close(int(descriptor));
    return;
  }
  new FrontConnection(this, descriptor);
}

}  // namespace kelvor
