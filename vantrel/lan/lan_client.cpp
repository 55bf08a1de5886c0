#include "lan_client.h"

#include "core/log.h"

#include <QHostAddress>
#include <QPointer>
#include <QUrl>

namespace vantrel {

namespace {

constexpr qint64 kReadBytes = 512 * 1024;
constexpr qint64 kHighWater = 4 * 1024 * 1024;
constexpr qsizetype kMaxErrorBody = 512;

// An address of this machine or of a local network: loopback, the private
// ranges, link-local, IPv6 unique-local. A grant naming any other address is
// not followed, so a host cannot point its peer's bridge at the internet.
bool isLocalNetwork(const QHostAddress& address) {
  if (address.isLoopback() || address.isLinkLocal() || address.isUniqueLocalUnicast()) return true;
  bool v4 = false;
  const quint32 ip = address.toIPv4Address(&v4);
  if (!v4) return false;
  return (ip >> 24) == 10 || (ip >> 20) == ((172u << 4) | 1u) || (ip >> 16) == ((192u << 8) | 168u);
}

}  // namespace

LanClient::LanClient(Target target, QObject* parent) : QObject(parent), target_(std::move(target)) {
  const QUrl url(target_.url);
  // Only an address, never a name to look up: the route is one machine's listener.
  if (url.scheme() == QLatin1String("https") && isLocalNetwork(QHostAddress(url.host())) && url.port() > 0 &&
      url.path().isEmpty() && !url.hasQuery() && url.userInfo().isEmpty()) {
    host_ = url.host();
    port_ = quint16(url.port());
  }
  timer_.setSingleShot(true);
  connect(&timer_, &QTimer::timeout, this, [this] {
    finish(false, phase_ == Phase::Connecting ? QStringLiteral("the host's local address does not answer")
                                              : QStringLiteral("the host's local address stopped answering"));
  });
}

LanClient::~LanClient() { abort(); }

void LanClient::abort() {
  done_ = nullptr;
  sink_.reset();
  source_.reset();
  timer_.stop();
  dropConnection();
  phase_ = Phase::Idle;
}

void LanClient::get(qint64 index, qint64 size, std::unique_ptr<LanFileSink> sink, Done done) {
  isPut_ = false;
  index_ = index;
  size_ = size;
  sink_ = std::move(sink);
  done_ = std::move(done);
  begin();
}

void LanClient::put(qint64 index, const QString& local, qint64 size, Done done) {
  isPut_ = true;
  index_ = index;
  size_ = size;
  local_ = local;
  done_ = std::move(done);
  begin();
}

void LanClient::begin() {
  body_.start(size_);
  status_ = 0;
  uploadEnded_ = false;
  if (port_ == 0) return finish(false, QStringLiteral("the host's local address is not usable"));
  if (socket_ && socket_->isEncrypted()) return sendRequest();
  connectToHost();
}

void LanClient::connectToHost() {
  dropConnection();
  phase_ = Phase::Connecting;
  buffer_.clear();
  socket_ = std::make_unique<TlsChannel>();
  socket_->setReadBufferSize(8 * 1024 * 1024);
  TlsChannel* socket = socket_.get();
  connect(socket, &TlsChannel::encrypted, this, [this] { onEncrypted(); });
  connect(socket, &TlsChannel::readyRead, this, [this] { onReadable(); });
  connect(socket, &TlsChannel::bytesWritten, this, [this] { onWritten(); });
  connect(socket, &TlsChannel::closed, this, [this, socket](const QString& why) {
    if (socket != socket_.get() || phase_ == Phase::Idle || phase_ == Phase::Closed) return;
    // The whole body may already be buffered when the host closes.
    if (phase_ == Phase::Body || phase_ == Phase::Head) onReadable();
    if (socket == socket_.get() && phase_ != Phase::Idle && phase_ != Phase::Closed)
      finish(false, QStringLiteral("the local-network connection failed: ") +
                        (why.isEmpty() ? QStringLiteral("the host closed it") : why));
  });
  timer_.start(kConnectTimeoutMs);
  socket_->connectTo(host_, port_);
}

// The certificate is self-signed; the connection is used only when it is
// exactly the pinned one.
bool LanClient::pinned() const {
  const QString digest = socket_->peerFingerprint();
  return !target_.fingerprint.isEmpty() && digest.compare(target_.fingerprint, Qt::CaseInsensitive) == 0;
}

void LanClient::onEncrypted() {
  if (!pinned()) return finish(false, QStringLiteral("the host's certificate is not the announced one"));
  reached_ = true;
  sendRequest();
}

void LanClient::sendRequest() {
  phase_ = Phase::Sending;
  timer_.start(kIdleTimeoutMs);
  QByteArray head = (isPut_ ? "PUT" : "GET") + QByteArray(" /t/") + target_.xid.toLatin1() + '/' +
                    QByteArray::number(index_) + " HTTP/1.1\r\nHost: " + host_.toLatin1() + ':' +
                    QByteArray::number(port_) + "\r\nAuthorization: Bearer " + target_.capability.toLatin1() +
                    "\r\nX-Zarkelo-Session: " + target_.session.toUtf8() + "\r\n";
  if (isPut_) {
    QString why;
    bool changed = false;
    auto file = SourceFile::open(TransferEntry{QString(), size_, false, local_}, &why, &changed);
    if (!file) return finish(false, why);
    head += "Content-Type: application/octet-stream\r\nTransfer-Encoding: chunked\r\nTrailer: Repr-Digest\r\n";
    // Read and hashed ahead on a worker; each chunk that arrives is sent on.
    source_ = std::make_unique<SourceReader>(std::move(file), kReadBytes, this, [this] { pumpUpload(); });
  }
  socket_->write(head + "\r\n");
  if (isPut_) return pumpUpload();
  phase_ = Phase::Head;
}

void LanClient::onWritten() {
  if (phase_ == Phase::Sending) {
    timer_.start(kIdleTimeoutMs);
    pumpUpload();
  }
}

void LanClient::pumpUpload() {
  while (phase_ == Phase::Sending && !uploadEnded_ && source_ && source_->hasChunk() &&
         socket_->bytesToWrite() < kHighWater) {
    const SourceReader::Chunk chunk = source_->take();
    if (!chunk.why.isEmpty()) return finish(false, chunk.why);
    if (!chunk.bytes.isEmpty()) {
      socket_->write(lan::chunkStart(chunk.bytes.size()));
      socket_->write(chunk.bytes);
      socket_->write("\r\n", 2);
      if (progress_) progress_(chunk.bytes.size());
    }
    if (chunk.last) {
      source_.reset();
      socket_->write(lan::lastChunk(QByteArray::fromHex(chunk.sum.toLatin1())));
      uploadEnded_ = true;
      phase_ = Phase::Head;
      return;
    }
  }
}

void LanClient::onReadable() {
  if (!socket_) return;
  if (phase_ == Phase::Body && body_.holdForDisk(sink_.get(), this, [this] { onReadable(); })) return;
  if (buffer_.isEmpty()) buffer_ = socket_->readAll();  // no copy when nothing is left over
  else buffer_ += socket_->readAll();
  if (phase_ == Phase::Sending || phase_ == Phase::Head) {
    // The host may answer before the upload ends (a refusal).
    lan::Head head;
    const qsizetype used = lan::parseResponseHead(buffer_, &head);
    if (used == 0) return;
    if (used < 0) return finish(false, QStringLiteral("the host's answer is malformed"));
    buffer_.remove(0, used);
    return onHead(head);
  }
  if (phase_ == Phase::Body) feedBody();
}

void LanClient::onHead(const lan::Head& head) {
  timer_.start(kIdleTimeoutMs);
  status_ = head.status;
  const bool expected = isPut_ ? status_ == 204 && uploadEnded_ : status_ == 200;
  if (!expected) {
    // The host's short reason, as text.
    const QString reason = QString::fromUtf8(buffer_.left(kMaxErrorBody)).trimmed();
    return finish(false, QStringLiteral("the host answered %1%2").arg(status_).arg(reason.isEmpty() ? QString() : QStringLiteral(": ") + reason));
  }
  if (isPut_) return finish(true, QString());
  if (head.field("transfer-encoding").toLower() != "chunked")
    return finish(false, QStringLiteral("the host's answer is malformed"));
  phase_ = Phase::Body;
  feedBody();
}

void LanClient::feedBody() {
  if (buffer_.isEmpty()) return;
  timer_.start(kIdleTimeoutMs);
  switch (body_.feed(buffer_, *sink_, progress_)) {
    case lan::FileBody::Result::More: return;
    case lan::FileBody::Result::TooLong: return finish(false, QStringLiteral("the host sent more than the file's size"));
    case lan::FileBody::Result::Bad:
      return finish(false, QStringLiteral("the file cannot be written or the host's answer is malformed"));
    case lan::FileBody::Result::Short:
      return finish(false, QStringLiteral("the host sent fewer bytes than the file's size"));
    case lan::FileBody::Result::NoDigest: return finish(false, QStringLiteral("the host sent no digest"));
    case lan::FileBody::Result::Whole: break;
  }
  // Done once the sink has checked, synced and renamed the file.
  phase_ = Phase::Commit;
  timer_.stop();
  std::shared_ptr<LanFileSink> sink = std::move(sink_);
  QPointer<LanClient> self(this);
  sink->finish(body_.digestHex(), [self, sink](const QString& why) {
    if (self && self->phase_ == Phase::Commit) self->finish(why.isEmpty(), why);
  });
}

void LanClient::dropConnection() {
  if (!socket_) return;
  socket_->disconnect(this);
  socket_->abort();
  socket_.release()->deleteLater();
}

void LanClient::finish(bool ok, const QString& why) {
  timer_.stop();
  sink_.reset();  // an unfinished file is discarded
  source_.reset();
  // The connection is kept only after a whole answer.
  const bool keep = ok && buffer_.isEmpty();
  if (!keep) {
    dropConnection();
    buffer_.clear();
  }
  phase_ = Phase::Idle;
  Done done = std::move(done_);
  done_ = nullptr;
  if (!ok) zlog::parts(QStringLiteral("Vantrel - local-network transfer failed:"), why);
  if (done) done(ok, reached_, why);
}

}  // namespace vantrel
