// The small HTTP/1.1 subset of the local-network route: one request or
// response head, and chunked bodies whose trailer carries the SHA-256 of the
// content ("Repr-Digest: sha-256=:BASE64:"). Used by the host's listener and
// by the peer's client; every byte read here comes from the network.
#pragma once

#include <QByteArray>
#include <QHash>

#include <optional>

namespace vantrel::lan {

inline constexpr qsizetype kMaxHeadBytes = 8 * 1024;
inline constexpr qint64 kMaxChunkBytes = 16 * 1024 * 1024;
// Bytes a receiver lets wait for its disk before it stops reading.
inline constexpr qint64 kMaxPendingBytes = 8 * 1024 * 1024;
inline constexpr int kDiskWaitMs = 5;

struct Head {
  QByteArray method;  // requests
  QByteArray target;
  int status = 0;     // responses
  QHash<QByteArray, QByteArray> fields;  // names in lower case
  QByteArray field(const char* name) const { return fields.value(QByteArray(name)); }
};

// A complete head at the start of `buffer`: the bytes it takes (head and the
// empty line) and the parsed head; 0 while incomplete; -1 when malformed or
// too long.
qsizetype parseRequestHead(const QByteArray& buffer, Head* head);
qsizetype parseResponseHead(const QByteArray& buffer, Head* head);

// The trailer field for a digest, and the digest read back from one.
QByteArray digestField(const QByteArray& sha256);
std::optional<QByteArray> digestOf(const QByteArray& fieldValue);

// "size in hex CRLF" before a chunk of `size` bytes (CRLF follows the data).
QByteArray chunkStart(qint64 size);
// The last chunk with the digest trailer.
QByteArray lastChunk(const QByteArray& sha256);

// Decodes a chunked body fed in pieces; content goes to `out`.
class ChunkedReader {
 public:
  enum class Status { More, Done, Bad };
  // Consumes what it can of `data`; `used` is how much was taken (the rest
  // belongs to whatever follows the body).
  template <class Out>
  Status feed(const char* data, qint64 size, qint64* used, Out&& out);
  // Content bytes so far.
  qint64 total() const { return total_; }
  // The digest the sender put in the trailer (empty when none).
  const QByteArray& trailerDigest() const { return trailerDigest_; }

 private:
  enum class State { Size, Data, DataEnd, Trailer, Done };
  bool lineDone(const char* data, qint64 size, qint64* i);
  Status onLine();
  State state_ = State::Size;
  QByteArray line_;
  qint64 remaining_ = 0;
  qint64 total_ = 0;
  QByteArray trailerDigest_;
  int trailerLines_ = 0;
};

template <class Out>
ChunkedReader::Status ChunkedReader::feed(const char* data, qint64 size, qint64* used, Out&& out) {
  qint64 i = 0;
  Status status = Status::More;
  while (i < size && status == Status::More) {
    if (state_ == State::Data) {
      const qint64 take = std::min(remaining_, size - i);
      if (!out(data + i, take)) return *used = i, Status::Bad;
      i += take;
      total_ += take;
      remaining_ -= take;
      if (remaining_ == 0) state_ = State::DataEnd;
      continue;
    }
    if (!lineDone(data, size, &i)) {
      if (line_.size() > 1024) return *used = i, Status::Bad;
      continue;
    }
    status = onLine();
    if (state_ == State::Done) status = Status::Done;
  }
  *used = i;
  return status;
}

}  // namespace vantrel::lan
