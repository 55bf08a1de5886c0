// The thumbnail helper's protocol, spoken over one connected Unix stream
// socket that is the helper's standard input and output. Every message is a
// frame: a 32-bit big-endian length, then that many bytes.
//
// Request: kind (1 byte), box width and height in pixels (2 bytes each), the
// file's name in UTF-8 (the rest); a thumbnail request carries the open file
// as a descriptor passed with its first byte (SCM_RIGHTS).
// Reply: status (1 byte; kRetiring added when the helper leaves after it),
// then the PNG of the picture, or a probe's text; "none" has no bytes.
#pragma once

#include <QByteArray>
#include <QSize>
#include <QString>
#include <QtGlobal>

#include <optional>

namespace thumbwire {

enum class Kind : quint8 {
  thumbnail = 1,
  probeSocket = 2,  // tries to open a socket (tests of the confinement)
  probeOpen = 3,    // tries to open the path given as the name (tests of the confinement)
};

enum class Status : quint8 { none = 0, picture = 1, text = 2 };
// Added to the status when the helper ends after this reply (its processor
// time is running out); the client starts another when it needs one.
inline constexpr quint8 kRetiring = 0x80;

inline constexpr qint32 kMaxRequest = 4096;
inline constexpr qint32 kMaxReply = 16 * 1024 * 1024;
inline constexpr int kMaxBoxEdge = 4096;

struct Request {
  Kind kind = Kind::thumbnail;
  QSize box;
  QString name;
};

QByteArray encodeRequest(const Request& request);
// None for an unknown kind, a box outside 1..kMaxBoxEdge or a short frame.
std::optional<Request> decodeRequest(const QByteArray& payload);

struct Reply {
  Status status = Status::none;
  bool retiring = false;
  QByteArray bytes;
};
QByteArray encodeReply(const Reply& reply);
std::optional<Reply> decodeReply(const QByteArray& payload);

// Writes one whole frame, blocking; `passFd` (if >= 0) travels with its first
// byte. False when the socket is closed or broken.
bool writeFrame(int socket, const QByteArray& payload, int passFd = -1);

enum class ReadStatus { ok, closed, timedOut, broken };
// Reads one frame of at most `maxPayload` bytes, waiting at most `timeoutMs`
// in all (-1: without limit). A descriptor that arrives with the frame goes to
// `*receivedFd` (close-on-exec) when that is given, else it is closed, as are
// any beyond the first; *receivedFd is -1 when none came.
ReadStatus readFrame(int socket, qint32 maxPayload, QByteArray& payload, int* receivedFd, int timeoutMs);

}  // namespace thumbwire
