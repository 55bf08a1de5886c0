#include "transfer_core.h"

#include "core/log.h"

#include <QUuid>

namespace vantrel {

TransferCore::TransferCore(QObject* context, TransferSendPeer sendPeer, TransferSendData sendData,
                           TransferAskClient askClient)
    : context_(context),
      sendPeer_(std::move(sendPeer)),
      sendData_(std::move(sendData)),
      askClient_(std::move(askClient)),
      sinkFiles_(kTransferSinkFiles, kTransferSinkFilesPerTransfer, context),
      sourceFiles_(kTransferSourceFiles, kTransferSourceFilesPerTransfer, context) {}

TaskPtr TransferCore::newTask(const QString& session, TransferRole role, TransferKind kind, const QString& xid) {
  auto task = std::make_shared<TransferTask>();
  task->xid = xid.isEmpty() ? QUuid::createUuid().toString(QUuid::WithoutBraces) : xid;
  task->session = session;
  task->role = role;
  task->kind = kind;
  task->clock.start();
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

TaskPtr TransferCore::find(const QString& xid, const QString& session) const {
  const TaskPtr task = tasks_.value(xid);
  return task && task->session == session ? task : nullptr;
}

bool TransferCore::send(const TaskPtr& task, const QString& op, const Json& msg) {
  return sendPeer_(task->session, op, task->xid, msg);
}

void TransferCore::end(const TaskPtr& task, TransferState state, const QString& why, bool tellPeer,
                       TransferReason reason) {
  if (!isActive(task)) return;
  // Only the host's side has its client's words to pass on.
  if (tellPeer) send(task, QStringLiteral("cancel"), cancelNote(why, reason, task->startedByPeer() ? task->hostReason : QString()));
  discardPartial(task);
  // A file whose rename has not happened yet never gets its name.
  for (const auto& file : std::as_const(task->committingFiles)) file->discard();
  task->committingFiles.clear();
  task->writes.reset();  // writes and commits not yet started are dropped
  task->stop->store(true);
  task->in.reset();
  task->packing.clear();
  task->inflight.clear();
  task->held.clear();
  task->heldBytes = 0;
  releaseFolders(task);
  task->state = state;
  task->why = why;
  task->reason = reason;
  zlog::parts(QStringLiteral("Vantrel - transfer ended:"), task->xid, why);
  if (ended_) ended_(task->xid, reason);
  forgetIfServing(task);
}

void TransferCore::fail(const TaskPtr& task, const QString& why, bool tellPeer, TransferReason reason) {
  end(task, TransferState::Failed, why, tellPeer, reason);
}

void TransferCore::cancel(const TaskPtr& task, const QString& why, bool tellPeer, TransferReason reason) {
  end(task, TransferState::Cancelled, why, tellPeer, reason);
}

void TransferCore::forgetIfServing(const TaskPtr& task) {
  const bool serving = (task->role == TransferRole::Source && task->kind == TransferKind::Download) ||
                       (task->role == TransferRole::Sink && task->kind == TransferKind::Upload);
  if (serving && !task->isActive()) {
    tasks_.remove(task->xid);
    if (ended_) ended_(task->xid, task->reason);
  }
}

void TransferCore::releaseFolders(const TaskPtr& task) {
  task->rootFolder.reset();
  task->folder.reset();
  task->shareRoots.clear();
  for (TransferEntry& entry : task->entries) entry.share.reset();
  task->candidates.clear();
  task->folders.clear();
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
  sendPeer_(session, QStringLiteral("cancel"), xid, cancelNote(QStringLiteral("the host is busy"), TransferReason::Refused));
  return false;
}

}  // namespace vantrel
