#include "transfer_progress.h"

#include "core/util_system.h"

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

}  // namespace

Json progressOf(const TaskPtr& task) {
  TransTaskProgress p;
  if (!task) return p.toJSONModel();
  p.TotalTaskCount = task->fileCount;
  p.TotalTaskDoneCount = task->done;
  p.Renamed = task->renamed;
  if (task->current >= 0 && task->current < task->entries.size()) {
    const TransferEntry& e = task->entries[task->current];
    p.CurrentTaskFile = task->role == TransferRole::Source ? e.local : task->root + QLatin1Char('/') + e.rel;
    p.CurrentTaskFileSize = e.size;
    p.CurrentTaskPercent = e.size > 0 ? std::min(100.0, 100.0 * double(task->currentBytes) / double(e.size)) : 100.0;
    p.WorkingIndex = task->currentOrdinal;
  }
  switch (task->state) {
    case TransferState::Starting:
    case TransferState::Running:
      p.CurrentTaskSpeed = speedText(*task);
      p.WorkingSpeed = p.CurrentTaskSpeed;
      break;
    case TransferState::Finished: {
      p.TaskStatus = 1;
      p.CurrentTaskPercent = 100;
      const qint64 ms = std::max<qint64>(1, task->clock.elapsed());
      p.WorkingSpeed = rateText(double(task->bytesDone) * 1000.0 / double(ms));
      if (task->failed > 0) p.WorkingSpeed += QStringLiteral(", %1 not transferred").arg(task->failed);
      if (task->refused) p.WorkingSpeed += QStringLiteral(", some refused by the host");
      break;
    }
    case TransferState::Cancelled:
    case TransferState::Failed:
      p.ForceCancel = 1;
      p.WorkingSpeed = task->why;
      p.Reason = protocol::reasonCode(task->reason);
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
  status.Reason = textOf(progress, "Reason");
  status.CurrentTaskFile = textOf(progress, "CurrentTaskFile");
  status.CurrentTaskSpeed = textOf(progress, "CurrentTaskSpeed");
  return status.toJSONModel();
}

}  // namespace vantrel
