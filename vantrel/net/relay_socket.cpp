#include "relay_socket.h"

#include "lan_http.h"

#include <QCryptographicHash>
#include <QRandomGenerator>
#include <QUrl>
#include <QtEndian>

#include <cstring>

namespace vantrel {

namespace {

constexpr quint8 kContinuation = 0x0;
constexpr quint8 kText = 0x1;
constexpr quint8 kBinary = 0x2;
constexpr quint8 kClose = 0x8;
constexpr quint8 kPing = 0x9;
constexpr quint8 kPong = 0xA;
constexpr qint64 kMaxControlPayload = 125;
constexpr char kAcceptMagic[] = "258EAFA5-E914-47DA-95CA-C5AB0DC85B11";

QByteArray acceptFor(const QByteArray& key) {
  return QCryptographicHash::hash(key + kAcceptMagic, QCryptographicHash::Sha1).toBase64();
}

bool hasToken(const QByteArray& field, const char* token) {
  for (const QByteArray& part : field.split(','))
    if (part.trimmed().compare(token, Qt::CaseInsensitive) == 0) return true;
  return false;
}

}  // namespace

RelaySocket::RelaySocket(qint64 maxMessageBytes, QObject* parent) : QObject(parent), maxMessage_(maxMessageBytes) {}

RelaySocket::~RelaySocket() {
  if (channel_) channel_->abort();
}

void RelaySocket::maskCopy(char* to, const char* from, qint64 size, const quint8 key[4], int phase) {
  // Eight bytes at a time; the mask repeats every four, so k[i % 8] is the
  // mask byte of position i.
  quint8 k[8];
  for (int i = 0; i < 8; ++i) k[i] = key[(phase + i) % 4];
  quint64 k64;
  std::memcpy(&k64, k, 8);
  qint64 i = 0;
  for (; i + 8 <= size; i += 8) {
    quint64 v;
    std::memcpy(&v, from + i, 8);
    v ^= k64;
    std::memcpy(to + i, &v, 8);
  }
  for (; i < size; ++i) to[i] = char(quint8(from[i]) ^ k[i % 8]);
}

void RelaySocket::open(const QString& hostAndPort, const QString& path, std::shared_ptr<TlsContext> tls) {
  const QUrl url(QStringLiteral("wss://") + hostAndPort + path);
  hostAndPort_ = hostAndPort.toUtf8();
  path_ = url.path(QUrl::FullyEncoded).toUtf8();
  if (!url.isValid() || url.host().isEmpty() || path_.isEmpty()) {
    state_ = State::Closed;
    error_ = QStringLiteral("the relay address is not usable");
    QMetaObject::invokeMethod(this, &RelaySocket::disconnected, Qt::QueuedConnection);
    return;
  }
  channel_ = std::make_unique<TlsChannel>();
  connect(channel_.get(), &TlsChannel::encrypted, this, &RelaySocket::onEncrypted);
  connect(channel_.get(), &TlsChannel::readyRead, this, &RelaySocket::onReadable);
  connect(channel_.get(), &TlsChannel::closed, this, [this](const QString& why) {
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
  if (!channel_) return;
  QByteArray arrived = channel_->readAll();
  if (state_ == State::Upgrading) {
    buffer_ += arrived;
    lan::Head head;
    const qsizetype used = lan::parseResponseHead(buffer_, &head);
    if (used == 0) return;
    if (used < 0) return fail(QStringLiteral("the relay's answer is malformed"));
    arrived = buffer_.mid(used);
    buffer_.clear();
    if (head.status != 101 || !hasToken(head.field("upgrade"), "websocket") ||
        !hasToken(head.field("connection"), "upgrade") || head.field("sec-websocket-accept") != acceptFor(key_))
      return fail(QStringLiteral("the relay refused the connection (%1)").arg(head.status));
    state_ = State::Open;
    emit connected();
    if (state_ != State::Open) return;
  }
  if ((state_ == State::Open || state_ == State::Closing) && !arrived.isEmpty())
    feed(arrived.constData(), arrived.size());
}

// Frames as they come, in pieces of any size; payloads are copied once, into
// the message (or the control frame) they belong to.
bool RelaySocket::feed(const char* data, qint64 size) {
  while (size > 0) {
    if (stage_ == Stage::Header) {
      const int take = int(std::min<qint64>(headerNeed_ - headerHave_, size));
      std::memcpy(header_ + headerHave_, data, size_t(take));
      headerHave_ += take, data += take, size -= take;
      if (headerHave_ < headerNeed_) continue;
      if (!headerDone()) return false;
      continue;
    }
    const qint64 take = std::min(remaining_, size);
    QByteArray& into = opcode_ >= kClose ? control_ : message_;
    into.append(data, take);
    data += take, size -= take, remaining_ -= take;
    if (remaining_ == 0 && !frameDone()) return false;
  }
  return true;
}

bool RelaySocket::headerDone() {
  if (headerNeed_ == 2) {
    const quint8 length = header_[1] & 0x7F;
    if (header_[1] & 0x80) return fail(QStringLiteral("the relay sent a masked frame")), false;
    if (header_[0] & 0x70) return fail(QStringLiteral("the relay sent reserved bits")), false;
    headerNeed_ = length == 126 ? 4 : length == 127 ? 10 : 2;
    if (headerNeed_ > 2) return true;  // the extended length follows
  }
  fin_ = header_[0] & 0x80;
  opcode_ = header_[0] & 0x0F;
  const quint8 length = header_[1] & 0x7F;
  quint64 size = length;
  if (length == 126) size = qFromBigEndian<quint16>(header_ + 2);
  if (length == 127) size = qFromBigEndian<quint64>(header_ + 2);
  headerHave_ = 0;
  headerNeed_ = 2;
  if (opcode_ >= kClose) {
    if (opcode_ != kClose && opcode_ != kPing && opcode_ != kPong)
      return fail(QStringLiteral("the relay sent an unknown frame")), false;
    if (!fin_ || size > quint64(kMaxControlPayload))
      return fail(QStringLiteral("the relay sent a malformed control frame")), false;
    control_.clear();
  } else {
    if (opcode_ != kContinuation && opcode_ != kText && opcode_ != kBinary)
      return fail(QStringLiteral("the relay sent an unknown frame")), false;
    if ((opcode_ == kContinuation) != (messageOpcode_ != 0))
      return fail(QStringLiteral("the relay sent frames out of order")), false;
    if (size > quint64(maxMessage_) || quint64(message_.size()) + size > quint64(maxMessage_))
      return fail(QStringLiteral("the relay sent a message that is too large")), false;
    if (opcode_ != kContinuation) messageOpcode_ = opcode_, message_.clear();
    // Room for this frame, and a little for a short frame that may follow.
    message_.reserve(message_.size() + qsizetype(size) + (fin_ ? 0 : 4096));
  }
  remaining_ = qint64(size);
  stage_ = Stage::Payload;
  return remaining_ > 0 || frameDone();
}

bool RelaySocket::frameDone() {
  stage_ = Stage::Header;
  if (opcode_ == kPing) {
    sendFrame(kPong, control_, {});
    return true;
  }
  if (opcode_ == kPong) return true;
  if (opcode_ == kClose) {
    if (state_ == State::Open) sendFrame(kClose, control_.left(2), {});  // the status code echoed
    state_ = State::Closing;
    channel_->closeAfterWrites();
    return false;
  }
  if (!fin_) return true;
  const quint8 opcode = messageOpcode_;
  messageOpcode_ = 0;
  QByteArray message = std::exchange(message_, QByteArray());
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

void RelaySocket::sendBinary(QByteArrayView head, QByteArrayView body) { sendFrame(kBinary, head, body); }

// One frame, masked with a fresh key as the bytes are copied into it.
void RelaySocket::sendFrame(quint8 opcode, QByteArrayView head, QByteArrayView body) {
  if (!channel_ || (state_ != State::Open && !(state_ == State::Closing && opcode == kClose))) return;
  const qint64 size = head.size() + body.size();
  const int lengthBytes = size < 126 ? 0 : size <= 0xFFFF ? 2 : 8;
  const int headerBytes = 2 + lengthBytes + 4;
  QByteArray frame(headerBytes + size, Qt::Uninitialized);
  auto* out = reinterpret_cast<quint8*>(frame.data());
  out[0] = quint8(0x80 | opcode);
  out[1] = quint8(0x80 | (lengthBytes == 0 ? size : lengthBytes == 2 ? 126 : 127));
  if (lengthBytes == 2) qToBigEndian<quint16>(quint16(size), out + 2);
  if (lengthBytes == 8) qToBigEndian<quint64>(quint64(size), out + 2);
  quint8* key = out + 2 + lengthBytes;
  const quint32 random = QRandomGenerator::global()->generate();
  std::memcpy(key, &random, 4);
  char* payload = frame.data() + headerBytes;
  maskCopy(payload, head.data(), head.size(), key, 0);
  maskCopy(payload + head.size(), body.data(), body.size(), key, int(head.size() % 4));
  channel_->write(frame);
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
