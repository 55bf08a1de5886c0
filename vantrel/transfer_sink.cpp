#include "transfer_sink.h"

#include "core/log.h"

#include <QDir>
#include <QFileInfo>

#include <cstdio>

namespace vantrel {

namespace {

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

}  // namespace

Json TransferSink::startDownload(const QString& session, const QString& folder, const QStringList& targets) {
  const TaskPtr task = core_.newTask(session, TransferRole::Sink, TransferKind::Download);
  task->root = folder;
  zlog::parts(QStringLiteral("Vantrel - download into"), folder);
  if (targets.isEmpty()) {
    core_.fail(task, QStringLiteral("nothing to download"), false);
  } else if (folder.isEmpty() || !QDir().mkpath(folder) || !QFileInfo(folder).isDir()) {
    core_.fail(task, QStringLiteral("the download folder cannot be used"), false);
  } else if (!core_.send(task, QStringLiteral("pull"), XferPull{targets}.toJSONModel())) {
    core_.fail(task, QStringLiteral("the peer link is not open"), false);
  }
  if (task->state == TransferState::Failed) return TransferAck{0, false, task->why}.toJSONModel();
  return TransferAck{}.toJSONModel();
}

void TransferSink::onPush(const QString& session, const QString& xid, const Json& msg) {
  if (core_.contains(xid) || !core_.admit(session, xid)) return;
  const QString mode = textOf(msg, "mode");
  const bool isSend = mode == QLatin1String("send");
  const TaskPtr task = core_.newTask(session, TransferRole::Sink, isSend ? TransferKind::Send : TransferKind::Upload, xid);
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
                      if (answer.isEmpty() || answer == QLatin1String("0") || answer == QLatin1String("2"))
                        return core_.cancel(t, QStringLiteral("the receiver has not accepted"), true);
                      if (!QDir().mkpath(answer))
                        return core_.fail(t, QStringLiteral("the receive folder cannot be used"), true);
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
  core_.askClient(session, QStringLiteral("fileUploadCheck"), Json{{"dir", root.toStdString()}, {"fileList", names}},
                  [this, weak, msg, root](const std::optional<Json>& reply) {
                    const TaskPtr t = weak.lock();
                    if (!isActive(t)) return;
                    const Json info = reply ? valueOf(*reply, "data") : Json();
                    if (intOf(info, "valid") != 1 || !QFileInfo(root).isDir())
                      return core_.fail(t, QStringLiteral("the host refused the folder"), true);
                    t->root = root;
                    takeOffer(t, msg, false);
                  });
}

void TransferSink::onManifest(const TaskPtr& task, const Json& msg) {
  if (task->state != TransferState::Starting || task->kind != TransferKind::Download) return;
  task->failed += intOf(msg, "refused");
  const Json entries = valueOf(msg, "entries");
  if ((!entries.is_array() || entries.empty()) && task->failed > 0)
    return core_.fail(task, QStringLiteral("the host refused the download"), true);
  takeOffer(task, msg, false);
}

bool TransferSink::prepareEntry(const TaskPtr& task, TransferEntry& entry, bool absolutePath) {
  const auto rel = absolutePath ? relativeInside(task->root, entry.rel) : safeRelativePath(entry.rel);
  if (!rel) return false;
  entry.rel = *rel;
  if (entry.isDir) return ensureFolderInside(task->root, *rel);
  if (!ensureFolderInside(task->root, parentRel(*rel))) return false;
  const QFileInfo dest(task->root + QLatin1Char('/') + *rel);
  return !(dest.isDir() && !dest.isSymLink());
}

void TransferSink::takeOffer(const TaskPtr& task, const Json& offer, bool absolutePaths) {
  const Json entries = valueOf(offer, "entries");
  XferAccept accept;
  if (entries.is_array()) {
    if (entries.size() > size_t(kTransferMaxEntries)) return core_.fail(task, QStringLiteral("too many entries"), true);
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
  task->state = TransferState::Running;
  if (!core_.send(task, QStringLiteral("accept"), accept.toJSONModel()))
    core_.fail(task, QStringLiteral("the peer link is not open"), false);
}

void TransferSink::onData(const TaskPtr& task, const Json& msg) {
  const qint64 index = intOf(msg, "i");
  const qint64 offset = intOf(msg, "o");
  const bool last = valueOf(msg, "e").is_boolean() && valueOf(msg, "e").get<bool>();
  const Json& chunk = msg.contains("b") ? msg["b"] : Json();
  if (!chunk.is_string()) return core_.fail(task, QStringLiteral("a data chunk is damaged"), true);
  const std::string& text = chunk.get_ref<const std::string&>();
  const auto decoded = QByteArray::fromBase64Encoding(QByteArray::fromRawData(text.data(), qsizetype(text.size())),
                                                      QByteArray::AbortOnBase64DecodingErrors);
  ++task->taken;
  if (!decoded) return core_.fail(task, QStringLiteral("a data chunk is damaged"), true);
  if (!writeChunk(task, index, offset, decoded.decoded)) return;
  if (last) finishFile(task);
  core_.send(task, QStringLiteral("ack"), XferAck{task->taken}.toJSONModel());
}

bool TransferSink::writeChunk(const TaskPtr& task, qint64 index, qint64 offset, QByteArrayView bytes) {
  if (index < 0 || index >= task->entries.size() || task->entries[index].isDir || task->skipped.contains(index)) {
    core_.fail(task, QStringLiteral("data for an entry that was not accepted"), true);
    return false;
  }
  const TransferEntry& entry = task->entries[index];
  if (index != task->current) {
    if (task->out) {
      core_.fail(task, QStringLiteral("data out of order"), true);
      return false;
    }
    task->current = index;
    task->currentBytes = 0;
    task->written = 0;
    ++task->currentOrdinal;
    const QString dir = task->root + QLatin1Char('/') + parentRel(entry.rel);
    task->tempPath = QDir(dir).filePath(QStringLiteral(".zkpart-%1-%2").arg(task->xid.left(8)).arg(index));
    task->out = std::make_unique<QFile>(task->tempPath);
    if (!task->out->open(QIODevice::WriteOnly | QIODevice::Truncate)) {
      core_.fail(task, QStringLiteral("cannot write ") + entry.rel, true);
      return false;
    }
  }
  if (!task->out || offset != task->written) {
    core_.fail(task, QStringLiteral("data out of order"), true);
    return false;
  }
  if (task->out->write(bytes.data(), bytes.size()) != bytes.size()) {
    core_.fail(task, QStringLiteral("cannot write ") + entry.rel, true);
    return false;
  }
  task->written += bytes.size();
  task->currentBytes = task->written;
  task->bytesDone += bytes.size();
  return true;
}

void TransferSink::finishFile(const TaskPtr& task) {
  const QString dest = task->root + QLatin1Char('/') + task->entries[task->current].rel;
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

void TransferSink::onSkip(const TaskPtr& task, const Json& msg) {
  const qint64 index = intOf(msg, "i");
  if (index == task->current) TransferCore::discardPartial(task);
  if (index >= 0 && index < task->entries.size() && !task->skipped.contains(index)) {
    task->skipped.insert(index);
    ++task->failed;
  }
}

void TransferSink::onDone(const TaskPtr& task) {
  TransferCore::discardPartial(task);
  task->state = TransferState::Finished;
  core_.send(task, QStringLiteral("finished"), XferNote{-1, task->done, task->failed, QString()}.toJSONModel());
  zlog::parts(QStringLiteral("Vantrel - transfer received:"), task->xid, QString::number(task->done),
              QStringLiteral("files"));
  core_.forgetIfServing(task);
}

}  // namespace vantrel
