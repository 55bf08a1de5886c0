#include "remote_sharing/transfer_progress.h"

#include "core/localized.h"
#include "core/util_system.h"
#include "remote_sharing/host_reason.h"
#include "remote_sharing/remote_toast.h"

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
