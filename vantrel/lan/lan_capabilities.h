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

#include "transfer/transfer_paths.h"

namespace vantrel {

class LanCapabilities {
 public:
  static constexpr qint64 kIdleMs = 2 * 60 * 1000;
  static constexpr qint64 kLifetimeMs = 24 * 60 * 60 * 1000;

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
  };
  enum class Refusal { None, NoCapability, Unknown, Expired, OtherTransfer, OtherSession, Method, NotListed };

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
  void revokeTransfer(const QString& xid);
  void revokeSession(const QString& session);
  void revokeAll() { grants_.clear(); }
  int size() const { return int(grants_.size()); }
  void setClock(std::function<qint64()> now) { now_ = std::move(now); }

  static const char* reasonText(Refusal refusal);

 private:
  void dropExpired(qint64 now);
  std::function<qint64()> now_;
  QHash<QByteArray, Grant> grants_;  // SHA-256 of the capability -> grant
};

}  // namespace vantrel
