// Peers' requests to a host that are never answered: the host's bridge does
// not wait for their answer, and the host never sends one, not even "busy";
// and the fields the host's bridge and its client add to peers' requests.
#pragma once

#include <QLatin1StringView>
#include <QString>

namespace protocol {

inline bool isUnansweredRequest(const QString& code) {
  return code == QLatin1StringView("SaveLog") || code == QLatin1StringView("getFileExtInfo") ||
         code == QLatin1StringView("WaitRemoteReceiveFilesCancel") || code == QLatin1StringView("SessionClosed");
}

// What the host's bridge adds to each request it hands its client (a peer
// never sets it): how many transfers it runs at that moment.
inline constexpr char kHostTransfersField[] = "HostTransfers";
// The client's notice to its bridge (code "WSDC", with the check's token,
// session and code) that the turn of one of the bridge's own transfer checks
// has come: from then on the bridge waits a short time for the answer; before
// it, the check only waits its turn.
inline constexpr char kCheckTakenField[] = "TransferCheckTaken";

}  // namespace protocol
