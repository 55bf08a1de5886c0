// The bridge's transfer engine. A transfer moves files from a source bridge
// to a sink bridge inside one relay session, as frames of kind "xfer":
//
//   download: sink --pull--> source (checks every file with its client)
//             source --manifest--> sink
//   upload / send: source --push--> sink (checks the folder with its client)
//   then:     sink --accept--> source, source --data...--> sink (acked),
//             source --done--> sink, sink --finished--> source
//   either side may send "cancel"; the source sends "skip" for an entry it
//   could not read.
//
// Chunks are at most kChunkBytes of raw data (base64 on the wire) and at most
// kWindow chunks are unacknowledged, so memory stays bounded whatever the file
// size. The sink writes every file under a hidden temporary name in its
// folder and renames it only when its last chunk has arrived; a cancelled or
// broken transfer removes the file it was writing. Paths from the peer are
// relative paths of plain components that must stay inside the receiving
// folder, also once symbolic links are resolved.
#pragma once

#include "transfer_paths.h"
#include "transfer_wire.h"

#include <QElapsedTimer>
#include <QFile>
#include <QHash>
#include <QObject>
#include <QSet>

#include <deque>
#include <functional>
#include <memory>
#include <optional>

namespace vantrel {

class TransferEngine : public QObject {
  Q_OBJECT
 public:
  static constexpr qint64 kChunkBytes = 512 * 1024;
  static constexpr int kWindow = 8;
  static constexpr int kMaxEntries = 50000;
  static constexpr int kParallelChecks = 32;
  // Transfers a peer may have running against this bridge at once.
  static constexpr int kMaxServedPerSession = 4;

  // Writes one frame to the peer of an open session; false when it cannot.
  using SendPeer = std::function<bool(const QString& session, const QString& op, const QString& xid, const Json& msg)>;
  // Asks the local client a host request; the reply value, or nothing when
  // no answer came.
  using AskDone = std::function<void(const std::optional<Json>& reply)>;
  using AskClient = std::function<void(const QString& session, const QString& code, const Json& msg, AskDone done)>;

  // Receives the answer of a request that needs the disk first.
  using Answer = std::function<void(const Json& answer)>;

  TransferEngine(SendPeer sendPeer, AskClient askClient, QObject* parent = nullptr);
  ~TransferEngine() override;

  // Requests of the local client; each returns the answer to send back, or
  // hands it to `answer` once the local files have been walked (off the main
  // thread, so that a big tree never holds up the bridge).
  Json startDownload(const Json& data);                 // "Trans3_FC_00_CallStart"
  Json downloadProgress(const QString& session) const;  // "Trans3_FC_TransTaskInfo"
  Json cancelDownload(const QString& session);          // "Trans3_FC_00_Cancel"
  void startUpload(const Json& data, Answer answer);    // "Trans2_FS_00_CallStart"
  void startSend(const Json& data, Answer answer);      // "StartRemoteUpload"
  Json uploadProgress(const QString& session) const;    // "RemoteUploadTaskInfo"
  Json cancelUpload(const QString& session);            // "Trans2_FS_00_Cancel", "CancelUploading"
  void prepareUpload(const Json& data, Answer answer);  // "PreparingUpload"
  Json resetReceive(const QString& session);            // "ResetRemoteUploadStatus_FromLocal"
  Json cancelReceive(const QString& session);           // "CancelFileReceive_FromLocal"
  Json receiveStatus(const QString& session) const;     // "RefreshRemoteUploadStatus_FromLocal"

  // A frame of kind "xfer" from the peer of an open session.
  void onPeerFrame(const QString& session, const QString& op, const QString& xid, const Json& msg);
  // The session closed: its transfers break off.
  void sessionGone(const QString& session);
  void allSessionsGone();

  int activeCount() const;

 private:
  enum class Role { Source, Sink };
  enum class Kind { Download, Upload, Send };
  enum class State { Starting, Running, Finished, Cancelled, Failed };
  struct Inflight {
    qint64 index;
    qint64 bytes;
    bool last;
  };
  struct Task {
    QString xid;
    QString session;
    Role role = Role::Source;
    Kind kind = Kind::Download;
    State state = State::Starting;
    QString why;
    QString root;  // sink: the folder written into
    QList<TransferEntry> entries;
    QSet<qint64> skipped;
    qint64 fileCount = 0;
    qint64 done = 0;
    qint64 failed = 0;
    qint64 bytesDone = 0;
    qint64 totalBytes = 0;
    qint64 current = -1;  // entry in progress
    qint64 currentBytes = 0;
    qint64 currentOrdinal = 0;  // 1-based among the files
    QElapsedTimer clock;
    // source
    qint64 next = 0;  // next entry to open
    std::unique_ptr<QFile> in;
    qint64 readOffset = 0;
    qint64 sent = 0;
    qint64 acked = 0;
    std::deque<Inflight> inflight;
    bool allSent = false;
    int checksPending = 0;
    QList<TransferEntry> candidates;
    qint64 refused = 0;
    // sink
    std::unique_ptr<QFile> out;
    QString tempPath;
    qint64 written = 0;
    qint64 taken = 0;
    qint64 doneBytesAtFileStart = 0;
    // speed, sampled when polled
    mutable qint64 sampleAt = 0;
    mutable qint64 sampleBytes = 0;
    mutable double speed = 0;
  };
  using TaskPtr = std::shared_ptr<Task>;

  // Walks (path, name) pairs on a worker; `done` runs on this object's thread.
  void walkThen(const QList<QPair<QString, QString>>& targets, bool withFolders,
                std::function<void(const QList<QList<TransferEntry>>&)> done);
  void offerWalked(const TaskPtr& task, const QList<QList<TransferEntry>>& walked, const QString& mode,
                   const QString& root);
  TaskPtr newTask(const QString& session, Role role, Kind kind, const QString& xid = {});
  TaskPtr find(const QString& xid, const QString& session) const;
  TaskPtr latest(const QHash<QString, QString>& index, const QString& session) const;
  bool isActive(const TaskPtr& task) const;
  void fail(const TaskPtr& task, const QString& why, bool tellPeer);
  void cancel(const TaskPtr& task, const QString& why, bool tellPeer);
  void end(const TaskPtr& task, State state, const QString& why, bool tellPeer);
  void forgetIfServing(const TaskPtr& task);
  // False (and the peer told) when the session already runs enough transfers
  // that the peer started.
  bool admit(const QString& session, const QString& xid);
  bool send(const TaskPtr& task, const QString& op, const Json& msg);

  // source
  void onPull(const QString& session, const QString& xid, const Json& msg);
  void checkNext(const TaskPtr& task);
  void sendManifest(const TaskPtr& task);
  void onAccept(const TaskPtr& task, const Json& msg);
  void pump(const TaskPtr& task);
  void onAck(const TaskPtr& task, const Json& msg);
  void onFinished(const TaskPtr& task, const Json& msg);
  // sink
  void onPush(const QString& session, const QString& xid, const Json& msg);
  void onManifest(const TaskPtr& task, const Json& msg);
  void takeOffer(const TaskPtr& task, const Json& offer, bool absolutePaths);
  void onData(const TaskPtr& task, const Json& msg);
  void onSkip(const TaskPtr& task, const Json& msg);
  void onDone(const TaskPtr& task);
  void discardPartial(const TaskPtr& task);
  bool prepareEntry(const TaskPtr& task, TransferEntry& entry, bool absolutePath);

  Json progressOf(const TaskPtr& task) const;
  QString speedText(const TaskPtr& task) const;

  SendPeer sendPeer_;
  AskClient askClient_;
  QHash<QString, TaskPtr> tasks_;
  QHash<QString, QString> downloads_;  // session -> xid of this client's latest download
  QHash<QString, QString> uploads_;    // session -> xid of this client's latest upload or send
  QHash<QString, QString> receives_;   // session -> xid of the latest send received
  QSet<QString> refusedReceives_;      // sessions whose receive the user cancelled
};

}  // namespace vantrel
