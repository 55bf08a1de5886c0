// WebSocket framing (RFC 6455) shared by the bridge's relay socket (client
// side) and the service's relay connections (server side): the upgrade's
// accept key, one frame written with its payload copied once (masked as it is
// copied when the client writes), and a reader that takes bytes in pieces of
// any size and copies each payload once, unmasking as it copies. Every byte a
// reader sees comes from the network: a fault ends the connection.
#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QString>

namespace znet::ws {

enum Opcode : quint8 { kContinuation = 0x0, kText = 0x1, kBinary = 0x2, kClose = 0x8, kPing = 0x9, kPong = 0xA };
inline constexpr qint64 kMaxControlPayload = 125;

// Sec-WebSocket-Accept for a Sec-WebSocket-Key.
QByteArray acceptFor(const QByteArray& key);

// `size` bytes XORed with the mask; `phase` is the position of `from[0]`
// within the mask's four bytes.
void maskCopy(char* to, const char* from, qint64 size, const quint8 key[4], int phase);

// One whole frame holding `head` followed by `body`, masked with a fresh key
// when `masked` (a client's frames).
QByteArray frame(quint8 opcode, QByteArrayView head, QByteArrayView body, bool masked);
// The header alone of an unmasked frame of `size` payload bytes (a server
// then writes the payload as it is, without copying it).
QByteArray header(quint8 opcode, qint64 size);

class FrameReader {
 public:
  // What the reader hands on; each returns false when the connection ends
  // there (nothing more is read).
  class Sink {
   public:
    virtual ~Sink() = default;
    // A whole text or binary message.
    virtual bool onMessage(quint8 opcode, QByteArray&& message) = 0;
    // A ping, pong or close frame and its payload.
    virtual bool onControl(quint8 opcode, const QByteArray& payload) = 0;
  };

  // `masked`: whether frames must be masked (a server reads a client's).
  FrameReader(bool masked, qint64 maxMessage) : masked_(masked), maxMessage_(maxMessage) {}
  // Applies from the next frame header on.
  void setMaxMessage(qint64 bytes) { maxMessage_ = bytes; }

  enum class Result { More, Stopped, Fault };
  // Consumes `data`; Fault sets error().
  Result feed(const char* data, qint64 size, Sink& sink);
  const QString& error() const { return error_; }
  // Payload bytes of a message still arriving, kept so far.
  qint64 unfinished() const { return message_.size(); }
  // Whether a text or binary message has begun (from the first byte of its
  // header on) and is not yet whole.
  bool inMessage() const { return messageOpcode_ != 0 || (headerHave_ > 0 && (header_[0] & 0x0F) < kClose); }

 private:
  enum class Stage { Header, Payload };
  Result headerDone(Sink& sink);
  Result frameDone(Sink& sink);
  Result fault(const char* why);

  bool masked_;
  qint64 maxMessage_;
  QString error_;
  Stage stage_ = Stage::Header;
  quint8 header_[14] = {};
  int headerHave_ = 0;
  int headerNeed_ = 2;
  bool fin_ = false;
  quint8 opcode_ = 0;
  quint8 key_[4] = {};
  qint64 remaining_ = 0;
  int phase_ = 0;        // payload bytes of this frame read so far, mod 4
  QByteArray control_;  // a control frame's payload
  quint8 messageOpcode_ = 0;  // of the message being assembled; 0 when none
  QByteArray message_;
};

}  // namespace znet::ws
