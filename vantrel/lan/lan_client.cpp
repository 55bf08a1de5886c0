#include "lan_client.h"

#include "lan_addresses.h"

#include "transfer/transfer_wire.h"

#include "core/log.h"

#include <QHostAddress>
#include <QPointer>
#include <QUrl>

#include <algorithm>

namespace vantrel {

namespace {

constexpr qint64 kReadBytes = 512 * 1024;
constexpr qint64 kHighWater = 4 * 1024 * 1024;
constexpr qsizetype kMaxErrorBody = 512;

// The reason code a host gave; a host of an older bridge gives none.
TransferReason hostReason(const QByteArray& code) {
  return code.isEmpty() ? TransferReason::Failed : reasonOfCancelFrame(QString::fromLatin1(code));
}

}  // namespace

LanClient::LanClient(Target target, QObject* parent) : QObject(parent), target_(std::move(target)) {
  // A grant naming any other address is not followed, so a host cannot point
  // its peer's bridge at the internet.
  if (!followableLanUrl(target_.url, &host_, &port_)) host_.clear(), port_ = 0;
  timer_.setSingleShot(true);
  connect(&timer_, &QTimer::timeout, this, [this] {
    finish(false,
           phase_ == Phase::Connecting ? QStringLiteral("the host's local address does not answer")
                                       : QStringLiteral("the host's local address stopped answering"),
           TransferReason::Timeout);
  });
}

LanClient::~LanClient() { abort(); }

void LanClient::abort() {
  puts_.clear();
  fetches_.clear();
  committing_ = 0;
  ++generation_;  // files still being committed report to nobody
  source_.reset();
  timer_.stop();
  dropConnection();
  phase_ = Phase::Idle;
}

void LanClient::get(qint64 index, qint64 size, std::unique_ptr<LanFileSink> sink, Done done) {
  isPut_ = false;
  fetches_.push_back({index, size, std::move(sink), std::move(done)});
  if (port_ == 0) return finish(false, QStringLiteral("the host's local address is not usable"));
  if (phase_ == Phase::Connecting) return;  // sent once the connection is up
  if (!socket_ || !socket_->isEncrypted()) return connectToHost();
  sendFetch(index);
  if (phase_ == Phase::Idle) {
    phase_ = Phase::Head;
    timer_.start(kIdleTimeoutMs);
  }
}

void LanClient::put(qint64 index, const QString& local, qint64 size, Done done) {
  isPut_ = true;
  Put& put = puts_.emplace_back();
  put.index = index;
  put.size = size;
  put.local = local;
  put.done = std::move(done);
  if (port_ == 0) return finish(false, QStringLiteral("the host's local address is not usable"));
  if (phase_ == Phase::Connecting) return;  // sent once the connection is up
  if (!socket_ || !socket_->isEncrypted()) return connectToHost();
  if (phase_ == Phase::Idle) {
    phase_ = Phase::Head;
    timer_.start(kIdleTimeoutMs);
  }
  sendNextBody();
}

void LanClient::connectToHost() {
  dropConnection();
  phase_ = Phase::Connecting;
  buffer_.clear();
  socket_ = std::make_unique<znet::TlsChannel>();
  socket_->setReadBufferSize(8 * 1024 * 1024);
  znet::TlsChannel* socket = socket_.get();
  connect(socket, &znet::TlsChannel::encrypted, this, [this] { onEncrypted(); });
  connect(socket, &znet::TlsChannel::readyRead, this, [this] { onReadable(); });
  connect(socket, &znet::TlsChannel::bytesWritten, this, [this] { onWritten(); });
  connect(socket, &znet::TlsChannel::closed, this, [this, socket](const QString& why) {
    if (socket != socket_.get() || phase_ == Phase::Idle || phase_ == Phase::Closed) return;
    // What arrived before the close is read first, also when the disk holds
    // it back for a while: an error answer or a body broken off says why.
    closedWhy_ = why.isEmpty() ? QStringLiteral("the host closed it") : why;
    onReadable();
  });
  timer_.start(target_.connectTimeoutMs);
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
  phase_ = Phase::Head;
  timer_.start(kIdleTimeoutMs);
  if (isPut_) return sendNextBody();
  for (const Fetch& fetch : fetches_) sendFetch(fetch.index);
}

QByteArray LanClient::requestHead(const char* method, qint64 index) const {
  return method + QByteArray(" /t/") + target_.xid.toLatin1() + '/' + QByteArray::number(index) +
         " HTTP/1.1\r\nHost: " + host_.toLatin1() + ':' + QByteArray::number(port_) +
         "\r\nAuthorization: Bearer " + target_.capability.toLatin1() +
         "\r\nX-Zarkelo-Session: " + target_.session.toUtf8() + "\r\n";
}

// A host that does not know the check asked for answers with SHA-256.
void LanClient::sendFetch(qint64 index) {
  socket_->write(requestHead("GET", index) + "Want-Repr-Digest: " + sumName(target_.sum) + "=10\r\n\r\n");
}

// Starts the body of the first upload not sent yet, unless one is going or
// one could not be sent. Its request head goes with its first bytes, so that
// a file whose first read fails is skipped with nothing of it sent.
void LanClient::sendNextBody() {
  while (!source_ && phase_ == Phase::Head) {
    const Put* next = nullptr;
    for (const Put& put : puts_) {
      if (!put.why.isEmpty()) return;
      if (!put.sent) {
        next = &put;
        break;
      }
    }
    if (!next) return;
    timer_.start(kIdleTimeoutMs);
    QString why;
    bool changed = false;
    bool unreadable = false;
    auto file = SourceFile::open(TransferEntry{QString(), next->size, false, next->local}, target_.sum, &why, &changed,
                                 &unreadable);
    if (!file) {
      if (changed) return bodyFailed(why);
      if (!skipUnsent(why, unreadable)) return;
      continue;
    }
    // Read and hashed ahead on a worker; each chunk that arrives is sent on.
    headSent_ = false;
    source_ = std::make_unique<SourceReader>(std::move(file), kReadBytes, this, [this] { pumpUpload(); });
  }
}

bool LanClient::skipUnsent(const QString& why, bool unread) {
  const auto unsent = std::find_if(puts_.begin(), puts_.end(), [](const Put& put) { return !put.sent; });
  if (unsent == puts_.end()) return true;
  const qint64 index = unsent->index;
  puts_.erase(unsent);
  if (puts_.empty()) phase_ = Phase::Idle, timer_.stop();
  zlog::parts(QStringLiteral("Vantrel - local-network upload skips a file it cannot open:"), why);
  const quint64 generation = generation_;
  if (skipped_) skipped_(index, why, unread);
  return generation_ == generation;
}

void LanClient::onWritten() {
  if (source_) {
    timer_.start(kIdleTimeoutMs);
    pumpUpload();
  }
}

void LanClient::pumpUpload() {
  while (source_ && source_->hasChunk() && socket_->bytesToWrite() < kHighWater) {
    const SourceReader::Chunk chunk = source_->take();
    if (!chunk.why.isEmpty()) {
      if (headSent_ || !chunk.unread) return bodyFailed(chunk.why);
      source_.reset();
      if (!skipUnsent(chunk.why, true)) return;
      return sendNextBody();
    }
    if (!headSent_) {
      const qint64 index = std::find_if(puts_.begin(), puts_.end(), [](const Put& p) { return !p.sent; })->index;
      headSent_ = true;
      socket_->write(requestHead("PUT", index) +
                     "Content-Type: application/octet-stream\r\nTransfer-Encoding: chunked\r\nTrailer: Repr-Digest\r\n\r\n");
      if (begun_) begun_(index);
      if (!source_) return;  // `begun_` ended this route
    }
    if (!chunk.bytes.isEmpty()) {
      socket_->write(lan::chunkStart(chunk.bytes.size()));
      socket_->write(chunk.bytes);
      socket_->write("\r\n", 2);
      if (progress_) progress_(chunk.bytes.size());
    }
    if (chunk.last) {
      source_.reset();
      socket_->write(lan::lastChunk({sumName(target_.sum), QByteArray::fromHex(chunk.sum.toLatin1())}));
      for (Put& put : puts_)
        if (!put.sent) {
          put.sent = true;
          break;
        }
      return sendNextBody();
    }
  }
}

// The body being sent cannot be (its file changed, or its reading failed
// after bytes of it went): nothing more is sent, and the route fails once the
// uploads before it are answered. A body broken off is never taken whole: the
// connection goes with the failure.
void LanClient::bodyFailed(QString why) {
  source_.reset();
  for (Put& put : puts_)
    if (!put.sent) {
      put.sent = true;
      put.why = why;
      break;
    }
  if (!puts_.empty() && !puts_.front().why.isEmpty()) finish(false, puts_.front().why, TransferReason::Source);
}

LanFileSink* LanClient::bodySink() const { return fetches_.empty() ? nullptr : fetches_.front().sink.get(); }

// Answers are taken in the order of the requests; one read may end one
// answer and begin the next.
void LanClient::onReadable() {
  if (!socket_) return;
  // While the disk is behind, bytes stay in the socket, so the host waits;
  // taken out, they would pile up here and be copied at every append. What
  // one read took is fed whole, as the listener does with an upload.
  if (phase_ == Phase::Body && body_.holdForDisk(bodySink(), this, [this] { onReadable(); })) return;
  znet::TlsChannel* const socket = socket_.get();
  readAnswers();
  // Everything that arrived is taken and no answer ended the route: the
  // host's close ends it.
  if (!closedWhy_.isEmpty() && socket == socket_.get() && phase_ != Phase::Idle && phase_ != Phase::Closed)
    finish(false, QStringLiteral("the local-network connection failed: ") + closedWhy_, TransferReason::Gone);
}

void LanClient::readAnswers() {
  if (buffer_.isEmpty()) buffer_ = socket_->readAll();  // no copy when nothing is left over
  else buffer_ += socket_->readAll();
  while (!buffer_.isEmpty()) {
    if (phase_ == Phase::Head) {
      // The host may answer before an upload ends (a refusal).
      lan::Head head;
      const qsizetype used = lan::parseResponseHead(buffer_, &head);
      if (used == 0) return;
      if (used < 0) return finish(false, QStringLiteral("the host's answer is malformed"));
      buffer_.remove(0, used);
      if (!onHead(head)) return;
    } else if (phase_ == Phase::Body) {
      if (!feedBody()) return;
    } else {
      return;
    }
  }
}

bool LanClient::onHead(const lan::Head& head) {
  timer_.start(kIdleTimeoutMs);
  if (isPut_ ? puts_.empty() : fetches_.empty())
    return finish(false, QStringLiteral("the host's answer is malformed")), false;
  const bool expected =
      isPut_ ? head.status == 204 && puts_.front().sent && puts_.front().why.isEmpty() : head.status == 200;
  if (!expected) {
    // The host's short reason, as text.
    const QString reason = QString::fromUtf8(buffer_.left(kMaxErrorBody)).trimmed();
    finish(false,
           QStringLiteral("the host answered %1%2")
               .arg(head.status)
               .arg(reason.isEmpty() ? QString() : QStringLiteral(": ") + reason),
           hostReason(head.field(lan::kReasonField)));
    return false;
  }
  if (isPut_) return onPutAnswered();
  if (head.field("transfer-encoding").toLower() != "chunked")
    return finish(false, QStringLiteral("the host's answer is malformed")), false;
  body_.start(fetches_.front().size);
  phase_ = Phase::Body;
  return true;
}

// False when more bytes are needed or the route failed.
bool LanClient::feedBody() {
  timer_.start(kIdleTimeoutMs);
  switch (body_.feed(buffer_, *fetches_.front().sink, progress_)) {
    case lan::FileBody::Result::More: return false;
    case lan::FileBody::Result::TooLong:
      return finish(false, QStringLiteral("the host sent more than the file's size")), false;
    case lan::FileBody::Result::Bad:
      return finish(false, QStringLiteral("the file cannot be written or the host's answer is malformed")), false;
    case lan::FileBody::Result::Short:
      return finish(false, QStringLiteral("the host sent fewer bytes than the file's size")), false;
    case lan::FileBody::Result::NoDigest: return finish(false, QStringLiteral("the host sent no digest")), false;
    case lan::FileBody::Result::Broken:
      return finish(false,
                    body_.brokenWhy().isEmpty() ? QStringLiteral("the host broke the file off") : body_.brokenWhy(),
                    hostReason(body_.brokenReason())),
             false;
    case lan::FileBody::Result::Whole: break;
  }
  // The file is done once the sink has checked, synced and renamed it; the
  // next answer is read meanwhile.
  Fetch fetch = std::move(fetches_.front());
  fetches_.pop_front();
  phase_ = fetches_.empty() ? Phase::Idle : Phase::Head;
  if (fetches_.empty()) timer_.stop();
  ++committing_;
  std::shared_ptr<LanFileSink> sink = std::move(fetch.sink);
  QPointer<LanClient> self(this);
  const quint64 generation = generation_;
  sink->finish(body_.digest(),
               [self, sink, generation, done = std::move(fetch.done)](const QString& why) {
                 if (!self || self->generation_ != generation) return;
                 --self->committing_;
                 if (!why.isEmpty()) zlog::parts(QStringLiteral("Vantrel - local-network transfer failed:"), why);
                 if (done) done(why.isEmpty(), true, why);
               });
  // `done` may have ended this route already.
  return self && generation_ == generation && phase_ != Phase::Idle;
}

// The first upload is in place at the host.
bool LanClient::onPutAnswered() {
  const Done done = std::move(puts_.front().done);
  puts_.pop_front();
  if (puts_.empty()) {
    phase_ = Phase::Idle;
    timer_.stop();
    // Nothing may follow the last answer; the next upload connects anew.
    if (!buffer_.isEmpty()) dropConnection(), buffer_.clear();
  }
  const quint64 generation = generation_;
  if (done) done(true, true, QString());
  // `done` may have ended this route, or sent more.
  if (generation_ != generation || puts_.empty()) return false;
  if (!puts_.front().why.isEmpty()) return finish(false, puts_.front().why, TransferReason::Source), false;
  return phase_ == Phase::Head;
}

void LanClient::dropConnection() {
  closedWhy_.clear();
  if (!socket_) return;
  socket_->disconnect(this);
  socket_->abort();
  socket_.release()->deleteLater();
}

void LanClient::finish(bool ok, QString why, TransferReason reason) {
  timer_.stop();
  if (!ok) failure_ = reason;
  source_.reset();
  Done done;
  if (!ok && !fetches_.empty()) {
    // The fetch being answered hears the failure; those behind it, and the
    // files still being committed, are dropped.
    done = std::move(fetches_.front().done);
    fetches_.clear();
    committing_ = 0;
    ++generation_;
  }
  if (!ok && !puts_.empty()) {
    // Likewise the upload being answered; those behind it are dropped.
    done = std::move(puts_.front().done);
    puts_.clear();
    ++generation_;
  }
  // The connection is kept only after a whole answer.
  const bool keep = ok && buffer_.isEmpty();
  if (!keep) {
    dropConnection();
    buffer_.clear();
  }
  phase_ = Phase::Idle;
  if (!ok) zlog::parts(QStringLiteral("Vantrel - local-network transfer failed:"), why);
  if (done) done(ok, reached_, why);
}

}  // namespace vantrel
