#include "transfer_sink.h"

#include "lan/transfer_lan.h"
#include "partial_journal.h"

#include "core/file_names.h"
#include "core/log.h"
#include "protocol/data_frame.h"
#include "protocol/relay_limits.h"

#include <QDir>
#include <QPointer>
#include <QTimer>
#include <QtConcurrent/QtConcurrentRun>

#include <cstdio>
#include <fcntl.h>
#include <sys/stat.h>

namespace vantrel {

namespace {

QString joined(const QString& base, const QString& rel) {
  if (base.isEmpty()) return rel;
  if (rel.isEmpty()) return base;
  return base + QLatin1Char('/') + rel;
}

// Makes `rel` (a relative folder path) beneath `root` one component at a
// time, each component reached beneath the root: an existing one must be a
// folder there, or a link that stays beneath it.
bool ensureFolderBeneath(int root, const QString& rel) {
  if (!beneath::open(root, rel, O_PATH | O_DIRECTORY)) {
    QString path;
    for (const QString& part : rel.split(QLatin1Char('/'), Qt::SkipEmptyParts)) {
      path = joined(path, part);
      if (beneath::open(root, path, O_PATH | O_DIRECTORY)) continue;
      const auto entry = beneath::openParent(root, path);
      if (!entry || beneath::makeFolder(entry->folder.get(), entry->name) != 0) return false;
    }
  }
  return bool(beneath::open(root, rel, O_PATH | O_DIRECTORY));
}

// How much of a peer's words, or of a file's name, a reason shows.
constexpr qsizetype kMaxShownWhy = 256;
QString shownName(const QString& path) { return lastComponent(path).left(kMaxShownWhy); }

// A peer-given relative path whose components are all plain names that are
// no partial file's.
std::optional<QString> acceptableName(const std::optional<QString>& rel) {
  if (!rel) return std::nullopt;
  for (const QString& part : rel->split(QLatin1Char('/')))
    if (looksLikePartialFile(part)) return std::nullopt;
  return rel;
}

// The buffer that keeps `bytes` for later: `owner` when they lie inside it,
// else a copy; `view` receives the bytes in it.
QByteArray keeperOf(QByteArrayView bytes, const QByteArray& owner, QByteArrayView* view) {
  const bool inside = !owner.isNull() && bytes.data() >= owner.constData() &&
                      bytes.data() + bytes.size() <= owner.constData() + owner.size();
  QByteArray keep = inside ? owner : bytes.toByteArray();
  *view = inside ? bytes : QByteArrayView(keep);
  return keep;
}

QString parentRel(const QString& rel) {
  const qsizetype slash = rel.lastIndexOf(QLatin1Char('/'));
  return slash < 0 ? QString() : rel.left(slash);
}

// What a route file is told once it is in place or dropped, told exactly
// once: also when the step or commit that would tell it is dropped with its
// transfer's end (then later, never inside the end), so that its answer is
// never owed for ever.
struct KeptOnce {
  LanFileSink::Kept kept;
  QPointer<QObject> context;
  LanFileSink::Kept take() { return std::exchange(kept, {}); }
  ~KeptOnce() {
    if (kept && context)
      QMetaObject::invokeMethod(context, [kept = std::move(kept)] { kept(QStringLiteral("the transfer ended")); },
                                Qt::QueuedConnection);
  }
};

}  // namespace

Json TransferSink::startDownload(const QString& session, const QString& folder, const QStringList& targets) {
  const TaskPtr task = core_.newTask(session, TransferRole::Sink, TransferKind::Download);
  task->root = folder;
  task->replace = false;  // a download never replaces a local file
  zlog::parts(QStringLiteral("Vantrel - download into"), folder);
  if (targets.isEmpty()) {
    core_.fail(task, QStringLiteral("nothing to download"), false);
  } else if (folder.isEmpty() || !QDir().mkpath(folder) || !openOwnFolder(task)) {
    core_.fail(task, QStringLiteral("the download folder cannot be used"), false, TransferReason::Disk);
  } else {
    core_.sendOffer(task, QStringLiteral("pull"), XferPull{targets}.toJSONModel(), "targets");
  }
  if (task->state == TransferState::Failed) return TransferAck{0, false, task->why}.toJSONModel();
  return TransferAck{}.toJSONModel();
}

void TransferSink::onPush(const QString& session, const QString& xid, const Json& msg) {
  if (core_.contains(xid) || !core_.admit(session, xid)) return;
  const bool isSend = textOf(msg, "mode") == QLatin1String("send");
  const TaskPtr task = core_.newTask(session, TransferRole::Sink, isSend ? TransferKind::Send : TransferKind::Upload, xid);
  if (core_.awaitsParts(task, QStringLiteral("push"), msg, "entries", kTransferMaxOfferEntries)) return;
  takePush(task, msg);
}

void TransferSink::onSendEndedUnoffered(const QString& session, const QString& xid, const Json& msg) {
  // Only in place of a receive not yet begun since the panel's offer (one
  // record, never over a receive that began).
  if (core_.contains(xid) || core_.latestReceive(session)) return;
  const TaskPtr task = core_.newTask(session, TransferRole::Sink, TransferKind::Send, xid);
  if (const qint64 unread = std::clamp<qint64>(intOf(msg, "unread"), 0, kTransferMaxEntries); unread > 0)
    task->leaveOut(unreadWords(textOf(msg, "reason")), unread);
  const QString why = boundedReason(textOf(msg, "why"));
  core_.fail(task, why.isEmpty() ? QStringLiteral("cancelled by the peer") : why, false,
             reasonOfCancelFrame(textOf(msg, "code")));
}

void TransferSink::takePush(const TaskPtr& task, const Json& msg) {
  const QString session = task->session;
  const bool isSend = task->kind == TransferKind::Send;
  // An uploader that does not say keeps replacing, as before.
  task->replace = !isSend && !(valueOf(msg, "overwrite").is_boolean() && !valueOf(msg, "overwrite").get<bool>());
  std::weak_ptr<TransferTask> weak = task;
  if (isSend) {
    if (core_.refusedReceives().contains(session))
      return core_.cancel(task, QStringLiteral("the receiver cancelled"), true);
    // Only into the folder the user accepted in the receive panel.
    core_.askClient(session, QStringLiteral("WaitRemoteReceiveFilesPressButton"), Json{{"UUID", ""}},
                    [this, weak, msg](const std::optional<Json>& reply) {
                      const TaskPtr t = weak.lock();
                      if (!isActive(t)) return;
                      const QString answer = reply ? asText(valueOf(*reply, "data")) : QString();
                      if (!reply)
                        return core_.cancel(t, QStringLiteral("the receiver's client did not answer"), true,
                                            TransferReason::Timeout);
                      if (answer.isEmpty() || answer == QLatin1String("0") || answer == QLatin1String("2"))
                        return core_.cancel(t, QStringLiteral("the receiver has not accepted"), true,
                                            TransferReason::Refused);
                      t->root = answer;
                      if (!QDir().mkpath(answer) || !openOwnFolder(t))
                        return core_.fail(t, QStringLiteral("the receive folder cannot be used"), true,
                                          TransferReason::Disk);
                      // The receive panel's overwrite switch; replacing when it is not said.
                      const Json overwrite = reply ? valueOf(*reply, "Overwrite") : Json();
                      t->replace = !(overwrite.is_boolean() && !overwrite.get<bool>());
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
  core_.askClient(session, QStringLiteral("fileUploadCheck"), Json{{"dir", root.toStdString()}, {"fileList", names}},
                  [this, weak, msg, root](const std::optional<Json>& reply) {
                    const TaskPtr t = weak.lock();
                    if (!isActive(t)) return;
                    const Json info = reply ? valueOf(*reply, "data") : Json();
                    // Written beneath the share's root that the check found,
                    // at the path it found there.
                    QString rel;
                    auto share = intOf(info, "valid") == 1 ? openCheckedRoot(info, &rel) : nullptr;
                    t->hostReason = boundedReason(textOf(info, "reason"));
                    if (!reply)
                      return core_.fail(t, QStringLiteral("the host's client did not answer a check"), true,
                                        TransferReason::Timeout);
                    if (!share || !beneath::open(share->get(), rel, O_PATH | O_DIRECTORY))
                      return core_.fail(t, QStringLiteral("the host refused the folder"), true,
                                        TransferReason::Refused);
                    t->root = root;
                    t->rootFolder = std::move(share);
                    t->rootRel = rel;
                    t->lanAllowed = lanAllowedBy(info);
                    takeOffer(t, msg, false);
                  });
}

void TransferSink::onManifest(const TaskPtr& task, const Json& msg) {
  if (task->state != TransferState::Starting || task->kind != TransferKind::Download) return;
  // A pull sent in parts is answered only by a host that read them all; an
  // older one reads its head as a pull of nothing.
  if (task->sentInParts > 0 && (!task->partsOut.empty() || intOf(msg, "took") != task->sentInParts))
    return core_.fail(task, QStringLiteral("the host cannot take this many paths"), true, TransferReason::Refused);
  if (core_.awaitsParts(task, QStringLiteral("manifest"), msg, "entries", kTransferMaxOfferEntries)) return;
  task->refused = intOf(msg, "refused") != 0;
  // How many the host left out (an older host says only 1), shown as a count.
  if (task->refused) task->refusedCount = std::clamp<qint64>(intOf(msg, "refused"), 1, kTransferMaxEntries);
  if (task->refused) task->hostReason = boundedReason(textOf(msg, "reason"));
  const Json entries = valueOf(msg, "entries");
  if ((!entries.is_array() || entries.empty()) && task->refused)
    return core_.fail(task, QStringLiteral("the host refused the download"), true, TransferReason::Refused);
  takeOffer(task, msg, false);
}

bool TransferSink::openOwnFolder(const TaskPtr& task) {
  beneath::Fd fd = beneath::openRoot(task->root);
  if (!fd || !beneath::open(fd.get(), QString(), O_PATH | O_DIRECTORY)) return false;
  task->rootFolder = std::make_shared<const beneath::Fd>(std::move(fd));
  task->rootRel.clear();
  return true;
}

QString TransferSink::prepareEntry(const TaskPtr& task, TransferEntry& entry, bool absolutePath,
                                  TransferReason* reason) {
  *reason = TransferReason::Refused;
  const auto checked = absolutePath ? relativeInside(task->root, entry.rel) : safeRelativePath(entry.rel);
  if (!checked) return QStringLiteral("not a path inside the receiving folder");
  const auto rel = acceptableName(checked);
  if (!rel) return QStringLiteral("its name is kept for partial files");
  *reason = TransferReason::Disk;
  if (!task->rootFolder) return QStringLiteral("the receiving folder cannot be opened");
  entry.rel = *rel;
  const int root = task->rootFolder->get();
  const QString folder = entry.isDir ? *rel : parentRel(*rel);
  if (!ensureFolderBeneath(root, joined(task->rootRel, folder))) return QStringLiteral("cannot create its folder");
  if (entry.isDir) return {};
  // Never into an existing folder's name.
  const beneath::Fd dest = beneath::open(root, joined(task->rootRel, *rel), O_PATH);
  struct stat st {};
  *reason = TransferReason::Refused;
  if (dest && ::fstat(dest.get(), &st) == 0 && S_ISDIR(st.st_mode)) return QStringLiteral("a folder has its name");
  return {};
}

void TransferSink::takeOffer(const TaskPtr& task, const Json& offer, bool absolutePaths) {
  const Json entries = valueOf(offer, "entries");
  XferAccept accept;
  if (entries.is_array()) {
    if (entries.size() > size_t(kTransferMaxOfferEntries))
      return core_.fail(task, QStringLiteral("too many entries"), true);
    const auto isFolder = [](const Json& e) {
      const Json d = valueOf(e, "d");
      return d.is_boolean() && d.get<bool>();
    };
    // No deeper and no more than a host's walk goes, before any folder is
    // made; the folders asked for (at the top) are not counted, as there.
    qint64 below = 0;
    for (const Json& e : entries) {
      const QString p = textOf(e, "p");
      const auto rel = absolutePaths ? relativeInside(task->root, p) : safeRelativePath(p);
      if (rel && folderLevel(*rel, isFolder(e)) > kTransferMaxDepth)
        return core_.fail(task, QStringLiteral("the folder is nested too deeply"), true, TransferReason::Refused);
      if (!(rel && isFolder(e) && !rel->contains(QLatin1Char('/')))) ++below;
    }
    if (below > kTransferMaxEntries) return core_.fail(task, QStringLiteral("too many entries"), true);
    for (const Json& e : entries) {
      TransferEntry entry{textOf(e, "p"), intOf(e, "s"), isFolder(e), QString()};
      const qint64 index = task->entries.size();
      if (!entry.isDir && (entry.size < 0 || entry.size > kTransferMaxBytes ||
                           __builtin_add_overflow(task->totalBytes, entry.size, &task->totalBytes) ||
                           task->totalBytes > kTransferMaxBytes))
        return core_.fail(task, QStringLiteral("the announced sizes are too large"), true);
      TransferReason reason = TransferReason::None;
      const QString why = prepareEntry(task, entry, absolutePaths, &reason);
      if (!entry.isDir) ++task->fileCount;
      if (!why.isEmpty()) {
        zlog::parts(QStringLiteral("Vantrel - transfer entry refused:"), zlog::excerpt(textOf(e, "p")), why);
        accept.skip.append(index);
        task->skipped.insert(index);
        if (!entry.isDir) ++task->failed, task->fileEnded(shownName(textOf(e, "p")) + QStringLiteral(": ") + why, reason);
      }
      task->entries.append(entry);
    }
  }
  task->took = task->entries.size();
  // What the sender could not read and left out, as it says (an older one says nothing).
  if (const qint64 unread = std::clamp<qint64>(intOf(offer, "unread"), 0, kTransferMaxEntries);
      unread > 0 && task->kind != TransferKind::Download)
    task->leaveOut(unreadWords(textOf(offer, "reason")), unread);
  task->sum = pickSum(offer);
  // Partial files that a killed bridge of this machine left go now.
  (void)QtConcurrent::run(removeStalePartials);
  task->state = TransferState::Running;
  const Json grant = valueOf(offer, "lan");
  if (lan_ && task->kind == TransferKind::Download && grant.is_object()) {
    // Fetched from the host's local-network address; the relay when it
    // cannot be reached. Either way the source hears "accept" at the end.
    std::weak_ptr<TransferTask> weak = task;
    return lan_->fetch(task, grant, [this, weak, accept](bool fetched) {
      const TaskPtr t = weak.lock();
      if (!isActive(t)) return;
      if (!fetched) return sendAccept(t, accept, Json());
      // Every file is in place: the download has succeeded, whatever becomes
      // of the relay link now (the source is told if it can be).
      XferAccept rest;
      rest.skip.reserve(t->entries.size());
      for (qint64 i = 0; i < t->entries.size(); ++i) rest.skip.append(i);
      Json msg = rest.toJSONModel();
      msg["took"] = t->took;
      tellSum(msg, t->sum);
      core_.send(t, QStringLiteral("accept"), msg);
      t->doneReceived = true;
      if (t->committing == 0) finish(t);
    });
  }
  sendAccept(task, accept, lan_ && task->kind == TransferKind::Upload ? lan_->offer(task) : Json());
}

// An accept lists at most every entry of an offer, each index in 7 characters:
// always one relay message.
static_assert(kTransferMaxOfferEntries * 7 + 64 * 1024 <= protocol::kMaxRelayControlMessage);

void TransferSink::sendAccept(const TaskPtr& task, const XferAccept& accept, const Json& grant) {
  Json msg = accept.toJSONModel();
  msg["pack"] = 1;  // small files may come several to a data frame
  msg["took"] = task->took;  // the entries read, which a source that sent them in parts checks
  tellSum(msg, task->sum);
  if (grant.is_object()) msg["lan"] = grant;
  if (!core_.send(task, QStringLiteral("accept"), msg))
    core_.fail(task, QStringLiteral("the peer link is not open"), false, TransferReason::Gone);
}

// The bytes are written and hashed on a worker, in order. Chunks are
// acknowledged as they arrive while few wait for the disk, and as they are
// written beyond that, so that what waits stays bounded.
void TransferSink::onData(const TaskPtr& task, qint64 index, qint64 offset, QByteArrayView bytes,
                          const QByteArray& owner) {
  ++task->taken;
  task->takenBytes += bytes.size();
  // A source that keeps to the window never has more chunks unacknowledged.
  if (task->taken > task->acked + kTransferWindow)
    return core_.fail(task, QStringLiteral("the peer sent more than was acknowledged"), true);
  // The buffer the chunk arrived in is kept rather than copied.
  QByteArrayView view;
  const QByteArray keep = keeperOf(bytes, owner, &view);
  if (index == qint64(protocol::kPackedFiles)) {
    if (!takePacked(task, offset, view, keep)) return;
  } else {
    inTurn(task, [this, index, offset, view, keep](const TaskPtr& t) { return writeChunk(t, index, offset, view, keep); },
           view.size());
  }
  if (isActive(task)) acknowledge(task);
}

bool TransferSink::takePacked(const TaskPtr& task, qint64 count, QByteArrayView payload, const QByteArray& owner) {
  const auto files = protocol::decodePackedFiles(payload, quint64(count), sumBytes(task->sum));
  if (!files) {
    core_.fail(task, QStringLiteral("a malformed data frame"), true);
    return false;
  }
  for (size_t i = 0; i < files->size() && isActive(task); ++i) {
    const protocol::PackedFile file = (*files)[i];
    const bool endsChunk = i + 1 == files->size();
    inTurn(task,
           [this, file, owner, endsChunk](const TaskPtr& t) {
             const SinkStep step = writeChunk(t, file.file, 0, file.bytes, owner, endsChunk);
             if (step != SinkStep::Done) return step;
             return commitWhole(t, file.file, file.bytes.size(), QString::fromLatin1(file.digest.toByteArray().toHex()));
           },
           file.bytes.size());
  }
  return isActive(task);
}

void TransferSink::inTurn(const TaskPtr& task, std::function<SinkStep(const TaskPtr&)> step, qint64 bytes) {
  if (task->held.empty() && step(task) != SinkStep::Wait) return;
  if (!isActive(task)) return;
  task->held.push_back(TransferTask::Held{std::move(step), bytes});
  task->heldBytes += bytes;
}

void TransferSink::resumeHeld() {
  for (const TaskPtr& task : core_.all())
    if (task->role == TransferRole::Sink && isActive(task) && !task->held.empty()) runHeld(task);
}

void TransferSink::runHeld(const TaskPtr& task) {
  while (isActive(task) && !task->held.empty()) {
    // Taken out while it runs: a step that ends the task clears the queue.
    auto step = std::move(task->held.front().step);
    const SinkStep outcome = step(task);
    if (!isActive(task)) return;
    if (outcome == SinkStep::Wait) {
      task->held.front().step = std::move(step);
      return;
    }
    task->heldBytes -= task->held.front().bytes;
    task->held.pop_front();
  }
}

void TransferSink::acknowledge(const TaskPtr& task) {
  const qint64 count = std::min(task->taken, task->stored + kTransferWindow);
  if (count <= task->acked) return;
  task->acked = count;
  task->keptTold = task->done;
  core_.send(task, QStringLiteral("ack"), XferAck{count, task->takenBytes, task->done}.toJSONModel());
}

void TransferSink::tellKept(const TaskPtr& task) {
  if (!task->startedByPeer() || task->keptDue || task->keptTold >= task->done) return;
  task->keptDue = true;
  std::weak_ptr<TransferTask> weak = task;
  QTimer::singleShot(0, core_.context(), [this, weak] {
    const TaskPtr t = weak.lock();
    if (!t) return;
    t->keptDue = false;
    if (!isActive(t) || t->keptTold >= t->done) return;
    t->keptTold = t->done;
    core_.send(t, QStringLiteral("ack"), XferAck{t->acked, t->takenBytes, t->done}.toJSONModel());
  });
}

SinkStep TransferSink::openFile(const TaskPtr& task, qint64 index) {
  if (index < 0 || index >= task->entries.size() || task->entries[index].isDir || task->skipped.contains(index)) {
    core_.fail(task, QStringLiteral("data for an entry that was not accepted"), true);
    return SinkStep::Failed;
  }
  if (index == task->current && task->out) return SinkStep::Done;
  if (task->out || index <= task->current) {
    core_.fail(task, QStringLiteral("data out of order"), true);
    return SinkStep::Failed;
  }
  // A place among the open files first; without one the file waits.
  FileSlots::SlotPtr slot = core_.sinkFiles().take(task->openFiles);
  if (!slot) return SinkStep::Wait;
  const TransferEntry& entry = task->entries[index];
  task->current = index;
  task->currentBytes = 0;
  ++task->currentOrdinal;
  if (task->opened.size() < size_t(task->entries.size())) task->opened.resize(size_t(task->entries.size()));
  task->opened[size_t(index)] = true;
  QString why;
  // The entry's folder, opened beneath the root once more when it is not
  // the folder of the file before it: what the check found is what is
  // written into, whatever a path there became meanwhile.
  const QString folderRel = joined(task->rootRel, parentRel(entry.rel));
  if (!task->folder || folderRel != task->folderRel) {
    task->folder = std::make_shared<const beneath::Fd>(
        beneath::open(task->rootFolder->get(), folderRel, O_RDONLY | O_DIRECTORY));
    task->folderRel = folderRel;
  }
  task->out = SinkFile::create(task->folder, task->xid, index, task->sum, std::move(slot), &why);
  task->accepted = 0;
  if (!task->writes) task->writes = std::make_unique<SerialJobs>(core_.context());
  if (!task->out) {
    core_.fail(task, QStringLiteral("cannot write ") + entry.rel + QStringLiteral(": ") + why, true, TransferReason::Disk);
    return SinkStep::Failed;
  }
  return SinkStep::Done;
}

SinkStep TransferSink::writeChunk(const TaskPtr& task, qint64 index, qint64 offset, QByteArrayView bytes,
                                  const QByteArray& owner, bool endsChunk) {
  if (const SinkStep opened = openFile(task, index); opened != SinkStep::Done) return opened;
  const TransferEntry& entry = task->entries[index];
  if (offset != task->accepted) {
    core_.fail(task, QStringLiteral("data out of order"), true);
    return SinkStep::Failed;
  }
  if (task->accepted + bytes.size() > entry.size) {
    core_.fail(task, entry.rel + QStringLiteral(": more data than announced"), true);
    return SinkStep::Failed;
  }
  task->accepted += bytes.size();
  std::weak_ptr<TransferTask> weak = task;
  // The worker gets a shared reference to the arrived buffer, not a copy.
  QByteArrayView view;
  const QByteArray keep = keeperOf(bytes, owner, &view);
  task->writes->post([file = task->out, keep, view] { return file->write(view); },
                     [this, weak, index, endsChunk, size = bytes.size()](bool ok) {
                       const TaskPtr t = weak.lock();
                       if (!isActive(t)) return;
                       if (!ok)
                         return core_.fail(t, QStringLiteral("cannot write ") + t->entries[index].rel, true,
                                           TransferReason::Disk);
                       if (index == t->current) t->currentBytes += size;
                       t->bytesDone += size;
                       if (endsChunk) ++t->stored;
                       acknowledge(t);
                     });
  return SinkStep::Done;
}

// The source has sent a whole file: it is checked, synced and renamed into
// place, or the transfer fails and nothing stays under its name.
void TransferSink::onSum(const TaskPtr& task, const Json& msg) {
  inTurn(task, [this, index = intOf(msg, "i"), size = intOf(msg, "s"), sum = textOf(msg, "h")](const TaskPtr& t) {
    if (const SinkStep opened = openFile(t, index); opened != SinkStep::Done) return opened;
    return commitWhole(t, index, size, sum);
  });
}

SinkStep TransferSink::commitWhole(const TaskPtr& task, qint64 index, qint64 size, const QString& sum) {
  const TransferEntry& entry = task->entries[index];
  if (size != entry.size) {
    core_.fail(task, entry.rel + QStringLiteral(": the size does not match"), true);
    return SinkStep::Failed;
  }
  commit(task, index, sum, nullptr);
  return SinkStep::Done;
}

void TransferSink::commit(const TaskPtr& task, qint64 index, const QString& sum, LanFileSink::Kept after) {
  const TransferEntry& entry = task->entries[index];
  const QByteArray dest = QFile::encodeName(lastComponent(entry.rel));
  ++task->committing;
  std::weak_ptr<TransferTask> weak = task;
  auto once = std::make_shared<KeptOnce>();
  once->kept = std::move(after);
  once->context = core_.context();
  auto committed = [this, weak, index, rel = entry.rel, once](const QString& why, bool renamed) {
    const LanFileSink::Kept after = once->take();
    const TaskPtr t = weak.lock();
    if (t) --t->committing, t->committingFiles.remove(index);
    if (!isActive(t)) {
      if (after) after(QStringLiteral("the transfer ended"));
      return;
    }
    // Syncing or renaming failed ("cannot ..."): the disk; else the content did not match.
    if (!why.isEmpty())
      core_.fail(t, rel + QStringLiteral(": ") + why, true,
                 why.startsWith(QLatin1String("cannot ")) ? TransferReason::Disk : TransferReason::Failed);
    else ++t->done, t->renamed += renamed ? 1 : 0, tellKept(t);
    if (after) after(why);
    if (isActive(t) && t->doneReceived && t->committing == 0) finish(t);
  };
  // Checked and committed after the file's last write; the next file may
  // arrive meanwhile. A task that ends first drops the file, which removes it.
  auto file = std::make_shared<std::shared_ptr<SinkFile>>(std::move(task->out));
  task->committingFiles.insert(index, *file);
  task->writes->post([] { return true; },
                     [this, weak, file, size = entry.size, sum, dest, committed](bool) {
                       const TaskPtr t = weak.lock();
                       if (!isActive(t)) {
                         (*file)->discard();
                         return committed(QStringLiteral("the transfer ended"), false);
                       }
                       SinkFile::commit(std::move(*file), size, sum, dest, t->replace, core_.context(), committed);
                     });
}

// A file that arrives over the local-network route: opened with its first
// bytes (or at the end when it is empty), committed like a relayed one.
class RouteFile : public LanFileSink {
 public:
  RouteFile(TransferSink& sink, const TaskPtr& task, qint64 index) : sink_(sink), task_(task), index_(index) {}
  ~RouteFile() override {
    const TaskPtr t = task_.lock();
    if (!finished_ && t && t->current == index_ && t->out) TransferCore::discardPartial(t);
  }
  bool write(QByteArrayView bytes, const QByteArray& owner) override {
    const TaskPtr t = task_.lock();
    if (!isActive(t)) return false;
    QByteArrayView view;
    const QByteArray keep = keeperOf(bytes, owner, &view);
    // The step may run after this object is gone.
    sink_.inTurn(t,
                 [sink = &sink_, index = index_, view, keep](const TaskPtr& task) {
                   const qint64 offset = task->current == index && task->out ? task->accepted : 0;
                   return sink->writeChunk(task, index, offset, view, keep);
                 },
                 view.size());
    return isActive(t);
  }
  // Bytes taken but not yet on disk, or still waiting for a place among the
  // open files: the route stops reading beyond a bound.
  qint64 pending() const override {
    const TaskPtr t = task_.lock();
    if (!t) return 0;
    return t->heldBytes + (t->current == index_ && t->out ? t->accepted - t->currentBytes : 0);
  }
  void finish(const lan::Digest& digest, Kept kept) override {
    finished_ = true;
    const TaskPtr t = task_.lock();
    if (!isActive(t)) return kept(QStringLiteral("the transfer ended"));
    // A digest of another kind than agreed matches nothing.
    const QString sum = digest.label == sumName(t->sum) ? QString::fromLatin1(digest.bytes.toHex()) : QString();
    // Told once whatever happens: also when the transfer ends while the file
    // waits for a place among the open files.
    auto once = std::make_shared<KeptOnce>();
    once->kept = std::move(kept);
    once->context = sink_.core_.context();
    sink_.inTurn(t, [sink = &sink_, index = index_, sum, once](const TaskPtr& task) {
      const SinkStep opened = sink->openFile(task, index);
      if (opened == SinkStep::Wait) return opened;
      const Kept kept = once->take();
      if (opened == SinkStep::Failed) {
        kept(QStringLiteral("the transfer ended"));
        return opened;
      }
      sink->commit(task, index, sum, kept);
      return SinkStep::Done;
    });
  }
  TransferReason endedWith() const override {
    const TaskPtr t = task_.lock();
    return !t ? TransferReason::Gone : isActive(t) ? TransferReason::None : t->reason;
  }

 private:
  TransferSink& sink_;
  std::weak_ptr<TransferTask> task_;
  qint64 index_;
  bool finished_ = false;
};

std::unique_ptr<LanFileSink> TransferSink::routeFile(const TaskPtr& task, qint64 index) {
  return std::make_unique<RouteFile>(*this, task, index);
}

// An offered file the source could not open or read. One it may not read
// ("unread") leaves the counts and is counted as such (a download's host
// refused it); any other went missing there and counts as not transferred.
// Only a file not yet whole here: one in place or being committed stays.
void TransferSink::onSkip(const TaskPtr& task, const Json& msg) {
  inTurn(task, [index = intOf(msg, "i"), why = textOf(msg, "why").left(kMaxShownWhy),
                unread = intOf(msg, "unread") == 1](const TaskPtr& t) {
    const bool opened = size_t(index) < t->opened.size() && t->opened[size_t(index)];
    if (index < 0 || index >= t->entries.size() || t->entries[index].isDir || t->skipped.contains(index) ||
        (opened && !(index == t->current && t->out)))
      return SinkStep::Done;
    if (index == t->current) TransferCore::discardPartial(t);
    t->skipped.insert(index);
    const QString words = why.isEmpty() ? QStringLiteral("the sender could not read it") : why;
    if (!unread) {
      t->fileEnded(shownName(t->entries[index].rel) + QStringLiteral(": ") + words, TransferReason::Source);
    } else {
      if (t->kind == TransferKind::Download) t->refuse(unreadWords(words));
      else t->leaveOut(unreadWords(words));
      t->dropOffered(index);
    }
    return SinkStep::Done;
  });
}

void TransferSink::onDone(const TaskPtr& task) {
  inTurn(task, [this](const TaskPtr& t) {
    TransferCore::discardPartial(t);
    t->doneReceived = true;
    if (t->committing == 0) finish(t);
    return SinkStep::Done;
  });
}

void TransferSink::finish(const TaskPtr& task) {
  // Every offered file that is not in place counts as not transferred.
  task->failed = task->fileCount - task->done;
  task->markEnded(TransferState::Finished);
  Json note = XferNote{-1, task->done, task->failed, task->failed > 0 ? task->fileWhy : QString()}.toJSONModel();
  note["renamed"] = task->renamed;
  if (task->failed > 0 && task->fileReason != TransferReason::None)
    note["code"] = protocol::reasonCode(task->fileReason).toStdString();
  core_.send(task, QStringLiteral("finished"), note);
  TransferCore::releaseFolders(task);
  zlog::parts(QStringLiteral("Vantrel - transfer received:"), task->xid, QString::number(task->done),
              QStringLiteral("files"));
  core_.forgetIfServing(task);
}

}  // namespace vantrel
