#include "service_link.h"

#include "core/log.h"
#include "core/service_config.h"
#include "protocol/relay_limits.h"

#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QSslConfiguration>

#include <memory>

namespace vantrel {

namespace {
constexpr qint64 kMaxLoginAnswerBytes = 1024 * 1024;
constexpr int kLoginTimeoutMs = 15000;
}  // namespace

ServiceLink::ServiceLink(QNetworkAccessManager* network, QObject* parent) : QObject(parent), network_(network) {
  retryTimer_.setSingleShot(true);
  connect(&retryTimer_, &QTimer::timeout, this, &ServiceLink::connectRelay);
  heldTimer_.setInterval(2);
  connect(&heldTimer_, &QTimer::timeout, this, &ServiceLink::releaseHeld);
}

ServiceLink::~ServiceLink() {
  wanted_ = false;
  if (socket_) {
    disconnect(socket_, nullptr, this, nullptr);
    socket_->abort();
  }
}

void ServiceLink::setPing(int pingMs, int silenceMs) {
  pingMs_ = pingMs;
  silenceMs_ = silenceMs;
}

void ServiceLink::login(const ServiceLoginRequest& body, LoginDone done) {
  QNetworkRequest request(QUrl(serviceconfig::apiBase() + QStringLiteral("bridge/login")));
  request.setHeader(QNetworkRequest::ContentTypeHeader, QStringLiteral("application/json"));
  request.setTransferTimeout(kLoginTimeoutMs);
  QNetworkReply* reply = network_->post(request, modelText(body).toUtf8());
  auto answer = std::make_shared<QByteArray>();
  connect(reply, &QNetworkReply::readyRead, reply, [reply, answer] {
    if (answer->size() + reply->bytesAvailable() > kMaxLoginAnswerBytes) {
      reply->abort();
      return;
    }
    answer->append(reply->readAll());
  });
  connect(reply, &QNetworkReply::finished, this, [reply, answer, done] {
    reply->deleteLater();
    answer->append(reply->readAll());
    // The service answers refusals with a JSON body too; take any JSON object.
    const auto tree = parseJson(*answer);
    if (tree && tree->is_object()) return done(*tree, QString());
    if (reply->error() != QNetworkReply::NoError) return done(std::nullopt, reply->errorString());
    done(std::nullopt, QStringLiteral("the service's answer is not JSON"));
  });
}

void ServiceLink::open(const QString& token) {
  close();
  token_ = token;
  wanted_ = true;
  retryMs_ = firstRetryMs_;
  connectRelay();
}

void ServiceLink::close() {
  wanted_ = false;
  retryTimer_.stop();
  const bool wasReady = ready_;
  ready_ = false;
  clientId_.clear();
  dropHeld();
  if (socket_) {
    RelaySocket* old = socket_;
    socket_ = nullptr;
    disconnect(old, nullptr, this, nullptr);
    old->close();
    old->deleteLater();
  }
  if (wasReady) emit lost();
}

void ServiceLink::signOut(std::function<void()> done) {
  RelaySocket* socket = socket_;
  socket_ = nullptr;
  token_.clear();
  close();
  auto finish = std::make_shared<std::function<void()>>(std::move(done));
  const auto once = [finish] {
    if (!*finish) return;
    const std::function<void()> run = std::move(*finish);
    *finish = nullptr;
    run();
  };
  if (!socket) {
    QTimer::singleShot(0, this, once);
    return;
  }
  disconnect(socket, nullptr, this, nullptr);
  connect(socket, &RelaySocket::disconnected, this, [socket, once] {
    socket->deleteLater();
    once();
  });
  QTimer::singleShot(kSignOutMs, socket, [socket] { socket->abort(); });
  socket->close();
}

bool ServiceLink::send(const Json& op) {
  if (!socket_ || (!ready_ && textOf(op, "op") != QLatin1String("hello"))) return false;
  const auto text = vex::dump(op);
  if (!text) return false;
  return write(QByteArray::fromStdString(*text), textOf(op, "op"));
}

bool ServiceLink::goesAtOnce(qint64 bytes) const {
  return bytes < kLargeMessage || bytes > protocol::kMaxRelayControlMessage ||
         (held_.isEmpty() && socket_ && socket_->bytesToWrite() < kMaxBacklog);
}

bool ServiceLink::takes(const QString& session, const QString& account, qint64 bytes) const {
  if (goesAtOnce(bytes)) return true;
  const auto queue = held_.constFind(session);
  if (queue != held_.constEnd() && int(queue->size()) >= kMaxHeld) return false;
  const qint64 ofAccount = heldByAccount_.value(account.isEmpty() ? session : account);
  if (ofAccount == 0) return true;
  return ofAccount + bytes <= kMaxHeldPerAccount && heldBytes_ + bytes <= kMaxHeldInAll;
}

bool ServiceLink::sendWritten(const QByteArray& utf8, const QString& session, const QString& account) {
  if (!socket_ || !ready_) return false;
  if (goesAtOnce(utf8.size())) return write(utf8, QStringLiteral("relay"));
  std::deque<Held>& queue = held_[session];
  if (queue.empty()) heldTurns_.append(session);
  queue.push_back(Held{utf8, account.isEmpty() ? session : account});
  heldByAccount_[queue.back().account] += utf8.size();
  heldBytes_ += utf8.size();
  if (!heldTimer_.isActive()) heldTimer_.start();
  return true;
}

void ServiceLink::forgetHeld(const Held& held) {
  heldBytes_ -= held.message.size();
  const auto it = heldByAccount_.find(held.account);
  if (it != heldByAccount_.end() && (*it -= held.message.size()) <= 0) heldByAccount_.erase(it);
}

void ServiceLink::releaseHeld() {
  while (socket_ && !heldTurns_.isEmpty() && socket_->bytesToWrite() < kMaxBacklog) {
    const QString session = heldTurns_.takeFirst();
    std::deque<Held>& queue = held_[session];
    const Held held = std::move(queue.front());
    queue.pop_front();
    if (queue.empty())
      held_.remove(session);
    else
      heldTurns_.append(session);
    forgetHeld(held);
    write(held.message, QStringLiteral("relay"));
  }
  if (heldTurns_.isEmpty() || !socket_) {
    heldTimer_.stop();
    if (!socket_) dropHeld();
  }
}

void ServiceLink::dropSession(const QString& session) {
  const auto it = held_.find(session);
  if (it == held_.end()) return;
  for (const Held& held : *it) forgetHeld(held);
  held_.erase(it);
  heldTurns_.removeAll(session);
  if (heldTurns_.isEmpty()) heldTimer_.stop();
}

void ServiceLink::dropHeld() {
  held_.clear();
  heldTurns_.clear();
  heldByAccount_.clear();
  heldBytes_ = 0;
  heldTimer_.stop();
}

bool ServiceLink::write(const QByteArray& utf8, const QString& what) {
  if (utf8.isEmpty()) return false;
  // The relay would close this connection, and every session on it, for a larger one.
  if (utf8.size() > protocol::kMaxRelayControlMessage) {
    zlog::parts(QStringLiteral("Vantrel - message too large for the relay, not sent:"), zlog::excerpt(what));
    return false;
  }
  socket_->sendUtf8(utf8);
  return true;
}

bool ServiceLink::sendBinary(QByteArrayView head, QByteArrayView body) {
  if (!socket_ || !ready_) return false;
  socket_->sendBinary(head, body);
  return true;
}

void ServiceLink::connectRelay() {
  if (!wanted_) return;
  if (!tls_) {
    // The authorities the default configuration trusts besides the system's
    // (the service's own authority, when one is configured).
    QList<QByteArray> authorities;
    for (const QSslCertificate& certificate : QSslConfiguration::defaultConfiguration().caCertificates())
      authorities.append(certificate.toPem());
    tls_ = znet::TlsContext::verifyingClient(authorities);
  }
  auto* socket = new RelaySocket(kMaxFrameBytes, this);
  socket_ = socket;
  connect(socket, &RelaySocket::connected, this, [this, socket] {
    HelloOp hello;
    hello.Token = token_;
    socket->sendText(modelText(hello));
  });
  connect(socket, &RelaySocket::textMessageReceived, this, &ServiceLink::onText);
  connect(socket, &RelaySocket::binaryMessageReceived, this, [this](const QByteArray& message) {
    if (ready_) emit binaryReceived(message);
  });
  connect(socket, &RelaySocket::disconnected, this, [this, socket] {
    if (socket == socket_) onDropped();
  });
  socket->watchSilence(pingMs_, silenceMs_);
  socket->open(serviceconfig::serviceHost(), QStringLiteral("/relay"), tls_);
}

void ServiceLink::onText(const QString& text) {
  const auto op = parseJson(text);
  if (!op || !op->is_object()) {
    zlog::line(QStringLiteral("Vantrel - relay frame is not a JSON object, dropped"));
    return;
  }
  const QString name = textOf(*op, "op");
  if (name == QLatin1String("pong")) return;
  if (name == QLatin1String("ready")) {
    ready_ = true;
    retryMs_ = firstRetryMs_;
    clientId_ = textOf(*op, "ClientID");
    zlog::parts(QStringLiteral("Vantrel - relay ready as"), clientId_);
    emit ready(clientId_);
    return;
  }
  if (name == QLatin1String("error") && !ready_) {
    const QString why = textOf(*op, "error");
    zlog::parts(QStringLiteral("Vantrel - relay refused:"), why.left(200));
    if (why == QLatin1String("unknown token")) emit tokenRefused();
    return;  // the service closes the connection; a retry follows
  }
  emit opReceived(*op);
}

void ServiceLink::onDropped() {
  RelaySocket* socket = socket_;
  if (socket) {
    zlog::parts(QStringLiteral("Vantrel - relay closed:"), socket->errorString());
    socket_ = nullptr;
    disconnect(socket, nullptr, this, nullptr);
    socket->deleteLater();
  }
  const bool wasReady = ready_;
  ready_ = false;
  dropHeld();
  if (wasReady) emit lost();
  scheduleRetry();
}

void ServiceLink::scheduleRetry() {
  if (!wanted_) return;
  retryTimer_.start(retryMs_);
  retryMs_ = std::min(retryMs_ * 2, maxRetryMs_);
}

}  // namespace vantrel
