// One HTTP/1.1 request or response head, as read from the network by the
// bridge's local-network route and relay socket and by the service's front
// door: fields are checked byte by byte and a repeated field is refused.
// Where a message's body ends is decided here alone (RFC 9112 section 6), for
// every server of the project, so that no two readers of one connection can
// disagree about it.
#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QHash>
#include <QList>

#include <algorithm>
#include <utility>

namespace znet {

inline constexpr qsizetype kMaxHeadBytes = 8 * 1024;

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

// Whether the comma-separated field value holds `token` (case-insensitive).
bool hasToken(const QByteArray& field, const char* token);

// How the body of a message is delimited.
struct Framing {
  enum class Kind {
    None,        // no body
    Length,      // `length` bytes
    Chunked,     // chunked, ended by its last chunk and trailer
    UntilClose,  // a response that ends with the connection
    Invalid,     // a request to answer 400, closing the connection, reading nothing after it
  };
  Kind kind = Kind::None;
  qint64 length = 0;
};
// A request's body: by "Content-Length" of plain decimal digits, or by
// "Transfer-Encoding: chunked" alone. Both fields, a length that is not one
// plain number, or any other transfer coding make the request Invalid.
Framing requestFraming(const Head& head);
// A response's body, by the same rules; with neither field it runs until the
// connection closes. Informational (1xx), 204 and 304 answers have none.
Framing responseFraming(const Head& head);

// Reads a chunked body fed in pieces; the content goes to `out`, which may
// refuse it (returns false). Chunk extensions, bare line feeds and chunks
// over `maxChunk` are refused; the trailer's fields are kept.
class ChunkedReader {
 public:
  enum class Status { More, Done, Bad };
  static constexpr int kMaxTrailerFields = 8;
  explicit ChunkedReader(qint64 maxChunk = 16 * 1024 * 1024) : maxChunk_(maxChunk) {}
  // Consumes what it can of `data`; `used` is how much was taken (the rest
  // belongs to whatever follows the body).
  template <class Out>
  Status feed(const char* data, qint64 size, qint64* used, Out&& out);
  // Content bytes so far.
  qint64 total() const { return total_; }
  // The trailer's fields (names in lower case), once Done.
  const QList<std::pair<QByteArray, QByteArray>>& trailer() const { return trailer_; }

 private:
  enum class State { Size, Data, DataEnd, Trailer, Done };
  bool lineDone(const char* data, qint64 size, qint64* i);
  Status onLine();
  qint64 maxChunk_;
  State state_ = State::Size;
  QByteArray line_;
  qint64 remaining_ = 0;
  qint64 total_ = 0;
  QList<std::pair<QByteArray, QByteArray>> trailer_;
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

// Follows the messages one side of an HTTP/1.1 connection sends, head by head
// and body by body, to tell where each one ends.
class MessageStream {
 public:
  enum class Side { Requests, Responses };
  explicit MessageStream(Side side) : side_(side) {}
  // Takes the next bytes and appends to `pass` (unless null) those of
  // messages whose framing is known: a head only once it is whole and its
  // framing decided.
  // False from the first head that is malformed or Invalid, or body that is
  // malformed, on: none of those bytes, or any after them, ever pass.
  bool feed(QByteArrayView data, QByteArray* pass);
  // Messages passed whole (informational responses not counted).
  int completed() const { return completed_; }

 private:
  enum class State { Head, Length, Chunked, UntilClose, Broken };
  void bodyDone();
  Side side_;
  State state_ = State::Head;
  QByteArray head_;
  qint64 left_ = 0;
  ChunkedReader chunks_;
  int completed_ = 0;
};

}  // namespace znet
