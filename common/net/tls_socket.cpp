#include "tls_socket.h"

#include <openssl/ssl.h>

#include <QMetaObject>
#include <QSocketNotifier>

#include <atomic>

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace znet {

namespace {

constexpr qint64 kSmallRead = 16 * 1024;   // the array a read starts with
constexpr qint64 kLargeRead = 512 * 1024;  // after one that filled its array
constexpr int kWriteSlice = 1024 * 1024;   // the most given to one SSL_write
constexpr qint64 kSmallWrite = 1024;       // a write that may join the one before it
// OpenSSL's buffers between its records and the socket, once a connection
// reads or writes a lot (those of sessionOnSocket()); until then it has none.
constexpr long kBusyBioBuffer = 256 * 1024;
constexpr qint64 kBusyWrites = 64 * 1024;  // waiting to be sent: the connection is busy

// `ssl`'s reads (or writes) go through a buffer of `bytes` on top of the
// socket they reach now; `read` tells which side.
bool pushBuffer(SSL* ssl, bool read, long bytes) {
  BIO* socket = read ? SSL_get_rbio(ssl) : SSL_get_wbio(ssl);
  BIO* buffer = BIO_new(BIO_f_buffer());
  if (!buffer || (read ? BIO_set_read_buffer_size(buffer, bytes) : BIO_set_write_buffer_size(buffer, bytes)) != 1) {
    BIO_free(buffer);
    return false;
  }
  BIO_up_ref(socket);  // the new chain's; SSL lets go of its own below
  BIO_push(buffer, socket);
  read ? SSL_set0_rbio(ssl, buffer) : SSL_set0_wbio(ssl, buffer);
  return true;
}

// Takes the buffers off: SSL reads and writes the socket itself (nothing is
// buffered yet).
void dropBuffer(SSL* ssl, bool read) {
  BIO* socket = BIO_pop(read ? SSL_get_rbio(ssl) : SSL_get_wbio(ssl));  // the buffer stays alone, SSL's
  if (socket) read ? SSL_set0_rbio(ssl, socket) : SSL_set0_wbio(ssl, socket);  // which frees it
}

}  // namespace

namespace {

std::atomic<qint64> aliveCount{0};
std::atomic<qint64> alivePeak{0};

}  // namespace

TlsSocket::TlsSocket(QObject* parent) : QObject(parent) {
  const qint64 now = ++aliveCount;
  qint64 peak = alivePeak.load();
  while (peak < now && !alivePeak.compare_exchange_weak(peak, now)) {
  }
}

TlsSocket::~TlsSocket() {
  release();
  --aliveCount;
}

qint64 TlsSocket::alive() { return aliveCount.load(); }

qint64 TlsSocket::takePeakAlive() { return alivePeak.exchange(aliveCount.load()); }

void TlsSocket::accept(qintptr descriptor, std::shared_ptr<TlsContext> context) {
  fd_ = int(descriptor);
  context_ = std::move(context);
  ::fcntl(fd_, F_SETFL, ::fcntl(fd_, F_GETFL) | O_NONBLOCK);
  ssl_ = sessionOnSocket(context_ ? context_->context() : nullptr, fd_);
  if (!ssl_) return finish(QStringLiteral("no TLS session"));
  SSL_set_accept_state(ssl_);
  // An idle connection (the service holds thousands) keeps only its session:
  // OpenSSL's record buffers go back while empty, and the large ones
  // between them and the socket come once it is busy (growBuffers).
  SSL_set_mode(ssl_, SSL_MODE_RELEASE_BUFFERS);
  dropBuffer(ssl_, true);
  dropBuffer(ssl_, false);
  handshaking_ = true;
  readNotifier_ = new QSocketNotifier(fd_, QSocketNotifier::Read, this);
  writeNotifier_ = new QSocketNotifier(fd_, QSocketNotifier::Write, this);
  writeNotifier_->setEnabled(false);
  connect(readNotifier_, &QSocketNotifier::activated, this, [this] {
    readWait_ = false;
    if (writeWait_ == POLLIN) writeWait_ = 0;
    pump();
  });
  connect(writeNotifier_, &QSocketNotifier::activated, this, [this] {
    if (writeWait_ == POLLOUT) writeWait_ = 0;
    pump();
  });
  pump();
}

void TlsSocket::write(const QByteArray& bytes) {
  if (bytes.isEmpty() || closed_ || fd_ < 0) return;
  // Small writes that wait join the last one (never the first, which may be
  // half sent), so that many of them cost their bytes, not an array each.
  if (out_.size() > 1 && bytes.size() < kSmallWrite && out_.back().size() + bytes.size() <= kSmallRead) {
    out_.back().append(bytes);
    outBytes_ += bytes.size();
    return sendNow();
  }
  out_.push_back(bytes);
  outBytes_ += bytes.size();
  sendNow();
}

// Sends at once, without reading: a writer is never called back from inside
// its own write; what it is owed comes from the event loop.
void TlsSocket::sendNow() {
  if (pumping_ || closed_ || !ssl_ || handshaking_ || writeWait_ != 0) return;
  pumping_ = true;
  const bool held = readsHeld();
  send();
  pumping_ = false;
  if (held && !readsHeld() && !readWait_) schedule();  // reading goes on where it stopped
  if (!closed_) updateNotifiers();
  if (owesEncrypted_ || owesRead_ || owesWritten_ || owesClosed_)
    QMetaObject::invokeMethod(this, &TlsSocket::emitOwed, Qt::QueuedConnection);
}

QList<QByteArray> TlsSocket::readChunks() {
  const bool wasFull = inBytes_ >= readLimit_;
  QList<QByteArray> chunks = std::exchange(in_, {});
  inBytes_ = 0;
  if (wasFull) schedule();  // reading goes on in a turn of its own
  return chunks;
}

void TlsSocket::readNow() {
  if (pumping_ || closed_ || !ssl_ || handshaking_) return;
  readWait_ = false;  // the socket is asked again whether it waited for readable
  pump();
}

void TlsSocket::setReadBufferSize(qint64 bytes) {
  const bool wasFull = inBytes_ >= readLimit_;
  readLimit_ = bytes;
  if (wasFull && inBytes_ < readLimit_) schedule();
}

void TlsSocket::setReadsWaitForWrites(bool wait) {
  const bool held = readsHeld();
  readsWaitForWrites_ = wait;
  if (held && !readsHeld()) schedule();
}

void TlsSocket::growBuffers() {
  if (buffered_ || !ssl_) return;
  // Nothing waits in the socket BIOs, which keep none: the chains can change.
  buffered_ = true;
  pushBuffer(ssl_, true, kBusyBioBuffer);  // either may go without, as before it
  pushBuffer(ssl_, false, kBusyBioBuffer);
  // Its record buffers stay: a busy connection fills them again at once.
  SSL_clear_mode(ssl_, SSL_MODE_RELEASE_BUFFERS);
}

void TlsSocket::closeAfterWrites() {
  if (closed_ || fd_ < 0) return;
  closeWhenSent_ = true;
  sendNow();
}

void TlsSocket::abort() {
  closed_ = true;
  owesEncrypted_ = owesRead_ = owesWritten_ = owesClosed_ = false;
  release();
}

void TlsSocket::release() {
  delete readNotifier_;
  delete writeNotifier_;
  readNotifier_ = writeNotifier_ = nullptr;
  if (ssl_) SSL_free(ssl_), ssl_ = nullptr;
  if (fd_ >= 0) ::close(fd_), fd_ = -1;
}

void TlsSocket::schedule() {
  if (scheduled_ || closed_) return;
  scheduled_ = true;
  QMetaObject::invokeMethod(
      this,
      [this] {
        scheduled_ = false;
        pump();
      },
      Qt::QueuedConnection);
}

// One turn: handshake, send what waits, read within the budget; then the
// signals owed, once OpenSSL is no longer being called.
void TlsSocket::pump() {
  if (pumping_ || closed_ || !ssl_) return;
  pumping_ = true;
  bool more = false;
  if (handshake() && !handshaking_ && send()) receive(&more);
  pumping_ = false;
  if (!closed_) updateNotifiers();
  if (more) schedule();

  emitOwed();
}

void TlsSocket::emitOwed() {
  // A handler may abort, close or write: each signal is checked anew.
  if (std::exchange(owesEncrypted_, false)) emit encrypted();
  if (std::exchange(owesRead_, false) && !closed_) emit readyRead();
  if (std::exchange(owesWritten_, false) && !closed_) emit bytesWritten();
  if (std::exchange(owesClosed_, false)) emit closed(why_);
}

bool TlsSocket::handshake() {
  if (!handshaking_) return true;
  clearTlsErrors();
  const int r = SSL_do_handshake(ssl_);
  if (r == 1) {
    handshaking_ = false;
    owesEncrypted_ = true;
    return true;
  }
  const int e = SSL_get_error(ssl_, r);
  if (e == SSL_ERROR_WANT_READ) return readWait_ = true, true;
  if (e == SSL_ERROR_WANT_WRITE) return writeWait_ = POLLOUT, true;
  finish(QStringLiteral("the TLS handshake failed"));
  return false;
}

bool TlsSocket::send() {
  if (outBytes_ >= kBusyWrites) growBuffers();
  BIO* const out = SSL_get_wbio(ssl_);
  while (writeWait_ == 0) {
    if (!out_.empty()) {
      const QByteArray& front = out_.front();
      const int length = int(std::min<qint64>(front.size() - outSent_, kWriteSlice));
      clearTlsErrors();
      const int n = SSL_write(ssl_, front.constData() + outSent_, length);
      if (n > 0) {
        outSent_ += n;
        outBytes_ -= n;
        if (outSent_ == front.size()) out_.pop_front(), outSent_ = 0;
        continue;
      }
      const int e = SSL_get_error(ssl_, n);
      if (e == SSL_ERROR_WANT_WRITE) writeWait_ = POLLOUT;
      else if (e == SSL_ERROR_WANT_READ) writeWait_ = POLLIN;
      else return finish(QStringLiteral("the connection broke off while sending")), false;
      waitedToWrite_ = true;
      return true;
    }
    if (BIO_wpending(out) > 0) {
      // Nothing more queued: what the buffer holds leaves now.
      if (BIO_flush(out) <= 0) {
        if (!BIO_should_retry(out)) return finish(QStringLiteral("the connection broke off while sending")), false;
        writeWait_ = POLLOUT;
        waitedToWrite_ = true;
        return true;
      }
      continue;
    }
    if (std::exchange(waitedToWrite_, false)) owesWritten_ = true;
    if (closeWhenSent_) {
      SSL_shutdown(ssl_);  // best effort: the close_notify
      BIO_flush(out);
      finish(QString());
      return false;
    }
    return true;
  }
  return true;
}

bool TlsSocket::receive(bool* more) {
  qint64 budget = kReadBudget;
  *more = false;
  while (inBytes_ < readLimit_ && !readWait_ && !readsHeld()) {
    if (budget <= 0) {
      *more = true;  // the others on this thread first
      break;
    }
    if (reading_.isEmpty()) {
      reading_ = QByteArray(bigReads_ ? kLargeRead : kSmallRead, Qt::Uninitialized);
      filled_ = 0;
    }
    clearTlsErrors();
    const int n = SSL_read(ssl_, reading_.data() + filled_, int(reading_.size() - filled_));
    if (n > 0) {
      filled_ += n;
      budget -= n;
      if (filled_ == reading_.size()) {
        bigReads_ = true;
        handOver();
        growBuffers();
      }
      continue;
    }
    const int e = SSL_get_error(ssl_, n);
    if (e == SSL_ERROR_WANT_READ) {
      readWait_ = true;
      if (filled_ < kSmallRead) bigReads_ = false;
      if (filled_ == 0 && !buffered_) reading_ = QByteArray();  // an idle connection keeps nothing
      break;
    }
    if (e == SSL_ERROR_WANT_WRITE) {
      writeWait_ = POLLOUT;
      break;
    }
    handOver();
    finish(closedByPeer(e) ? QString() : QStringLiteral("the connection broke off"));
    return false;
  }
  handOver();
  return true;
}

void TlsSocket::handOver() {
  if (filled_ == 0) return;
  reading_.resize(filled_);
  inBytes_ += filled_;
  in_.append(std::move(reading_));
  reading_ = QByteArray();
  filled_ = 0;
  owesRead_ = true;
}

void TlsSocket::updateNotifiers() {
  if (!readNotifier_) return;
  const bool wantRead =
      writeWait_ == POLLIN || (readWait_ && (handshaking_ || (inBytes_ < readLimit_ && !readsHeld())));
  readNotifier_->setEnabled(wantRead);
  writeNotifier_->setEnabled(writeWait_ == POLLOUT);
}

void TlsSocket::finish(const QString& why) {
  if (closed_) return;
  closed_ = true;
  why_ = why;
  owesClosed_ = true;
  release();
  // Outside a turn (set-up failed): the signal comes from the event loop.
  if (!pumping_) QMetaObject::invokeMethod(this, &TlsSocket::emitOwed, Qt::QueuedConnection);
}

}  // namespace znet
