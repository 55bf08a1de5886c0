#include "relay_connection.h"

#include <QTimer>
#include <QtEndian>

#include <algorithm>

namespace kelvor {

using namespace znet::ws;

RelayConnection::RelayConnection(znet::TlsSocket* channel, const QString& address, const QByteArray& path,
                                 const QByteArray& acceptKey, QByteArray early, qint64 maxMessage)
    : channel_(channel),
      address_(address),
      path_(path),
      acceptKey_(acceptKey),
      early_(std::move(early)),
      reader_(/*masked=*/true, maxMessage) {
  channel_->setParent(this);
  connect(channel_, &znet::TlsSocket::readyRead, this, &RelayConnection::onReadable);
  connect(channel_, &znet::TlsSocket::bytesWritten, this, &RelayConnection::drained);
  connect(channel_, &znet::TlsSocket::closed, this, [this](const QString& why) {
    if (error_.isEmpty()) error_ = why;
    end();
  });
}

RelayConnection::~RelayConnection() {
  ended_ = true;
  channel_->abort();
  if (arrivals_ && unfinished_ != 0) arrivals_(-unfinished_);
}

void RelayConnection::open() {
  if (ended_) return;
  open_ = true;
  put("HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
                  "Sec-WebSocket-Accept: " +
                  acceptFor(acceptKey_) + "\r\n\r\n");
  if (!early_.isEmpty()) feed(std::exchange(early_, QByteArray()));
  onReadable();  // what arrived while the connection changed hands
}

void RelayConnection::watchSilence(int pingMs, int deadlineMs) {
  pingMs_ = pingMs;
  deadlineMs_ = deadlineMs;
  heard_.start();
  // A child: it moves with the connection from one loop to another.
  auto* timer = new QTimer(this);
  connect(timer, &QTimer::timeout, this, &RelayConnection::checkSilence);
  timer->start(std::max(1, pingMs / 2));
}

void RelayConnection::checkSilence() {
  if (!open_ || ended_) return;
  const qint64 quiet = heard_.elapsed();
  if (quiet >= deadlineMs_) {
    if (error_.isEmpty()) error_ = QStringLiteral("no answer for %1 s").arg(quiet / 1000);
    abort();  // a frozen peer would never take a close frame
    return;
  }
  if (quiet >= pingMs_ && !closing_) put(frame(kPing, {}, {}, false));
}

void RelayConnection::onReadable() {
  if (!open_ || ended_) return;
  for (const QByteArray& arrived : channel_->readChunks()) {
    heard_.start();
    if (ended_ || closing_) return;
    feed(arrived);
  }
}

void RelayConnection::feed(const QByteArray& bytes) {
  if (closing_) return;  // nothing more is read once a close frame went out
  if (reader_.feed(bytes.constData(), bytes.size(), *this) == FrameReader::Result::Fault) {
    error_ = QStringLiteral("the peer sent ") + reader_.error();
    close(kClosePolicy, error_);
  }
  settle();
  if (reader_.unfinished() == 0 || ended_) return;
  progress_.start();
  if (!stall_) {
    stall_ = new QTimer(this);
    stall_->setSingleShot(true);
    connect(stall_, &QTimer::timeout, this, &RelayConnection::stalled);
  }
  if (!stall_->isActive()) stall_->start(kStallMs);
}

void RelayConnection::countArrivals(std::function<bool(qint64)> arrivals) {
  arrivals_ = std::move(arrivals);
  // What already arrived of a message begun before counts from now on (a few KiB at most: nothing larger is taken then).
  if (arrivals_ && unfinished_ != 0 && !arrivals_(unfinished_)) overShare();
}

// Counts what the unfinished message holds now.
void RelayConnection::settle() {
  const qint64 delta = reader_.unfinished() - unfinished_;
  if (delta == 0 || ended_) return;
  unfinished_ += delta;
  if (arrivals_ && !arrivals_(delta)) overShare();
}

void RelayConnection::overShare() {
  if (closing_ || ended_) return;
  error_ = QStringLiteral("messages still arriving beyond the account's share of the relay");
  close(kClosePolicy, error_);
}

void RelayConnection::stalled() {
  if (reader_.unfinished() == 0 || ended_) return;
  const qint64 left = kStallMs - progress_.elapsed();
  if (left > 0) return stall_->start(int(left));
  error_ = QStringLiteral("a message stalled");
  abort();
}

bool RelayConnection::onMessage(quint8 opcode, QByteArray&& message) {
  settle();  // the message is whole: no longer counted as arriving
  if (opcode == kText)
    emit textMessageReceived(QString::fromUtf8(message));
  else
    emit binaryMessageReceived(message);
  return !closing_ && !ended_;
}

bool RelayConnection::onControl(quint8 opcode, const QByteArray& payload) {
  if (opcode == kPing) {
    pong(payload);
    return true;
  }
  if (opcode == kPong) return true;
  // The peer closes: its status code echoed, then the connection ends.
  if (!closing_) {
    closing_ = true;
    put(frame(kClose, payload.left(2), {}, false));
  }
  closeWithin();
  return false;
}

// A peer that pings without reading gets one pong, for its latest ping, once
// what waits for it has gone: nothing it sends piles up here.
void RelayConnection::pong(const QByteArray& payload) {
  if (closing_ || ended_) return;
  if (channel_->bytesToWrite() == 0) return put(frame(kPong, payload, {}, false));
  pongOwed_ = true;
  pongPayload_ = payload;
}

void RelayConnection::drained() {
  if (std::exchange(pongOwed_, false) && !closing_ && !ended_) put(frame(kPong, std::exchange(pongPayload_, {}), {}, false));
  emit bytesWritten();
}

// Sends what is queued, then closes; a peer that does not take it within
// kCloseGraceMs is cut off, so a close always ends.
void RelayConnection::closeWithin() {
  channel_->closeAfterWrites();
  if (ended_ || closeGrace_) return;
  // A child: it moves with the connection from one loop to another.
  closeGrace_ = new QTimer(this);
  closeGrace_->setSingleShot(true);
  connect(closeGrace_, &QTimer::timeout, this, [this] {
    if (ended_) return;
    if (error_.isEmpty()) error_ = QStringLiteral("the close was not taken in time");
    abort();
  });
  closeGrace_->start(kCloseGraceMs);
}

void RelayConnection::sendText(const QString& text) {
  if (closing_ || ended_) return;
  put(frame(kText, text.toUtf8(), {}, false));
}

void RelayConnection::sendBinary(const QByteArray& message) {
  if (closing_ || ended_) return;
  put(header(kBinary, message.size()));
  put(message);
}

void RelayConnection::put(const QByteArray& bytes) {
  handed_ += bytes.size();
  channel_->write(bytes);
}

void RelayConnection::close(quint16 code, const QString& why) {
  if (ended_) return;
  if (!closing_) {
    closing_ = true;
    QByteArray payload(2, Qt::Uninitialized);
    qToBigEndian<quint16>(code, payload.data());
    QString reason = why.left(int(kMaxControlPayload) - 2);
    while (reason.toUtf8().size() > kMaxControlPayload - 2) reason.chop(1);  // whole characters only
    payload += reason.toUtf8();
    put(frame(kClose, payload, {}, false));
  }
  closeWithin();
}

void RelayConnection::abort() {
  channel_->abort();
  end();
}

void RelayConnection::end() {
  if (ended_) return;
  if (arrivals_ && unfinished_ != 0) arrivals_(-std::exchange(unfinished_, 0));
  ended_ = true;
  emit disconnected();
}

}  // namespace kelvor
