#include "bridge/peer_link.h"

#include "bridge/env.h"
#include "core/log.h"

#include <QHash>
#include <QUuid>

namespace {
QString makePrefix(const QString& word) {
  const QString uuid = QUuid::createUuid().toString(QUuid::WithoutBraces);
  return word + QString::number(qHash(uuid, QHashSeed::globalSeed()));
}
}  // namespace

const QString& ClientWSDC() {
  static const QString prefix = makePrefix(QStringLiteral("ClientWSDC"));
  return prefix;
}

const QString& P2PClient() {
  static const QString prefix = makePrefix(QStringLiteral("P2PClient"));
  return prefix;
}

bool SetRemoteSession(const QString& session) {
  const PeerLink link = linkOfSession(session);
  if (!link.isUp()) {
    zlog::parts(QStringLiteral("SetRemoteSession - session without two ids, ignored -"), zlog::excerpt(session));
    return false;
  }
  Env::RemoteSession = link.session;
  Env::RemoteULocal.clear();
  Env::RemoteURemote.clear();
  Env::RemoteClientID1 = link.clientId1;
  Env::RemoteClientID2 = link.clientId2;
  Env::RemoteConnected = true;
  return true;
}

PeerLink currentPeerLink() { return PeerLink{Env::RemoteSession, Env::RemoteClientID1, Env::RemoteClientID2}; }

PeerLink linkOfSession(const QString& session) {
  const QStringList ids = session.split(QLatin1Char('|'));
  if (ids.size() < 2) return {};
  return PeerLink{session, ids.at(0), ids.at(1)};
}
