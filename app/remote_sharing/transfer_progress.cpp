#include "remote_sharing/transfer_progress.h"

#include "core/localized.h"
#include "core/util_system.h"
#include "remote_sharing/host_reason.h"
#include "remote_sharing/remote_toast.h"

#include <QStringList>

#include <algorithm>

TransferRequests TransferRequests::live() {
  TransferRequests r;
  r.toBridge = [](const QString& code, const vex::Json& payload, bool wait, ReplyHandler handler) {
    P2PClientMsg::SendMsgToP2PClient(code, payload, wait, std::move(handler));
  };
  r.toRemote = [](const QString& session, const QString& code, const vex::Json& payload, bool wait,
                  const QString& onBridge, ReplyHandler handler) {
    P2PClientMsg::SendMsgOnLink(linkOfSession(session), code, payload, wait, onBridge, std::move(handler));
  };
  r.chooser = [](const QString& title, int mode, std::function<void(const QString&)> done) {
    UtilSystem::openPanel(title, mode, std::move(done));
  };
  return r;
}

bool hasReplyMessage(const std::optional<vex::Json>& reply) { return reply && !reply->is_null(); }

QString finishedObjects(int64_t done, bool english) {
  if (english) return QString::number(done) + QStringLiteral(" object") + (done >= 2 ? QStringLiteral("s") : QString());
  return QString::number(done) + QStringLiteral("个对象");
}

QString renamedNote(int64_t renamed) {
  if (renamed <= 0) return QString();
  return QLatin1Char('\n') + L("Transfer_Renamed").arg(renamed);
}

QString partialEnding(const TransTaskReading& status, bool download) {
  const int64_t missing = std::max<int64_t>(0, status.TotalTaskCount - status.TotalTaskDoneCount);
  if (status.TaskStatus != 1 || (status.Refused <= 0 && missing == 0)) return QString();
  const int64_t asked = status.TotalTaskDoneCount + missing + status.Refused;
  QStringList parts{L(download ? "Transfer_Partial_Download" : "Transfer_Partial_Upload")
                        .arg(status.TotalTaskDoneCount)
                        .arg(asked)};
  if (status.Refused > 0) parts << L("Transfer_Partial_Refused").arg(status.Refused);
  if (missing > 0) parts << L("Transfer_Partial_Missing").arg(missing);
  // Sentences apart by a blank in English, none in Chinese.
  QString line = parts.join(localizedTableName(QLocale()) == QLatin1String("en") ? QStringLiteral(" ") : QString());
  const QString why = status.HostReason.isEmpty() ? transferReasonText(status.Reason) : hostreason::text(status.HostReason);
  if (!why.isEmpty()) line += QLatin1Char('\n') + why;
  // The rate only: the bridge's notes after it are in English.
  const QString rate = status.WorkingSpeed.section(QLatin1Char(','), 0, 0).trimmed();
  if (!rate.isEmpty()) line += QLatin1Char('\n') + rate;
  return line + renamedNote(status.Renamed);
}

void showTransferErrorToast(const QString& text, const QString& reason) { remotetoast::showError(text, reason); }

QString transferReasonText(const QString& code) {
  if (code.isEmpty()) return QString();
  const protocol::TransferReason reason = protocol::reasonFromCode(code);
  return L(("Transfer_Reason_" + protocol::reasonCode(reason).toStdString()).c_str());
}

TransferEnding transferEnding(const QString& reasonCode, const QString& canceled, const QString& failed,
                              const QString& hostReason) {
  const protocol::TransferReason reason = protocol::reasonFromCode(reasonCode);
  // A cancel here needs no reason; the other side's cancel says who.
  if (reason == protocol::TransferReason::None || reason == protocol::TransferReason::Cancel) return {canceled, {}};
  const QString why = hostReason.isEmpty() ? transferReasonText(reasonCode) : hostreason::text(hostReason);
  return {reason == protocol::TransferReason::PeerCancel ? canceled : failed, why};
}
