// Where the bytes of one file go when they arrive over the local-network
// route, on either side: the sink of a download fetched from the host, or the
// host receiving an upload. The transfer engine's sink stands behind it, with
// its rules (partial name, size, SHA-256, sync, rename).
#pragma once

#include <QByteArray>
#include <QString>

namespace vantrel {

class LanFileSink {
 public:
  virtual ~LanFileSink() = default;  // an unfinished file is discarded
  virtual bool write(const char* data, qint64 size) = 0;
  // Every byte arrived; `sha256` is the sender's digest. False with the
  // reason when the file cannot be kept.
  virtual bool finish(const QByteArray& sha256, QString* why) = 0;
};

}  // namespace vantrel
