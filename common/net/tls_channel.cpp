#include "tls_channel.h"

#include "tls_sender.h"

#include <QMetaMethod>

#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <netdb.h>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <deque>
#include <fcntl.h>
#include <mutex>
#include <netinet/tcp.h>
#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <thread>
#include <vector>
#include <unistd.h>

namespace znet {

namespace {

constexpr qint64 kReadChunk = 512 * 1024;  // the arrays handed to readAll()
constexpr int kWriteSlice = 1024 * 1024;   // the most given to one SSL_write
constexpr long kSocketReadBuffer = 256 * 1024;
constexpr long kSocketWriteBuffer = 256 * 1024;
// Once this much waits to be sent, a sender thread takes the socket writes
// over: a large send then encrypts on one core and writes on another.
constexpr qint64 kBulkSend = 1024 * 1024;
constexpr short kSenderRoom = 0x4000;  // writeWait: the sender has too much in hand
// After an orderly close, what the peer still sends is read and dropped for
// at most this long (until it closes too): closing a socket with unread bytes
// resets the connection, and a reset can take the last bytes sent (an answer
// saying why the connection ends) with it before the peer has read them.
constexpr int kLingerMs = 2000;

// Reads and drops what arrives on `fd` until the peer closes, an error,
// `stop`, or kLingerMs; `wake` interrupts the wait.
void lingerAfterClose(int fd, int wake, const std::atomic_bool& stop) {
  ::shutdown(fd, SHUT_WR);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kLingerMs);
  char scratch[16 * 1024];
  while (!stop) {
    const ssize_t n = ::read(fd, scratch, sizeof scratch);
    if (n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) return;
    if (n > 0) continue;
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count();
    if (left <= 0) return;
    pollfd fds[2] = {{fd, POLLIN, 0}, {wake, POLLIN, 0}};
    if (::poll(fds, 2, int(left)) > 0 && (fds[1].revents & POLLIN)) {
      quint64 count = 0;
      [[maybe_unused]] const ssize_t got = ::read(wake, &count, sizeof count);
    }
  }
}

// TLS 1.2 with forward secrecy and AEAD only, or TLS 1.3.
void restrict(SSL_CTX* ctx) {
  SSL_CTX_set_min_proto_version(ctx, TLS1_2_VERSION);
  SSL_CTX_set_cipher_list(ctx, "ECDHE+AESGCM:ECDHE+CHACHA20");
  // AES-128 first: as safe here, and the cheapest per relayed byte.
  SSL_CTX_set_ciphersuites(ctx, "TLS_AES_128_GCM_SHA256:TLS_AES_256_GCM_SHA384:TLS_CHACHA20_POLY1305_SHA256");
  SSL_CTX_set_mode(ctx, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
  // No read-ahead inside OpenSSL: with a large read buffer it moves every
  // byte still waiting to the buffer's front at each record, so a 256 KiB
  // read was copied several times over. sessionOnSocket() buffers instead.
}

// Clients accept any certificate during the handshake: the caller compares
// the peer's fingerprint with the pinned one before it sends anything.
SSL_CTX* clientContext() {
  static SSL_CTX* const ctx = [] {
    SSL_CTX* c = SSL_CTX_new(TLS_client_method());
    if (c) {
      restrict(c);
      SSL_CTX_set_verify(c, SSL_VERIFY_NONE, nullptr);
    }
    return c;
  }();
  return ctx;
}

QString fingerprintOf(SSL* ssl) {
  X509* cert = SSL_get1_peer_certificate(ssl);
  if (!cert) return {};
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  const bool ok = X509_digest(cert, EVP_sha256(), digest, &length) == 1;
  X509_free(cert);
  return ok ? QString::fromLatin1(QByteArray(reinterpret_cast<const char*>(digest), int(length)).toHex()) : QString();
}

}  // namespace

ssl_st* sessionOnSocket(ssl_ctx_st* context, int fd) {
  const int on = 1;
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
  SSL* ssl = context ? SSL_new(context) : nullptr;
  // Reads: one large read from the socket, then each record's header and body
  // are taken from that buffer (each byte copied once).
  BIO* inBuffer = BIO_new(BIO_f_buffer());
  BIO* inSocket = BIO_new_socket(fd, BIO_NOCLOSE);
  BIO* outBuffer = BIO_new(BIO_f_buffer());
  BIO* outSocket = BIO_new_socket(fd, BIO_NOCLOSE);
  if (!ssl || !inBuffer || !inSocket || !outBuffer || !outSocket ||
      BIO_set_read_buffer_size(inBuffer, kSocketReadBuffer) != 1 ||
      BIO_set_write_buffer_size(outBuffer, kSocketWriteBuffer) != 1) {
    SSL_free(ssl), BIO_free(inBuffer), BIO_free(inSocket), BIO_free(outBuffer), BIO_free(outSocket);
    return nullptr;
  }
  SSL_set_bio(ssl, BIO_push(inBuffer, inSocket), BIO_push(outBuffer, outSocket));
  return ssl;
}

void clearTlsErrors() {
  if (ERR_peek_error() != 0) ERR_clear_error();
}

bool closedByPeer(int sslError) {
  return sslError == SSL_ERROR_ZERO_RETURN ||
         (sslError == SSL_ERROR_SSL && ERR_GET_REASON(ERR_peek_error()) == SSL_R_UNEXPECTED_EOF_WHILE_READING);
}

// ---- TlsContext ---------------------------------------------------------------

std::shared_ptr<TlsContext> TlsContext::server(const QByteArray& certificatePem, const QByteArray& keyPem,
                                               QString* why) {
  std::shared_ptr<TlsContext> made(new TlsContext);
  made->server_ = true;
  made->ctx_ = SSL_CTX_new(TLS_server_method());
  if (!made->ctx_) return *why = QStringLiteral("no TLS context"), nullptr;
  restrict(made->ctx_);
  // The first certificate is the server's; any that follow complete its chain.
  BIO* certBio = BIO_new_mem_buf(certificatePem.constData(), int(certificatePem.size()));
  X509* cert = certBio ? PEM_read_bio_X509(certBio, nullptr, nullptr, nullptr) : nullptr;
  std::vector<X509*> chain;
  while (X509* next = cert ? PEM_read_bio_X509(certBio, nullptr, nullptr, nullptr) : nullptr) chain.push_back(next);
  ERR_clear_error();  // the end of the PEM text
  BIO_free(certBio);
  BIO* keyBio = BIO_new_mem_buf(keyPem.constData(), int(keyPem.size()));
  EVP_PKEY* key = keyBio ? PEM_read_bio_PrivateKey(keyBio, nullptr, nullptr, nullptr) : nullptr;
  BIO_free(keyBio);
  bool ok = cert && key && SSL_CTX_use_certificate(made->ctx_, cert) == 1 &&
                  SSL_CTX_use_PrivateKey(made->ctx_, key) == 1 && SSL_CTX_check_private_key(made->ctx_) == 1;
  for (X509* link : chain) {
    if (ok && SSL_CTX_add1_chain_cert(made->ctx_, link) != 1) ok = false;
    X509_free(link);
  }
  X509_free(cert);
  EVP_PKEY_free(key);
  if (!ok) return *why = QStringLiteral("the certificate or its key cannot be used"), nullptr;
  return made;
}

std::shared_ptr<TlsContext> TlsContext::verifyingClient(const QList<QByteArray>& authoritiesPem) {
  std::shared_ptr<TlsContext> made(new TlsContext);
  made->ctx_ = SSL_CTX_new(TLS_client_method());
  if (!made->ctx_) return nullptr;
  restrict(made->ctx_);
  SSL_CTX_set_default_verify_paths(made->ctx_);
  X509_STORE* store = SSL_CTX_get_cert_store(made->ctx_);
  for (const QByteArray& pem : authoritiesPem) {
    BIO* bio = BIO_new_mem_buf(pem.constData(), int(pem.size()));
    while (X509* cert = bio ? PEM_read_bio_X509(bio, nullptr, nullptr, nullptr) : nullptr) {
      X509_STORE_add_cert(store, cert);
      X509_free(cert);
    }
    BIO_free(bio);
  }
  ERR_clear_error();  // the end of each PEM text
  SSL_CTX_set_verify(made->ctx_, SSL_VERIFY_PEER, nullptr);
  return made;
}

TlsContext::~TlsContext() { SSL_CTX_free(ctx_); }

// ---- TlsChannel --------------------------------------------------------------

// What the worker and the event loop share; the lock guards the queues.
struct TlsChannel::Shared {
  std::mutex lock;
  std::deque<QByteArray> out;  // to send; `outSent` bytes of the front are gone
  qint64 outSent = 0;
  qint64 outBytes = 0;
  std::deque<QByteArray> in;  // arrived, not yet taken
  qint64 inBytes = 0;
  qint64 readLimit = 8 * 1024 * 1024;
  bool closeWhenSent = false;
  QString fingerprint;
  std::atomic_bool stop = false;
  std::atomic_bool readyPosted = false;
  std::atomic_bool writtenPosted = false;
  std::atomic_bool writtenHeard = false;  // bytesWritten() has a receiver: worth waking the loop for
  int wake = -1;  // eventfd: the event loop has news for the worker
  int fd = -1;
  std::function<bool(Shared&, QString*)> open;
  std::shared_ptr<TlsContext> context;  // null for a client that pins
  QByteArray host;
  bool lookUp = false;  // `host` may be a name
  std::thread thread;

  void poke() const {
    const quint64 one = 1;
    [[maybe_unused]] const ssize_t n = ::write(wake, &one, sizeof one);
  }
  // Waits for the socket (`events`) or a poke; false once stopped.
  bool waitFor(short events) {
    // Without events the socket is left out: a hang-up would wake every time.
    pollfd fds[2] = {{events ? fd : -1, events, 0}, {wake, POLLIN, 0}};
    while (::poll(fds, 2, -1) < 0 && errno == EINTR) {
    }
    if (fds[1].revents & POLLIN) {
      quint64 count = 0;
      [[maybe_unused]] const ssize_t n = ::read(wake, &count, sizeof count);
    }
    lastEvents = fds[0].revents;
    return !stop;
  }
  short lastEvents = 0;
};

TlsChannel::TlsChannel(QObject* parent) : QObject(parent), shared_(std::make_shared<Shared>()) {
  shared_->wake = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
}

TlsChannel::~TlsChannel() {
  abort();
  if (shared_->wake >= 0) ::close(shared_->wake);
}

void TlsChannel::connectVerified(const QString& host, quint16 port, std::shared_ptr<TlsContext> verifying) {
  shared_->context = std::move(verifying);
  shared_->lookUp = true;
  connectTo(host, port);
}

void TlsChannel::connectTo(const QString& address, quint16 port) {
  shared_->host = address.toUtf8();
  start([port](Shared& s, QString* why) {
    addrinfo hints{};
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = s.lookUp ? AI_NUMERICSERV : AI_NUMERICHOST | AI_NUMERICSERV;
    addrinfo* found = nullptr;
    const QByteArray service = QByteArray::number(port);
    if (const int rc = ::getaddrinfo(s.host.constData(), service.constData(), &hints, &found); rc != 0)
      return *why = QString::fromLocal8Bit(::gai_strerror(rc)), false;
    int error = ECONNREFUSED;
    for (addrinfo* at = found; at && !s.stop; at = at->ai_next) {
      s.fd = ::socket(at->ai_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
      if (s.fd < 0) {
        error = errno;
        continue;
      }
      if (::connect(s.fd, at->ai_addr, at->ai_addrlen) == 0 || errno == EINPROGRESS) {
        if (!s.waitFor(POLLOUT)) break;
        socklen_t size = sizeof error;
        if (::getsockopt(s.fd, SOL_SOCKET, SO_ERROR, &error, &size) < 0) error = errno;
        if (error == 0) break;
      } else {
        error = errno;
      }
      ::close(s.fd);
      s.fd = -1;
    }
    ::freeaddrinfo(found);
    if (s.fd < 0) *why = QString::fromLocal8Bit(std::strerror(error));
    return s.fd >= 0 && !s.stop;
  });
}

void TlsChannel::accept(qintptr descriptor, std::shared_ptr<TlsContext> context) {
  shared_->context = std::move(context);
  shared_->fd = int(descriptor);
  ::fcntl(shared_->fd, F_SETFL, ::fcntl(shared_->fd, F_GETFL) | O_NONBLOCK);
  start([](Shared&, QString*) { return true; });
}

void TlsChannel::start(std::function<bool(Shared&, QString*)> open) {
  shared_->open = std::move(open);
  shared_->thread = std::thread([this] { run(); });
}

QString TlsChannel::peerFingerprint() const {
  const std::lock_guard<std::mutex> guard(shared_->lock);
  return shared_->fingerprint;
}

void TlsChannel::write(const QByteArray& bytes) {
  if (bytes.isEmpty() || closed_) return;
  bool wasEmpty = false;
  {
    const std::lock_guard<std::mutex> guard(shared_->lock);
    wasEmpty = shared_->out.empty();
    shared_->out.push_back(bytes);
    shared_->outBytes += bytes.size();
  }
  // The worker sleeps with bytes queued only while the socket is full, and
  // then wakes by itself: only a first write needs to wake it.
  if (wasEmpty) shared_->poke();
}

qint64 TlsChannel::bytesToWrite() const {
  const std::lock_guard<std::mutex> guard(shared_->lock);
  return shared_->outBytes;
}

QByteArray TlsChannel::readAll() {
  QByteArray all;
  bool wasFull = false;
  {
    const std::lock_guard<std::mutex> guard(shared_->lock);
    if (shared_->in.empty()) return all;
    wasFull = shared_->inBytes >= shared_->readLimit;
    if (shared_->in.size() == 1) {
      all = std::move(shared_->in.front());
    } else {
      all.reserve(shared_->inBytes);
      for (const QByteArray& part : shared_->in) all += part;
    }
    shared_->in.clear();
    shared_->inBytes = 0;
  }
  if (wasFull) shared_->poke();
  return all;
}

void TlsChannel::setReadBufferSize(qint64 bytes) {
  {
    const std::lock_guard<std::mutex> guard(shared_->lock);
    shared_->readLimit = bytes;
  }
  shared_->poke();
}

void TlsChannel::closeAfterWrites() {
  {
    const std::lock_guard<std::mutex> guard(shared_->lock);
    shared_->closeWhenSent = true;
  }
  shared_->poke();
}

void TlsChannel::abort() {
  closed_ = true;
  shared_->stop = true;
  shared_->poke();
  if (shared_->thread.joinable()) shared_->thread.join();
  // A socket handed over but never started is ours to close.
  if (shared_->fd >= 0) ::close(shared_->fd), shared_->fd = -1;
}

// Each posted bytesWritten() wakes the event loop; a connection whose owner
// never listens for it (the relay socket, which sends the most) gets none.
void TlsChannel::connectNotify(const QMetaMethod& signal) {
  if (signal == QMetaMethod::fromSignal(&TlsChannel::bytesWritten)) shared_->writtenHeard = true;
}

void TlsChannel::post(std::function<void()> call) {
  QMetaObject::invokeMethod(this, std::move(call), Qt::QueuedConnection);
}

// The worker: connects or takes the socket, handshakes, then moves bytes
// both ways until the peer closes, an error, closeAfterWrites or abort.
void TlsChannel::run() {
  Shared& s = *shared_;
  // A write to a socket the peer has closed fails with EPIPE instead of
  // raising SIGPIPE (a signal aimed at the writing thread).
  sigset_t pipe;
  sigemptyset(&pipe);
  sigaddset(&pipe, SIGPIPE);
  pthread_sigmask(SIG_BLOCK, &pipe, nullptr);

  QString why;
  std::unique_ptr<TlsSender> sender;
  SSL* ssl = nullptr;
  bool orderly = false;
  auto failed = [&](const char* what) {
    why = QString::fromLatin1(what);
    return false;
  };
  auto body = [&]() -> bool {
    if (!s.open(s, &why)) return false;
    ssl = sessionOnSocket(s.context ? s.context->context() : clientContext(), s.fd);
    if (!ssl) return failed("no TLS session");
    if (s.context && s.context->isServer()) {
      SSL_set_accept_state(ssl);
    } else {
      SSL_set_connect_state(ssl);
      if (s.context) {
        // The certificate must name the host connected to.
        X509_VERIFY_PARAM* param = SSL_get0_param(ssl);
        if (X509_VERIFY_PARAM_set1_ip_asc(param, s.host.constData()) != 1) {
          ERR_clear_error();
          SSL_set_tlsext_host_name(ssl, s.host.constData());
          if (SSL_set1_host(ssl, s.host.constData()) != 1) return failed("the host name cannot be verified");
        }
      }
    }
    while (true) {
      clearTlsErrors();
      const int r = SSL_do_handshake(ssl);
      if (r == 1) break;
      const int e = SSL_get_error(ssl, r);
      if (e != SSL_ERROR_WANT_READ && e != SSL_ERROR_WANT_WRITE) {
        const long verified = SSL_get_verify_result(ssl);
        if (verified == X509_V_OK) return failed("the TLS handshake failed");
        why = QStringLiteral("the certificate is not trusted: ") +
              QString::fromLatin1(X509_verify_cert_error_string(verified));
        return false;
      }
      if (!s.waitFor(e == SSL_ERROR_WANT_READ ? POLLIN : POLLOUT)) return false;
    }
    {
      const std::lock_guard<std::mutex> guard(s.lock);
      s.fingerprint = fingerprintOf(ssl);
    }
    post([this] {
      if (closed_) return;
      encrypted_ = true;
      emit encrypted();
    });

    QByteArray reading;
    qint64 filled = 0;
    bool readWait = false;  // SSL needs the socket readable before the next read
    short writeWait = 0;    // what the unfinished write waits for
    bool peerClosed = false;
    BIO* out = SSL_get_wbio(ssl);
    auto handOver = [&] {
      if (filled == 0) return;
      reading.resize(filled);
      if (filled < kReadChunk / 8) reading.squeeze();
      {
        const std::lock_guard<std::mutex> guard(s.lock);
        s.inBytes += filled;
        s.in.push_back(std::move(reading));
      }
      reading = QByteArray();
      filled = 0;
      if (!s.readyPosted.exchange(true))
        post([this] {
          shared_->readyPosted = false;
          if (!closed_) emit readyRead();
        });
    };
    // A send failed (the peer reset the connection, or went): what it sent
    // before, already in the socket, still reaches the owner, ahead of the
    // close, as its answer may say why. Bounded by the socket's buffer.
    auto brokeOffSending = [&] {
      for (qint64 taken = 0; taken < s.readLimit && !s.stop;) {
        if (reading.isEmpty()) reading = QByteArray(kReadChunk, Qt::Uninitialized), filled = 0;
        clearTlsErrors();
        const int n = SSL_read(ssl, reading.data() + filled, int(reading.size() - filled));
        if (n <= 0) break;
        filled += n;
        taken += n;
        if (filled == reading.size()) handOver();
      }
      handOver();
      return failed("the connection broke off while sending");
    };
    while (!s.stop) {
      if (sender && sender->failed()) return brokeOffSending();
      bool moved = false;
      // Send.
      if (writeWait == 0) {
        const char* data = nullptr;
        int length = 0;
        qint64 waiting = 0;
        bool closing = false;
        {
          const std::lock_guard<std::mutex> guard(s.lock);
          if (!s.out.empty()) {
            data = s.out.front().constData() + s.outSent;
            length = int(std::min<qint64>(s.out.front().size() - s.outSent, kWriteSlice));
            waiting = s.outBytes;
          } else {
            closing = s.closeWhenSent;
          }
        }
        if (!sender && waiting >= kBulkSend && BIO_wpending(out) == 0) {
          // Between records, with nothing buffered: the socket's writes move
          // to the sender from here on.
          sender = std::make_unique<TlsSender>(s.fd, [&s] { s.poke(); });
          if (BIO* through = sender->newBio()) {
            SSL_set0_wbio(ssl, through);
            out = through;
          } else {
            sender.reset();
          }
        }
        if (length > 0) {
          clearTlsErrors();
          const int n = SSL_write(ssl, data, length);
          if (n > 0) {
            {
              const std::lock_guard<std::mutex> guard(s.lock);
              s.outSent += n;
              s.outBytes -= n;
              if (s.outSent == s.out.front().size()) s.out.pop_front(), s.outSent = 0;
            }
            moved = true;
            if (s.writtenHeard.load() && !s.writtenPosted.exchange(true))
              post([this] {
                shared_->writtenPosted = false;
                if (!closed_) emit bytesWritten();
              });
          } else {
            const int e = SSL_get_error(ssl, n);
            if (e == SSL_ERROR_WANT_WRITE) writeWait = sender ? kSenderRoom : POLLOUT;
            else if (e == SSL_ERROR_WANT_READ) writeWait = POLLIN;
            else return brokeOffSending();
          }
        } else if (BIO_wpending(out) > 0) {
          // Nothing more queued: what the buffer holds leaves now (and a
          // close waiting for it is seen on the next turn, not after a sleep).
          if (BIO_flush(out) <= 0) {
            if (!BIO_should_retry(out)) return brokeOffSending();
            writeWait = POLLOUT;
          } else {
            moved = true;
          }
        } else if (closing) {
          SSL_shutdown(ssl);  // best effort: the close_notify
          BIO_flush(out);
          // Everything handed to the sender leaves before the socket closes.
          while (sender && sender->sleepUntilSent())
            if (!s.waitFor(0)) return false;
          orderly = !sender || !sender->failed();
          if (orderly) lingerAfterClose(s.fd, s.wake, s.stop);
          return orderly;
        }
      }
      // Receive, while the event loop keeps up.
      bool room = false;
      {
        const std::lock_guard<std::mutex> guard(s.lock);
        room = s.inBytes < s.readLimit;
      }
      while (room && !readWait && !peerClosed && !s.stop) {
        if (reading.isEmpty()) reading = QByteArray(kReadChunk, Qt::Uninitialized), filled = 0;
        clearTlsErrors();
        const int n = SSL_read(ssl, reading.data() + filled, int(reading.size() - filled));
        if (n > 0) {
          filled += n;
          moved = true;
          if (filled == reading.size()) {
            handOver();
            const std::lock_guard<std::mutex> guard(s.lock);
            room = s.inBytes < s.readLimit;
          }
          continue;
        }
        const int e = SSL_get_error(ssl, n);
        if (e == SSL_ERROR_WANT_READ) {
          readWait = true;
        } else if (closedByPeer(e)) {
          peerClosed = true;
        } else if (e == SSL_ERROR_WANT_WRITE) {
          if (sender) writeWait = kSenderRoom;
          break;  // retried once the write side moves
        } else {
          peerClosed = true;
          why = QStringLiteral("the connection broke off");
        }
      }
      if (readWait || peerClosed || !room) handOver();
      if (peerClosed) {
        // A reset that the sender's write met first reads here as a plain
        // end of the stream: the sender's verdict counts.
        if (sender) {
          sender->stop();
          if (sender->failed() && why.isEmpty()) why = QStringLiteral("the connection broke off while sending");
        }
        orderly = why.isEmpty();
        return orderly;
      }
      if (moved) continue;
      if (writeWait == 0 && BIO_wpending(out) > 0) continue;  // flushed above first
      short events = writeWait;
      if (writeWait == kSenderRoom) {
        if (!sender->sleepUntilRoom()) {
          writeWait = 0;
          continue;
        }
        events = 0;  // the sender wakes us
      }
      if (readWait && room) events |= POLLIN;
      if (!s.waitFor(events)) return false;
      const short got = s.lastEvents;
      if (writeWait == kSenderRoom && sender->hasRoom()) writeWait = 0;
      if (got & (POLLIN | POLLHUP | POLLERR)) {
        readWait = false;
        if (writeWait == POLLIN) writeWait = 0;
      }
      if ((got & (POLLOUT | POLLHUP | POLLERR)) && writeWait == POLLOUT) writeWait = 0;
    }
    return false;
  };
  body();
  if (ssl) SSL_free(ssl);
  sender.reset();  // after the BIO that writes through it, before the socket closes
  if (s.fd >= 0) ::close(s.fd), s.fd = -1;
  if (s.stop) return;  // aborted: nobody listens any more
  if (!orderly && why.isEmpty()) why = QStringLiteral("the connection broke off");
  post([this, why = orderly ? QString() : why] {
    if (closed_) return;
    closed_ = true;
    emit closed(why);
  });
}

}  // namespace znet
