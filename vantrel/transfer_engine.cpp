#include "transfer_engine.h"

#include "core/log.h"
#include "core/util_system.h"

#include <QDateTime>
#include <QDir>
#include <QFileInfo>
#include <QUuid>
#include <QtConcurrent/QtConcurrentRun>

#include <cstdio>

namespace vantrel {

namespace {

QString newXid() { return QUuid::createUuid().toString(QUuid::WithoutBraces); }

// Creates `rel` (a checked relative folder path) below `root` one component
// at a time; every existing component must be a folder that, resolved, is
// still inside the root.
bool ensureFolderInside(const QString& root, const QString& rel) {
  QString path = root;
  if (rel.isEmpty()) return resolvesInside(root, root);
  for (const QString& part : rel.split(QLatin1Char('/'))) {
    path += QLatin1Char('/') + part;
    const QFileInfo info(path);
    if (!info.exists() && !info.isSymLink()) {
      if (!QDir().mkdir(path)) return false;
    } else if (!info.isDir()) {
      return false;
    }
    if (!resolvesInside(root, path)) return false;
  }
  return true;
}

QString parentRel(const QString& rel) {
  const qsizetype slash = rel.lastIndexOf(QLatin1Char('/'));
  return slash < 0 ? QString() : rel.left(slash);
}

// Replaces `dest` by the complete temporary file in one step.
bool commitFile(const QString& temp, const QString& dest) {
  return std::rename(QFile::encodeName(temp).constData(), QFile::encodeName(dest).constData()) == 0;
}

QList<XferEntry> wireEntries(const QList<TransferEntry>& entries) {
  QList<XferEntry> list;
  list.reserve(entries.size());
  for (const TransferEntry& e : entries) list.append(XferEntry{e.rel, e.size, e.isDir});
  return list;
}

QStringList splitTargets(const QString& text) { return text.split(QLatin1Char('|'), Qt::SkipEmptyParts); }

}  // namespace

TransferEngine::TransferEngine(SendPeer sendPeer, AskClient askClient, QObject* parent)
    : QObject(parent), sendPeer_(std::move(sendPeer)), askClient_(std::move(askClient)) {}

TransferEngine::~TransferEngine() {
  for (const TaskPtr& task : std::as_const(tasks_)) discardPartial(task);
}

int TransferEngine::activeCount() const {
  int n = 0;
  for (const TaskPtr& task : tasks_)
    if (isActive(task)) ++n;
  return n;
}

// ---- bookkeeping -------------------------------------------------------------

TransferEngine::TaskPtr TransferEngine::newTask(const QString& session, Role role, Kind kind, const QString& xid) {
  auto task = std::make_shared<Task>();
  task->xid = xid.isEmpty() ? newXid() : xid;
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
      if (previous && !isActive(previous)) tasks_.remove(old);
    }
    index.insert(task->session, task->xid);
  };
  if (role == Role::Sink && kind == Kind::Download) track(downloads_);
  if (role == Role::Source && kind != Kind::Download) track(uploads_);
  if (role == Role::Sink && kind == Kind::Send) track(receives_);
  return task;
}

TransferEngine::TaskPtr TransferEngine::find(const QString& xid, const QString& session) const {
  const TaskPtr task = tasks_.value(xid);
  return task && task->session == session ? task : nullptr;
}

TransferEngine::TaskPtr TransferEngine::latest(const QHash<QString, QString>& index, const QString& session) const {
  return tasks_.value(index.value(session));
}

bool TransferEngine::isActive(const TaskPtr& task) const {
  return task && (task->state == State::Starting || task->state == State::Running);
}

bool TransferEngine::send(const TaskPtr& task, const QString& op, const Json& msg) {
  return sendPeer_(task->session, op, task->xid, msg);
}

void TransferEngine::end(const TaskPtr& task, State state, const QString& why, bool tellPeer) {
  if (!isActive(task)) return;
  if (tellPeer) send(task, QStringLiteral("cancel"), XferNote{-1, 0, 0, why}.toJSONModel());
  discardPartial(task);
  task->in.reset();
  task->inflight.clear();
  task->state = state;
  task->why = why;
  zlog::parts(QStringLiteral("Vantrel - transfer ended:"), task->xid, why);
  forgetIfServing(task);
}

void TransferEngine::fail(const TaskPtr& task, const QString& why, bool tellPeer) {
  end(task, State::Failed, why, tellPeer);
}

void TransferEngine::cancel(const TaskPtr& task, const QString& why, bool tellPeer) {
  end(task, State::Cancelled, why, tellPeer);
}

// A task this bridge serves for the peer is not polled by its own client.
void TransferEngine::forgetIfServing(const TaskPtr& task) {
  const bool serving = (task->role == Role::Source && task->kind == Kind::Download) ||
                       (task->role == Role::Sink && task->kind == Kind::Upload);
  if (serving && !isActive(task)) tasks_.remove(task->xid);
}

void TransferEngine::discardPartial(const TaskPtr& task) {
  if (task->out) {
    task->out->close();
    task->out.reset();
  }
  if (!task->tempPath.isEmpty()) {
    QFile::remove(task->tempPath);
    task->tempPath.clear();
  }
}

void TransferEngine::sessionGone(const QString& session) {
  const QList<TaskPtr> all = tasks_.values();
  for (const TaskPtr& task : all)
    if (task->session == session) fail(task, QStringLiteral("the peer link closed"), false);
  refusedReceives_.remove(session);
}

void TransferEngine::allSessionsGone() {
  const QList<TaskPtr> all = tasks_.values();
  for (const TaskPtr& task : all) fail(task, QStringLiteral("the relay connection dropped"), false);
  refusedReceives_.clear();
}

// ---- requests of the local client ------------------------------------------

Json TransferEngine::startDownload(const Json& data) {
  const QString session = textOf(data, "Session");
  const QString folder = textOf(data, "SaveAtLocalFolder");
  const QStringList targets = splitTargets(textOf(data, "Targets"));
  const TaskPtr task = newTask(session, Role::Sink, Kind::Download);
  task->root = folder;
  zlog::parts(QStringLiteral("Vantrel - download into"), folder);
  if (targets.isEmpty()) {
    fail(task, QStringLiteral("nothing to download"), false);
  } else if (folder.isEmpty() || !QDir().mkpath(folder) || !QFileInfo(folder).isDir()) {
    fail(task, QStringLiteral("the download folder cannot be used"), false);
  } else if (!send(task, QStringLiteral("pull"), XferPull{targets}.toJSONModel())) {
    fail(task, QStringLiteral("the peer link is not open"), false);
  }
  if (task->state == State::Failed) return TransferAck{0, false, task->why}.toJSONModel();
  return TransferAck{}.toJSONModel();
}

Json TransferEngine::downloadProgress(const QString& session) const {
  const TaskPtr task = latest(downloads_, session);
  return task ? progressOf(task) : TransTaskProgress{}.toJSONModel();
}

Json TransferEngine::cancelDownload(const QString& session) {
  const TaskPtr task = latest(downloads_, session);
  if (!isActive(task)) return TransferAck{0, false, QStringLiteral("no download is running")}.toJSONModel();
  cancel(task, QStringLiteral("cancelled by the user"), true);
  return TransferAck{}.toJSONModel();
}

void TransferEngine::walkThen(const QList<QPair<QString, QString>>& targets, bool withFolders,
                              std::function<void(const QList<QList<TransferEntry>>&)> done) {
  QtConcurrent::run([targets, withFolders] {
    QList<QList<TransferEntry>> walked;
    for (const auto& [path, name] : targets) walked.append(walkLocal(path, name, withFolders));
    return walked;
  }).then(this, std::move(done));
}

// Counts what was walked into the task and offers it to the peer.
void TransferEngine::offerWalked(const TaskPtr& task, const QList<QList<TransferEntry>>& walked, const QString& mode,
                                 const QString& root) {
  for (const QList<TransferEntry>& found : walked) {
    if (found.isEmpty()) ++task->failed;
    task->entries.append(found);
  }
  for (const TransferEntry& e : std::as_const(task->entries))
    if (!e.isDir) ++task->fileCount, task->totalBytes += e.size;
  if (task->entries.isEmpty())
    fail(task, QStringLiteral("nothing to transfer"), false);
  else if (task->entries.size() > kMaxEntries)
    fail(task, QStringLiteral("too many entries"), false);
  else if (!send(task, QStringLiteral("push"), XferOffer{mode, root, wireEntries(task->entries), 0}.toJSONModel()))
    fail(task, QStringLiteral("the peer link is not open"), false);
}

void TransferEngine::startUpload(const Json& data, Answer answer) {
  const QString session = textOf(data, "Session");
  const QString root = textOf(data, "RemotePathRoot");
  const QStringList targets = splitTargets(textOf(data, "Targets"));
  if (isActive(latest(uploads_, session)))
    return answer(UploadStartReply{2, QStringLiteral("an upload is already running")}.toJSONModel());
  if (targets.isEmpty()) return answer(UploadStartReply{0, QStringLiteral("nothing to upload")}.toJSONModel());
  const TaskPtr task = newTask(session, Role::Source, Kind::Upload);
  QList<QPair<QString, QString>> walk;
  for (const QString& target : targets) walk.append({target, lastComponent(target)});
  std::weak_ptr<Task> weak = task;
  walkThen(walk, true, [this, weak, root, answer](const QList<QList<TransferEntry>>& walked) {
    const TaskPtr t = weak.lock();
    if (!t || !isActive(t)) return answer(UploadStartReply{3, QStringLiteral("the peer link closed")}.toJSONModel());
    offerWalked(t, walked, QStringLiteral("upload"), root);
    if (t->state == State::Failed) return answer(UploadStartReply{3, t->why}.toJSONModel());
    zlog::parts(QStringLiteral("Vantrel - upload into"), root);
    answer(UploadStartReply{1, QString()}.toJSONModel());
  });
}

void TransferEngine::startSend(const Json& data, Answer answer) {
  const QString session = textOf(data, "Session");
  if (isActive(latest(uploads_, session)))
    return answer(TransferAck{0, false, QStringLiteral("a send is already running")}.toJSONModel());
  const TaskPtr task = newTask(session, Role::Source, Kind::Send);
  // Each entry carries the absolute place to save it at on the receiver.
  QList<QPair<QString, QString>> walk;
  const Json list = valueOf(data, "FileList");
  if (list.is_array())
    for (const Json& item : list) walk.append({textOf(item, "Path"), textOf(item, "PathSave")});
  std::weak_ptr<Task> weak = task;
  walkThen(walk, true, [this, weak, answer](const QList<QList<TransferEntry>>& walked) {
    const TaskPtr t = weak.lock();
    if (!t || !isActive(t)) return answer(TransferAck{0, false, QStringLiteral("the peer link closed")}.toJSONModel());
    offerWalked(t, walked, QStringLiteral("send"), QString());
    if (t->state == State::Failed) return answer(TransferAck{0, false, t->why}.toJSONModel());
    answer(TransferAck{}.toJSONModel());
  });
}

Json TransferEngine::uploadProgress(const QString& session) const {
  const TaskPtr task = latest(uploads_, session);
  return task ? progressOf(task) : TransTaskProgress{}.toJSONModel();
}

Json TransferEngine::cancelUpload(const QString& session) {
  const TaskPtr task = latest(uploads_, session);
  if (!isActive(task)) return TransferAck{0, false, QStringLiteral("no upload is running")}.toJSONModel();
  cancel(task, QStringLiteral("cancelled by the user"), true);
  return TransferAck{}.toJSONModel();
}

void TransferEngine::prepareUpload(const Json& data, Answer answer) {
  const QStringList targets = splitTargets(textOf(data, "Targets"));
  QtConcurrent::run([targets] {
    Json items = Json::array();
    for (const QString& target : targets) {
      const QFileInfo info(target);
      if (!info.exists()) continue;
      const bool isDir = info.isDir() && !info.isSymLink();
      items.push_back(
          PreparedItem{info.absoluteFilePath(), isDir, isDir ? totalSize(target) : info.size()}.toJSONModel());
    }
    return items;
  }).then(this, [answer](const Json& items) { answer(items); });
}

Json TransferEngine::resetReceive(const QString& session) {
  const TaskPtr task = latest(receives_, session);
  if (isActive(task)) cancel(task, QStringLiteral("replaced by a new offer"), true);
  if (task) tasks_.remove(task->xid);
  receives_.remove(session);
  refusedReceives_.remove(session);
  return TransferAck{}.toJSONModel();
}

Json TransferEngine::cancelReceive(const QString& session) {
  refusedReceives_.insert(session);
  const TaskPtr task = latest(receives_, session);
  if (isActive(task)) cancel(task, QStringLiteral("cancelled by the receiver"), true);
  return TransferAck{}.toJSONModel();
}

Json TransferEngine::receiveStatus(const QString& session) const {
  ReceiveStatus status;
  const TaskPtr task = latest(receives_, session);
  if (!task) return status.toJSONModel();
  const Json progress = progressOf(task);
  status.IsFinished = task->state == State::Finished;
  status.IsCancel = task->state == State::Cancelled || task->state == State::Failed;
  status.Progress = progress.value("CurrentTaskPercent", 0.0);
  status.TotalCount = task->fileCount;
  status.TotalTaskDoneCount = task->done;
  status.CurrentTaskFile = textOf(progress, "CurrentTaskFile");
  status.CurrentTaskSpeed = textOf(progress, "CurrentTaskSpeed");
  return status.toJSONModel();
}

// ---- progress ----------------------------------------------------------------

QString TransferEngine::speedText(const TaskPtr& task) const {
  const qint64 now = task->clock.elapsed();
  if (now - task->sampleAt >= 500 || task->sampleAt == 0) {
    if (now > task->sampleAt) task->speed = double(task->bytesDone - task->sampleBytes) * 1000.0 / double(now - task->sampleAt);
    task->sampleAt = now;
    task->sampleBytes = task->bytesDone;
  }
  return UtilSystem::formatSize(quint64(std::max(0.0, task->speed))) + QStringLiteral("/s");
}

Json TransferEngine::progressOf(const TaskPtr& task) const {
  TransTaskProgress p;
  p.TotalTaskCount = task->fileCount;
  p.TotalTaskDoneCount = task->done;
  if (task->current >= 0 && task->current < task->entries.size()) {
    const TransferEntry& e = task->entries[task->current];
    p.CurrentTaskFile = task->role == Role::Source ? e.local : task->root + QLatin1Char('/') + e.rel;
    p.CurrentTaskFileSize = e.size;
    p.CurrentTaskPercent = e.size > 0 ? std::min(100.0, 100.0 * double(task->currentBytes) / double(e.size)) : 100.0;
    p.WorkingIndex = task->currentOrdinal;
  }
  switch (task->state) {
    case State::Starting:
    case State::Running:
      p.CurrentTaskSpeed = speedText(task);
      p.WorkingSpeed = p.CurrentTaskSpeed;
      break;
    case State::Finished: {
      p.TaskStatus = 1;
      p.CurrentTaskPercent = 100;
      const qint64 ms = std::max<qint64>(1, task->clock.elapsed());
      p.WorkingSpeed = UtilSystem::formatSize(quint64(double(task->bytesDone) * 1000.0 / double(ms))) + QStringLiteral("/s");
      if (task->failed > 0) p.WorkingSpeed += QStringLiteral(", %1 not transferred").arg(task->failed);
      break;
    }
    case State::Cancelled:
    case State::Failed:
      p.ForceCancel = 1;
      p.WorkingSpeed = task->why;
      break;
  }
  return p.toJSONModel();
}

// ---- frames from the peer ------------------------------------------------------

void TransferEngine::onPeerFrame(const QString& session, const QString& op, const QString& xid, const Json& msg) {
  if (xid.isEmpty()) return;
  if (op == QLatin1String("pull")) return onPull(session, xid, msg);
  if (op == QLatin1String("push")) return onPush(session, xid, msg);
  const TaskPtr task = find(xid, session);
  if (!task) {
    // A late frame of a task that has ended here; a data chunk tells the
    // sender to stop.
    if (op == QLatin1String("data"))
      sendPeer_(session, QStringLiteral("cancel"), xid, XferNote{-1, 0, 0, QStringLiteral("no such transfer")}.toJSONModel());
    return;
  }
  if (op == QLatin1String("cancel")) {
    const QString why = textOf(msg, "why");
    return cancel(task, why.isEmpty() ? QStringLiteral("cancelled by the peer") : why, false);
  }
  if (!isActive(task)) return;
  const bool source = task->role == Role::Source;
  if (source && op == QLatin1String("accept")) return onAccept(task, msg);
  if (source && op == QLatin1String("ack")) return onAck(task, msg);
  if (source && op == QLatin1String("finished")) return onFinished(task, msg);
  if (!source && op == QLatin1String("manifest")) return onManifest(task, msg);
  if (!source && op == QLatin1String("data")) return onData(task, msg);
  if (!source && op == QLatin1String("skip")) return onSkip(task, msg);
  if (!source && op == QLatin1String("done")) return onDone(task);
  zlog::parts(QStringLiteral("Vantrel - transfer frame out of place, dropped:"), op);
}

// ---- source ----------------------------------------------------------------------

bool TransferEngine::admit(const QString& session, const QString& xid) {
  int running = 0;
  for (const TaskPtr& task : std::as_const(tasks_)) {
    const bool startedByPeer = (task->role == Role::Source && task->kind == Kind::Download) ||
                               (task->role == Role::Sink && task->kind != Kind::Download);
    if (startedByPeer && task->session == session && isActive(task)) ++running;
  }
  if (running < kMaxServedPerSession) return true;
  sendPeer_(session, QStringLiteral("cancel"), xid, XferNote{-1, 0, 0, QStringLiteral("the host is busy")}.toJSONModel());
  return false;
}

void TransferEngine::onPull(const QString& session, const QString& xid, const Json& msg) {
  if (tasks_.contains(xid) || !admit(session, xid)) return;
  const TaskPtr task = newTask(session, Role::Source, Kind::Download, xid);
  QList<QPair<QString, QString>> walk;
  const Json targets = valueOf(msg, "targets");
  if (targets.is_array())
    for (const Json& t : targets) walk.append({asText(t), lastComponent(asText(t))});
  std::weak_ptr<Task> weak = task;
  walkThen(walk, false, [this, weak](const QList<QList<TransferEntry>>& walked) {
    const TaskPtr t = weak.lock();
    if (!t || !isActive(t)) return;
    for (const QList<TransferEntry>& found : walked) {
      if (found.isEmpty()) ++t->refused;
      t->candidates.append(found);
    }
    if (t->candidates.size() > kMaxEntries) return fail(t, QStringLiteral("too many entries"), true);
    zlog::parts(QStringLiteral("Vantrel - download asked for, files:"), QString::number(t->candidates.size()));
    t->next = 0;
    checkNext(t);
  });
}

// Every file goes past the host's own check before it is offered.
void TransferEngine::checkNext(const TaskPtr& task) {
  while (isActive(task) && task->checksPending < kParallelChecks && task->next < task->candidates.size()) {
    const qint64 index = task->next++;
    ++task->checksPending;
    const QString path = task->candidates[index].local;
    std::weak_ptr<Task> weak = task;
    askClient_(task->session, QStringLiteral("fileDownloadCheck"), Json{{"path", path.toStdString()}},
               [this, weak, index](const std::optional<Json>& reply) {
                 const TaskPtr t = weak.lock();
                 if (!t || !isActive(t)) return;
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

void TransferEngine::sendManifest(const TaskPtr& task) {
  task->candidates.clear();
  // Answers may come back in any order; offer the files in walking order.
  std::sort(task->entries.begin(), task->entries.end(),
            [](const TransferEntry& a, const TransferEntry& b) { return a.rel < b.rel; });
  for (const TransferEntry& e : std::as_const(task->entries)) ++task->fileCount, task->totalBytes += e.size;
  task->next = 0;
  if (task->refused > 0)
    zlog::parts(QStringLiteral("Vantrel - download: files refused by the host:"), QString::number(task->refused));
  if (!send(task, QStringLiteral("manifest"),
            XferOffer{QStringLiteral("download"), QString(), wireEntries(task->entries), task->refused}.toJSONModel()))
    fail(task, QStringLiteral("the peer link is not open"), false);
}

void TransferEngine::onAccept(const TaskPtr& task, const Json& msg) {
  if (task->state != State::Starting) return;
  const Json skip = valueOf(msg, "skip");
  if (skip.is_array())
    for (const Json& i : skip)
      if (i.is_number_integer()) task->skipped.insert(i.get<qint64>());
  task->state = State::Running;
  task->next = 0;
  pump(task);
}

void TransferEngine::pump(const TaskPtr& task) {
  while (task->state == State::Running && !task->allSent && task->sent - task->acked < kWindow) {
    if (!task->in) {
      while (task->next < task->entries.size() &&
             (task->entries[task->next].isDir || task->skipped.contains(task->next)))
        ++task->next;
      if (task->next >= task->entries.size()) {
        task->allSent = true;
        send(task, QStringLiteral("done"), XferNote{}.toJSONModel());
        return;
      }
      const qint64 index = task->next++;
      auto file = std::make_unique<QFile>(task->entries[index].local);
      if (!file->open(QIODevice::ReadOnly)) {
        ++task->failed;
        send(task, QStringLiteral("skip"), XferNote{index, 0, 0, file->errorString()}.toJSONModel());
        continue;
      }
      task->in = std::move(file);
      task->readOffset = 0;
      task->current = index;
      task->currentBytes = 0;
      ++task->currentOrdinal;
    }
    const QByteArray chunk = task->in->read(kChunkBytes);
    if (task->in->error() != QFileDevice::NoError) {
      ++task->failed;
      send(task, QStringLiteral("skip"), XferNote{task->current, 0, 0, task->in->errorString()}.toJSONModel());
      task->in.reset();
      continue;
    }
    const bool last = task->in->atEnd() || chunk.size() < kChunkBytes;
    const QByteArray encoded = chunk.toBase64();
    XferData data{task->current, task->readOffset, std::string(encoded.constData(), size_t(encoded.size())), last};
    if (!send(task, QStringLiteral("data"), data.toJSONModel()))
      return fail(task, QStringLiteral("the peer link is not open"), false);
    task->readOffset += chunk.size();
    task->inflight.push_back(Inflight{task->current, chunk.size(), last});
    ++task->sent;
    if (last) task->in.reset();
  }
}

void TransferEngine::onAck(const TaskPtr& task, const Json& msg) {
  const qint64 count = intOf(msg, "c");
  while (task->acked < count && !task->inflight.empty()) {
    const Inflight chunk = task->inflight.front();
    task->inflight.pop_front();
    ++task->acked;
    task->bytesDone += chunk.bytes;
    if (chunk.index == task->current) task->currentBytes += chunk.bytes;
  }
  pump(task);
}

void TransferEngine::onFinished(const TaskPtr& task, const Json& msg) {
  task->done = intOf(msg, "done");
  task->failed += intOf(msg, "failed");
  task->in.reset();
  task->state = State::Finished;
  zlog::parts(QStringLiteral("Vantrel - transfer finished:"), task->xid, QString::number(task->done),
              QStringLiteral("files"));
  forgetIfServing(task);
}

// ---- sink --------------------------------------------------------------------------

void TransferEngine::onPush(const QString& session, const QString& xid, const Json& msg) {
  if (tasks_.contains(xid) || !admit(session, xid)) return;
  const QString mode = textOf(msg, "mode");
  const bool isSend = mode == QLatin1String("send");
  const TaskPtr task = newTask(session, Role::Sink, isSend ? Kind::Send : Kind::Upload, xid);
  std::weak_ptr<Task> weak = task;
  if (isSend) {
    if (refusedReceives_.contains(session)) return cancel(task, QStringLiteral("the receiver cancelled"), true);
    // Only into the folder the user accepted in the receive panel.
    askClient_(session, QStringLiteral("WaitRemoteReceiveFilesPressButton"), Json{{"UUID", ""}},
               [this, weak, msg](const std::optional<Json>& reply) {
                 const TaskPtr t = weak.lock();
                 if (!t || !isActive(t)) return;
                 const QString answer = reply ? asText(valueOf(*reply, "data")) : QString();
                 if (answer.isEmpty() || answer == QLatin1String("0") || answer == QLatin1String("2"))
                   return cancel(t, QStringLiteral("the receiver has not accepted"), true);
                 if (!QDir().mkpath(answer)) return fail(t, QStringLiteral("the receive folder cannot be used"), true);
                 t->root = answer;
                 takeOffer(t, msg, true);
               });
    return;
  }
  const QString root = textOf(msg, "root");
  Json names = Json::array();
  QSet<QString> seen;
  const Json entries = valueOf(msg, "entries");
  if (entries.is_array())
    for (const Json& e : entries) {
      const QString top = textOf(e, "p").section(QLatin1Char('/'), 0, 0);
      if (!seen.contains(top)) seen.insert(top), names.push_back(top.toStdString());
    }
  // The host's client decides whether the folder may receive uploads.
  askClient_(session, QStringLiteral("fileUploadCheck"), Json{{"dir", root.toStdString()}, {"fileList", names}},
             [this, weak, msg, root](const std::optional<Json>& reply) {
               const TaskPtr t = weak.lock();
               if (!t || !isActive(t)) return;
               const Json info = reply ? valueOf(*reply, "data") : Json();
               if (intOf(info, "valid") != 1 || !QFileInfo(root).isDir())
                 return fail(t, QStringLiteral("the host refused the folder"), true);
               t->root = root;
               takeOffer(t, msg, false);
             });
}

void TransferEngine::onManifest(const TaskPtr& task, const Json& msg) {
  if (task->state != State::Starting || task->kind != Kind::Download) return;
  task->failed += intOf(msg, "refused");
  const Json entries = valueOf(msg, "entries");
  if ((!entries.is_array() || entries.empty()) && task->failed > 0)
    return fail(task, QStringLiteral("the host refused the download"), true);
  takeOffer(task, msg, false);
}

bool TransferEngine::prepareEntry(const TaskPtr& task, TransferEntry& entry, bool absolutePath) {
  const auto rel = absolutePath ? relativeInside(task->root, entry.rel) : safeRelativePath(entry.rel);
  if (!rel) return false;
  entry.rel = *rel;
  if (entry.isDir) return ensureFolderInside(task->root, *rel);
  if (!ensureFolderInside(task->root, parentRel(*rel))) return false;
  const QFileInfo dest(task->root + QLatin1Char('/') + *rel);
  return !(dest.isDir() && !dest.isSymLink());
}

void TransferEngine::takeOffer(const TaskPtr& task, const Json& offer, bool absolutePaths) {
  const Json entries = valueOf(offer, "entries");
  XferAccept accept;
  if (entries.is_array()) {
    if (entries.size() > size_t(kMaxEntries)) return fail(task, QStringLiteral("too many entries"), true);
    for (const Json& e : entries) {
      TransferEntry entry{textOf(e, "p"), intOf(e, "s"), valueOf(e, "d").is_boolean() && valueOf(e, "d").get<bool>(),
                          QString()};
      const qint64 index = task->entries.size();
      const bool ok = prepareEntry(task, entry, absolutePaths);
      if (!entry.isDir) ++task->fileCount, task->totalBytes += std::max<qint64>(0, entry.size);
      if (!ok) {
        zlog::parts(QStringLiteral("Vantrel - transfer entry refused:"), textOf(e, "p"));
        accept.skip.append(index);
        task->skipped.insert(index);
        if (!entry.isDir) ++task->failed;
      }
      task->entries.append(entry);
    }
  }
  task->state = State::Running;
  if (!send(task, QStringLiteral("accept"), accept.toJSONModel()))
    fail(task, QStringLiteral("the peer link is not open"), false);
}

void TransferEngine::onData(const TaskPtr& task, const Json& msg) {
  const qint64 index = intOf(msg, "i");
  const qint64 offset = intOf(msg, "o");
  const bool last = valueOf(msg, "e").is_boolean() && valueOf(msg, "e").get<bool>();
  ++task->taken;
  auto ack = [this, task] { send(task, QStringLiteral("ack"), XferAck{task->taken}.toJSONModel()); };
  if (index < 0 || index >= task->entries.size() || task->entries[index].isDir || task->skipped.contains(index))
    return fail(task, QStringLiteral("data for an entry that was not accepted"), true);
  const TransferEntry& entry = task->entries[index];
  if (index != task->current) {
    if (task->out) return fail(task, QStringLiteral("data out of order"), true);
    task->current = index;
    task->currentBytes = 0;
    task->written = 0;
    ++task->currentOrdinal;
    const QString dir = task->root + QLatin1Char('/') + parentRel(entry.rel);
    task->tempPath = QDir(dir).filePath(QStringLiteral(".zkpart-%1-%2").arg(task->xid.left(8)).arg(index));
    task->out = std::make_unique<QFile>(task->tempPath);
    if (!task->out->open(QIODevice::WriteOnly | QIODevice::Truncate))
      return fail(task, QStringLiteral("cannot write ") + entry.rel, true);
  }
  if (!task->out || offset != task->written) return fail(task, QStringLiteral("data out of order"), true);
  const Json& chunk = msg.contains("b") ? msg["b"] : Json();
  if (!chunk.is_string()) return fail(task, QStringLiteral("a data chunk is damaged"), true);
  const std::string& text = chunk.get_ref<const std::string&>();
  const auto decoded = QByteArray::fromBase64Encoding(QByteArray::fromRawData(text.data(), qsizetype(text.size())),
                                                      QByteArray::AbortOnBase64DecodingErrors);
  if (!decoded) return fail(task, QStringLiteral("a data chunk is damaged"), true);
  if (task->out->write(decoded.decoded) != decoded.decoded.size())
    return fail(task, QStringLiteral("cannot write ") + entry.rel, true);
  task->written += decoded.decoded.size();
  task->currentBytes = task->written;
  task->bytesDone += decoded.decoded.size();
  if (last) {
    const QString dest = task->root + QLatin1Char('/') + entry.rel;
    const bool flushed = task->out->flush();
    task->out->close();
    task->out.reset();
    if (flushed && commitFile(task->tempPath, dest)) {
      ++task->done;
    } else {
      QFile::remove(task->tempPath);
      ++task->failed;
      zlog::parts(QStringLiteral("Vantrel - cannot store"), dest);
    }
    task->tempPath.clear();
  }
  ack();
}

void TransferEngine::onSkip(const TaskPtr& task, const Json& msg) {
  const qint64 index = intOf(msg, "i");
  if (index == task->current) discardPartial(task);
  if (index >= 0 && index < task->entries.size() && !task->skipped.contains(index)) {
    task->skipped.insert(index);
    ++task->failed;
  }
}

void TransferEngine::onDone(const TaskPtr& task) {
  discardPartial(task);
  task->state = State::Finished;
  send(task, QStringLiteral("finished"), XferNote{-1, task->done, task->failed, QString()}.toJSONModel());
  zlog::parts(QStringLiteral("Vantrel - transfer received:"), task->xid, QString::number(task->done),
              QStringLiteral("files"));
  forgetIfServing(task);
}

}  // namespace vantrel
