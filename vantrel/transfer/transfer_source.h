// The sending side of a transfer: walks and checks what it offers, then
// serves the file bytes chunk by chunk inside the acknowledgement window.
#pragma once

#include "transfer_core.h"
#include "transfer_workers.h"

#include <QTimer>

namespace vantrel {

class TransferLan;

// One target of an upload or a send as the sender's walk found it: its
// entries, and what this process could not read there.
struct WalkedTarget {
  QList<TransferEntry> entries;
  WalkUnread unread;
};

class TransferSource {
 public:
  using Answer = std::function<void(const Json& answer)>;
  explicit TransferSource(TransferCore& core);

  // Uploads and sends of the local client: the targets are walked off the
  // main thread, then offered to the peer ("push").
  // With `overwrite` false the host saves a file whose name exists as "name (N).ext".
  void startUpload(const QString& session, const QStringList& targets, const QString& root, bool overwrite,
                   Answer answer);
  void startSend(const QString& session, const QList<QPair<QString, QString>>& items, Answer answer);

  // Frames from the peer.
  void onPull(const QString& session, const QString& xid, const Json& msg);
  // The pull once whole (it may have come in parts).
  void takePull(const TaskPtr& task, const Json& msg);
  void onAccept(const TaskPtr& task, const Json& msg);
  void onAck(const TaskPtr& task, const Json& msg);
  void onFinished(const TaskPtr& task, const Json& msg);
  // The link has room again for the task's session.
  void resume(const TaskPtr& task) { pump(task); }
  // A place among the open files was given back: the transfers waiting for
  // one go on.
  void resumeWaiting();

  // How long an offer waits for its peer to take it (kTransferAcceptTimeoutMs).
  void setOfferWaitMs(int ms) {
    offerWaitMs_ = ms;
    acceptWatch_.setInterval(std::min(ms, 1000));
  }

  // The local-network route, when the bridge has one.
  void setLan(TransferLan* lan) { lan_ = lan; }

 private:
  // Walks (path, name) pairs on a worker; `done` runs on the main thread.
  void walkThen(const QList<QPair<QString, QString>>& targets, bool withFolders,
                std::function<void(const QList<WalkedTarget>&)> done);
  void offerWalked(const TaskPtr& task, const QList<WalkedTarget>& walked, const QString& mode, const QString& root);
  static Json offerOf(const TransferTask& task, const QString& mode, const QString& root);
  void checkNext(const TaskPtr& task, bool targets);
  void takeCheck(const TaskPtr& task, qint64 index, const Json& info, bool targets);
  void walkFolders(const TaskPtr& task);
  void sendManifest(const TaskPtr& task);
  // Ends the downloads whose peer has not taken the offer in time.
  void endUntaken();
  // Sends chunks while the window has room.
  void pump(const TaskPtr& task);
  // Starts reading the small files that follow for one packed frame; false when the task failed.
  bool startPacked(const TaskPtr& task);
  // Sends the packed frame once all its files are read; false while waiting or when the task failed.
  bool sendPacked(const TaskPtr& task);

  TransferCore& core_;
  TransferLan* lan_ = nullptr;
  QTimer acceptWatch_;  // runs while offers wait for their peer
  int offerWaitMs_ = kTransferAcceptTimeoutMs;
};

// The entries as the peer sees them.
QList<XferEntry> wireEntries(const QList<TransferEntry>& entries);

// Entry `index`, offered, could not be opened or read (`why`): the peer hears
// "skip" and the rest goes on. A file this process may not read (`unread`)
// leaves the counts and is counted as unread on both sides; one that is gone
// stays offered and counts as not transferred.
void skipOffered(TransferCore& core, const TaskPtr& task, qint64 index, const QString& why, bool unread);

}  // namespace vantrel
