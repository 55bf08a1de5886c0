// Capabilities of the local-network route. The host issues one per transfer
// and hands it to the peer through their authenticated relay session; the
// listener serves only requests that present it. A capability is 256 random
// bits, bound to its session, to its transfer and to the files the host's
// checks passed, and to one method; it lapses when unused for a while, after a
// fixed lifetime, and when its transfer or session ends. Only its SHA-256 is
// kept, so the table holds nothing a request could be forged from.
#pragma once

#include <QByteArray>
#include <QHash>
#include <QString>

#include <functional>

#include "protocol/transfer_progress.h"
#include "transfer/transfer_paths.h"

namespace vantrel {

class LanCapabilities {
 public:
  static constexpr qint64 kIdleMs = 2 * 60 * 1000;
  static constexpr qint64 kLifetimeMs = 24 * 60 * 60 * 1000;
  // How long, and for how many transfers at most, the reason an ended
  // transfer's capability went is kept to answer the requests still coming.
  static constexpr qint64 kEndedKeepMs = 60 * 1000;
  static constexpr int kMaxEnded = 256;
  static constexpr int kMaxEndedPerSession = 32;

  enum class Method { Get, Put };
  // One file a capability covers, by its index in the transfer.
  struct File {
    TransferEntry file;  // Get: the checked file to read, opened beneath its share
    qint64 size = 0;
    File() = default;
    File(TransferEntry entry, qint64 bytes) : file(std::move(entry)), size(bytes) {}
  };
  struct Grant {
    QString session;
    QString xid;
    Method method = Method::Get;
    QHash<qint64, File> files;
    qint64 issuedAt = 0;
    qint64 usedAt = 0;
    bool used = false;  // a request has presented it
  };
  // Ended: the capability's transfer ended lately (see `endedWith`).
  enum class Refusal { None, NoCapability, Unknown, Expired, OtherTransfer, OtherSession, Method, NotListed, Ended };

  // `now` gives milliseconds (a steady clock); tests pass their own.
  explicit LanCapabilities(std::function<qint64()> now = {});

  // A new capability for the transfer; the text the peer presents.
  QString issue(const QString& session, const QString& xid, Method method, QHash<qint64, File> files);
  // The grant for a request, or the reason it is refused. A use renews the
  // idle time. `file` receives the entry.
  Refusal check(const QByteArray& capability, const QString& session, const QString& xid, Method method,
                qint64 index, File* file);
  // A request under the capability has just ended: the idle time starts
  // from here, so a long file does not make it lapse.
  void touch(const QByteArray& capability);
  // Whether a request has presented a capability of the transfer.
  bool used(const QString& xid) const;
  // The transfer ended: its capabilities go. With a reason, a request that
  // still presents one of them hears it (for a while, see kEndedKeepMs).
  void revokeTransfer(const QString& xid, protocol::TransferReason reason = protocol::TransferReason::None);
  void revokeSession(const QString& session);
  void revokeAll() { grants_.clear(), ended_.clear(); }
  // Why the transfer of `capability` ended, when it ended lately with a
  // reason; None otherwise.
  protocol::TransferReason endedWith(const QByteArray& capability) const;
  int size() const { return int(grants_.size()); }
  void setClock(std::function<qint64()> now) { now_ = std::move(now); }

  static const char* reasonText(Refusal refusal);

 private:
  void dropExpired(qint64 now);
  struct Ended {
    QString session;
    protocol::TransferReason reason = protocol::TransferReason::None;
    qint64 at = 0;
  };
  std::function<qint64()> now_;
  QHash<QByteArray, Grant> grants_;  // SHA-256 of the capability -> grant
  QHash<QByteArray, Ended> ended_;   // likewise, of transfers that ended lately
};

}  // namespace vantrel
