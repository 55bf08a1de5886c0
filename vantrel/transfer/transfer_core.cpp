#include "transfer_core.h"

#include "core/log.h"
#include "protocol/data_frame.h"
#include "protocol/relay_limits.h"

#include <QUuid>

namespace vantrel {

TransferCore::TransferCore(QObject* context, TransferSendPeer sendPeer, TransferSendData sendData,
                           TransferAskClient askClient)
    : context_(context),
      sendPeer_(std::move(sendPeer)),
      sendData_(std::move(sendData)),
      asks_(context, std::move(askClient)),
      pullHolds_([this](const TaskPtr& task) { refuseBusy(task); }),
      sinkFiles_(kTransferSinkFiles, kTransferSinkFilesPerTransfer, context),
      sourceFiles_(kTransferSourceFiles, kTransferSourceFilesPerTransfer, context),
      walks_(context) {}

TaskPtr TransferCore::newTask(const QString& session, TransferRole role, TransferKind kind, const QString& xid) {
  auto task = std::make_shared<TransferTask>();
  task->xid = xid.isEmpty() ? QUuid::createUuid().toString(QUuid::WithoutBraces) : xid;
  task->session = session;
  task->role = role;
  task->kind = kind;
  task->clock.start();
  trimEnded();
  tasks_.insert(task->xid, task);
  // The client follows its latest task of a kind per session; an older
  // finished one is forgotten.
  auto track = [this, &task](QHash<QString, QString>& index) {
    const QString old = index.value(task->session);
    if (!old.isEmpty()) {
      const TaskPtr previous = tasks_.value(old);
      if (previous && !previous->isActive()) tasks_.remove(old);
    }
    index.insert(task->session, task->xid);
  };
  if (role == TransferRole::Sink && kind == TransferKind::Download) track(downloads_);
  if (role == TransferRole::Source && kind != TransferKind::Download) track(uploads_);
  if (role == TransferRole::Sink && kind == TransferKind::Send) track(receives_);
  return task;
}

void TransferCore::trimEnded() {
  int ended = 0;
  for (const TaskPtr& task : std::as_const(tasks_))
    if (!task->isActive()) ++ended;
  for (; ended >= kTransferEndedTasksKept; --ended) {
    TaskPtr oldest;
    const auto before = [](const TaskPtr& a, const TaskPtr& b) {
      if (a->endRead != b->endRead) return a->endRead;
      return a->clock.elapsed() > b->clock.elapsed();
    };
    for (const TaskPtr& task : std::as_const(tasks_))
      if (!task->isActive() && (!oldest || before(task, oldest))) oldest = task;
    tasks_.remove(oldest->xid);
    for (QHash<QString, QString>* index : {&downloads_, &uploads_, &receives_})
      index->removeIf([&](const auto& it) { return it.value() == oldest->xid; });
  }
}

void TransferCore::dropSession(const QString& session, const QString& why) {
  for (const TaskPtr& task : tasks_.values()) {
    if (task->session != session) continue;
    if (allInPlace(*task)) finishInPlace(task);
    else fail(task, why, false, TransferReason::Gone);
  }
  // Kept as the client last sees them.
  if (const TaskPtr task = latestDownload(session))
    endedRecords_.keep(session, EndedRecords::Download, progressOf(task), task->endRead);
  if (const TaskPtr task = latestUpload(session))
    endedRecords_.keep(session, EndedRecords::Upload, progressOf(task), task->endRead);
  if (const TaskPtr task = latestReceive(session))
    endedRecords_.keep(session, EndedRecords::Receive, receiveStatusOf(task), task->endRead);
  // Workers still finishing hold their task until they are done, no longer.
  tasks_.removeIf([&](const auto& it) { return it.value()->session == session; });
  downloads_.remove(session);
  uploads_.remove(session);
  receives_.remove(session);
  refusedReceives_.remove(session);
  asks_.dropSession(session);
}

void TransferCore::dropAllSessions(const QString& why) {
  QSet<QString> sessions = refusedReceives_;
  for (const TaskPtr& task : std::as_const(tasks_)) sessions.insert(task->session);
  for (const QHash<QString, QString>* index : {&downloads_, &uploads_, &receives_})
    for (auto it = index->cbegin(); it != index->cend(); ++it) sessions.insert(it.key());
  for (const QString& session : std::as_const(sessions)) dropSession(session, why);
}

Json TransferCore::recordOf(const QString& session, EndedRecords::Kind kind) {
  const TaskPtr task = kind == EndedRecords::Download ? latestDownload(session)
                       : kind == EndedRecords::Upload ? latestUpload(session)
                                                      : latestReceive(session);
  if (!task)
    if (auto kept = endedRecords_.find(session, kind)) return *kept;
  if (task && !task->isActive()) task->endRead = true;
  return kind == EndedRecords::Receive ? receiveStatusOf(task) : progressOf(task);
}

TaskPtr TransferCore::find(const QString& xid, const QString& session) const {
  const TaskPtr task = tasks_.value(xid);
  return task && task->session == session ? task : nullptr;
}

bool TransferCore::send(const TaskPtr& task, const QString& op, const Json& msg) {
  return sendPeer_(task->session, op, task->xid, msg);
}

bool TransferCore::sendOffer(const TaskPtr& task, const QString& op, const Json& msg, const char* key) {
  QString why;
  const qint64 room = protocol::kMaxRelayControlMessage - relayEnvelopeBytes(task->session, task->xid, op);
  std::optional<SplitMessage> split = splitForRelay(msg, key, room, &why);
  if (!split) {
    zlog::parts(QStringLiteral("Vantrel - offer not sent:"), task->xid, why);
    fail(task, why, true, TransferReason::Failed);
    return false;
  }
  if (!send(task, op, split->head)) {
    fail(task, QStringLiteral("the peer link is not open"), false, TransferReason::Gone);
    return false;
  }
  if (split->parts.empty()) return true;
  zlog::parts(QStringLiteral("Vantrel - offer in parts:"), task->xid, QString::number(split->parts.size()));
  task->partsOut = std::move(split->parts);
  task->partsNext = 0;
  task->sentInParts = split->count;
  sendParts(task);
  return isActive(task);
}

void TransferCore::sendParts(const TaskPtr& task) {
  while (isActive(task) && !task->partsOut.empty() &&
         roomFor(task->session, task->partsOut.front().size() + kTransferFrameOverhead)) {
    const QByteArray part = std::move(task->partsOut.front());
    task->partsOut.pop_front();
    if (!sendData(task, protocol::kOfferPart, task->partsNext++, part))
      return fail(task, QStringLiteral("the peer link is not open"), false, TransferReason::Gone);
  }
}

bool TransferCore::awaitsParts(const TaskPtr& task, const QString& op, const Json& msg, const char* key,
                               qint64 maxCount) {
  if (!PartsIn::announced(msg)) return false;
  QString why;
  task->partsIn = PartsIn::start(msg, op, key, maxCount, &why);
  if (!task->partsIn) fail(task, why, true);
  return true;
}

std::optional<std::pair<QString, Json>> TransferCore::takePart(const TaskPtr& task, qint64 index,
                                                              QByteArrayView payload) {
  if (!task->partsIn) {
    fail(task, QStringLiteral("a malformed offer"), true);
    return std::nullopt;
  }
  QString why;
  switch (task->partsIn->take(index, payload, &why)) {
    case PartsIn::Took::More:
      return std::nullopt;
    case PartsIn::Took::Bad:
      fail(task, why, true);
      return std::nullopt;
    case PartsIn::Took::Whole:
      break;
  }
  std::pair<QString, Json> whole{task->partsIn->op(), task->partsIn->whole()};
  task->partsIn.reset();
  return whole;
}

void TransferCore::end(const TaskPtr& task, TransferState state, const QString& why, bool tellPeer,
                       TransferReason reason) {
  if (!isActive(task)) return;
  discardPartial(task);
  // A file whose rename has not happened yet never gets its name; one
  // renamed already is kept and counted.
  for (const auto& file : std::as_const(task->committingFiles))
    if (file->discard()) ++task->done;
  task->committingFiles.clear();
  if (tellPeer) {
    // Only the host's side has its client's words to pass on.
    Json note = cancelNote(why, reason, task->startedByPeer() ? task->hostReason : QString());
    if (task->role == TransferRole::Sink) note["kept"] = task->done;
    // A send may end before its offer reached the receiver, whose panel
    // accepted it and waits: it learns that this was the send, and what the
    // sender could not read, as an offer would have told it.
    if (task->role == TransferRole::Source && task->kind == TransferKind::Send) {
      note["mode"] = "send";
      if (task->unread > 0) note["unread"] = task->unread, note["reason"] = task->unreadReason.toStdString();
    }
    send(task, QStringLiteral("cancel"), note);
  }
  task->writes.reset();  // writes and commits not yet started are dropped
  task->stop->store(true);
  task->in.reset();
  task->packing.clear();
  task->inflight.clear();
  task->held.clear();
  task->heldBytes = 0;
  task->partsOut.clear();
  task->partsIn.reset();
  releaseFolders(task);
  task->markEnded(state);
  task->why = why;
  task->reason = reason;
  zlog::parts(QStringLiteral("Vantrel - transfer ended:"), task->xid, why);
  if (ended_) ended_(task->xid, reason);
  forgetIfServing(task);
}

void TransferCore::finishInPlace(const TaskPtr& task) {
  task->in.reset();
  task->writes.reset();
  task->stop->store(true);
  task->failed = 0;
  task->markEnded(TransferState::Finished);
  releaseFolders(task);
  zlog::parts(QStringLiteral("Vantrel - transfer finished, every file in place:"), task->xid,
              QString::number(task->done), QStringLiteral("files"));
  if (ended_) ended_(task->xid, TransferReason::None);
  forgetIfServing(task);
}

void TransferCore::fail(const TaskPtr& task, const QString& why, bool tellPeer, TransferReason reason) {
  end(task, TransferState::Failed, why, tellPeer, reason);
}

void TransferCore::cancel(const TaskPtr& task, const QString& why, bool tellPeer, TransferReason reason) {
  end(task, TransferState::Cancelled, why, tellPeer, reason);
}

namespace {
// What the records the client polls read of an ended task, and nothing more:
// its counts and outcome, and the one entry it was at.
TaskPtr recordOnly(const TransferTask& task) {
  auto kept = std::make_shared<TransferTask>();
  kept->xid = task.xid;
  kept->session = task.session;
  kept->role = task.role;
  kept->kind = task.kind;
  kept->state = task.state;
  kept->why = task.why;
  kept->reason = task.reason;
  kept->root = task.root;
  kept->renamed = task.renamed;
  kept->fileCount = task.fileCount;
  kept->done = task.done;
  kept->failed = task.failed;
  kept->fileWhy = task.fileWhy;
  kept->fileReason = task.fileReason;
  kept->unread = task.unread;
  kept->unreadReason = task.unreadReason;
  kept->countSettled = task.countSettled;
  kept->bytesDone = task.bytesDone;
  kept->totalBytes = task.totalBytes;
  if (task.current >= 0 && task.current < task.entries.size()) {
    const TransferEntry& at = task.entries[task.current];
    kept->entries.append(TransferEntry(at.rel, at.size, at.isDir, at.local));
    kept->current = 0;
  }
  kept->currentBytes = task.currentBytes;
  kept->currentOrdinal = task.currentOrdinal;
  kept->clock = task.clock;
  kept->endedAt = task.endedAt;
  kept->endRead = task.endRead;
  kept->refused = task.refused;
  kept->refusedCount = task.refusedCount;
  kept->hostReason = task.hostReason;
  kept->sampleAt = task.sampleAt;
  kept->sampleBytes = task.sampleBytes;
  kept->speed = task.speed;
  return kept;
}
}  // namespace

void TransferCore::forgetIfServing(const TaskPtr& task) {
  if (task->isActive()) return;
  const bool serving = (task->role == TransferRole::Source && task->kind == TransferKind::Download) ||
                       (task->role == TransferRole::Sink && task->kind == TransferKind::Upload);
  if (serving) {
    tasks_.remove(task->xid);
    if (ended_) ended_(task->xid, task->reason);
    return;
  }
  // The client polls it a while yet; whatever else it held goes now.
  if (tasks_.value(task->xid) == task) tasks_.insert(task->xid, recordOnly(*task));
}

void TransferCore::releaseFolders(const TaskPtr& task) {
  task->rootFolder.reset();
  task->folder.reset();
  task->shareRoots.clear();
  for (TransferEntry& entry : task->entries) entry.share.reset();
  task->candidates.clear();
  task->folders.clear();
  task->pullHold.reset();
}

void TransferCore::discardPartial(const TaskPtr& task) {
  if (task->out) task->out->discard();
  task->out.reset();
}

bool TransferCore::admit(const QString& session, const QString& xid) {
  int running = 0;
  for (const TaskPtr& task : std::as_const(tasks_))
    if (task->startedByPeer() && task->session == session && task->isActive()) ++running;
  if (running < kTransferMaxServedPerSession) return true;
  turnAway(session, xid);
  return false;
}

// "busy": the words the peer's client knows for a host that serves others first.
void TransferCore::turnAway(const QString& session, const QString& xid) {
  sendPeer_(session, QStringLiteral("cancel"), xid,
            cancelNote(QStringLiteral("the host is busy"), TransferReason::Refused, QStringLiteral("busy")));
}

void TransferCore::refuseBusy(const TaskPtr& task) {
  task->hostReason = QStringLiteral("busy");
  fail(task, QStringLiteral("the host is busy"), true, TransferReason::Refused);
}

}  // namespace vantrel
