// One transfer as both sides of the engine keep it, and the limits they share.
#pragma once

#include "file_slots.h"
#include "transfer_workers.h"
#include "transfer_parts.h"
#include "transfer_paths.h"
#include "transfer_wire.h"

#include "protocol/folder_limits.h"

#include <QElapsedTimer>
#include <QSet>
#include <QString>

#include <algorithm>
#include <atomic>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

namespace vantrel {

class PullHold;

inline constexpr qint64 kTransferChunkBytes = 512 * 1024;
inline constexpr int kTransferWindow = 8;
// A data frame's header at most, beside its payload (the relay's credit counts both).
inline constexpr qint64 kTransferFrameOverhead = 2048;
// Limits of the walk of a folder a peer asked for, and of a peer's offer.
inline constexpr int kTransferMaxEntries = protocol::kFolderMaxEntries;
inline constexpr int kTransferMaxDepth = protocol::kFolderMaxDepth;
// The entries of one offer at most: those the limit counts and the folders
// asked for at its top, which it does not.
inline constexpr int kTransferMaxOfferEntries = 2 * kTransferMaxEntries;
// The most bytes one transfer may announce, in all (2^53, well past any disk).
inline constexpr qint64 kTransferMaxBytes = qint64(1) << 53;
inline constexpr int kTransferMaxWalkMs = 20000;
// Requests the engine keeps in flight toward its own client per session (its
// checks), all transfers of the session together: fewer than the client lets
// wait per session, so that none is answered "busy" for want of a place.
inline constexpr int kTransferClientAsksPerSession = 8;
// Files of one folder checked in one request to the host's client, at most.
inline constexpr int kTransferCheckBatch = 256;
// Files below this size go whole, several to a data frame, to a peer that
// reads such frames; at most this many to a frame.
inline constexpr qint64 kTransferPackBelow = 64 * 1024;
inline constexpr int kTransferPackFiles = 64;
inline constexpr qint64 kPackedFileHeader = 40;  // a packed file's index, size and check, at most
// Transfers a peer may have running against this bridge at once.
inline constexpr int kTransferMaxServedPerSession = 4;
// How long a peer's download waits for the peer to take its offer ("accept")
// before it ends, giving back what it holds.
inline constexpr int kTransferAcceptTimeoutMs = 30000;
// Ended tasks kept for their progress records in all (the latest of each
// kind in each session is kept until the session ends).
inline constexpr int kTransferEndedTasksKept = 256;
// Files the receiving side holds open at once (being written, or waiting for
// their sync and rename), in all and per transfer; and the sending side's
// files read over several chunks (small files are opened, read and closed in
// one worker job). Work beyond them waits without a descriptor.
inline constexpr int kTransferSinkFiles = 64;
inline constexpr int kTransferSinkFilesPerTransfer = 32;
inline constexpr int kTransferSourceFiles = 64;
inline constexpr int kTransferSourceFilesPerTransfer = 1;

// Writes one frame to the peer of an open session; false when it cannot.
using TransferSendPeer = std::function<bool(const QString& session, const QString& op, const QString& xid, const Json& msg)>;
// Asks the local client a host request; the reply value, or nothing when
// no answer came.
using TransferAskDone = std::function<void(const std::optional<Json>& reply)>;
using TransferAskClient = std::function<void(const QString& session, const QString& code, const Json& msg, TransferAskDone done)>;
// Writes one chunk of file bytes to the peer as a binary data frame.
using TransferSendData =
    std::function<bool(const QString& session, const QString& xid, quint32 file, quint64 offset, QByteArrayView bytes)>;

enum class TransferRole { Source, Sink };
enum class TransferKind { Download, Upload, Send };
enum class TransferState { Starting, Running, Finished, Cancelled, Failed };
// The outcome of a step of the receiving side: done (or the transfer failed,
// and it has ended), or waiting for a place among the open files.
enum class SinkStep { Done, Wait, Failed };

struct TransferTask {
  struct Inflight {
    qint64 index;
    qint64 bytes;
    qint64 files;  // files whose last bytes the chunk carries
  };
  QString xid;
  QString session;
  TransferRole role = TransferRole::Source;
  TransferKind kind = TransferKind::Download;
  TransferState state = TransferState::Starting;
  QString why;
  TransferReason reason = TransferReason::None;
  QString root;  // sink: the folder written into
  // Whether an arriving file may take the place of an existing one; when not,
  // it is saved under the first free "name (N).ext" (counted in `renamed`).
  bool replace = true;
  qint64 renamed = 0;
  // The whole-file check both sides make: the sink's pick from the source's offer.
  SumKind sum = SumKind::Sha256;
  // sink: the folder every entry is reached beneath (an upload's share root,
  // else `root` itself), opened once, and the receiving folder beneath it.
  std::shared_ptr<const beneath::Fd> rootFolder;
  QString rootRel;
  QList<TransferEntry> entries;
  QSet<qint64> skipped;
  qint64 fileCount = 0;
  qint64 done = 0;  // files in place (the source counts those the sink took whole until it says)
  qint64 failed = 0;
  // Why the first file that did not arrive while the task went on ended
  // early, and its reason: the finished task says it beside its count.
  QString fileWhy;
  TransferReason fileReason = TransferReason::None;
  void fileEnded(const QString& why, TransferReason reason) {
    if (fileReason != TransferReason::None) return;
    fileWhy = why;
    fileReason = reason;
  }
  // What the sending side could not read and left out, never offered or
  // taken out of the offer (not in `fileCount`): folders it could not open,
  // files it could not open or read; the system's words for the first
  // ("Error: Permission denied"). On the source its own, on the sink what
  // the source said.
  qint64 unread = 0;
  QString unreadReason;
  void leaveOut(const QString& reason, qint64 count = 1) {
    if (unread == 0 || unreadReason.isEmpty()) unreadReason = reason;
    unread += count;
  }
  // An offered file that will not come after all: out of the counts.
  void dropOffered(qint64 index) {
    fileCount = std::max<qint64>(0, fileCount - 1);
    done = std::min(done, fileCount);
    if (index >= 0 && index < entries.size()) totalBytes = std::max<qint64>(0, totalBytes - entries[index].size);
  }
  // Source of an upload or a send: the sink's last count of the files it kept
  // arrived (its "finished", its "cancel" or "kept", or every file answered
  // as in place); until then the count may be short.
  bool countSettled = false;
  qint64 bytesDone = 0;
  qint64 totalBytes = 0;
  qint64 current = -1;  // entry in progress
  qint64 currentBytes = 0;
  qint64 currentOrdinal = 0;  // 1-based among the files
  QElapsedTimer clock;
  qint64 endedAt = -1;  // on `clock`, once it ended: its rate stays the one at its end
  bool endRead = false;  // the client has polled its record since it ended
  void markEnded(TransferState end) {
    state = end;
    endedAt = clock.elapsed();
  }
  // source
  qint64 next = 0;  // next entry to open
  std::unique_ptr<SourceReader> in;  // the file being sent
  bool peerPacks = false;             // the sink reads packed frames of small files
  // the small files of the next packed frame, read on workers
  std::vector<std::pair<qint64, std::unique_ptr<SourceReader>>> packing;
  qint64 sent = 0;
  qint64 acked = 0;  // chunks acknowledged (by the peer, or to it on the sink)
  qint64 ackedBytes = 0;  // their bytes (source)
  std::deque<Inflight> inflight;
  bool allSent = false;
  bool viaLan = false;        // the local-network route carries the files meanwhile
  bool waitsForFile = false;  // for a place among the open files
  int checksPending = 0;
  QList<TransferEntry> candidates;
  QList<TransferEntry> folders;  // folder targets of a download, walked once allowed
  bool refused = false;  // something asked for was refused
  qint64 refusedCount = 0;  // how many paths (files, or folders that could not be read)
  // Why, in the host's words, when its client could not make a check or the
  // walk could not open a folder (no permission, no descriptors left); at
  // most kTransferMaxReasonChars.
  QString hostReason;
  // Paths refused, with the host's words when it gave any.
  void refuse(const QString& reason, qint64 count = 1) {
    refused = true;
    refusedCount += count;
    if (hostReason.isEmpty()) hostReason = reason;
  }
  // The share roots the checks named, by identity ("ShareId"), each opened
  // and verified once for the task's later checks.
  QHash<QString, std::shared_ptr<const beneath::Fd>> shareRoots;
  // The host's checks allow the local-network route for every file.
  bool lanAllowed = false;
  // An offer too long for one message (transfer_parts.h). Sent: the parts
  // still to go, the next one's number, and the entries sent in parts, which
  // the peer's answer must say it took. Received: the message being put
  // together. `took`: the entries of the peer's offer (or pull) read here.
  std::deque<QByteArray> partsOut;
  qint64 partsNext = 0;
  qint64 sentInParts = 0;
  std::optional<PartsIn> partsIn;
  qint64 took = 0;
  // The places this transfer holds among the bridge's open files.
  FileSlots::Count openFiles = std::make_shared<std::atomic_int>(0);
  // Set when the task ends, so that a walk on a worker stops early.
  std::shared_ptr<std::atomic_bool> stop = std::make_shared<std::atomic_bool>(false);
  // A peer's download: what it holds of the bridge's bounds until the peer
  // takes the offer (pull_holds.h); empty from then on, and once it ended.
  std::shared_ptr<PullHold> pullHold;
  qint64 offeredAt = -1;  // on `clock`: when its manifest went to the peer
  // sink
  std::shared_ptr<SinkFile> out;       // the file being received
  std::unique_ptr<SerialJobs> writes;  // its writes, then each file's commit
  qint64 accepted = 0;                 // bytes of `out` handed to its writes
  qint64 taken = 0;   // chunks received
  qint64 takenBytes = 0;  // their bytes
  qint64 stored = 0;  // chunks written
  std::vector<bool> opened;  // by entry: its file was opened here (a "skip" for it comes too late)
  qint64 keptTold = 0;     // the count of files in place the source last heard
  bool keptDue = false;    // a word of more files in place is on its way
  int committing = 0;         // files being synced and renamed
  // ... those files, removed at once when the transfer ends before their rename
  QHash<qint64, std::shared_ptr<SinkFile>> committingFiles;
  bool doneReceived = false;  // the source has sent everything
  // The folder of the last file opened, kept for the files after it there.
  std::shared_ptr<const beneath::Fd> folder;
  QString folderRel;
  // Steps that wait for a place among the open files, in arrival order, and
  // the bytes they hold.
  struct Held {
    std::function<SinkStep(const std::shared_ptr<TransferTask>&)> step;
    qint64 bytes = 0;
  };
  std::deque<Held> held;
  qint64 heldBytes = 0;
  // speed, sampled when polled
  mutable qint64 sampleAt = 0;
  mutable qint64 sampleBytes = 0;
  mutable double speed = 0;

  bool isActive() const { return state == TransferState::Starting || state == TransferState::Running; }
  // Started by the peer (served here) rather than by this bridge's client.
  bool startedByPeer() const {
    return (role == TransferRole::Source && kind == TransferKind::Download) ||
           (role == TransferRole::Sink && kind != TransferKind::Download);
  }
};
using TaskPtr = std::shared_ptr<TransferTask>;

inline bool isActive(const TaskPtr& task) { return task && task->isActive(); }

}  // namespace vantrel
