// The small HTTP/1.1 subset of the local-network route: heads (shared, in
// common/net/http_head.h) and chunked bodies whose trailer carries the
// check of the content ("Repr-Digest: LABEL=:BASE64:", LABEL the check's name,
// e.g. "sha-256"). A fetch names the check it wants in "Want-Repr-Digest".
// Used by the host's listener and by the peer's client; every byte read here
// comes from the network.
#pragma once

#include "common/net/http_head.h"

#include <QByteArray>

#include <optional>

namespace vantrel::lan {

inline constexpr qint64 kMaxChunkBytes = 16 * 1024 * 1024;
// Bytes a receiver lets wait for its disk before it stops reading.
inline constexpr qint64 kMaxPendingBytes = 8 * 1024 * 1024;
inline constexpr int kDiskWaitMs = 5;

using znet::Head;
using znet::kMaxHeadBytes;
using znet::parseRequestHead;
using znet::parseResponseHead;

struct Digest {
  QByteArray label;  // lower case
  QByteArray bytes;
};
// The trailer field for a digest, and the digest read back from one.
QByteArray digestField(const Digest& digest);
std::optional<Digest> digestOf(const QByteArray& fieldValue);
// Whether a "Want-Repr-Digest" field asks for `label` (with a preference above 0).
bool wantsDigest(const QByteArray& fieldValue, const QByteArray& label);

// "size in hex CRLF" before a chunk of `size` bytes (CRLF follows the data).
QByteArray chunkStart(qint64 size);
// The last chunk with the digest trailer.
QByteArray lastChunk(const Digest& digest);

// Why the host refused a request or broke a body off, for the other side to
// read: a transfer's reason code ("source", "disk", …) in the head of an
// error answer, or in the trailer of a body it could not send whole, there
// with the cause in words. Peers that do not read them still never take such
// a body whole (it is short or has no digest).
inline constexpr char kReasonField[] = "x-zarkelo-reason";
inline constexpr char kWhyField[] = "x-zarkelo-why";
inline constexpr qsizetype kMaxWhyBytes = 256;
// The last chunk of a body broken off: no digest, the reason and its cause
// (one line, at most kMaxWhyBytes).
QByteArray brokenOff(const QByteArray& code, const QString& why);

// Decodes a chunked body fed in pieces (common/net/http_head.h); content goes
// to `out`. The trailer may hold one digest, or the reason a body was broken off.
class ChunkedReader {
 public:
  using Status = znet::ChunkedReader::Status;
  template <class Out>
  Status feed(const char* data, qint64 size, qint64* used, Out&& out) {
    const Status status = reader_.feed(data, size, used, std::forward<Out>(out));
    return status == Status::Done && !takeTrailer() ? Status::Bad : status;
  }
  // Content bytes so far.
  qint64 total() const { return reader_.total(); }
  // The digest the sender put in the trailer (empty when none).
  const Digest& trailerDigest() const { return trailerDigest_; }
  // The reason code and its cause when the sender broke the body off (empty when not).
  const QByteArray& trailerReason() const { return trailerReason_; }
  const QByteArray& trailerWhy() const { return trailerWhy_; }

 private:
  // Keeps what the trailer holds; false for a bad digest or a second one.
  bool takeTrailer();
  znet::ChunkedReader reader_{kMaxChunkBytes};
  Digest trailerDigest_;
  QByteArray trailerReason_;
  QByteArray trailerWhy_;
};

}  // namespace vantrel::lan
