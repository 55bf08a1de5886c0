// One file's body as it arrives over the local-network route, on either side
// (the peer fetching a download, the host taking an upload): chunked, into a
// LanFileSink, never more than the announced size, and with reading held back
// while the sink's disk is behind.
#pragma once

#include "net/lan_http.h"
#include "lan_sink.h"

#include <QByteArray>
#include <QObject>

#include <functional>

namespace vantrel::lan {

class FileBody {
 public:
  // Broken: the sender broke the body off, saying why (brokenReason, brokenWhy).
  enum class Result { More, Whole, TooLong, Short, NoDigest, Broken, Bad };

  void start(qint64 size) {
    reader_ = ChunkedReader();
    size_ = size;
  }
  // Feeds what `buffer` holds to `sink`, which shares the buffer rather than
  // copying it; a short unread tail (what follows the body) stays in `buffer`.
  Result feed(QByteArray& buffer, LanFileSink& sink, const std::function<void(qint64)>& progress = {});
  // The sender's digest of the content, once the body is whole.
  const Digest& digest() const { return reader_.trailerDigest(); }
  // The sender's reason code and its cause, once the body is Broken.
  const QByteArray& brokenReason() const { return reader_.trailerReason(); }
  QString brokenWhy() const { return QString::fromUtf8(reader_.trailerWhy()); }

  // True while `sink` holds more unwritten bytes than allowed: the caller
  // leaves the bytes in its socket (so the sender waits), and `retry` runs on
  // `context` a little later.
  bool holdForDisk(const LanFileSink* sink, QObject* context, std::function<void()> retry);

 private:
  ChunkedReader reader_;
  qint64 size_ = 0;
  bool retryDue_ = false;
};

}  // namespace vantrel::lan
