// The bridge's transfer engine. A transfer moves files from a source bridge
// to a sink bridge inside one relay session, as frames of kind "xfer":
//
//   download: sink --pull--> source (checks every file with its client)
//             source --manifest--> sink
//   upload / send: source --push--> sink (checks the folder with its client)
//   then:     sink --accept--> source; per file, its bytes as binary data
//             frames (protocol/data_frame.h, acked by "ack") and then "sum"
//             (its size and check); source --done--> sink,
//             sink --finished--> source
//   either side may send "cancel"; the source sends "skip" for an entry it
//   could not read. An offer (or pull) too long for one relay message comes
//   as its head and then its list in offer parts (transfer_parts.h).
//
// This class routes the client's requests and the peer's frames; the two
// roles live in TransferSource and TransferSink, the records the client
// polls in transfer_progress.h. At most kWindow chunks of at most
// kChunkBytes are unacknowledged, so memory stays bounded whatever the file
// size. Paths from the peer are relative paths of plain components that must
// stay inside the receiving folder, also once symbolic links are resolved.
#pragma once

#include "transfer_core.h"
#include "lan/transfer_lan.h"
#include "transfer_sink.h"
#include "transfer_source.h"

#include <QObject>

namespace vantrel {

class TransferEngine : public QObject {
  Q_OBJECT
 public:
  static constexpr qint64 kChunkBytes = kTransferChunkBytes;
  static constexpr int kWindow = kTransferWindow;
  static constexpr int kMaxEntries = kTransferMaxEntries;
  static constexpr int kParallelChecks = kTransferClientAsksPerSession;
  static constexpr int kMaxServedPerSession = kTransferMaxServedPerSession;
  static constexpr int kMaxXidSize = 64;

  using SendPeer = TransferSendPeer;
  using SendData = TransferSendData;
  using AskDone = TransferAskDone;
  using AskClient = TransferAskClient;
  // Receives the answer of a request that needs the disk first.
  using Answer = std::function<void(const Json& answer)>;

  TransferEngine(SendPeer sendPeer, SendData sendData, AskClient askClient, QObject* parent = nullptr);
  ~TransferEngine() override;

  // Requests of the local client; each returns the answer to send back, or
  // hands it to `answer` once the local files have been walked (off the main
  // thread, so that a big tree never holds up the bridge).
  Json startDownload(const Json& data);                 // "Trans3_FC_00_CallStart"
  Json downloadProgress(const QString& session);        // "Trans3_FC_TransTaskInfo"
  Json cancelDownload(const QString& session);          // "Trans3_FC_00_Cancel"
  void startUpload(const Json& data, Answer answer);    // "Trans2_FS_00_CallStart"
  void startSend(const Json& data, Answer answer);      // "StartRemoteUpload"
  Json uploadProgress(const QString& session);          // "RemoteUploadTaskInfo"
  Json cancelUpload(const QString& session);            // "Trans2_FS_00_Cancel", "CancelUploading"
  void prepareUpload(const Json& data, Answer answer);  // "PreparingUpload"
  Json resetReceive(const QString& session);            // "ResetRemoteUploadStatus_FromLocal"
  Json cancelReceive(const QString& session);           // "CancelFileReceive_FromLocal"
  Json receiveStatus(const QString& session);           // "RefreshRemoteUploadStatus_FromLocal"

  // A frame of kind "xfer" from the peer of an open session.
  void onPeerFrame(const QString& session, const QString& op, const QString& xid, const Json& msg);
  // A chunk of file bytes from the peer of an open session (a data frame).
  // `bytes` lie inside `owner` when it is given, which the sink then keeps instead of a copy.
  void onPeerData(const QString& session, const QString& xid, qint64 file, qint64 offset, QByteArrayView bytes,
                  const QByteArray& owner = {});
  // The link has room for more data of the session: its sources go on.
  void resume(const QString& session);
  void setRoom(std::function<bool(const QString& session, qint64 bytes)> room) { core_.setRoom(std::move(room)); }
  // The account of a session's peer, when the relay vouched for one.
  void setAccountOf(std::function<QString(const QString& session)> accountOf) {
    core_.setAccountOf(std::move(accountOf));
  }
  // The session closed: its transfers break off.
  void sessionGone(const QString& session);
  void allSessionsGone();
  // The bridge is ending: every running transfer is cancelled, its peer told `why`.
  void endAll(const QString& why);

  int activeCount() const;
  // How long the record of an ended session stays once its end was read
  // (EndedRecords::kReadKeepMs); tests shorten it.
  void setEndedReadKeepMs(qint64 ms) { core_.endedRecords().setReadKeepMs(ms); }
  // What peers' downloads may hold until taken, per account and in all
  // (PullHolds), and how long an offer waits to be taken; tests lower them.
  void setPullBounds(qint64 perAccount, qint64 inAll) { core_.pullHolds().setBounds(perAccount, inAll); }
  void setOfferWaitMs(int ms) { source_.setOfferWaitMs(ms); }

  // The host's local-network listener; null: transfers use the relay only.
  void setLanListener(LanListener* listener) { lan_.setListener(listener); }
  // Whether peers' grants are followed (false: the route is turned off), and
  // whether this bridge's own route serves on loopback.
  void setLanFollowing(bool following, bool loopback) { lan_.setFollowing(following, loopback); }

 private:
  // One part of a peer's offer; the offer is taken once it is whole.
  void takePart(const TaskPtr& task, qint64 index, QByteArrayView payload);

  TransferCore core_;
  TransferSource source_;
  TransferSink sink_;
  TransferLan lan_;
};

}  // namespace vantrel
