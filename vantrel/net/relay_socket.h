// The bridge's WebSocket to the service's relay ("wss://HOST/relay"): the
// client side of RFC 6455 on a TlsChannel, so that TLS runs off the event loop
// and a message's bytes are copied once on the way out (masked as they are
// copied into the frame) and once on the way in (into the message).
// Pings are answered here, and a relay gone silent is pinged and, past its
// deadline, dropped; every byte that arrives is checked against the protocol
// and the message size limit, and a fault ends the connection.
#pragma once

#include "common/net/tls_channel.h"
#include "common/net/ws_frames.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QElapsedTimer>
#include <QObject>
#include <QString>

#include <memory>

namespace vantrel {

class RelaySocket : public QObject, private znet::ws::FrameReader::Sink {
  Q_OBJECT
 public:
  explicit RelaySocket(qint64 maxMessageBytes, QObject* parent = nullptr);
  ~RelaySocket() override;

  // Connects to "HOST[:PORT]" (443 by default) and asks to upgrade `path`.
  void open(const QString& hostAndPort, const QString& path, std::shared_ptr<znet::TlsContext> tls);
  void sendText(const QString& text);
  // A text message given as UTF-8.
  void sendUtf8(QByteArrayView utf8);
  // One binary message: `head` followed by `body`.
  void sendBinary(QByteArrayView head, QByteArrayView body = {});
  // A close frame, then the connection ends (disconnected() follows).
  void close();
  // Watches for a relay that went silent: a ping once nothing came for
  // `pingMs`, and the connection ended (disconnected() follows) once nothing
  // came for `deadlineMs`, the upgrade included; any byte that arrives counts.
  void watchSilence(int pingMs, int deadlineMs);
  // Ends the connection at once; disconnected() follows unless it had.
  void abort();
  bool isOpen() const { return state_ == State::Open; }
  // Bytes written and not yet handed to the network.
  qint64 bytesToWrite() const { return channel_ ? channel_->bytesToWrite() : 0; }
  QString errorString() const { return error_; }

 signals:
  void connected();
  void textMessageReceived(const QString& text);
  void binaryMessageReceived(const QByteArray& message);
  // The connection ended (or never opened); once.
  void disconnected();

 private:
  enum class State { Idle, Upgrading, Open, Closing, Closed };

  void onEncrypted();
  void onReadable();
  void takeArrived();
  bool onMessage(quint8 opcode, QByteArray&& message) override;
  bool onControl(quint8 opcode, const QByteArray& payload) override;
  void sendFrame(quint8 opcode, QByteArrayView head, QByteArrayView body);
  void fail(const QString& why);
  void end();
  void checkSilence();

  qint64 maxMessage_;
  std::unique_ptr<znet::TlsChannel> channel_;
  State state_ = State::Idle;
  QString error_;
  QByteArray hostAndPort_;
  QByteArray path_;
  QByteArray key_;     // Sec-WebSocket-Key sent
  QByteArray buffer_;  // the upgrade answer while it is incomplete
  QElapsedTimer heard_;  // since the last bytes arrived
  int pingMs_ = 0;
  int deadlineMs_ = 0;

  znet::ws::FrameReader reader_;
  // Arrived bytes still to be taken, from `taken_` on.
  QByteArray arrived_;
  qint64 taken_ = 0;
  static constexpr qint64 kReadStep = 64 * 1024;
  static constexpr int kReadSliceMs = 4;
};

}  // namespace vantrel
