#include "transfer_source.h"

#include "lan/transfer_lan.h"
#include "pull_walk.h"

#include "core/log.h"
#include "core/post_back.h"
#include "protocol/data_frame.h"
#include "protocol/share_spot.h"


#include <fcntl.h>
#include <sys/stat.h>

namespace vantrel {

TransferSource::TransferSource(TransferCore& core) : core_(core) {
  acceptWatch_.setInterval(1000);
  QObject::connect(&acceptWatch_, &QTimer::timeout, core_.context(), [this] { endUntaken(); });
}

QList<XferEntry> wireEntries(const QList<TransferEntry>& entries) {
  QList<XferEntry> list;
  list.reserve(entries.size());
  for (const TransferEntry& e : entries) list.append(XferEntry{e.rel, e.size, e.isDir});
  return list;
}

void skipOffered(TransferCore& core, const TaskPtr& task, qint64 index, const QString& why, bool unread) {
  Json note = XferNote{index, 0, 0, why}.toJSONModel();
  if (unread) {
    note["unread"] = 1;  // an older sink counts it as not transferred
    task->leaveOut(unreadWords(why));
    task->dropOffered(index);
  }
  core.send(task, QStringLiteral("skip"), note);
}

void TransferSource::walkThen(const QList<QPair<QString, QString>>& targets, bool withFolders,
                              std::function<void(const QList<WalkedTarget>&)> done) {
  postback::run(nullptr, core_.context(), [targets, withFolders] {
    QList<WalkedTarget> walked;
    for (const auto& [path, name] : targets) {
      WalkedTarget target;
      target.entries = walkLocal(path, name, withFolders, &target.unread);
      walked.append(std::move(target));
    }
    return walked;
  }, [done](const QList<WalkedTarget>& walked) { done(walked); });
}

// The offer of an upload says whether it may replace files on the host; any
// offer, how much this side could not read and left out ("unread"), and its
// words for the first ("reason").
Json TransferSource::offerOf(const TransferTask& task, const QString& mode, const QString& root) {
  Json offer = XferOffer{mode, root, wireEntries(task.entries), 0}.toJSONModel();
  if (task.kind == TransferKind::Upload) offer["overwrite"] = task.replace;
  if (task.unread > 0) offer["unread"] = task.unread, offer["reason"] = task.unreadReason.toStdString();
  offerSums(offer);
  return offer;
}

namespace {
// The folders asked for, which the limit on entries does not count (as the
// host's walk of a folder counts what lies below it).
qint64 topFolders(const QList<WalkedTarget>& walked) {
  qint64 tops = 0;
  for (const WalkedTarget& found : walked)
    if (!found.entries.isEmpty() && found.entries.first().isDir) ++tops;
  return tops;
}
}  // namespace

// Counts what was walked into the task and offers it to the peer. What this
// computer may not read is left out and counted, with the system's words;
// when nothing could be read at all, the transfer fails with them.
void TransferSource::offerWalked(const TaskPtr& task, const QList<WalkedTarget>& walked, const QString& mode,
                                 const QString& root) {
  for (const WalkedTarget& target : walked) {
    if (target.unread.count > 0) task->leaveOut(boundedReason(target.unread.reason()), target.unread.count);
    else if (target.entries.isEmpty())
      ++task->failed, task->fileEnded(QStringLiteral("a file to send is missing"), TransferReason::Source);
    task->entries.append(target.entries);
  }
  for (const TransferEntry& e : std::as_const(task->entries))
    if (!e.isDir) ++task->fileCount, task->totalBytes += e.size;
  if (task->unread > 0)
    zlog::parts(QStringLiteral("Vantrel - left out, this computer may not read them:"), QString::number(task->unread),
                task->unreadReason);
  // A send's receiver has accepted it already and hears why it ends; an
  // upload's host has not heard of it yet.
  const bool tellPeer = task->kind == TransferKind::Send;
  if (task->entries.isEmpty() && task->unread > 0)
    core_.fail(task, QStringLiteral("this computer may not read it: ") + task->unreadReason, tellPeer,
               TransferReason::Source);
  else if (task->entries.isEmpty())
    core_.fail(task, QStringLiteral("nothing to transfer"), tellPeer, TransferReason::Source);
  else if (task->entries.size() - topFolders(walked) > kTransferMaxEntries)
    core_.fail(task, QStringLiteral("too many entries"), tellPeer);
  else
    core_.sendOffer(task, QStringLiteral("push"), offerOf(*task, mode, root), "entries");
}

void TransferSource::startUpload(const QString& session, const QStringList& targets, const QString& root,
                                 bool overwrite, Answer answer) {
  const TaskPtr task = core_.newTask(session, TransferRole::Source, TransferKind::Upload);
  task->replace = overwrite;
  QList<QPair<QString, QString>> walk;
  for (const QString& target : targets) walk.append({target, lastComponent(target)});
  std::weak_ptr<TransferTask> weak = task;
  walkThen(walk, true, [this, weak, root, answer](const QList<WalkedTarget>& walked) {
    const TaskPtr t = weak.lock();
    if (!isActive(t)) return answer(UploadStartReply{3, QStringLiteral("the peer link closed")}.toJSONModel());
    offerWalked(t, walked, QStringLiteral("upload"), root);
    if (t->state == TransferState::Failed) {
      Json failed = UploadStartReply{3, t->why}.toJSONModel();
      failed["Reason"] = protocol::reasonCode(t->reason).toStdString();
      failed["UnreadReason"] = t->unreadReason.toStdString();
      return answer(failed);
    }
    zlog::parts(QStringLiteral("Vantrel - upload into"), root);
    answer(UploadStartReply{1, QString()}.toJSONModel());
  });
}

void TransferSource::startSend(const QString& session, const QList<QPair<QString, QString>>& items, Answer answer) {
  const TaskPtr task = core_.newTask(session, TransferRole::Source, TransferKind::Send);
  std::weak_ptr<TransferTask> weak = task;
  walkThen(items, true, [this, weak, answer](const QList<WalkedTarget>& walked) {
    const TaskPtr t = weak.lock();
    if (!isActive(t)) return answer(TransferAck{0, false, QStringLiteral("the peer link closed")}.toJSONModel());
    offerWalked(t, walked, QStringLiteral("send"), QString());
    if (t->state == TransferState::Failed) return answer(TransferAck{0, false, t->why}.toJSONModel());
    answer(TransferAck{}.toJSONModel());
  });
}

// A download: every target goes past the host's own check before anything
// is walked; only a folder the check found is walked (bounded), and each file
// found in it is checked again. The peer learns how many paths were refused
// or could not be opened, and the host's words for the first.
void TransferSource::onPull(const QString& session, const QString& xid, const Json& msg) {
  if (core_.contains(xid) || !core_.admit(session, xid)) return;
  const Json targets = valueOf(msg, "targets");
  // Everything it holds counts against its account's and the bridge's bounds
  // until the peer takes the offer; one without room is turned away before it
  // does anything.
  std::shared_ptr<PullHold> hold = core_.pullHolds().open(core_.accountOf(session));
  if (targets.is_array() && targets.size() <= size_t(kTransferMaxEntries) &&
      !core_.pullHolds().take(*hold, qint64(targets.size())))
    return core_.turnAway(session, xid);
  const TaskPtr task = core_.newTask(session, TransferRole::Source, TransferKind::Download, xid);
  core_.pullHolds().attach(*hold, task);
  task->pullHold = std::move(hold);
  if (core_.awaitsParts(task, QStringLiteral("pull"), msg, "targets", kTransferMaxEntries)) return;
  takePull(task, msg);
}

void TransferSource::takePull(const TaskPtr& task, const Json& msg) {
  const Json targets = valueOf(msg, "targets");
  if (targets.is_array()) {
    if (targets.size() > size_t(kTransferMaxEntries)) return core_.fail(task, QStringLiteral("too many entries"), true);
    // Targets that came in parts count now.
    if (task->pullHold && !core_.pullHolds().take(*task->pullHold, qint64(targets.size()) - task->pullHold->entries()))
      return core_.refuseBusy(task);
    task->took = qint64(targets.size());
    for (const Json& t : targets) {
      const QString path = asText(t);
      if (!path.isEmpty()) task->candidates.append(TransferEntry{lastComponent(path), 0, false, path});
    }
  }
  task->next = 0;
  task->lanAllowed = true;  // until a check says otherwise
  checkNext(task, true);
}

namespace {
QStringView folderOf(const QString& path) { return QStringView(path).left(std::max<qsizetype>(0, path.lastIndexOf(QLatin1Char('/')))); }
}  // namespace

// Asks the checks of the candidates, a few requests at a time; the files of
// one folder go in one request ("paths", answered by a list in the same
// order), at most kTransferCheckBatch, a lone file as "path". Targets that
// the check finds as files are taken; folders it found are walked afterwards.
void TransferSource::checkNext(const TaskPtr& task, bool targets) {
  while (isActive(task) && task->checksPending < kTransferClientAsksPerSession && task->next < task->candidates.size()) {
    const qint64 first = task->next;
    const QStringView folder = folderOf(task->candidates[first].local);
    qint64 end = first + 1;
    while (end < task->candidates.size() && end - first < kTransferCheckBatch &&
           folderOf(task->candidates[end].local) == folder)
      ++end;
    task->next = end;
    ++task->checksPending;
    Json ask;
    if (end - first == 1) {
      ask = Json{{"path", task->candidates[first].local.toStdString()}};
    } else {
      Json paths = Json::array();
      for (qint64 i = first; i < end; ++i) paths.push_back(task->candidates[i].local.toStdString());
      ask = Json{{"paths", std::move(paths)}};
    }
    std::weak_ptr<TransferTask> weak = task;
    core_.askClient(task->session, QStringLiteral("fileDownloadCheck"), ask,
                    [this, weak, first, end, targets](const std::optional<Json>& reply) {
                      const TaskPtr t = weak.lock();
                      if (!isActive(t)) return;
                      --t->checksPending;
                      // Never taken as a refusal: the host did not look.
                      if (!reply)
                        return core_.fail(t, QStringLiteral("the host's client did not answer a check"), true,
                                          TransferReason::Timeout);
                      const Json info = valueOf(*reply, "data");
                      if (end - first == 1) {
                        takeCheck(t, first, info, targets);
                      } else {
                        // An answer that is not one entry per path refuses them all.
                        const bool whole = info.is_array() && qint64(info.size()) == end - first;
                        for (qint64 i = first; i < end; ++i) takeCheck(t, i, whole ? info[size_t(i - first)] : Json(), targets);
                      }
                      checkNext(t, targets);
                    });
  }
  if (!isActive(task) || task->checksPending > 0 || task->next < task->candidates.size()) return;
  task->candidates.clear();
  if (targets && !task->folders.isEmpty()) return walkFolders(task);
  sendManifest(task);
}

void TransferSource::takeCheck(const TaskPtr& task, qint64 index, const Json& info, bool targets) {
  TransferEntry& entry = task->candidates[index];
  // Opened where the check found it, beneath its share; a share root already
  // verified for this task is not opened again.
  const QString shareId = textOf(info, protocol::ShareSpot::kId);
  if (const auto known = task->shareRoots.constFind(shareId); known != task->shareRoots.cend()) {
    entry.share = *known;
    entry.shareRel = textOf(info, protocol::ShareSpot::kRel);
  } else if ((entry.share = openCheckedRoot(info, &entry.shareRel))) {
    task->shareRoots.insert(shareId, entry.share);
  }
  beneath::Fd found;
  struct stat st {};
  if (entry.share) found = beneath::open(entry.share->get(), entry.shareRel, O_PATH);
  // The first check the host's client could not make gives the peer its words.
  const QString reason = boundedReason(textOf(info, "reason"));
  if (!found || ::fstat(found.get(), &st) != 0) {
    task->refuse(reason);
  } else if (intOf(info, "valid") == 1) {
    if (!lanAllowedBy(info)) task->lanAllowed = false;
    if (targets && S_ISREG(st.st_mode)) entry.size = st.st_size;
    if (S_ISREG(st.st_mode) && (targets || entry.size == st.st_size)) task->entries.append(entry);
    else task->refuse(reason);
  } else if (targets && intOf(info, "size") > 0 && S_ISDIR(st.st_mode) && reason.isEmpty()) {
    // A folder that the host's check can see: it answers "not a file" with
    // the folder's size.
    task->folders.append(entry);
  } else {
    task->refuse(reason);
  }
}

// The folders are walked in slices, in the turns of the peer's account
// (walk_turns.h); what each slice found counts at once against the pull's hold.
void TransferSource::walkFolders(const TaskPtr& task) {
  auto walk = std::make_shared<PullWalk>(std::exchange(task->folders, {}), kTransferMaxEntries - task->entries.size(),
                                         kTransferMaxDepth, kTransferMaxWalkMs, task->stop);
  auto counted = std::make_shared<qint64>(0);
  std::weak_ptr<TransferTask> weak = task;
  core_.walks().queue(
      core_.accountOf(task->session), task->stop,
      [walk](std::chrono::milliseconds slice) { return walk->step(slice); },
      [this, weak, walk, counted](bool complete) {
        const TaskPtr t = weak.lock();
        if (!isActive(t) || !t->pullHold) return false;
        const qint64 found = walk->found.size();
        if (!core_.pullHolds().take(*t->pullHold, found - *counted)) return core_.refuseBusy(t), false;
        *counted = found;
        if (!complete) return true;
        if (!walk->error.isEmpty()) return core_.fail(t, walk->error, true), false;
        // What the walk could not open counts as refused, with the system's words.
        if (walk->unread.count > 0) t->refuse(boundedReason(walk->unread.reason()), walk->unread.count);
        t->candidates = std::move(walk->found);
        zlog::parts(QStringLiteral("Vantrel - download asked for, files:"), QString::number(t->candidates.size()));
        t->next = 0;
        checkNext(t, false);
        return false;
      });
}

void TransferSource::endUntaken() {
  bool waiting = false;
  for (const TaskPtr& task : core_.all()) {
    if (task->state != TransferState::Starting || !task->pullHold || task->offeredAt < 0) continue;
    if (task->clock.elapsed() - task->offeredAt < offerWaitMs_) {
      waiting = true;
    } else if (lan_ && lan_->fetching(*task)) {
      // A peer fetching the files over the local-network route has taken them.
      task->pullHold.reset();
    } else {
      core_.fail(task, QStringLiteral("the peer did not take the offer in time"), true, TransferReason::Timeout);
    }
  }
  if (!waiting) acceptWatch_.stop();
}

void TransferSource::sendManifest(const TaskPtr& task) {
  // Answers may come back in any order; offer the files in walking order.
  std::sort(task->entries.begin(), task->entries.end(),
            [](const TransferEntry& a, const TransferEntry& b) { return a.rel < b.rel; });
  for (const TransferEntry& e : std::as_const(task->entries)) ++task->fileCount, task->totalBytes += e.size;
  task->next = 0;
  if (task->refused)
    zlog::parts(QStringLiteral("Vantrel - download: paths the host refused or could not open:"),
                QString::number(task->refusedCount));
  // "refused" counts them (an older sink reads only whether it is 0).
  Json manifest =
      XferOffer{QStringLiteral("download"), QString(), wireEntries(task->entries), task->refusedCount}.toJSONModel();
  if (task->refused && !task->hostReason.isEmpty()) manifest["reason"] = task->hostReason.toStdString();
  // The targets read from the pull, which a sink that sent them in parts checks.
  manifest["took"] = task->took;
  offerSums(manifest);
  // Until the peer takes it, the pull holds its entries, and not for long.
  if (task->pullHold) {
    core_.pullHolds().settle(*task->pullHold, task->entries.size());
    task->offeredAt = task->clock.elapsed();
    if (!acceptWatch_.isActive()) acceptWatch_.start();
  }
  if (lan_)
    if (const Json grant = lan_->offer(task); grant.is_object()) manifest["lan"] = grant;
  core_.sendOffer(task, QStringLiteral("manifest"), manifest, "entries");
}

void TransferSource::onAccept(const TaskPtr& task, const Json& msg) {
  if (task->state != TransferState::Starting) return;
  // An offer sent in parts is taken only by a sink that read them all; an
  // older one reads its head as an offer of nothing.
  if (task->sentInParts > 0 && (!task->partsOut.empty() || intOf(msg, "took") != task->sentInParts))
    return core_.fail(task, QStringLiteral("the receiving side cannot take this many entries"), true,
                      TransferReason::Refused);
  const Json skip = valueOf(msg, "skip");
  if (skip.is_array())
    for (const Json& i : skip)
      if (i.is_number_integer()) task->skipped.insert(i.get<qint64>());
  task->state = TransferState::Running;
  task->pullHold.reset();
  task->next = 0;
  task->peerPacks = intOf(msg, "pack") == 1;
  task->sum = toldSum(msg);
  const Json grant = valueOf(msg, "lan");
  if (lan_ && task->kind == TransferKind::Upload && grant.is_object()) {
    // Sent to the host's local-network address; the relay when it cannot
    // be reached.
    std::weak_ptr<TransferTask> weak = task;
    task->viaLan = true;
    return lan_->push(task, grant, [this, weak](bool pushed) {
      const TaskPtr t = weak.lock();
      if (!isActive(t)) return;
      t->viaLan = false;
      if (!pushed) return pump(t);
      t->allSent = true;
      core_.send(t, QStringLiteral("done"), XferNote{}.toJSONModel());
      // The host answered every file as in place: the upload has succeeded,
      // whatever becomes of the relay link now; its "finished" still counts.
      if (TransferCore::allInPlace(*t)) t->countSettled = true, core_.finishInPlace(t);
    });
  }
  pump(task);
}

void TransferSource::resumeWaiting() {
  for (const TaskPtr& task : core_.all())
    if (task->role == TransferRole::Source && task->waitsForFile) pump(task);
}

// Sends the chunks that the reader has ready while the window has room; the
// reader calls back as it reads more.
void TransferSource::pump(const TaskPtr& task) {
  if (task->viaLan) return;
  while (task->state == TransferState::Running && !task->allSent && task->sent - task->acked < kTransferWindow) {
    if (!task->packing.empty()) {
      if (!sendPacked(task)) return;
      continue;
    }
    if (!task->in) {
      while (task->next < task->entries.size() &&
             (task->entries[task->next].isDir || task->skipped.contains(task->next)))
        ++task->next;
      if (task->next >= task->entries.size()) {
        task->allSent = true;
        core_.send(task, QStringLiteral("done"), XferNote{}.toJSONModel());
        return;
      }
      if (task->peerPacks && task->entries[task->next].size < kTransferPackBelow) {
        if (!startPacked(task)) return;
        continue;
      }
      // A place among the open files first; pumped again once one is free.
      FileSlots::SlotPtr slot = core_.sourceFiles().take(task->openFiles);
      task->waitsForFile = !slot;
      if (!slot) return;
      const qint64 index = task->next++;
      task->current = index;
      task->currentBytes = 0;
      ++task->currentOrdinal;
      std::weak_ptr<TransferTask> weak = task;
      task->in = std::make_unique<SourceReader>(
          task->entries[index], task->sum, kTransferChunkBytes, core_.context(),
          [this, weak] {
            if (const TaskPtr t = weak.lock()) pump(t);
          },
          std::move(slot));
    }
    if (!task->in->hasChunk() || !core_.roomFor(task->session, kTransferChunkBytes + kTransferFrameOverhead)) return;
    const SourceReader::Chunk chunk = task->in->take();
    const TransferEntry& entry = task->entries[task->current];
    if (chunk.changed)
      return core_.fail(task, entry.rel + QStringLiteral(": ") + chunk.why, true, TransferReason::Source);
    if (!chunk.why.isEmpty()) {
      skipOffered(core_, task, task->current, chunk.why, chunk.unread);
      task->in.reset();
      continue;
    }
    if (!chunk.bytes.isEmpty()) {
      if (!core_.sendData(task, task->current, chunk.offset, chunk.bytes))
        return core_.fail(task, QStringLiteral("the peer link is not open"), false, TransferReason::Gone);
      task->inflight.push_back(TransferTask::Inflight{task->current, chunk.bytes.size(), chunk.last ? 1 : 0});
      ++task->sent;
    }
    // The whole file has been read: its size and checksum go after its bytes.
    if (chunk.last) {
      task->in.reset();
      if (!core_.send(task, QStringLiteral("sum"), XferSum{task->current, entry.size, chunk.sum}.toJSONModel()))
        return;
    }
  }
}

bool TransferSource::startPacked(const TaskPtr& task) {
  qint64 bytes = 0;
  while (task->next < task->entries.size() && int(task->packing.size()) < kTransferPackFiles) {
    const qint64 index = task->next;
    const TransferEntry& entry = task->entries[index];
    if (entry.isDir || task->skipped.contains(index)) {
      ++task->next;
      continue;
    }
    if (entry.size >= kTransferPackBelow || bytes + entry.size > kTransferChunkBytes) break;
    ++task->next;
    bytes += entry.size;
    // Opened, read whole and closed in one job on a worker.
    std::weak_ptr<TransferTask> weak = task;
    task->packing.emplace_back(index, std::make_unique<SourceReader>(entry, task->sum, kTransferChunkBytes,
                                                                      core_.context(), [this, weak] {
                                                                        if (const TaskPtr t = weak.lock()) pump(t);
                                                                      }));
  }
  return true;
}

bool TransferSource::sendPacked(const TaskPtr& task) {
  for (const auto& [index, reader] : task->packing)
    if (!reader->hasChunk()) return false;
  // A packed frame holds at most one chunk of file bytes and a header per file.
  if (!core_.roomFor(task->session, kTransferChunkBytes + kTransferFrameOverhead + kTransferPackFiles * kPackedFileHeader))
    return false;
  QByteArray payload;
  quint64 count = 0;
  qint64 bytes = 0, last = -1;
  const auto packing = std::exchange(task->packing, {});
  for (const auto& [index, reader] : packing) {
    const SourceReader::Chunk chunk = reader->take();
    const TransferEntry& entry = task->entries[index];
    if (chunk.changed) return core_.fail(task, entry.rel + QStringLiteral(": ") + chunk.why, true, TransferReason::Source), false;
    if (!chunk.why.isEmpty()) {
      skipOffered(core_, task, index, chunk.why, chunk.unread);
      continue;
    }
    protocol::appendPackedFile(payload, quint32(index), QByteArray::fromHex(chunk.sum.toLatin1()), chunk.bytes);
    ++count;
    bytes += chunk.bytes.size();
    last = index;
  }
  if (count == 0) return true;
  if (!core_.sendData(task, protocol::kPackedFiles, qint64(count), payload))
    return core_.fail(task, QStringLiteral("the peer link is not open"), false, TransferReason::Gone), false;
  task->current = last;
  task->currentBytes = 0;
  task->currentOrdinal += qint64(count);
  task->inflight.push_back(TransferTask::Inflight{last, bytes, qint64(count)});
  ++task->sent;
  return true;
}

// A chunk counts as taken only when the bytes the sink says it received
// ("b", when given) cover it.
void TransferSource::onAck(const TaskPtr& task, const Json& msg) {
  const qint64 count = intOf(msg, "c");
  const bool withBytes = msg.is_object() && msg.contains("b");
  const qint64 received = intOf(msg, "b");
  // A sink that counts the files it kept ("k") is taken at its word; an
  // older one's files count once their last bytes are acknowledged.
  const bool withKept = msg.is_object() && msg.contains("k");
  while (task->acked < count && !task->inflight.empty()) {
    const TransferTask::Inflight chunk = task->inflight.front();
    if (withBytes && task->ackedBytes + chunk.bytes > received) break;
    task->ackedBytes += chunk.bytes;
    task->inflight.pop_front();
    ++task->acked;
    task->bytesDone += chunk.bytes;
    if (chunk.index == task->current) task->currentBytes += chunk.bytes;
    if (!withKept) task->done = std::min(task->fileCount, task->done + chunk.files);
  }
  if (withKept) task->done = std::min(task->fileCount, std::max(task->done, intOf(msg, "k")));
  pump(task);
}

void TransferSource::onFinished(const TaskPtr& task, const Json& msg) {
  task->countSettled = true;
  // A task that finished here once its files were in place takes only the
  // count of those saved under a free name.
  if (task->state == TransferState::Finished) {
    task->renamed = std::clamp<qint64>(intOf(msg, "renamed"), 0, task->done);
    return;
  }
  // The sink counts every offered file that did not arrive.
  task->done = std::clamp<qint64>(intOf(msg, "done"), 0, task->fileCount);
  task->failed += std::clamp<qint64>(intOf(msg, "failed"), 0, task->fileCount - task->done);
  task->renamed = std::clamp<qint64>(intOf(msg, "renamed"), 0, task->done);
  // Why the first of the files that did not arrive ended early, as the sink says it.
  const TransferReason reason = protocol::reasonFromCode(textOf(msg, "code"));
  if (task->failed > 0)
    task->fileEnded(textOf(msg, "why").left(512), reason == TransferReason::None ? TransferReason::Failed : reason);
  task->in.reset();
  task->markEnded(TransferState::Finished);
  TransferCore::releaseFolders(task);
  zlog::parts(QStringLiteral("Vantrel - transfer finished:"), task->xid, QString::number(task->done),
              QStringLiteral("files"));
  core_.forgetIfServing(task);
}

}  // namespace vantrel
