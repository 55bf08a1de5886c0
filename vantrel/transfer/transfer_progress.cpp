#include "transfer_progress.h"

#include "core/util_system.h"

#include <algorithm>

namespace vantrel {

namespace {

QString rateText(double bytesPerSecond) {
  return UtilSystem::formatSize(quint64(std::max(0.0, bytesPerSecond))) + QStringLiteral("/s");
}

// The speed over the last half second or more, sampled when polled.
QString speedText(const TransferTask& task) {
  const qint64 now = task.clock.elapsed();
  if (now - task.sampleAt >= 500 || task.sampleAt == 0) {
    if (now > task.sampleAt)
      task.speed = double(task.bytesDone - task.sampleBytes) * 1000.0 / double(now - task.sampleAt);
    task.sampleAt = now;
    task.sampleBytes = task.bytesDone;
  }
  return rateText(task.speed);
}

// The task's rate over its bytes from its start to now, or to its end.
QString taskRateText(const TransferTask& task) {
  const qint64 ms = std::max<qint64>(1, task.endedAt >= 0 ? task.endedAt : task.clock.elapsed());
  return rateText(double(task.bytesDone) * 1000.0 / double(ms));
}

// The share of the task done: of a single file, that file's bytes; of more,
// the whole task's bytes (its files when they hold none).
double percentOf(const TransferTask& task, const TransferEntry& current) {
  double part = 1;
  if (task.fileCount > 1 && task.totalBytes > 0) part = double(task.bytesDone) / double(task.totalBytes);
  else if (task.fileCount > 1) part = double(task.done) / double(task.fileCount);
  else if (current.size > 0) part = double(task.currentBytes) / double(current.size);
  return std::clamp(100.0 * part, 0.0, 100.0);
}

}  // namespace

Json progressOf(const TaskPtr& task) {
  TransTaskProgress p;
  if (!task) {
    // Asked for after a start, so the bridge once had it: it restarted since,
    // or the record went.
    p.ForceCancel = 1;
    p.Reason = protocol::reasonCode(TransferReason::Unknown);
    p.WorkingSpeed = QString::fromLatin1(protocol::kUnknownTransferWords);
    return p.toJSONModel();
  }
  p.TotalTaskCount = task->fileCount;
  p.TotalTaskDoneCount = task->done;
  p.Renamed = task->renamed;
  p.Unread = task->unread;
  p.UnreadReason = task->unreadReason;
  if (task->current >= 0 && task->current < task->entries.size()) {
    const TransferEntry& e = task->entries[task->current];
    p.CurrentTaskFile = task->role == TransferRole::Source ? e.local : task->root + QLatin1Char('/') + e.rel;
    p.CurrentTaskFileSize = e.size;
    p.CurrentTaskPercent = percentOf(*task, e);
    p.WorkingIndex = task->currentOrdinal;
  }
  // Known once the files are counted, before any of them moves.
  if (task->fileCount > 0 || task->state == TransferState::Running || task->state == TransferState::Finished)
    p.TotalTaskSize = task->totalBytes;
  switch (task->state) {
    case TransferState::Starting:
    case TransferState::Running:
      p.CurrentTaskSpeed = speedText(*task);
      p.WorkingSpeed = taskRateText(*task);
      break;
    case TransferState::Finished: {
      p.TaskStatus = 1;
      p.CurrentTaskPercent = 100;
      p.WorkingSpeed = taskRateText(*task);
      if (task->failed > 0) {
        p.WorkingSpeed += QStringLiteral(", %1 not transferred").arg(task->failed);
        if (!task->fileWhy.isEmpty()) p.WorkingSpeed += QStringLiteral(" (") + task->fileWhy + QLatin1Char(')');
        if (task->fileReason != TransferReason::None) p.Reason = protocol::reasonCode(task->fileReason);
      }
      if (task->refused) p.WorkingSpeed += QStringLiteral(", %1 refused by the host").arg(task->refusedCount);
      if (task->refused) p.HostReason = task->hostReason;
      p.Refused = task->refusedCount;
      if (task->unread > 0)
        p.WorkingSpeed += (task->role == TransferRole::Source ? QStringLiteral(", %1 could not be read on this computer")
                                                                : QStringLiteral(", %1 the sender could not read"))
                              .arg(task->unread);
      break;
    }
    case TransferState::Cancelled:
    case TransferState::Failed:
      p.ForceCancel = 1;
      p.WorkingSpeed = task->why;
      p.Reason = protocol::reasonCode(task->reason);
      p.HostReason = task->hostReason;
      p.Refused = task->refusedCount;
      // The host kept files whose count did not reach this side: the count may
      // be short, never long.
      if (task->role == TransferRole::Source && task->kind != TransferKind::Download && !task->countSettled &&
          task->currentOrdinal > 0)
        p.WorkingSpeed += task->kind == TransferKind::Upload ? QStringLiteral(", the host's last count did not arrive")
                                                             : QStringLiteral(", the receiver's last count did not arrive");
      break;
  }
  return p.toJSONModel();
}

Json receiveStatusOf(const TaskPtr& task) {
  ReceiveStatus status;
  if (!task) return status.toJSONModel();
  const Json progress = progressOf(task);
  status.IsFinished = task->state == TransferState::Finished;
  status.IsCancel = task->state == TransferState::Cancelled || task->state == TransferState::Failed;
  status.Progress = progress.value("CurrentTaskPercent", 0.0);
  status.TotalCount = task->fileCount;
  status.TotalTaskDoneCount = task->done;
  status.Renamed = task->renamed;
  status.Unread = task->unread;
  status.UnreadReason = task->unreadReason;
  status.Reason = textOf(progress, "Reason");
  status.CurrentTaskFile = textOf(progress, "CurrentTaskFile");
  status.CurrentTaskSpeed = textOf(progress, "CurrentTaskSpeed");
  return status.toJSONModel();
}

void EndedRecords::keep(const QString& session, Kind kind, Json record, bool read) {
  const qint64 now = clock_.elapsed();
  kept_.insert(keyOf(session, kind), Kept{std::move(record), ++keptCount_, read ? now : -1});
  drop(now);
}

std::optional<Json> EndedRecords::find(const QString& session, Kind kind) {
  const qint64 now = clock_.elapsed();
  drop(now);
  const auto it = kept_.find(keyOf(session, kind));
  if (it == kept_.end()) return std::nullopt;
  if (it->readAt < 0) it->readAt = now;
  return it->record;
}

void EndedRecords::drop(qint64 now) {
  kept_.removeIf([&](const auto& it) { return it.value().readAt >= 0 && now - it.value().readAt > readKeepMs_; });
  while (kept_.size() > kMaxRecords) {
    // The first record read, else the oldest.
    auto first = kept_.begin();
    const auto earlier = [](const Kept& a, const Kept& b) {
      if ((a.readAt >= 0) != (b.readAt >= 0)) return a.readAt >= 0;
      return a.readAt != b.readAt ? a.readAt < b.readAt : a.order < b.order;
    };
    for (auto it = kept_.begin(); it != kept_.end(); ++it)
      if (earlier(it.value(), first.value())) first = it;
    kept_.erase(first);
  }
}

}  // namespace vantrel
