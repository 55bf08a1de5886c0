// A TLS connection whose socket I/O and encryption run on a thread of its own
// (OpenSSL on the socket, no Qt socket in between), so that the event loop
// only sees whole buffers: the worker decrypts straight into the arrays that
// readAll() hands over and encrypts straight from the arrays given to write().
// Once a large send backs up, the socket's writes move to a sender thread
// (tls_sender.h), so that encrypting and writing use two cores.
// Used by the bridge (local-network route, relay socket) and by the service
// (every connection), whose bytes would otherwise be copied several times
// over on an event loop.
#pragma once

#include <QByteArray>
#include <QObject>
#include <QList>
#include <QString>

#include <memory>

struct ssl_ctx_st;
struct ssl_st;

namespace znet {

// TLS settings shared by many connections: TLS 1.2 with forward secrecy and
// AEAD ciphers, or TLS 1.3.
class TlsContext {
 public:
  // A server's certificate and key; null (and the reason) when the PEM texts
  // cannot be used.
  static std::shared_ptr<TlsContext> server(const QByteArray& certificatePem, const QByteArray& keyPem, QString* why);
  // A client that takes only certificates issued by the system's authorities
  // or by one of `authoritiesPem`, for the name or address it connects to.
  static std::shared_ptr<TlsContext> verifyingClient(const QList<QByteArray>& authoritiesPem);
  ~TlsContext();
  TlsContext(const TlsContext&) = delete;
  TlsContext& operator=(const TlsContext&) = delete;
  ssl_ctx_st* context() const { return ctx_; }
  bool isServer() const { return server_; }

 private:
  TlsContext() = default;
  ssl_ctx_st* ctx_ = nullptr;
  bool server_ = false;
};

// A TLS session on the connected socket `fd` (TCP_NODELAY set): the socket is
// read in large pieces that records are then taken from, and records (at most
// 16 KiB each) are gathered into large writes rather than one system call and
// one packet each, flushed whenever nothing more is queued. Null when it
// cannot be made.
ssl_st* sessionOnSocket(ssl_ctx_st* context, int fd);

// Empties this thread's OpenSSL error queue before a handshake step, read or
// write whose outcome SSL_get_error() then tells; nearly free when it is
// already empty, as it is between records.
void clearTlsErrors();

// Whether a read's SSL_get_error() result means the peer closed, with or
// without close_notify: the protocol above knows whether everything it waited
// for arrived.
bool closedByPeer(int sslError);

class TlsChannel : public QObject {
  Q_OBJECT
 public:
  explicit TlsChannel(QObject* parent = nullptr);
  ~TlsChannel() override;  // stops the worker at once

  // As a client: connects to `address` (an IP address, never a name to look
  // up) and handshakes. Any certificate is taken here; the caller pins
  // peerFingerprint() before it sends anything.
  void connectTo(const QString& address, quint16 port);
  // As a client of a named service: looks `host` up (on the worker) and
  // takes only a certificate `verifying` trusts for that host.
  void connectVerified(const QString& host, quint16 port, std::shared_ptr<TlsContext> verifying);
  // As a server: takes over an accepted socket and handshakes.
  void accept(qintptr descriptor, std::shared_ptr<TlsContext> context);

  // Handshake done and not closed.
  bool isEncrypted() const { return encrypted_ && !closed_; }
  // SHA-256 of the peer's certificate, lower-case hex (empty without one).
  QString peerFingerprint() const;

  // Queued for the worker; the array is shared, not copied.
  void write(const QByteArray& bytes);
  void write(const char* data, qint64 size) { write(QByteArray(data, size)); }
  // Queued bytes not yet handed to the socket.
  qint64 bytesToWrite() const;
  // Everything that has arrived (no copy when it is one buffer).
  QByteArray readAll();
  // The worker stops reading while this much waits to be taken.
  void setReadBufferSize(qint64 bytes);
  // Sends what is queued, then closes; closed("") follows. What the peer
  // still sends is dropped until it closes too (for a moment at most), so
  // that the close is no reset that could cut what was sent last.
  void closeAfterWrites();
  // Closes at once; no signal follows.
  void abort();

 signals:
  void encrypted();
  void readyRead();
  void bytesWritten();
  // The connection ended: an empty reason when the peer (or closeAfterWrites)
  // closed it in order, else what went wrong. Arrived bytes come first, also
  // those that arrived before a send failed.
  void closed(const QString& why);

 protected:
  void connectNotify(const QMetaMethod& signal) override;

 private:
  struct Shared;
  void start(std::function<bool(Shared&, QString*)> open);
  void run();
  void post(std::function<void()> call);

  std::shared_ptr<Shared> shared_;
  bool encrypted_ = false;
  bool closed_ = false;
};

}  // namespace znet
