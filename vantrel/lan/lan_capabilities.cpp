#include "lan_capabilities.h"

#include <QCryptographicHash>
#include <QElapsedTimer>
#include <QRandomGenerator>

namespace vantrel {

namespace {

QByteArray keyOf(const QByteArray& capability) {
  return QCryptographicHash::hash(capability, QCryptographicHash::Sha256);
}

qint64 steadyMs() {
  static QElapsedTimer clock = [] {
    QElapsedTimer t;
    t.start();
    return t;
  }();
  return clock.elapsed();
}

}  // namespace

LanCapabilities::LanCapabilities(std::function<qint64()> now) : now_(now ? std::move(now) : steadyMs) {}

QString LanCapabilities::issue(const QString& session, const QString& xid, Method method, QHash<qint64, File> files) {
  quint32 words[8];
  QRandomGenerator::system()->fillRange(words);
  const QByteArray capability =
      QByteArray(reinterpret_cast<const char*>(words), sizeof words)
          .toBase64(QByteArray::Base64UrlEncoding | QByteArray::OmitTrailingEquals);
  const qint64 now = now_();
  dropExpired(now);
  grants_.insert(keyOf(capability), Grant{session, xid, method, std::move(files), now, now});
  return QString::fromLatin1(capability);
}

LanCapabilities::Refusal LanCapabilities::check(const QByteArray& capability, const QString& session,
                                                const QString& xid, Method method, qint64 index, File* file) {
  if (capability.isEmpty()) return Refusal::NoCapability;
  const qint64 now = now_();
  const QByteArray key = keyOf(capability);
  const auto it = grants_.find(key);
  if (it == grants_.end()) {
    const auto ended = ended_.constFind(key);
    return ended != ended_.constEnd() && now - ended->at <= kEndedKeepMs && ended->session == session
               ? Refusal::Ended
               : Refusal::Unknown;
  }
  if (now - it->usedAt > kIdleMs || now - it->issuedAt > kLifetimeMs) {
    grants_.erase(it);
    return Refusal::Expired;
  }
  if (it->session != session) return Refusal::OtherSession;
  if (it->xid != xid) return Refusal::OtherTransfer;
  if (it->method != method) return Refusal::Method;
  const auto entry = it->files.constFind(index);
  if (entry == it->files.constEnd()) return Refusal::NotListed;
  it->usedAt = now;
  it->used = true;
  if (file) *file = *entry;
  return Refusal::None;
}

void LanCapabilities::touch(const QByteArray& capability) {
  const auto it = grants_.find(keyOf(capability));
  if (it != grants_.end()) it->usedAt = now_();
}

bool LanCapabilities::used(const QString& xid) const {
  for (const Grant& grant : grants_)
    if (grant.xid == xid && grant.used) return true;
  return false;
}

void LanCapabilities::revokeTransfer(const QString& xid, protocol::TransferReason reason) {
  const qint64 now = now_();
  ended_.removeIf([&](const auto& it) { return now - it.value().at > kEndedKeepMs; });
  auto roomFor = [&](const QString& session) {
    if (ended_.size() >= kMaxEnded) return false;
    int held = 0;
    for (const Ended& ended : std::as_const(ended_)) held += ended.session == session ? 1 : 0;
    return held < kMaxEndedPerSession;
  };
  for (auto it = grants_.begin(); it != grants_.end();) {
    if (it->xid != xid) {
      ++it;
      continue;
    }
    if (reason != protocol::TransferReason::None && roomFor(it->session))
      ended_.insert(it.key(), Ended{it->session, reason, now});
    it = grants_.erase(it);
  }
}

void LanCapabilities::revokeSession(const QString& session) {
  grants_.removeIf([&](const auto& it) { return it.value().session == session; });
  ended_.removeIf([&](const auto& it) { return it.value().session == session; });
}

protocol::TransferReason LanCapabilities::endedWith(const QByteArray& capability) const {
  if (capability.isEmpty()) return protocol::TransferReason::None;
  const auto it = ended_.constFind(keyOf(capability));
  return it != ended_.constEnd() && now_() - it->at <= kEndedKeepMs ? it->reason : protocol::TransferReason::None;
}

void LanCapabilities::dropExpired(qint64 now) {
  grants_.removeIf([&](const auto& it) {
    return now - it.value().usedAt > kIdleMs || now - it.value().issuedAt > kLifetimeMs;
  });
}

const char* LanCapabilities::reasonText(Refusal refusal) {
  switch (refusal) {
    case Refusal::None: return "granted";
    case Refusal::NoCapability: return "no capability";
    case Refusal::Unknown: return "unknown capability";
    case Refusal::Expired: return "expired capability";
    case Refusal::OtherTransfer: return "capability of another transfer";
    case Refusal::OtherSession: return "capability of another session";
    case Refusal::Method: return "method not granted";
    case Refusal::NotListed: return "file not in the checked list";
    case Refusal::Ended: return "the transfer ended";
  }
  return "refused";
}

}  // namespace vantrel
