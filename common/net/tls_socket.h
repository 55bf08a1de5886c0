// A TLS connection driven by the event loop of the thread it lives in: the
// socket is non-blocking and watched by notifiers, OpenSSL reads and writes it
// directly (no Qt socket in between), and nothing crosses a thread. Used by
// the service, whose relay threads each carry many connections: a message
// goes from one connection to another with one hand-over between threads at
// most, and a connection that sends a lot reads at most kReadBudget per turn
// before the others on its thread get theirs.
#pragma once

#include "tls_channel.h"

#include <QByteArray>
#include <QList>
#include <QObject>
#include <QString>

#include <deque>
#include <memory>

class QSocketNotifier;
struct ssl_st;

namespace znet {

class TlsSocket : public QObject {
  Q_OBJECT
 public:
  static constexpr qint64 kReadBudget = 1024 * 1024;

  explicit TlsSocket(QObject* parent = nullptr);
  ~TlsSocket() override;  // closes at once

  // How many TLS sockets there are in the process now, and the most there
  // were since the last call (which starts the count of the most afresh).
  static qint64 alive();
  static qint64 takePeakAlive();

  // As a server: takes over an accepted socket and handshakes, in the thread
  // this object lives in (call it there).
  void accept(qintptr descriptor, std::shared_ptr<TlsContext> context);

  // Encrypted and handed to the socket as far as it takes them now; the rest
  // waits, shared, not copied.
  void write(const QByteArray& bytes);
  qint64 bytesToWrite() const { return outBytes_; }
  // What has arrived, in the arrays it was decrypted into.
  QList<QByteArray> readChunks();
  // Takes what has arrived by now, as the next turn would (readyRead comes
  // before it returns), for a caller that must know it before it acts. Not
  // from inside this socket's own signals.
  void readNow();
  // Reading stops while this much waits to be taken.
  void setReadBufferSize(qint64 bytes);
  // Reading also stops while written bytes wait for the peer to take them
  // (for a peer whose sends only ask for answers: one that does not read
  // then costs nothing more).
  void setReadsWaitForWrites(bool wait);
  // OpenSSL reads and writes the socket through large buffers from now on
  // (many records per system call); a connection that reads or writes a lot
  // gets them by itself, an idle one keeps none.
  void growBuffers();
  // Sends what is queued, then closes; closed("") follows.
  void closeAfterWrites();
  // Closes at once; no signal follows.
  void abort();
  bool isOpen() const { return fd_ >= 0 && !closed_; }

 signals:
  void encrypted();
  void readyRead();
  // Bytes that had to wait for the socket have gone.
  void bytesWritten();
  // The connection ended: an empty reason when the peer (or closeAfterWrites)
  // closed it in order, else what went wrong. Arrived bytes come first.
  void closed(const QString& why);

 private:
  void pump();
  void sendNow();
  void emitOwed();
  bool handshake();
  bool send();
  bool receive(bool* more);
  void handOver();
  void updateNotifiers();
  bool readsHeld() const { return readsWaitForWrites_ && (outBytes_ > 0 || writeWait_ != 0); }
  void schedule();
  void finish(const QString& why);
  void release();

  int fd_ = -1;
  ssl_st* ssl_ = nullptr;
  std::shared_ptr<TlsContext> context_;
  QSocketNotifier* readNotifier_ = nullptr;
  QSocketNotifier* writeNotifier_ = nullptr;
  std::deque<QByteArray> out_;
  qint64 outSent_ = 0;
  qint64 outBytes_ = 0;
  QList<QByteArray> in_;
  qint64 inBytes_ = 0;
  qint64 readLimit_ = 8 * 1024 * 1024;
  QByteArray reading_;
  qint64 filled_ = 0;
  bool bigReads_ = false;    // the last read filled its array: the next gets a large one
  bool buffered_ = false;    // OpenSSL reads and writes the socket through large buffers
  bool handshaking_ = false;
  bool readWait_ = false;    // SSL needs the socket readable before it reads on
  short writeWait_ = 0;      // what the unfinished write waits for (POLLIN/POLLOUT)
  bool closeWhenSent_ = false;
  bool readsWaitForWrites_ = false;
  bool closed_ = false;
  bool pumping_ = false;
  bool scheduled_ = false;
  bool waitedToWrite_ = false;  // some bytes waited for the socket
  // Signals owed once the turn is over (never emitted from inside OpenSSL calls).
  bool owesEncrypted_ = false;
  bool owesRead_ = false;
  bool owesWritten_ = false;
  bool owesClosed_ = false;
  QString why_;
};

}  // namespace znet
