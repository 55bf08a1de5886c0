#include "transfer_lan.h"

#include "lan_addresses.h"
#include "transfer/transfer_sink.h"
#include "transfer/transfer_source.h"

#include "core/log.h"

#include <QTimer>

#include <algorithm>

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
    listener_->setOpenSink([this](const QString& session, const QString& xid, qint64 index, qint64 size, QString* why,
                                  TransferReason* reason) { return openUpload(session, xid, index, size, why, reason); });
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
  Json urls = Json::array();
  for (const QString& url : listener_->urls()) urls.push_back(url.toStdString());
  return Json{{"url", listener_->url().toStdString()},
              {"urls", urls},
              {"fp", listener_->fingerprint().toStdString()},
              {"cap", capability.toStdString()}};
}

bool TransferLan::fetching(const TransferTask& task) const {
  return listener_ && listener_->capabilities().used(task.xid);
}

QStringList lanUrlsOf(const Json& grant) {
  QStringList urls;
  const Json& list = valueOf(grant, "urls");
  if (list.is_array())
    for (const Json& url : list) urls.append(asText(url));
  // A grant of a bridge that announces one address.
  if (urls.isEmpty()) urls.append(textOf(grant, "url"));
  return followableLanUrls(urls);
}

quint16 lanPortOf(const Json& grant) {
  QString url = textOf(grant, "url");
  if (url.isEmpty()) url = lanUrlsOf(grant).value(0);
  quint16 port = 0;
  return followableLanUrl(url, nullptr, &port) ? port : 0;
}

void TransferLan::fetch(const TaskPtr& task, const Json& grant, Moved then) { start(task, grant, false, then); }
void TransferLan::push(const TaskPtr& task, const Json& grant, Moved then) { start(task, grant, true, then); }

void TransferLan::start(const TaskPtr& task, const Json& grant, bool push, Moved then) {
  if (!following_) return then(false);
  // Decided before any connection: only the local networks this bridge is
  // on, and only the route's port.
  const QStringList urls = dialableLanUrls(lanUrlsOf(grant), lanPortOf(grant), systemInterfaces(), loopback_);
  const QString fingerprint = textOf(grant, "fp");
  const QString capability = textOf(grant, "cap");
  if (urls.isEmpty() || fingerprint.isEmpty() || capability.isEmpty()) return then(false);
  drop(task->xid);
  Run run;
  run.task = task;
  run.push = push;
  run.then = std::move(then);
  run.urls = urls;
  run.target = {QString(), fingerprint, capability, task->session, task->xid, task->sum};
  run.since.start();
  connectNext(run);
  runs_.insert(task->xid, run);
  zlog::parts(QStringLiteral("Vantrel - transfer over the local network:"), task->xid);
  step(task->xid);
}

bool TransferLan::connectNext(Run& run) {
  const qsizetype left = run.urls.size() - run.tried;
  const qint64 budget = LanClient::kConnectTimeoutMs - run.since.elapsed();
  if (left <= 0 || budget < kLeastConnectMs) return false;
  LanClient* const old = run.client;
  // The addresses share the handshake time: one that does not answer holds
  // up the next ones only for its part.
  LanClient::Target target = run.target;
  target.url = run.urls[run.tried++];
  target.connectTimeoutMs = int(budget / left);
  run.client = new LanClient(target);
  // Ended once the new one is in place, so that its fetches' callbacks are
  // known to be stale; possibly inside one of them.
  if (old) old->abort(), old->deleteLater();
  if (run.push) {
    std::weak_ptr<TransferTask> weak = run.task;
    run.client->setProgress([weak](qint64 bytes) {
      if (const TaskPtr t = weak.lock()) t->bytesDone += bytes, t->currentBytes += bytes;
    });
    run.client->setBegun([weak](qint64 index) {
      if (const TaskPtr t = weak.lock()) t->current = index, t->currentBytes = 0, ++t->currentOrdinal;
    });
    run.client->setSkipped([this, xid = run.target.xid](qint64 index, const QString& why, bool unread) {
      onFileSkipped(xid, index, why, unread);
    });
  }
  return true;
}

// As over the relay: the host hears "skip" and the rest goes on; the run goes
// on once out of the client's call (which may come from inside step()).
void TransferLan::onFileSkipped(const QString& xid, qint64 index, const QString& why, bool unread) {
  const auto it = runs_.find(xid);
  if (it == runs_.end()) return;
  const TaskPtr task = it->task.lock();
  if (!isActive(task)) return;
  --it->running;
  skipOffered(core_, task, index, why, unread);
  QTimer::singleShot(0, core_.context(), [this, xid] { step(xid); });
}

void TransferLan::step(const QString& xid) {
  const auto it = runs_.find(xid);
  if (it == runs_.end()) return;
  const TaskPtr task = it->task.lock();
  if (!isActive(task)) return drop(xid);
  auto skipFolders = [&] {
    while (it->next < task->entries.size() &&
           (task->entries[it->next].isDir || task->skipped.contains(it->next)))
      ++it->next;
  };
  auto done = [this, xid, client = it->client](qint64 index) {
    return [this, xid, client, index](bool ok, bool reached, const QString& why) {
      onFileDone(xid, client, index, ok, reached, why);
    };
  };
  // Several requests in flight either way; files are still opened and
  // committed in entry order, as the answers arrive. The host made the
  // folders when it accepted.
  for (skipFolders(); it->next < task->entries.size() && (it->push ? it->client->canPut() : it->client->canFetch());
       skipFolders()) {
    const qint64 index = it->next++;
    const TransferEntry& entry = task->entries[index];
    ++it->running;
    if (it->push) it->client->put(index, entry.local, entry.size, done(index));
    else it->client->get(index, entry.size, sink_.routeFile(task, index), done(index));
    if (!runs_.contains(xid)) return;  // it failed at once
  }
  if (it->next >= task->entries.size() && it->running == 0) {
    const Moved then = it->then;
    drop(xid);
    return then(true);
  }
}

void TransferLan::onFileDone(const QString& xid, const LanClient* client, qint64 index, bool ok, bool reached,
                             const QString& why) {
  const auto it = runs_.find(xid);
  if (it == runs_.end()) return;
  if (client != it->client) return;  // the other fetches of an address given up already
  const TaskPtr task = it->task.lock();
  if (!isActive(task)) return drop(xid);
  if (ok) {
    it->movedAny = true;
    --it->running;
    // An upload's file is in place on the host once its answer came. The
    // host's acknowledgements over the relay count the same files: the count
    // is the larger of the two, never their sum.
    if (it->push) task->done = std::min(task->fileCount, std::max(task->done, ++it->answered));
    return step(xid);
  }
  if (!reached && !it->movedAny) {
    if (connectNext(*it)) {
      zlog::parts(QStringLiteral("Vantrel - local address not reachable, trying the next one:"), why);
      // Nothing moved yet: every request in flight starts again at the next address.
      it->running = 0;
      it->next = 0;
      return step(xid);
    }
    // No address answers: the relay carries everything.
    zlog::parts(QStringLiteral("Vantrel - local network not reachable, using the relay:"), why);
    const Moved then = it->then;
    const bool push = it->push;
    drop(xid);
    if (push) task->current = -1, task->currentBytes = 0, task->currentOrdinal = 0, task->bytesDone = 0;
    return then(false);
  }
  // The same reason as the relay would give for the cause; a file that
  // changed on the sending side is named as there.
  const TransferReason reason = client->failure() == TransferReason::None ? TransferReason::Failed : client->failure();
  // A host whose disk failed says so by its code, also to the uploads still
  // on their way, whose own answer only says that the transfer ended.
  const QString text = reason == TransferReason::Source && index >= 0 && index < task->entries.size()
                           ? task->entries[index].rel + QStringLiteral(": ") + why
                       : reason == TransferReason::Disk && it->push
                           ? QStringLiteral("the host's disk is full or the folder cannot be written")
                           : QStringLiteral("the local-network transfer failed: ") + why;
  drop(xid);
  core_.fail(task, text, true, reason);
}

void TransferLan::drop(const QString& xid) {
  const auto it = runs_.find(xid);
  if (it == runs_.end()) return;
  // Possibly called from inside the client's own callback.
  it->client->abort();
  it->client->deleteLater();
  runs_.erase(it);
}

void TransferLan::ended(const QString& xid, TransferReason reason) {
  if (listener_) listener_->endTransfer(xid, reason);
  drop(xid);
}

void TransferLan::sessionGone(const QString& session) {
  if (listener_) listener_->capabilities().revokeSession(session);
}

std::unique_ptr<LanFileSink> TransferLan::openUpload(const QString& session, const QString& xid, qint64 index,
                                                     qint64 size, QString* why, TransferReason* reason) {
  const TaskPtr task = core_.find(xid, session);
  if (!isActive(task) || task->role != TransferRole::Sink || task->kind != TransferKind::Upload ||
      task->state != TransferState::Running || index < 0 || index >= task->entries.size() ||
      task->entries[index].isDir || task->skipped.contains(index) || task->entries[index].size != size) {
    *why = QStringLiteral("no such upload is running");
    // An upload that ended here (cancelled, the disk) says why; else it is not there.
    *reason = task && !task->isActive() && task->reason != TransferReason::None ? task->reason : TransferReason::Gone;
    return nullptr;
  }
  return sink_.routeFile(task, index);
}

}  // namespace vantrel
