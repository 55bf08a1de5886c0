#include "transfer_lan.h"

#include "transfer/transfer_sink.h"

#include "core/log.h"

namespace vantrel {

bool lanAllowedBy(const Json& info) {
  const Json& flag = valueOf(info, "TransLAN");
  return asText(flag) == QLatin1String("1") || (flag.is_number_integer() && flag.get<qint64>() == 1);
}

TransferLan::~TransferLan() {
  for (const Run& run : std::as_const(runs_)) delete run.client;
}

void TransferLan::setListener(LanListener* listener) {
  listener_ = listener;
  if (listener_)
    listener_->setOpenSink([this](const QString& session, const QString& xid, qint64 index, qint64 size, QString* why) {
      return openUpload(session, xid, index, size, why);
    });
}

Json TransferLan::offer(const TaskPtr& task) {
  if (!listener_ || !listener_->isListening() || !task->lanAllowed) return Json();
  const bool download = task->role == TransferRole::Source && task->kind == TransferKind::Download;
  const bool upload = task->role == TransferRole::Sink && task->kind == TransferKind::Upload;
  if (!download && !upload) return Json();
  QHash<qint64, LanCapabilities::File> files;
  for (qint64 i = 0; i < task->entries.size(); ++i) {
    const TransferEntry& e = task->entries[i];
    if (!e.isDir && !task->skipped.contains(i)) files.insert(i, {download ? e : TransferEntry{}, e.size});
  }
  if (files.isEmpty()) return Json();
  const QString capability = listener_->capabilities().issue(
      task->session, task->xid, download ? LanCapabilities::Method::Get : LanCapabilities::Method::Put, files);
  return Json{{"url", listener_->url().toStdString()},
              {"fp", listener_->fingerprint().toStdString()},
              {"cap", capability.toStdString()}};
}

void TransferLan::fetch(const TaskPtr& task, const Json& grant, Moved then) { start(task, grant, false, then); }
void TransferLan::push(const TaskPtr& task, const Json& grant, Moved then) { start(task, grant, true, then); }

void TransferLan::start(const TaskPtr& task, const Json& grant, bool push, Moved then) {
  const LanClient::Target target{textOf(grant, "url"), textOf(grant, "fp"), textOf(grant, "cap"), task->session,
                                 task->xid};
  if (target.url.isEmpty() || target.fingerprint.isEmpty() || target.capability.isEmpty()) return then(false);
  drop(task->xid);
  Run run;
  run.client = new LanClient(target);
  run.task = task;
  run.push = push;
  run.then = std::move(then);
  if (push) {
    std::weak_ptr<TransferTask> weak = task;
    run.client->setProgress([weak](qint64 bytes) {
      if (const TaskPtr t = weak.lock()) t->bytesDone += bytes, t->currentBytes += bytes;
    });
  }
  runs_.insert(task->xid, run);
  zlog::parts(QStringLiteral("Vantrel - transfer over the local network:"), task->xid);
  step(task->xid);
}

void TransferLan::step(const QString& xid) {
  const auto it = runs_.find(xid);
  if (it == runs_.end()) return;
  const TaskPtr task = it->task.lock();
  if (!isActive(task)) return drop(xid);
  while (it->next < task->entries.size() &&
         (task->entries[it->next].isDir || task->skipped.contains(it->next)))
    ++it->next;
  if (it->next >= task->entries.size()) {
    const Moved then = it->then;
    drop(xid);
    return then(true);
  }
  const qint64 index = it->next;
  const TransferEntry& entry = task->entries[index];
  auto done = [this, xid](bool ok, bool reached, const QString& why) { onFileDone(xid, ok, reached, why); };
  if (!it->push) return it->client->get(index, entry.size, sink_.routeFile(task, index), done);
  task->current = index;
  task->currentBytes = 0;
  ++task->currentOrdinal;
  it->client->put(index, entry.local, entry.size, done);
}

void TransferLan::onFileDone(const QString& xid, bool ok, bool reached, const QString& why) {
  const auto it = runs_.find(xid);
  if (it == runs_.end()) return;
  const TaskPtr task = it->task.lock();
  if (!isActive(task)) return drop(xid);
  if (ok) {
    it->movedAny = true;
    ++it->next;
    return step(xid);
  }
  if (!reached && !it->movedAny) {
    // The address does not answer: the relay carries everything.
    zlog::parts(QStringLiteral("Vantrel - local network not reachable, using the relay:"), why);
    const Moved then = it->then;
    const bool push = it->push;
    drop(xid);
    if (push) task->current = -1, task->currentBytes = 0, task->currentOrdinal = 0;
    return then(false);
  }
  drop(xid);
  core_.fail(task, QStringLiteral("the local-network transfer failed: ") + why, true);
}

void TransferLan::drop(const QString& xid) {
  const auto it = runs_.find(xid);
  if (it == runs_.end()) return;
  // Possibly called from inside the client's own callback.
  it->client->abort();
  it->client->deleteLater();
  runs_.erase(it);
}

void TransferLan::ended(const QString& xid) {
  if (listener_) listener_->capabilities().revokeTransfer(xid);
  drop(xid);
}

void TransferLan::sessionGone(const QString& session) {
  if (listener_) listener_->capabilities().revokeSession(session);
}

std::unique_ptr<LanFileSink> TransferLan::openUpload(const QString& session, const QString& xid, qint64 index,
                                                     qint64 size, QString* why) {
  const TaskPtr task = core_.find(xid, session);
  if (!isActive(task) || task->role != TransferRole::Sink || task->kind != TransferKind::Upload ||
      task->state != TransferState::Running || index < 0 || index >= task->entries.size() ||
      task->entries[index].isDir || task->skipped.contains(index) || task->entries[index].size != size) {
    *why = QStringLiteral("no such upload is running");
    return nullptr;
  }
  return sink_.routeFile(task, index);
}

}  // namespace vantrel
