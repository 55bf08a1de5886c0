// Records of the transfer engine: the answers its client reads, and the
// frames two bridges exchange about a transfer inside their relay session.
#pragma once

#include "protocol/transfer_progress.h"
#include "wire.h"

#include <QList>
#include <QString>

#include <string>

namespace vantrel {

// The answer to every progress poll of a download, an upload or a send.
using TransTaskProgress = protocol::TransTaskProgress;

using protocol::TransferReason;

// The receiving side's view of a send from a contact.
struct ReceiveStatus {
  bool IsFinished = false;
  bool IsCancel = false;
  double Progress = 0;
  qint64 TotalCount = 0;
  qint64 TotalTaskDoneCount = 0;
  QString CurrentTaskFile;
  QString CurrentTaskSpeed;
  qint64 Renamed = 0;  // files saved as "name (N).ext" because their name was taken
  QString Reason;      // with IsCancel: why it ended (protocol::reasonCode); finished: why files did not arrive
  // What the sender said it could not read and left out, and its words for the first.
  qint64 Unread = 0;
  QString UnreadReason;
  VEX_FIELDS(IsFinished, IsCancel, Progress, TotalCount, TotalTaskDoneCount, CurrentTaskFile, CurrentTaskSpeed, Renamed,
             Reason, Unread, UnreadReason)
};

// Answer to the start of an upload: 1 started, 2 busy, 3 no usable channel
// or failed before anything was offered; a failure also says, as its progress
// record reads, "Reason" (its code) and "UnreadReason" (the words for what
// this computer could not read).
struct UploadStartReply {
  qint64 ValidInfo = 0;
  QString Info;
  VEX_FIELDS(ValidInfo, Info)
};

// One chosen target as the send view counts it: the bytes that can be sent,
// and what this computer may not read there (folders and files, left out),
// with the system's words for the first.
struct PreparedItem {
  QString Path;
  bool IsDir = false;
  qint64 Size = 0;
  qint64 Unread = 0;
  QString UnreadReason;
  VEX_FIELDS(Path, IsDir, Size, Unread, UnreadReason)
};

// A plain acknowledgement of a request that starts or stops something.
struct TransferAck {
  qint64 Result = 1;
  bool IsSucc = true;
  QString Info;
  VEX_FIELDS(Result, IsSucc, Info)
};

// ---- between the two bridges (relay frames of kind "xfer") -----------------

struct XferEntry {
  QString p;        // relative path, or for a send the absolute path to save at
  qint64 s = 0;     // size in bytes
  bool d = false;   // a folder
  VEX_FIELDS(p, s, d)
};

// "pull": fetch these paths of the host (a download).
struct XferPull {
  QStringList targets;
  VEX_FIELDS(targets)
};

// "push" (an upload or a send) and "manifest" (the host's answer to a pull).
struct XferOffer {
  QString mode;  // "upload", "send" or "download"
  QString root;  // the folder an upload goes into
  QList<XferEntry> entries;
  qint64 refused = 0;  // how many paths the host refused or could not open
  VEX_FIELDS(mode, root, entries, refused)
};

// "accept": the receiving side takes every entry but those listed.
struct XferAccept {
  QList<qint64> skip;
  VEX_FIELDS(skip)
};

// File bytes travel as binary data frames (protocol/data_frame.h), never here.

// "sum": entry `i` has been sent whole: its size and check (hex, file_sum.h) as read.
struct XferSum {
  qint64 i = 0;
  qint64 s = 0;
  QString h;
  VEX_FIELDS(i, s, h)
};

struct XferAck {
  qint64 c = 0;  // chunks taken so far
  qint64 b = 0;  // bytes received so far
  qint64 k = 0;  // files kept (renamed into place) so far
  VEX_FIELDS(c, b, k)
};

// "skip" (an entry the sender could not read), "done", "finished", "cancel".
struct XferNote {
  qint64 i = -1;
  qint64 done = 0;
  qint64 failed = 0;
  QString why;
  VEX_FIELDS(i, done, failed, why)
};

// The host's own words for a check its client could not make ("Error: Too
// many open files"), as a "manifest" or "cancel" frame carries them to the
// peer: at most this many characters, from either side.
inline constexpr qsizetype kTransferMaxReasonChars = 200;
inline QString boundedReason(const QString& text) {
  QString bounded = text.left(kTransferMaxReasonChars);
  if (!bounded.isEmpty() && bounded.back().isHighSurrogate()) bounded.chop(1);
  return bounded;
}

// What the sending side could not read, in the words the host side uses
// for a failure ("Error: Permission denied"), bounded as above.
inline QString unreadWords(const QString& why) {
  const QString words = why.trimmed().isEmpty() ? QStringLiteral("the file cannot be read") : why.trimmed();
  return boundedReason(words.startsWith(QLatin1String("Error:")) ? words : QStringLiteral("Error: ") + words);
}

// A "cancel" frame: the reason in words and as a code, and the host's own
// words when it has them ("reason"). The peer reads a cancel here as
// cancelled by the other side.
inline Json cancelNote(const QString& why, TransferReason reason, const QString& hostReason = {}) {
  Json note = XferNote{-1, 0, 0, why}.toJSONModel();
  note["code"] = protocol::reasonCode(reason).toStdString();
  if (!hostReason.isEmpty()) note["reason"] = boundedReason(hostReason).toStdString();
  return note;
}
inline TransferReason reasonOfCancelFrame(const QString& code) {
  if (code.isEmpty()) return TransferReason::Peer;
  const TransferReason reason = protocol::reasonFromCode(code);
  if (reason == TransferReason::Cancel || reason == TransferReason::PeerCancel) return TransferReason::PeerCancel;
  // Only this bridge says a transfer is unknown to it.
  if (reason == TransferReason::Unknown) return TransferReason::Failed;
  return reason == TransferReason::None ? TransferReason::Peer : reason;
}

}  // namespace vantrel
