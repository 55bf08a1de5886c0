#include "protocol/transfer_progress.h"

#include <algorithm>

#include "core/json_read.h"

#include <cmath>

namespace protocol {

namespace {

double readNumber(const vex::Json& record, const char* key) {
  const vex::Json& value = jsonread::member(record, key);
  double number = 0;
  if (value.is_number())
    number = value.get<double>();
  else if (value.is_string())
    number = QString::fromStdString(value.get<std::string>()).trimmed().toDouble();
  return std::isfinite(number) ? number : 0;
}

}  // namespace

namespace {
const std::pair<TransferReason, const char*> kReasonCodes[] = {
    {TransferReason::Failed, "failed"},   {TransferReason::Disk, "disk"},       {TransferReason::Source, "source"},
    {TransferReason::Refused, "refused"}, {TransferReason::Gone, "gone"},       {TransferReason::Timeout, "timeout"},
    {TransferReason::PeerCancel, "peer-cancel"}, {TransferReason::Cancel, "cancel"}, {TransferReason::Peer, "peer"},
    {TransferReason::Unknown, "unknown"},
};
}  // namespace

QString reasonCode(TransferReason reason) {
  for (const auto& [r, code] : kReasonCodes)
    if (r == reason) return QString::fromLatin1(code);
  return QString();
}

TransferReason reasonFromCode(const QString& code) {
  if (code.isEmpty()) return TransferReason::None;
  for (const auto& [r, text] : kReasonCodes)
    if (code == QLatin1String(text)) return r;
  return TransferReason::Failed;
}

TransTaskProgress TransTaskProgress::read(const vex::Json& record) {
  TransTaskProgress r;
  r.TaskStatus = jsonread::integer(record, "TaskStatus");
  r.TotalTaskCount = jsonread::integer(record, "TotalTaskCount");
  r.TotalTaskDoneCount = jsonread::integer(record, "TotalTaskDoneCount");
  r.CurrentTaskFile = jsonread::text(record, "CurrentTaskFile");
  r.CurrentTaskSpeed = jsonread::text(record, "CurrentTaskSpeed");
  r.CurrentTaskPercent = readNumber(record, "CurrentTaskPercent");
  r.WorkingSpeed = jsonread::text(record, "WorkingSpeed");
  r.WorkingIndex = jsonread::integer(record, "WorkingIndex");
  r.ForceCancel = jsonread::integer(record, "ForceCancel");
  r.CurrentTaskFileSize = jsonread::integer(record, "CurrentTaskFileSize");
  r.Renamed = jsonread::integer(record, "Renamed");
  r.Reason = jsonread::text(record, "Reason");
  r.HostReason = jsonread::text(record, "HostReason");
  r.Refused = std::max<qint64>(0, jsonread::integer(record, "Refused"));
  r.Unread = std::max<qint64>(0, jsonread::integer(record, "Unread"));
  r.UnreadReason = jsonread::text(record, "UnreadReason");
  const vex::Json& size = jsonread::member(record, "TotalTaskSize");
  if (size.is_number_integer() && size.get<qint64>() >= 0) r.TotalTaskSize = size.get<qint64>();
  return r;
}

}  // namespace protocol
