#include "transfer_engine.h"

#include "core/log.h"
#include "core/post_back.h"
#include "protocol/data_frame.h"

#include <QFileInfo>

namespace vantrel {

namespace {
QStringList splitTargets(const QString& text) { return text.split(QLatin1Char('|'), Qt::SkipEmptyParts); }
}  // namespace

TransferEngine::TransferEngine(SendPeer sendPeer, SendData sendData, AskClient askClient, QObject* parent)
    : QObject(parent),
      core_(this, std::move(sendPeer), std::move(sendData), std::move(askClient)),
      source_(core_),
      sink_(core_),
      lan_(core_, sink_) {
  source_.setLan(&lan_);
  sink_.setLan(&lan_);
  core_.setOnEnded([this](const QString& xid, TransferReason reason) { lan_.ended(xid, reason); });
  core_.sinkFiles().setOnFreed([this] { sink_.resumeHeld(); });
  core_.sourceFiles().setOnFreed([this] { source_.resumeWaiting(); });
}

TransferEngine::~TransferEngine() {
  for (const TaskPtr& task : core_.all()) TransferCore::discardPartial(task);
}

int TransferEngine::activeCount() const {
  int n = 0;
  for (const TaskPtr& task : core_.all())
    if (task->isActive()) ++n;
  return n;
}

void TransferEngine::sessionGone(const QString& session) {
  core_.dropSession(session, QStringLiteral("the peer link closed"));
  lan_.sessionGone(session);
}

void TransferEngine::allSessionsGone() { core_.dropAllSessions(QStringLiteral("the relay connection dropped")); }

void TransferEngine::endAll(const QString& why) {
  for (const TaskPtr& task : core_.all())
    if (task->isActive()) core_.cancel(task, why, true, TransferReason::Gone);
}

// ---- requests of the local client ------------------------------------------

Json TransferEngine::startDownload(const Json& data) {
  return sink_.startDownload(textOf(data, "Session"), textOf(data, "SaveAtLocalFolder"),
                             splitTargets(textOf(data, "Targets")));
}

Json TransferEngine::downloadProgress(const QString& session) {
  return core_.recordOf(session, EndedRecords::Download);
}

Json TransferEngine::cancelDownload(const QString& session) {
  const TaskPtr task = core_.latestDownload(session);
  if (!isActive(task)) return TransferAck{0, false, QStringLiteral("no download is running")}.toJSONModel();
  core_.cancel(task, QStringLiteral("cancelled by the user"), true);
  return TransferAck{}.toJSONModel();
}

void TransferEngine::startUpload(const Json& data, Answer answer) {
  const QString session = textOf(data, "Session");
  const QStringList targets = splitTargets(textOf(data, "Targets"));
  if (isActive(core_.latestUpload(session)))
    return answer(UploadStartReply{2, QStringLiteral("an upload is already running")}.toJSONModel());
  if (targets.isEmpty()) return answer(UploadStartReply{0, QStringLiteral("nothing to upload")}.toJSONModel());
  // The upload sheet's overwrite switch; a client that does not say replaces.
  const Json overwrite = valueOf(data, "Overwrite");
  source_.startUpload(session, targets, textOf(data, "RemotePathRoot"),
                      !(overwrite.is_boolean() && !overwrite.get<bool>()), std::move(answer));
}

void TransferEngine::startSend(const Json& data, Answer answer) {
  const QString session = textOf(data, "Session");
  if (isActive(core_.latestUpload(session)))
    return answer(TransferAck{0, false, QStringLiteral("a send is already running")}.toJSONModel());
  // Each entry carries the absolute place to save it at on the receiver.
  QList<QPair<QString, QString>> items;
  const Json list = valueOf(data, "FileList");
  if (list.is_array())
    for (const Json& item : list) items.append({textOf(item, "Path"), textOf(item, "PathSave")});
  source_.startSend(session, items, std::move(answer));
}

Json TransferEngine::uploadProgress(const QString& session) {
  return core_.recordOf(session, EndedRecords::Upload);
}

Json TransferEngine::cancelUpload(const QString& session) {
  const TaskPtr task = core_.latestUpload(session);
  if (!isActive(task)) return TransferAck{0, false, QStringLiteral("no upload is running")}.toJSONModel();
  core_.cancel(task, QStringLiteral("cancelled by the user"), true);
  return TransferAck{}.toJSONModel();
}

void TransferEngine::prepareUpload(const Json& data, Answer answer) {
  const QStringList targets = splitTargets(textOf(data, "Targets"));
  postback::run(nullptr, this, [targets] {
    Json items = Json::array();
    for (const QString& target : targets) {
      const QFileInfo info(target);
      if (!info.exists()) continue;
      const bool isDir = info.isDir() && !info.isSymLink();
      // The size of what can be sent; what this computer may not read is
      // counted apart, as the send will leave it out.
      WalkUnread unread;
      qint64 size = 0;
      for (const TransferEntry& e : walkLocal(target, QStringLiteral("x"), false, &unread)) size += e.size;
      items.push_back(
          PreparedItem{info.absoluteFilePath(), isDir, size, unread.count, boundedReason(unread.reason())}.toJSONModel());
    }
    return items;
  }, [answer](const Json& items) { answer(items); });
}

Json TransferEngine::resetReceive(const QString& session) {
  const TaskPtr task = core_.latestReceive(session);
  if (isActive(task)) core_.cancel(task, QStringLiteral("replaced by a new offer"), true);
  if (task) core_.forget(task);
  core_.forgetReceive(session);
  core_.refusedReceives().remove(session);
  return TransferAck{}.toJSONModel();
}

Json TransferEngine::cancelReceive(const QString& session) {
  core_.refusedReceives().insert(session);
  const TaskPtr task = core_.latestReceive(session);
  if (isActive(task)) core_.cancel(task, QStringLiteral("cancelled by the receiver"), true);
  return TransferAck{}.toJSONModel();
}

Json TransferEngine::receiveStatus(const QString& session) {
  return core_.recordOf(session, EndedRecords::Receive);
}

// ---- frames from the peer ------------------------------------------------------

void TransferEngine::onPeerFrame(const QString& session, const QString& op, const QString& xid, const Json& msg) {
  // A transfer id must fit the header of its data frames.
  if (xid.isEmpty() || xid.size() > kMaxXidSize) return;
  if (op == QLatin1String("pull")) return source_.onPull(session, xid, msg);
  if (op == QLatin1String("push")) return sink_.onPush(session, xid, msg);
  const TaskPtr task = core_.find(xid, session);
  if (!task) {
    if (op == QLatin1String("cancel") && textOf(msg, "mode") == QLatin1String("send"))
      sink_.onSendEndedUnoffered(session, xid, msg);
    return;
  }
  // While an offer's parts come, only its end is taken.
  if (task->partsIn && op != QLatin1String("cancel")) {
    zlog::parts(QStringLiteral("Vantrel - transfer frame before the offer was whole, dropped:"), zlog::excerpt(op));
    return;
  }
  if (op == QLatin1String("cancel")) {
    // The sink's count of the files it kept, when it says it; also when this
    // side ended the transfer first (the two cancels crossed), as a "kept"
    // answer would have told it.
    if (task->role == TransferRole::Source && task->state != TransferState::Finished && msg.is_object() &&
        msg.contains("kept"))
      task->done = std::clamp<qint64>(intOf(msg, "kept"), 0, task->fileCount), task->countSettled = true;
    const QString why = textOf(msg, "why");
    if (!task->startedByPeer()) task->hostReason = boundedReason(textOf(msg, "reason"));
    const bool wasActive = task->isActive();
    core_.cancel(task, why.isEmpty() ? QStringLiteral("cancelled by the peer") : why, false,
                 reasonOfCancelFrame(textOf(msg, "code")));
    // The source that ended the transfer hears how many files the sink kept.
    if (wasActive && task->role == TransferRole::Sink)
      core_.send(task, QStringLiteral("kept"), Json{{"kept", task->done}});
    return;
  }
  if (op == QLatin1String("kept")) {
    if (task->role == TransferRole::Source && !task->isActive())
      task->done = std::clamp<qint64>(intOf(msg, "kept"), 0, task->fileCount), task->countSettled = true;
    return;
  }
  const bool source = task->role == TransferRole::Source;
  // The sink's count of an upload that finished here once its files were in place.
  if (source && op == QLatin1String("finished") && task->state == TransferState::Finished && task->failed == 0)
    return source_.onFinished(task, msg);
  if (!task->isActive()) return;
  if (source && op == QLatin1String("accept")) return source_.onAccept(task, msg);
  if (source && op == QLatin1String("ack")) return source_.onAck(task, msg);
  if (source && op == QLatin1String("finished")) return source_.onFinished(task, msg);
  if (!source && op == QLatin1String("manifest")) return sink_.onManifest(task, msg);
  if (!source && op == QLatin1String("sum")) return sink_.onSum(task, msg);
  if (!source && op == QLatin1String("skip")) return sink_.onSkip(task, msg);
  if (!source && op == QLatin1String("done")) return sink_.onDone(task);
  zlog::parts(QStringLiteral("Vantrel - transfer frame out of place, dropped:"), zlog::excerpt(op));
}

void TransferEngine::onPeerData(const QString& session, const QString& xid, qint64 file, qint64 offset,
                                QByteArrayView bytes, const QByteArray& owner) {
  const TaskPtr task = core_.find(xid, session);
  if (file == qint64(protocol::kOfferPart) && isActive(task) && task->partsIn) return takePart(task, offset, bytes);
  if (task && task->isActive() && task->role == TransferRole::Sink && task->state == TransferState::Running)
    return sink_.onData(task, file, offset, bytes, owner);
  // A late chunk of a task that has ended here tells the sender to stop.
  if (!task || !task->isActive())
    core_.sendTo(session, QStringLiteral("cancel"), xid, cancelNote(QStringLiteral("no such transfer"), TransferReason::Gone));
}

void TransferEngine::takePart(const TaskPtr& task, qint64 index, QByteArrayView payload) {
  const auto whole = core_.takePart(task, index, payload);
  if (!whole) return;
  const auto& [op, msg] = *whole;
  if (op == QLatin1String("pull")) return source_.takePull(task, msg);
  if (op == QLatin1String("push")) return sink_.takePush(task, msg);
  if (op == QLatin1String("manifest")) return sink_.onManifest(task, msg);
}

void TransferEngine::resume(const QString& session) {
  for (const TaskPtr& task : core_.all()) {
    if (task->session != session) continue;
    if (!task->partsOut.empty()) core_.sendParts(task);
    if (task->role == TransferRole::Source && task->state == TransferState::Running) source_.resume(task);
  }
}

}  // namespace vantrel
