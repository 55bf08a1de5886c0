// The server side of one relay WebSocket, on a TLS socket driven by the relay
// loop the connection lives on: a message's payload is copied once, unmasked
// as it is copied out of the decrypted buffer, and a binary message the relay
// only forwards is encrypted straight from the same (shared) bytes behind a
// new header. Pings are answered here, and a peer gone silent is pinged and,
// past its deadline, dropped; every byte is checked against the protocol and
// the message size limit, and a fault ends the connection. A message still
// arriving is counted (countArrivals) as it grows, and one that gets no byte
// for kStallMs ends the connection. What the connection writes of its own
// accord is bounded whether or not the peer reads: pings that come while
// earlier bytes still wait are answered by one pong, for the latest of them,
// once those have gone; a close that the peer does not take ends the
// connection after kCloseGraceMs.
#pragma once

#include "common/net/tls_socket.h"
#include "common/net/ws_frames.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QObject>
#include <QString>

#include <functional>

class QTimer;

namespace kelvor {

class RelayConnection : public QObject, private znet::ws::FrameReader::Sink {
  Q_OBJECT
 public:
  static constexpr quint16 kCloseNormal = 1000;
  static constexpr quint16 kClosePolicy = 1008;
  // How long an unfinished message may wait for its next byte.
  static constexpr int kStallMs = 10000;
  // How long a close waits for what is queued (its close frame last) to leave.
  static constexpr int kCloseGraceMs = 2000;

  // Takes the socket (handshake done, the upgrade request read) and the
  // bytes that came after the request head; the upgrade is answered by open().
  RelayConnection(znet::TlsSocket* channel, const QString& address, const QByteArray& path,
                  const QByteArray& acceptKey, QByteArray early, qint64 maxMessage);
  ~RelayConnection() override;  // ends the connection at once

  // Answers the upgrade and starts reading; on the thread it now lives in.
  void open();

  const QString& peerAddress() const { return address_; }
  const QByteArray& path() const { return path_; }
  // Applies from the next frame on.
  void setMaxMessage(qint64 bytes) { reader_.setMaxMessage(bytes); }
  // `arrivals` is told by how much the unfinished message grew or shrank (and
  // what it held when the connection ends); past false the connection closes.
  void countArrivals(std::function<bool(qint64 delta)> arrivals);
  // Watches for a peer that went silent (a frozen machine keeps its
  // connections open): a ping once nothing came for `pingMs`, and the
  // connection ended (disconnected() follows) once nothing came for
  // `deadlineMs`; any byte that arrives counts. On the thread it lives in.
  void watchSilence(int pingMs, int deadlineMs);
  // How much the channel should let wait before it stops reading.
  void setReadBufferSize(qint64 bytes) { channel_->setReadBufferSize(bytes); }
  // Large buffers between TLS and the socket, for a connection that carries traffic.
  void growBuffers() { channel_->growBuffers(); }
  // Whether reading stops while what was written waits for the peer to read.
  void setReadsWaitForWrites(bool wait) { channel_->setReadsWaitForWrites(wait); }
  // Takes what has arrived by now (its messages are handed on before it
  // returns); on the thread it lives in, never from inside its own signals.
  void readNow() {
    if (open_ && !ended_ && !closing_) channel_->readNow();
  }
  // Whether a text or binary message has begun to arrive and is not yet whole.
  bool messageBegun() const { return reader_.inMessage(); }

  void sendText(const QString& text);
  // The message's bytes are shared, not copied.
  void sendBinary(const QByteArray& message);
  // Bytes handed over and not yet given to the socket.
  qint64 bytesToWrite() const { return channel_->bytesToWrite(); }
  // Bytes handed over since the start (frame headers included), and those of
  // them that have left for the socket; their order is the order of sending.
  qint64 bytesHandedOver() const { return handed_; }
  qint64 bytesLeft() const { return handed_ - channel_->bytesToWrite(); }
  // A close frame, then the connection ends once what is queued has gone.
  void close(quint16 code, const QString& why);
  // Ends at once; disconnected() follows unless it had.
  void abort();
  QString errorString() const { return error_; }

 signals:
  void textMessageReceived(const QString& text);
  void binaryMessageReceived(const QByteArray& message);
  void bytesWritten();
  // The connection ended; once.
  void disconnected();

 private:
  bool onMessage(quint8 opcode, QByteArray&& message) override;
  bool onControl(quint8 opcode, const QByteArray& payload) override;
  void onReadable();
  void feed(const QByteArray& bytes);
  void settle();
  void overShare();
  void stalled();
  void end();
  void put(const QByteArray& bytes);
  void pong(const QByteArray& payload);
  void drained();
  void closeWithin();
  void checkSilence();

  znet::TlsSocket* channel_;  // a child
  qint64 handed_ = 0;
  QString address_;
  QByteArray path_;
  QByteArray acceptKey_;
  QByteArray early_;
  znet::ws::FrameReader reader_;
  std::function<bool(qint64)> arrivals_;
  qint64 unfinished_ = 0;  // what the unfinished message held when last counted
  QTimer* stall_ = nullptr;
  QTimer* closeGrace_ = nullptr;
  QElapsedTimer progress_;  // since the unfinished message's last byte
  bool open_ = false;
  bool closing_ = false;  // a close frame was sent
  bool ended_ = false;
  bool pongOwed_ = false;  // a ping came while bytes waited: its pong follows them
  QByteArray pongPayload_;
  QString error_;
  QElapsedTimer heard_;  // since the last bytes arrived
  int pingMs_ = 0;
  int deadlineMs_ = 0;
};

}  // namespace kelvor
