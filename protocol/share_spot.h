// Where a path that the client's gate checked for one of its bridge's
// transfers lies, added to the check's answer for the bridge alone (never for
// a peer): the share's root folder, the path beneath it as the peer gave it,
// and the root's identity, so that the bridge opens the same root and
// resolves the same path beneath it, never the peer's path text.
#pragma once

#include "core/vex_json.h"

#include <QString>

namespace protocol {

// The envelope field by which the bridge marks a check of its own.
inline constexpr char kTransferCheckField[] = "TransferCheck";

struct ShareSpot {
  QString ShareRoot;  // the root folder's canonical path
  QString ShareRel;   // beneath it, as the peer gave it ("" for the root)
  QString ShareId;    // "device:inode" of the root folder
  VEX_FIELDS(ShareRoot, ShareRel, ShareId)
  static constexpr const char* kRoot = "ShareRoot";
  static constexpr const char* kRel = "ShareRel";
  static constexpr const char* kId = "ShareId";
};

inline QString folderIdentity(quint64 device, quint64 inode) {
  return QString::number(device) + QLatin1Char(':') + QString::number(inode);
}

}  // namespace protocol
