// The bridge's WebSocket to the service's relay ("wss://HOST/relay"): the
// client side of RFC 6455 on a TlsChannel, so that TLS runs off the event loop
// and a message's bytes are copied once on the way out (masked as they are
// copied into the frame) and once on the way in (into the message).
// Pings are answered here; every byte that arrives is checked against the
// protocol and the message size limit, and a fault ends the connection.
#pragma once

#include "tls_channel.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QObject>
#include <QString>

#include <memory>

namespace vantrel {

class RelaySocket : public QObject {
  Q_OBJECT
 public:
  explicit RelaySocket(qint64 maxMessageBytes, QObject* parent = nullptr);
  ~RelaySocket() override;

  // Connects to "HOST[:PORT]" (443 by default) and asks to upgrade `path`.
  void open(const QString& hostAndPort, const QString& path, std::shared_ptr<TlsContext> tls);
  void sendText(const QString& text);
  // One binary message: `head` followed by `body`.
  void sendBinary(QByteArrayView head, QByteArrayView body = {});
  // A close frame, then the connection ends (disconnected() follows).
  void close();
  // Ends the connection at once; disconnected() follows unless it had.
  void abort();
  bool isOpen() const { return state_ == State::Open; }
  QString errorString() const { return error_; }

  // The masked copy of `size` bytes (exposed for the tests): `phase` is the
  // position of `from[0]` within the mask's four bytes.
  static void maskCopy(char* to, const char* from, qint64 size, const quint8 key[4], int phase);

 signals:
  void connected();
  void textMessageReceived(const QString& text);
  void binaryMessageReceived(const QByteArray& message);
  // The connection ended (or never opened); once.
  void disconnected();

 private:
  enum class State { Idle, Upgrading, Open, Closing, Closed };
  enum class Stage { Header, Payload };

  void onEncrypted();
  void onReadable();
  bool upgrade();
  bool feed(const char* data, qint64 size);
  bool headerDone();
  bool frameDone();
  void sendFrame(quint8 opcode, QByteArrayView head, QByteArrayView body);
  void fail(const QString& why);
  void end();

  qint64 maxMessage_;
  std::unique_ptr<TlsChannel> channel_;
  State state_ = State::Idle;
  QString error_;
  QByteArray hostAndPort_;
  QByteArray path_;
  QByteArray key_;     // Sec-WebSocket-Key sent
  QByteArray buffer_;  // the upgrade answer while it is incomplete

  // The frame being read.
  Stage stage_ = Stage::Header;
  quint8 header_[14] = {};
  int headerHave_ = 0;
  int headerNeed_ = 2;
  bool fin_ = false;
  quint8 opcode_ = 0;
  qint64 remaining_ = 0;
  QByteArray control_;  // a control frame's payload
  // The message being assembled (opcode 1 or 2; 0 when none).
  quint8 messageOpcode_ = 0;
  QByteArray message_;
};

}  // namespace vantrel
