// The bridge's answer to every progress poll of a download, an upload or a
// send: the bridge writes it, the client's transfer sheets read it.
#pragma once

#include "core/vex_json.h"

#include <QString>

namespace protocol {

// Why a transfer ended before it finished, as the progress records and the
// two bridges' "cancel" frames name it ("Reason", "code").
enum class TransferReason {
  None,        // it did not end early
  Failed,      // anything else: bad data, a mismatch, a limit
  Disk,        // "disk": the disk is full or the folder cannot be written
  Source,      // "source": a file changed or went missing on the sending side
  Refused,     // "refused": the host refused it
  Gone,        // "gone": the other side or the link went away
  Timeout,     // "timeout": no answer in time
  PeerCancel,  // "peer-cancel": the other side cancelled
  Cancel,      // "cancel": cancelled on this side
  Peer,        // "peer": the other side ended it without saying why
  Unknown,     // "unknown": the bridge has no record of it (restarted, or the record went)
};
QString reasonCode(TransferReason reason);
// Unknown or missing codes read as Failed ("" as None).
TransferReason reasonFromCode(const QString& code);
// Whether someone cancelled (here or on the other side).
inline bool isCancelReason(TransferReason r) { return r == TransferReason::Cancel || r == TransferReason::PeerCancel; }

// What the bridge says of a transfer it has no record of.
inline constexpr const char* kUnknownTransferWords =
    "this transfer is no longer known: the bridge restarted or its record expired";

struct TransTaskProgress {
  qint64 TaskStatus = 0;  // 1 once the task has finished
  qint64 TotalTaskCount = 0;
  qint64 TotalTaskDoneCount = 0;
  QString CurrentTaskFile;
  QString CurrentTaskSpeed;
  double CurrentTaskPercent = 0;
  QString WorkingSpeed;
  qint64 WorkingIndex = 0;
  qint64 ForceCancel = 0;  // 1 when the task was cancelled or broke off
  qint64 CurrentTaskFileSize = 0;
  // Files saved as "name (N).ext" because their name was taken.
  qint64 Renamed = 0;
  QString Reason;  // with ForceCancel 1: the reason's code (reasonCode)
  // Why the host refused, in its own words, when its client could not make a
  // check ("Error: Permission denied"); the peer's text, at most 200 characters.
  QString HostReason;
  // How many of the paths asked for the host refused or could not open (with
  // HostReason, its words for the first it could not open).
  qint64 Refused = 0;
  // What the sending side could not read and left out (folders it could not
  // open, files it could not open or read), with the system's words for the
  // first ("Error: Permission denied"). On an upload or a send: this
  // computer; a download's host tells its own as Refused.
  qint64 Unread = 0;
  QString UnreadReason;
  // The bytes of the whole task; -1 until the bridge knows them.
  qint64 TotalTaskSize = -1;
  VEX_FIELDS(TaskStatus, TotalTaskCount, TotalTaskDoneCount, CurrentTaskFile, CurrentTaskSpeed, CurrentTaskPercent,
             WorkingSpeed, WorkingIndex, ForceCancel, CurrentTaskFileSize, Renamed, Reason, TotalTaskSize, HostReason,
             Refused, Unread, UnreadReason)

  // A record read leniently: a missing key or a value of another kind reads
  // as 0 or empty (TotalTaskSize as -1); numbers may come as text.
  static TransTaskProgress read(const vex::Json& record);
};

}  // namespace protocol
