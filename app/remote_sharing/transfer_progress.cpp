#include "remote_sharing/transfer_progress.h"

#include "core/json_read.h"
#include "core/util_system.h"
#include "shell/main_view_shared.h"

namespace {

float readFloat(const vex::Json& record, const char* key) {
  const vex::Json& value = jsonread::member(record, key);
  if (value.is_number()) return value.get<float>();
  if (value.is_string()) return QString::fromStdString(value.get<std::string>()).trimmed().toFloat();
  return 0;
}

}  // namespace

TransferRequests TransferRequests::live() {
  TransferRequests r;
  r.toBridge = [](const QString& code, const vex::Json& payload, bool wait, ReplyHandler handler) {
    P2PClientMsg::SendMsgToP2PClient(code, payload, wait, std::move(handler));
  };
  r.toRemote = [](const QString& code, const vex::Json& payload, bool wait, const QString& onBridge,
                  ReplyHandler handler) { P2PClientMsg::SendMsgToRemote(code, payload, wait, onBridge, std::move(handler)); };
  r.chooser = [](const QString& title, int mode, std::function<void(const QString&)> done) {
    UtilSystem::openPanel(title, mode, std::move(done));
  };
  return r;
}

TransTaskReading TransTaskReading::read(const vex::Json& record) {
  TransTaskReading r;
  r.TaskStatus = jsonread::integer(record, "TaskStatus");
  r.TotalTaskCount = jsonread::integer(record, "TotalTaskCount");
  r.TotalTaskDoneCount = jsonread::integer(record, "TotalTaskDoneCount");
  r.CurrentTaskFile = jsonread::text(record, "CurrentTaskFile");
  r.CurrentTaskSpeed = jsonread::text(record, "CurrentTaskSpeed");
  r.CurrentTaskPercent = readFloat(record, "CurrentTaskPercent");
  r.WorkingSpeed = jsonread::text(record, "WorkingSpeed");
  r.WorkingIndex = jsonread::integer(record, "WorkingIndex");
  r.ForceCancel = jsonread::integer(record, "ForceCancel");
  return r;
}

bool hasReplyMessage(const std::optional<vex::Json>& reply) { return reply && !reply->is_null(); }

QString finishedObjects(int64_t done, bool english) {
  if (english) return QString::number(done) + QStringLiteral(" object") + (done >= 2 ? QStringLiteral("s") : QString());
  return QString::number(done) + QStringLiteral("个对象");
}

void showTransferErrorToast(const QString& text) {
  MainViewHandle* window = shell::mainViewShared();
  if (!window) return;
  window->showAlertToast(makeToast(AlertToast::Type::error, QStringLiteral("red"), text));
}
