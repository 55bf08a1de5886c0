#include "relay_socket.h"

#include "common/net/http_head.h"

#include <QElapsedTimer>
#include <QRandomGenerator>
#include <QTimer>
#include <QUrl>

#include <algorithm>
#include <cstring>

namespace vantrel {

using namespace znet::ws;

RelaySocket::RelaySocket(qint64 maxMessageBytes, QObject* parent)
    : QObject(parent), reader_(/*masked=*/false, maxMessageBytes) {}

RelaySocket::~RelaySocket() {
  if (channel_) channel_->abort();
}

void RelaySocket::open(const QString& hostAndPort, const QString& path, std::shared_ptr<znet::TlsContext> tls) {
  const QUrl url(QStringLiteral("wss://") + hostAndPort + path);
  hostAndPort_ = hostAndPort.toUtf8();
  path_ = url.path(QUrl::FullyEncoded).toUtf8();
  if (!url.isValid() || url.host().isEmpty() || path_.isEmpty()) {
    state_ = State::Closed;
    error_ = QStringLiteral("the relay address is not usable");
    QMetaObject::invokeMethod(this, &RelaySocket::disconnected, Qt::QueuedConnection);
    return;
  }
  channel_ = std::make_unique<znet::TlsChannel>();
  connect(channel_.get(), &znet::TlsChannel::encrypted, this, &RelaySocket::onEncrypted);
  connect(channel_.get(), &znet::TlsChannel::readyRead, this, &RelaySocket::onReadable);
  connect(channel_.get(), &znet::TlsChannel::closed, this, [this](const QString& why) {
    if (error_.isEmpty()) error_ = why.isEmpty() ? QStringLiteral("the relay closed the connection") : why;
    end();
  });
  state_ = State::Upgrading;
  channel_->connectVerified(url.host(), quint16(url.port(443)), std::move(tls));
}

void RelaySocket::onEncrypted() {
  QByteArray nonce(16, Qt::Uninitialized);
  QRandomGenerator::system()->fillRange(reinterpret_cast<quint32*>(nonce.data()), 4);
  key_ = nonce.toBase64();
  channel_->write("GET " + path_ + " HTTP/1.1\r\nHost: " + hostAndPort_ +
                  "\r\nUpgrade: websocket\r\nConnection: Upgrade\r\nSec-WebSocket-Key: " + key_ +
                  "\r\nSec-WebSocket-Version: 13\r\n\r\n");
}

void RelaySocket::onReadable() {
  if (!channel_ || !arrived_.isEmpty()) return;  // still taking what came before
  QByteArray arrived = channel_->readAll();
  if (arrived.isEmpty()) return;
  heard_.start();
  if (state_ == State::Upgrading) {
    buffer_ += arrived;
    znet::Head head;
    const qsizetype used = znet::parseResponseHead(buffer_, &head);
    if (used == 0) return;
    if (used < 0) return fail(QStringLiteral("the relay's answer is malformed"));
    arrived = buffer_.mid(used);
    buffer_.clear();
    if (head.status != 101 || !znet::hasToken(head.field("upgrade"), "websocket") ||
        !znet::hasToken(head.field("connection"), "upgrade") || head.field("sec-websocket-accept") != acceptFor(key_))
      return fail(QStringLiteral("the relay refused the connection (%1)").arg(head.status));
    state_ = State::Open;
    emit connected();
    if (state_ != State::Open) return;
  }
  if ((state_ != State::Open && state_ != State::Closing) || arrived.isEmpty()) return;
  arrived_ = std::move(arrived);
  taken_ = 0;
  takeArrived();
}

// What arrived is taken in steps, and after a few milliseconds the event loop
// has its turn (the client's link among what waits), the rest following then;
// meanwhile nothing more is read, so what the relay sends waits at the network.
void RelaySocket::takeArrived() {
  QElapsedTimer slice;
  slice.start();
  while (taken_ < arrived_.size()) {
    if (!channel_ || (state_ != State::Open && state_ != State::Closing)) break;
    if (slice.elapsed() >= kReadSliceMs) {
      QTimer::singleShot(0, this, &RelaySocket::takeArrived);
      return;
    }
    const qint64 step = std::min<qint64>(kReadStep, arrived_.size() - taken_);
    const auto result = reader_.feed(arrived_.constData() + taken_, step, *this);
    taken_ += step;
    if (result == FrameReader::Result::Fault) {
      arrived_.clear();
      fail(QStringLiteral("the relay sent ") + reader_.error());
      return;
    }
    if (result == FrameReader::Result::Stopped) break;
  }
  arrived_.clear();
  taken_ = 0;
  // What came meanwhile, after the event loop's turn.
  if (channel_ && (state_ == State::Open || state_ == State::Closing))
    QTimer::singleShot(0, this, &RelaySocket::onReadable);
}

bool RelaySocket::onControl(quint8 opcode, const QByteArray& payload) {
  if (opcode == kPing) {
    sendFrame(kPong, payload, {});
    return true;
  }
  if (opcode == kPong) return true;
  if (state_ == State::Open) sendFrame(kClose, payload.left(2), {});  // the status code echoed
  state_ = State::Closing;
  channel_->closeAfterWrites();
  return false;
}

bool RelaySocket::onMessage(quint8 opcode, QByteArray&& message) {
  if (opcode == kText) {
    const QString text = QString::fromUtf8(message);
    emit textMessageReceived(text);
  } else {
    emit binaryMessageReceived(message);
  }
  return state_ == State::Open || state_ == State::Closing;
}

void RelaySocket::sendText(const QString& text) {
  const QByteArray bytes = text.toUtf8();
  sendFrame(kText, bytes, {});
}

void RelaySocket::sendUtf8(QByteArrayView utf8) { sendFrame(kText, utf8, {}); }

void RelaySocket::sendBinary(QByteArrayView head, QByteArrayView body) { sendFrame(kBinary, head, body); }

// One frame, masked with a fresh key as the bytes are copied into it.
void RelaySocket::sendFrame(quint8 opcode, QByteArrayView head, QByteArrayView body) {
  if (!channel_ || (state_ != State::Open && !(state_ == State::Closing && opcode == kClose))) return;
  channel_->write(frame(opcode, head, body, /*masked=*/true));
}

void RelaySocket::watchSilence(int pingMs, int deadlineMs) {
  pingMs_ = pingMs;
  deadlineMs_ = deadlineMs;
  heard_.start();
  auto* timer = new QTimer(this);
  connect(timer, &QTimer::timeout, this, &RelaySocket::checkSilence);
  timer->start(std::max(1, pingMs / 2));
}

void RelaySocket::checkSilence() {
  if (state_ == State::Idle || state_ == State::Closed) return;
  const qint64 quiet = heard_.elapsed();
  if (quiet >= deadlineMs_) return fail(QStringLiteral("no answer from the relay for %1 s").arg(quiet / 1000));
  if (quiet >= pingMs_) sendFrame(kPing, {}, {});  // only once open
}

void RelaySocket::close() {
  if (state_ == State::Open) {
    state_ = State::Closing;
    const quint8 normal[2] = {0x03, 0xE8};  // 1000
    sendFrame(kClose, QByteArrayView(reinterpret_cast<const char*>(normal), 2), {});
    channel_->closeAfterWrites();
    return;
  }
  abort();
}

void RelaySocket::abort() {
  if (channel_) channel_->abort();
  end();
}

void RelaySocket::fail(const QString& why) {
  if (error_.isEmpty()) error_ = why;
  abort();
}

void RelaySocket::end() {
  if (state_ == State::Closed) return;
  state_ = State::Closed;
  emit disconnected();
}

}  // namespace vantrel
