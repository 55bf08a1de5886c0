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

namespace {

using hostreason::Whose;

// Whose words a sending side's reason is.
Whose senderOf(TransferSide side) { return side == TransferSide::Receive ? Whose::Sender : Whose::ThisComputer; }

// "N refused by ...": by the side that receives.
const char* refusedByReceiver(TransferSide side) {
  switch (side) {
    case TransferSide::Upload:
      return "Transfer_Partial_Refused";
    case TransferSide::Send:
      return "Transfer_Partial_RefusedByContact";
    case TransferSide::Download:
    case TransferSide::Receive:
      break;
  }
  return "Transfer_Partial_RefusedHere";
}

const char* countsKey(TransferSide side) {
  switch (side) {
    case TransferSide::Download:
      return "Transfer_Partial_Download";
    case TransferSide::Upload:
      return "Transfer_Partial_Upload";
    case TransferSide::Send:
      return "Transfer_Partial_Send";
    case TransferSide::Receive:
      break;
  }
  return "Transfer_Partial_Receive";
}

}  // namespace

QString PartialEnding::text() const {
  if (details.isEmpty()) return counts;
  return counts + QLatin1Char('\n') + details;
}

PartialEnding partialEnding(const TransTaskReading& status, TransferSide side) {
  if (status.TaskStatus != 1) return {};
  const protocol::TransferReason reason = protocol::reasonFromCode(status.Reason);
  // Counts past any real transfer's are cut, so that their sums stay in range.
  const auto count = [](int64_t n) { return std::clamp<int64_t>(n, 0, int64_t(1) << 40); };
  const int64_t done = count(status.TotalTaskDoneCount);
  // Offered and not in place.
  const int64_t missing = std::max<int64_t>(0, count(status.TotalTaskCount) - done);
  // What the sending side could not read: never among those offered (the
  // bridge takes it out of the counts); a download's host counts its own as
  // refused. A sender that gives only its words for the files that did not
  // arrive counts them as unread.
  int64_t unread = side == TransferSide::Download ? 0 : count(status.Unread);
  int64_t other = missing;
  const bool unreadWords = side != TransferSide::Download && !status.UnreadReason.isEmpty();
  if (unread == 0 && unreadWords && reason == protocol::TransferReason::Source) std::swap(unread, other);
  const int64_t leftOut = other + unread;
  const int64_t refused = count(status.Refused);
  if (leftOut == 0 && refused == 0) return {};

  QStringList parts{L(countsKey(side)).arg(done).arg(done + leftOut + refused)};
  QStringList why;
  const auto addWhy = [&why](const QString& line) {
    if (!line.isEmpty() && !why.contains(line)) why << line;
  };
  if (unread > 0) {
    parts << L(side == TransferSide::Receive ? "Transfer_Partial_UnreadBySender" : "Transfer_Partial_UnreadHere")
                 .arg(unread);
    addWhy(hostreason::text(status.UnreadReason, senderOf(side)));
  }
  if (refused > 0) {
    parts << L("Transfer_Partial_Refused").arg(refused);
    addWhy(hostreason::text(status.HostReason));
  }
  if (other > 0) {
    if (reason == protocol::TransferReason::Refused) {
      parts << L(refusedByReceiver(side)).arg(other);
      addWhy(L("Transfer_Refusal_Why"));
    } else {
      parts << L("Transfer_Partial_Missing").arg(other);
      // The reason code names the first file that did not arrive: one the
      // sending side could not read is told above.
      if (reason != protocol::TransferReason::Source || unread == 0) addWhy(transferReasonText(status.Reason));
    }
  }
  PartialEnding ending;
  // Sentences apart by a blank in English, none in Chinese.
  ending.counts =
      parts.join(localizedTableName(QLocale()) == QLatin1String("en") ? QStringLiteral(" ") : QString());
  // The rate only: the bridge's notes after it are in English.
  const QString rate = status.WorkingSpeed.section(QLatin1Char(','), 0, 0).trimmed();
  if (!rate.isEmpty()) why << rate;
  ending.details = why.join(QLatin1Char('\n')) + renamedNote(status.Renamed);
  if (ending.details.startsWith(QLatin1Char('\n'))) ending.details.remove(0, 1);
  return ending;
}

void showTransferErrorToast(const QString& text, const QString& reason) { remotetoast::showError(text, reason); }

QString transferReasonText(const QString& code) {
  if (code.isEmpty()) return QString();
  const protocol::TransferReason reason = protocol::reasonFromCode(code);
  return L(("Transfer_Reason_" + protocol::reasonCode(reason).toStdString()).c_str());
}

TransferEnding transferEnding(const TransTaskReading& status, TransferSide side, const QString& canceled,
                              const QString& failed) {
  const protocol::TransferReason reason = protocol::reasonFromCode(status.Reason);
  // A cancel here needs no reason; the other side's cancel says who.
  if (reason == protocol::TransferReason::None || reason == protocol::TransferReason::Cancel) return {canceled, {}};
  QString why = hostreason::text(status.HostReason);
  if (why.isEmpty() && reason == protocol::TransferReason::Source && side != TransferSide::Download)
    why = hostreason::text(status.UnreadReason, senderOf(side));
  if (why.isEmpty()) why = transferReasonText(status.Reason);
  const bool fault = reason != protocol::TransferReason::PeerCancel;
  return {fault ? failed : canceled, why, fault};
}
