#include "transfer_source.h"

#include "core/log.h"

#include <QtConcurrent/QtConcurrentRun>

namespace vantrel {

QList<XferEntry> wireEntries(const QList<TransferEntry>& entries) {
  QList<XferEntry> list;
  list.reserve(entries.size());
  for (const TransferEntry& e : entries) list.append(XferEntry{e.rel, e.size, e.isDir});
  return list;
}

void TransferSource::walkThen(const QList<QPair<QString, QString>>& targets, bool withFolders,
                              std::function<void(const QList<QList<TransferEntry>>&)> done) {
  QtConcurrent::run([targets, withFolders] {
    QList<QList<TransferEntry>> walked;
    for (const auto& [path, name] : targets) walked.append(walkLocal(path, name, withFolders));
    return walked;
  }).then(core_.context(), std::move(done));
}

// Counts what was walked into the task and offers it to the peer.
void TransferSource::offerWalked(const TaskPtr& task, const QList<QList<TransferEntry>>& walked, const QString& mode,
                                 const QString& root) {
  for (const QList<TransferEntry>& found : walked) {
    if (found.isEmpty()) ++task->failed;
    task->entries.append(found);
  }
  for (const TransferEntry& e : std::as_const(task->entries))
    if (!e.isDir) ++task->fileCount, task->totalBytes += e.size;
  if (task->entries.isEmpty())
    core_.fail(task, QStringLiteral("nothing to transfer"), false);
  else if (task->entries.size() > kTransferMaxEntries)
    core_.fail(task, QStringLiteral("too many entries"), false);
  else if (!core_.send(task, QStringLiteral("push"), XferOffer{mode, root, wireEntries(task->entries), 0}.toJSONModel()))
    core_.fail(task, QStringLiteral("the peer link is not open"), false);
}

void TransferSource::startUpload(const QString& session, const QStringList& targets, const QString& root,
                                 Answer answer) {
  const TaskPtr task = core_.newTask(session, TransferRole::Source, TransferKind::Upload);
  QList<QPair<QString, QString>> walk;
  for (const QString& target : targets) walk.append({target, lastComponent(target)});
  std::weak_ptr<TransferTask> weak = task;
  walkThen(walk, true, [this, weak, root, answer](const QList<QList<TransferEntry>>& walked) {
    const TaskPtr t = weak.lock();
    if (!isActive(t)) return answer(UploadStartReply{3, QStringLiteral("the peer link closed")}.toJSONModel());
    offerWalked(t, walked, QStringLiteral("upload"), root);
    if (t->state == TransferState::Failed) return answer(UploadStartReply{3, t->why}.toJSONModel());
    zlog::parts(QStringLiteral("Vantrel - upload into"), root);
    answer(UploadStartReply{1, QString()}.toJSONModel());
  });
}

void TransferSource::startSend(const QString& session, const QList<QPair<QString, QString>>& items, Answer answer) {
  const TaskPtr task = core_.newTask(session, TransferRole::Source, TransferKind::Send);
  std::weak_ptr<TransferTask> weak = task;
  walkThen(items, true, [this, weak, answer](const QList<QList<TransferEntry>>& walked) {
    const TaskPtr t = weak.lock();
    if (!isActive(t)) return answer(TransferAck{0, false, QStringLiteral("the peer link closed")}.toJSONModel());
    offerWalked(t, walked, QStringLiteral("send"), QString());
    if (t->state == TransferState::Failed) return answer(TransferAck{0, false, t->why}.toJSONModel());
    answer(TransferAck{}.toJSONModel());
  });
}

void TransferSource::onPull(const QString& session, const QString& xid, const Json& msg) {
  if (core_.contains(xid) || !core_.admit(session, xid)) return;
  const TaskPtr task = core_.newTask(session, TransferRole::Source, TransferKind::Download, xid);
  QList<QPair<QString, QString>> walk;
  const Json targets = valueOf(msg, "targets");
  if (targets.is_array())
    for (const Json& t : targets) walk.append({asText(t), lastComponent(asText(t))});
  std::weak_ptr<TransferTask> weak = task;
  walkThen(walk, false, [this, weak](const QList<QList<TransferEntry>>& walked) {
    const TaskPtr t = weak.lock();
    if (!isActive(t)) return;
    for (const QList<TransferEntry>& found : walked) {
      if (found.isEmpty()) ++t->refused;
      t->candidates.append(found);
    }
    if (t->candidates.size() > kTransferMaxEntries) return core_.fail(t, QStringLiteral("too many entries"), true);
    zlog::parts(QStringLiteral("Vantrel - download asked for, files:"), QString::number(t->candidates.size()));
    t->next = 0;
    checkNext(t);
  });
}

// Every file goes past the host's own check before it is offered.
void TransferSource::checkNext(const TaskPtr& task) {
  while (isActive(task) && task->checksPending < kTransferParallelChecks && task->next < task->candidates.size()) {
    const qint64 index = task->next++;
    ++task->checksPending;
    const QString path = task->candidates[index].local;
    std::weak_ptr<TransferTask> weak = task;
    core_.askClient(task->session, QStringLiteral("fileDownloadCheck"), Json{{"path", path.toStdString()}},
                    [this, weak, index](const std::optional<Json>& reply) {
                      const TaskPtr t = weak.lock();
                      if (!isActive(t)) return;
                      --t->checksPending;
                      const Json info = reply ? valueOf(*reply, "data") : Json();
                      if (intOf(info, "valid") == 1)
                        t->entries.append(t->candidates[index]);
                      else
                        ++t->refused;
                      checkNext(t);
                    });
  }
  if (isActive(task) && task->checksPending == 0 && task->next >= task->candidates.size()) sendManifest(task);
}

void TransferSource::sendManifest(const TaskPtr& task) {
  task->candidates.clear();
  // Answers may come back in any order; offer the files in walking order.
  std::sort(task->entries.begin(), task->entries.end(),
            [](const TransferEntry& a, const TransferEntry& b) { return a.rel < b.rel; });
  for (const TransferEntry& e : std::as_const(task->entries)) ++task->fileCount, task->totalBytes += e.size;
  task->next = 0;
  if (task->refused > 0)
    zlog::parts(QStringLiteral("Vantrel - download: files refused by the host:"), QString::number(task->refused));
  if (!core_.send(task, QStringLiteral("manifest"),
                  XferOffer{QStringLiteral("download"), QString(), wireEntries(task->entries), task->refused}.toJSONModel()))
    core_.fail(task, QStringLiteral("the peer link is not open"), false);
}

void TransferSource::onAccept(const TaskPtr& task, const Json& msg) {
  if (task->state != TransferState::Starting) return;
  const Json skip = valueOf(msg, "skip");
  if (skip.is_array())
    for (const Json& i : skip)
      if (i.is_number_integer()) task->skipped.insert(i.get<qint64>());
  task->state = TransferState::Running;
  task->next = 0;
  pump(task);
}

void TransferSource::pump(const TaskPtr& task) {
  while (task->state == TransferState::Running && !task->allSent && task->sent - task->acked < kTransferWindow) {
    if (!task->in) {
      while (task->next < task->entries.size() &&
             (task->entries[task->next].isDir || task->skipped.contains(task->next)))
        ++task->next;
      if (task->next >= task->entries.size()) {
        task->allSent = true;
        core_.send(task, QStringLiteral("done"), XferNote{}.toJSONModel());
        return;
      }
      const qint64 index = task->next++;
      auto file = std::make_unique<QFile>(task->entries[index].local);
      if (!file->open(QIODevice::ReadOnly)) {
        ++task->failed;
        core_.send(task, QStringLiteral("skip"), XferNote{index, 0, 0, file->errorString()}.toJSONModel());
        continue;
      }
      task->in = std::move(file);
      task->readOffset = 0;
      task->current = index;
      task->currentBytes = 0;
      ++task->currentOrdinal;
    }
    const QByteArray chunk = task->in->read(kTransferChunkBytes);
    if (task->in->error() != QFileDevice::NoError) {
      ++task->failed;
      core_.send(task, QStringLiteral("skip"), XferNote{task->current, 0, 0, task->in->errorString()}.toJSONModel());
      task->in.reset();
      continue;
    }
    const bool last = task->in->atEnd() || chunk.size() < kTransferChunkBytes;
    const QByteArray encoded = chunk.toBase64();
    XferData data{task->current, task->readOffset, std::string(encoded.constData(), size_t(encoded.size())), last};
    if (!core_.send(task, QStringLiteral("data"), data.toJSONModel()))
      return core_.fail(task, QStringLiteral("the peer link is not open"), false);
    task->readOffset += chunk.size();
    task->inflight.push_back(TransferTask::Inflight{task->current, chunk.size(), last});
    ++task->sent;
    if (last) task->in.reset();
  }
}

void TransferSource::onAck(const TaskPtr& task, const Json& msg) {
  const qint64 count = intOf(msg, "c");
  while (task->acked < count && !task->inflight.empty()) {
    const TransferTask::Inflight chunk = task->inflight.front();
    task->inflight.pop_front();
    ++task->acked;
    task->bytesDone += chunk.bytes;
    if (chunk.index == task->current) task->currentBytes += chunk.bytes;
  }
  pump(task);
}

void TransferSource::onFinished(const TaskPtr& task, const Json& msg) {
  task->done = intOf(msg, "done");
  task->failed += intOf(msg, "failed");
  task->in.reset();
  task->state = TransferState::Finished;
  zlog::parts(QStringLiteral("Vantrel - transfer finished:"), task->xid, QString::number(task->done),
              QStringLiteral("files"));
  core_.forgetIfServing(task);
}

}  // namespace vantrel
