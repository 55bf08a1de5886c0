// Where the bytes of one file go when they arrive over the local-network
// route, on either side: the sink of a download fetched from the host, or the
// host receiving an upload. The transfer engine's sink stands behind it, with
// its rules (partial name, size, check, sync, rename).
#pragma once

#include "net/lan_http.h"
#include "protocol/transfer_progress.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QString>

#include <functional>

namespace vantrel {

class LanFileSink {
 public:
  // Runs once the file is in place (empty reason) or was dropped.
  using Kept = std::function<void(const QString& why)>;
  virtual ~LanFileSink() = default;  // an unfinished file is discarded
  // `bytes` lie inside `owner`, which the sink may keep instead of copying them.
  virtual bool write(QByteArrayView bytes, const QByteArray& owner) = 0;
  // Bytes written here that have not reached the disk yet; above a bound the
  // route stops reading from the network until they have.
  virtual qint64 pending() const { return 0; }
  // Every byte arrived, with the digest the sender put after them.
  virtual void finish(const lan::Digest& digest, Kept kept) = 0;
  // Why the transfer behind it ended, once it has (None while it runs): what
  // the other side is told when the file is not taken.
  virtual protocol::TransferReason endedWith() const { return protocol::TransferReason::None; }
};

}  // namespace vantrel
