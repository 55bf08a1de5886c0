// Peers' requests to a host that are never answered: the host's bridge does
// not wait for their answer, and the host never sends one, not even "busy".
#pragma once

#include <QLatin1StringView>
#include <QString>

namespace protocol {

inline bool isUnansweredRequest(const QString& code) {
  return code == QLatin1StringView("SaveLog") || code == QLatin1StringView("getFileExtInfo") ||
         code == QLatin1StringView("WaitRemoteReceiveFilesCancel") || code == QLatin1StringView("SessionClosed");
}

}  // namespace protocol
