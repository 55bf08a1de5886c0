// The bridge's answer to every progress poll of a download, an upload or a
// send: the bridge writes it, the client's transfer sheets read it.
#pragma once

#include "core/vex_json.h"

#include <QString>

namespace protocol {

struct TransTaskProgress {
  qint64 TaskStatus = 0;  // 1 once the task has finished
  qint64 TotalTaskCount = 0;
  qint64 TotalTaskDoneCount = 0;
  QString CurrentTaskFile;
  QString CurrentTaskSpeed;
  double CurrentTaskPercent = 0;
  QString WorkingSpeed;
  qint64 WorkingIndex = 0;
  qint64 ForceCancel = 0;  // 1 when the task was cancelled or broke off
  qint64 CurrentTaskFileSize = 0;
  // Files saved as "name (N).ext" because their name was taken.
  qint64 Renamed = 0;
  VEX_FIELDS(TaskStatus, TotalTaskCount, TotalTaskDoneCount, CurrentTaskFile, CurrentTaskSpeed, CurrentTaskPercent,
             WorkingSpeed, WorkingIndex, ForceCancel, CurrentTaskFileSize, Renamed)

  // A record read leniently: a missing key or a value of another kind reads
  // as 0 or empty; numbers may come as text.
  static TransTaskProgress read(const vex::Json& record);
};

}  // namespace protocol
