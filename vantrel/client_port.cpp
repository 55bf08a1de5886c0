#include "client_port.h"

#include "core/log.h"

#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>
#include <QWebSocket>
#include <QWebSocketServer>

namespace vantrel {

namespace {

constexpr int kHandshakeTimeoutMs = 5000;  // the WebSocket part, after screening

struct HandshakeRequest {
  QByteArray method;
  QByteArray path;
  QList<QPair<QByteArray, QByteArray>> headers;  // names in lower case

  bool has(const QByteArray& name) const {
    for (const auto& h : headers)
      if (h.first == name) return true;
    return false;
  }
  QByteArray value(const QByteArray& name) const {
    for (const auto& h : headers)
      if (h.first == name) return h.second;
    return {};
  }
};

// Reads the request line and header fields of an HTTP request head.
std::optional<HandshakeRequest> parseHead(const QByteArray& head) {
  const QList<QByteArray> lines = head.split('\n');
  if (lines.isEmpty()) return std::nullopt;
  const QList<QByteArray> first = lines.first().trimmed().split(' ');
  if (first.size() != 3 || !first[2].startsWith("HTTP/")) return std::nullopt;
  HandshakeRequest request{first[0], first[1], {}};
  for (qsizetype i = 1; i < lines.size(); ++i) {
    const QByteArray line = lines[i].trimmed();
    if (line.isEmpty()) continue;
    const qsizetype colon = line.indexOf(':');
    if (colon <= 0) return std::nullopt;
    request.headers.append({line.left(colon).trimmed().toLower(), line.mid(colon + 1).trimmed()});
  }
  return request;
}

// Compares without leaking the position of the first difference through timing.
bool sameSecret(const QByteArray& a, const QByteArray& b) {
  if (a.size() != b.size()) return false;
  unsigned char diff = 0;
  for (qsizetype i = 0; i < a.size(); ++i) diff |= static_cast<unsigned char>(a[i] ^ b[i]);
  return diff == 0;
}

}  // namespace

ClientPort::ClientPort(QObject* parent)
    : QObject(parent),
      tcp_(new QTcpServer(this)),
      ws_(new QWebSocketServer(QStringLiteral("Vantrel"), QWebSocketServer::NonSecureMode, this)) {
  ws_->setHandshakeTimeout(kHandshakeTimeoutMs);
  connect(tcp_, &QTcpServer::newConnection, this, &ClientPort::onTcpConnection);
  connect(ws_, &QWebSocketServer::newConnection, this, &ClientPort::onWebSocket);
}

ClientPort::~ClientPort() {
  if (client_) client_->abort();
}

bool ClientPort::listen(quint16 port, QString* error) {
  // On Unix QTcpServer sets SO_REUSEADDR on its listening socket, so a
  // restarted bridge binds at once even while old connections linger.
  if (tcp_->listen(QHostAddress::LocalHost, port)) return true;
  if (error) *error = tcp_->errorString();
  return false;
}

QAbstractSocket::SocketError ClientPort::listenError() const { return tcp_->serverError(); }

quint16 ClientPort::port() const { return tcp_->serverPort(); }

bool ClientPort::hasClient() const { return client_ != nullptr; }

bool ClientPort::send(const QString& text, bool urgent) {
  if (!client_) return false;
  write(text, urgent);
  return true;
}

bool ClientPort::sendTo(quint64 generation, const QString& text, bool urgent) {
  if (!client_ || generation != generation_) return false;
  write(text, urgent);
  return true;
}

void ClientPort::write(const QString& text, bool urgent) {
  if (urgent || (waiting_.empty() && client_->bytesToWrite() < kMaxWriting)) {
    client_->sendTextMessage(text);
    return;
  }
  waiting_.push_back(text);
}

void ClientPort::writeWaiting() {
  while (client_ && !waiting_.empty() && client_->bytesToWrite() < kMaxWriting) {
    const QString text = std::move(waiting_.front());
    waiting_.pop_front();
    client_->sendTextMessage(text);
  }
}

void ClientPort::onTcpConnection() {
  while (QTcpSocket* socket = tcp_->nextPendingConnection()) {
    if (screening_.size() >= kMaxScreening) {
      QTcpSocket* oldest = screening_.takeFirst();
      zlog::line(QStringLiteral("Vantrel - handshake slots full: the oldest unfinished handshake is dropped"));
      disconnect(oldest, nullptr, this, nullptr);
      oldest->abort();
      oldest->deleteLater();
    }
    screening_.append(socket);
    connect(socket, &QObject::destroyed, this, [this, socket] { screening_.removeOne(socket); });
    auto* timer = new QTimer(socket);
    timer->setSingleShot(true);
    connect(timer, &QTimer::timeout, socket, [this, socket] {
      refuse(socket, "408 Request Timeout", QStringLiteral("handshake not complete in time"));
    });
    timer->start(kScreenTimeoutMs);
    timer->setObjectName(QStringLiteral("screenTimer"));
    connect(socket, &QTcpSocket::readyRead, this, [this, socket] { screen(socket); });
    connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
    if (socket->bytesAvailable() > 0) screen(socket);
  }
}

void ClientPort::stopScreening(QTcpSocket* socket) {
  screening_.removeOne(socket);
  disconnect(socket, &QObject::destroyed, this, nullptr);
  disconnect(socket, &QTcpSocket::readyRead, this, nullptr);
  if (auto* timer = socket->findChild<QTimer*>(QStringLiteral("screenTimer"))) timer->deleteLater();
}

void ClientPort::screen(QTcpSocket* socket) {
  const QByteArray head = socket->peek(kMaxHandshakeBytes);
  const qsizetype end = head.indexOf("\r\n\r\n");
  if (end < 0) {
    if (head.size() >= kMaxHandshakeBytes)
      refuse(socket, "431 Request Header Fields Too Large", QStringLiteral("handshake too large"));
    return;  // wait for the rest of the head
  }
  const auto request = parseHead(head.left(end));
  if (!request || request->method != "GET") {
    refuse(socket, "400 Bad Request", QStringLiteral("not a WebSocket handshake"));
    return;
  }
  QByteArray path = request->path;
  if (const qsizetype q = path.indexOf('?'); q >= 0) path.truncate(q);
  if (path != path_.toUtf8()) {
    refuse(socket, "404 Not Found", QStringLiteral("unknown path"));
    return;
  }
  if (request->has("origin") || request->has("sec-websocket-origin")) {
    refuse(socket, "403 Forbidden", QStringLiteral("a browser origin is not allowed"));
    return;
  }
  if (!secret_.isEmpty() && !sameSecret(request->value("x-zarkelo-secret"), secret_)) {
    refuse(socket, "401 Unauthorized", QStringLiteral("the secret is missing or wrong"));
    return;
  }
  // Hand the socket, with its unread handshake, to the WebSocket server.
  stopScreening(socket);
  disconnect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
  ws_->handleConnection(socket);
}

void ClientPort::refuse(QTcpSocket* socket, const QByteArray& status, const QString& why) {
  zlog::parts(QStringLiteral("Vantrel - connection refused:"), why);
  stopScreening(socket);
  socket->write("HTTP/1.1 " + status + "\r\nContent-Length: 0\r\nConnection: close\r\n\r\n");
  socket->disconnectFromHost();
  if (socket->state() == QAbstractSocket::UnconnectedState) socket->deleteLater();
}

void ClientPort::onWebSocket() {
  while (QWebSocket* socket = ws_->nextPendingConnection()) {
    socket->setParent(this);
    socket->setMaxAllowedIncomingFrameSize(kMaxFrameBytes);
    socket->setMaxAllowedIncomingMessageSize(kMaxFrameBytes);
    if (client_) {
      zlog::line(QStringLiteral("Vantrel - a newer client connection replaces the current one"));
      QWebSocket* old = client_;
      client_ = nullptr;
      disconnect(old, nullptr, this, nullptr);
      old->close(QWebSocketProtocol::CloseCodeNormal, QStringLiteral("replaced by a newer connection"));
      old->deleteLater();
      waiting_.clear();
      emit clientDisconnected();
    }
    client_ = socket;
    ++generation_;
    connect(socket, &QWebSocket::bytesWritten, this, [this, socket] {
      if (socket == client_) writeWaiting();
    });
    connect(socket, &QWebSocket::textMessageReceived, this, [this, socket](const QString& text) {
      if (socket == client_) emit textReceived(text);
    });
    connect(socket, &QWebSocket::binaryMessageReceived, this, [](const QByteArray& bytes) {
      zlog::parts(QStringLiteral("Vantrel - binary frame dropped, bytes:"), QString::number(bytes.size()));
    });
    connect(socket, &QWebSocket::disconnected, this, [this, socket] {
      socket->deleteLater();
      if (socket != client_) return;
      client_ = nullptr;
      waiting_.clear();
      zlog::line(QStringLiteral("Vantrel - client disconnected"));
      emit clientDisconnected();
    });
    zlog::line(QStringLiteral("Vantrel - client connected"));
    emit clientConnected();
  }
}

}  // namespace vantrel
