// What the two sides of the transfer engine share: the table of transfers,
// the link to the peer and to the local client, and how a transfer ends.
#pragma once

#include "client_asks.h"
#include "pull_holds.h"
#include "transfer_progress.h"
#include "transfer_task.h"
#include "walk_turns.h"

#include <QHash>
#include <QObject>
#include <QSet>

namespace vantrel {

class TransferCore {
 public:
  TransferCore(QObject* context, TransferSendPeer sendPeer, TransferSendData sendData, TransferAskClient askClient);

  QObject* context() const { return context_; }

  TaskPtr newTask(const QString& session, TransferRole role, TransferKind kind, const QString& xid = {});
  TaskPtr find(const QString& xid, const QString& session) const;
  TaskPtr latestDownload(const QString& session) const { return tasks_.value(downloads_.value(session)); }
  TaskPtr latestUpload(const QString& session) const { return tasks_.value(uploads_.value(session)); }
  TaskPtr latestReceive(const QString& session) const { return tasks_.value(receives_.value(session)); }
  bool contains(const QString& xid) const { return tasks_.contains(xid); }
  QList<TaskPtr> all() const { return tasks_.values(); }
  void forget(const TaskPtr& task) { tasks_.remove(task->xid); }
  void forgetReceive(const QString& session) {
    receives_.remove(session);
    endedRecords_.forget(session, EndedRecords::Receive);
  }
  // The session ended: its running transfers fail with `why` ("gone"), and
  // its tasks and bookkeeping go. Only the records of its latest tasks stay
  // for the client's next poll (EndedRecords).
  void dropSession(const QString& session, const QString& why);
  // Every session this side knows of, as dropSession.
  void dropAllSessions(const QString& why);
  // What the client polls: the record of the session's latest task of
  // `kind`, or the one kept when its session ended; an ended task's record
  // counts as read from then on.
  Json recordOf(const QString& session, EndedRecords::Kind kind);
  EndedRecords& endedRecords() { return endedRecords_; }

  // Whether the user refused sends in this session.
  QSet<QString>& refusedReceives() { return refusedReceives_; }

  bool send(const TaskPtr& task, const QString& op, const Json& msg);
  // Sends `msg`, whose list `key` grows with the entries, in one frame when it
  // fits what the relay takes, else as its head and offer parts
  // (transfer_parts.h), the parts as the link has room. False when the task
  // ended instead: the link is not open, or the list is too large to send at
  // all (the peer is told).
  bool sendOffer(const TaskPtr& task, const QString& op, const Json& msg, const char* key);
  // Sends the task's waiting offer parts while the link has room for them.
  void sendParts(const TaskPtr& task);
  // Whether the peer's `msg` announced its list `key` in parts: then it is
  // kept until they have come (or the task failed for a malformed
  // announcement, the peer told), and takePart gives it whole.
  bool awaitsParts(const TaskPtr& task, const QString& op, const Json& msg, const char* key, qint64 maxCount);
  // One offer part from the peer; the message and its op once it is whole.
  std::optional<std::pair<QString, Json>> takePart(const TaskPtr& task, qint64 index, QByteArrayView payload);
  bool sendTo(const QString& session, const QString& op, const QString& xid, const Json& msg) {
    return sendPeer_(session, op, xid, msg);
  }
  // One chunk of entry `file` of the task, as a binary data frame.
  bool sendData(const TaskPtr& task, qint64 file, qint64 offset, QByteArrayView bytes) {
    return sendData_(task->session, task->xid, quint32(file), quint64(offset), bytes);
  }
  // Whether the link may take `bytes` more data of the session now (the
  // relay's credit); when not, the sources of the session wait for resume().
  bool roomFor(const QString& session, qint64 bytes) const { return !room_ || room_(session, bytes); }
  void setRoom(std::function<bool(const QString& session, qint64 bytes)> room) { room_ = std::move(room); }
  // Paced per session (client_asks.h).
  void askClient(const QString& session, const QString& code, const Json& msg, TransferAskDone done) {
    asks_.ask(session, code, msg, std::move(done));
  }

  // `why` is logged and shown as is; `reason` is what the client explains,
  // and the peer hears it with the "cancel" frame.
  void fail(const TaskPtr& task, const QString& why, bool tellPeer, TransferReason reason = TransferReason::Failed);
  void cancel(const TaskPtr& task, const QString& why, bool tellPeer, TransferReason reason = TransferReason::Cancel);
  // Every file of the task is in place on the receiving side: it has
  // succeeded, whatever the link does next (the peer is not waited for).
  static bool allInPlace(const TransferTask& task) {
    return task.isActive() && task.fileCount > 0 && task.done >= task.fileCount;
  }
  void finishInPlace(const TaskPtr& task);
  // Once a task has ended: a task this bridge serves for the peer is not
  // polled by its own client and goes; any other keeps only its record.
  void forgetIfServing(const TaskPtr& task);
  // False (and the peer told) when the session already runs enough transfers
  // that the peer started.
  bool admit(const QString& session, const QString& xid);
  // Ends a peer's transfer that the bridge has no room for: the peer hears
  // "the host is busy".
  void refuseBusy(const TaskPtr& task);
  // The same for one refused before it began (unlogged: a peer may ask again
  // and again).
  void turnAway(const QString& session, const QString& xid);

  // The account a session's peer signed in with (what its walks' turns and
  // its pulls' bounds are kept by); a session without one is its own.
  QString accountOf(const QString& session) const {
    const QString account = accountOf_ ? accountOf_(session) : QString();
    return account.isEmpty() ? QStringLiteral("session:") + session : account;
  }
  void setAccountOf(std::function<QString(const QString& session)> accountOf) { accountOf_ = std::move(accountOf); }
  // What peers' downloads hold until their peer takes the offer.
  PullHolds& pullHolds() { return pullHolds_; }
  // The walks of the folders peers asked for, in turns by account.
  WalkTurns& walks() { return walks_; }
  // Runs when a transfer ends (with its reason) or a served one is forgotten
  // (its grants go).
  void setOnEnded(std::function<void(const QString& xid, TransferReason reason)> ended) { ended_ = std::move(ended); }

  // Closes the folders a task keeps open, once it has ended.
  static void releaseFolders(const TaskPtr& task);
  // Closes and removes the file the sink was writing.
  static void discardPartial(const TaskPtr& task);

  // The open files of the receiving and the sending side (file_slots.h).
  FileSlots& sinkFiles() { return sinkFiles_; }
  FileSlots& sourceFiles() { return sourceFiles_; }

 private:
  void end(const TaskPtr& task, TransferState state, const QString& why, bool tellPeer, TransferReason reason);
  // Forgets ended tasks past kTransferEndedTasksKept: those whose end was
  // read first, then the longest-running.
  void trimEnded();

  QObject* context_;
  TransferSendPeer sendPeer_;
  TransferSendData sendData_;
  ClientAsks asks_;
  std::function<void(const QString& xid, TransferReason reason)> ended_;
  std::function<bool(const QString& session, qint64 bytes)> room_;
  std::function<QString(const QString& session)> accountOf_;
  PullHolds pullHolds_;
  QHash<QString, TaskPtr> tasks_;
  QHash<QString, QString> downloads_;  // session -> xid of this client's latest download
  QHash<QString, QString> uploads_;    // session -> xid of this client's latest upload or send
  QHash<QString, QString> receives_;   // session -> xid of the latest send received
  QSet<QString> refusedReceives_;      // sessions whose receive the user cancelled
  EndedRecords endedRecords_;
  FileSlots sinkFiles_;
  FileSlots sourceFiles_;
  WalkTurns walks_;
};

}  // namespace vantrel
