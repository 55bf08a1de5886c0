#include "contacts/receive_file.h"

#include "bridge/env.h"
#include "core/json_read.h"
#include "core/localized.h"
#include "core/log.h"
#include "core/util_db.h"
#include "core/util_system.h"
#include "remote_sharing/transfer_progress.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QPointer>

#include <algorithm>

namespace {

const QString kReceiveFolderKey = QStringLiteral("MyReceivedFolder");

vex::Json sessionPayload(const QString& session) { return vex::Json{{"Session", session.toStdString()}}; }

// The bridge's receive status as the progress record it mirrors, read
// leniently: what arrived of what was offered, and what was left out and why.
TransTaskReading receiveReading(const vex::Json& status) {
  TransTaskReading r;
  r.TaskStatus = contactjson::boolean(status, "IsFinished") ? 1 : 0;
  r.ForceCancel = contactjson::boolean(status, "IsCancel") ? 1 : 0;
  r.TotalTaskCount = std::max<int64_t>(0, jsonread::integer(status, "TotalCount"));
  r.TotalTaskDoneCount = std::max<int64_t>(0, jsonread::integer(status, "TotalTaskDoneCount"));
  r.Renamed = std::max<int64_t>(0, jsonread::integer(status, "Renamed"));
  r.Reason = jsonread::text(status, "Reason");
  r.Unread = std::max<int64_t>(0, jsonread::integer(status, "Unread"));
  r.UnreadReason = jsonread::text(status, "UnreadReason");
  return r;
}

bool isWaiting(const CtlViewReceiveFile& record) { return int(record.vrsState) >= int(ViewReceiveState::vrsWaiting); }

// Ends the receive this user cancelled (the count-down or Cancel) with a toast that names nobody. Runs from the main queue after the
// panel has closed, so it reaches the window through MainViewShared only.
void showSendCanceled() {
  MainViewHandle* window = Env::MainViewShared;
  if (!window) return;
  window->ctlViewReceiveFile().vrsState = ViewReceiveState::vrsStopped;
  window->ctlViewReceiveFile().isShowView = false;
  window->receiveFilePanelChanged();
  window->showToast(L("Contact_TransferCanceled"));
}

}  // namespace

ReceiveFile::ReceiveFile(MainViewHandle& window, ContactsPort& port, QObject* parent)
    : QObject(parent), window_(window), port_(port) {
  timerTask.setInterval(1000);
  connect(&timerTask, &QTimer::timeout, this, &ReceiveFile::onTimer);
}

QString ReceiveFile::defaultReceiveFolder() {
  const QString brand = documentsPath(QStringLiteral("Kelvor"));
  ensureDirectory(brand);
  const QString folder = brand + QStringLiteral("/MyReceived");
  ensureDirectory(folder);
  return folder;
}

void ReceiveFile::onAppear() {
  record().taskState = QStringLiteral("0");
  downloadSaveAt = UtilDB::getValue(kReceiveFolderKey);
  if (downloadSaveAt.isEmpty()) {
    downloadSaveAt = defaultReceiveFolder();
    UtilDB::setValue(kReceiveFolderKey, downloadSaveAt);
  }
  emit changed();
}

void ReceiveFile::onTimer() {
  if (record().vrsState == ViewReceiveState::vrsRunning) {
    QPointer<ReceiveFile> self(this);
    port_.sendToBridge(QStringLiteral("RefreshRemoteUploadStatus_FromLocal"), sessionPayload(record().Session), true,
                       [self](const std::optional<vex::Json>& reply) {
                         if (self) self->onTaskStatusReply(reply);
                       });
  }
  if (isWaiting(record())) {
    record().iCountDown -= 1;
    emit changed();
    if (record().iCountDown <= 0) cancelReceive();
  }
}

void ReceiveFile::accept() {
  record().taskState = downloadSaveAt;
  record().isOverwrite = isOverwrite;
  record().vrsState = ViewReceiveState::vrsRunning;
  window_.receiveFilePanelChanged();
  emit changed();
}

void ReceiveFile::cancelTapped() {
  if (isWaiting(record())) {
    record().taskState = QStringLiteral("2");
    closePanel();
    return;
  }
  if (record().vrsState == ViewReceiveState::vrsRunning) cancelReceive();
}

void ReceiveFile::closeTapped() {
  if (isWaiting(record())) {
    record().taskState = QStringLiteral("2");
    closePanel();
  } else if (record().vrsState == ViewReceiveState::vrsRunning) {
    cancelReceive();
  } else {
    closePanel();
  }
}

void ReceiveFile::cancelReceive() {
  port_.sendToBridge(QStringLiteral("CancelFileReceive_FromLocal"), sessionPayload(record().Session), false, {});
  closePanel();
  QMetaObject::invokeMethod(QCoreApplication::instance(), [] { showSendCanceled(); }, Qt::QueuedConnection);
}

void ReceiveFile::onTaskStatusReply(const std::optional<vex::Json>& reply) {
  if (!reply || !reply->is_object()) {
    zlog::line(QStringLiteral("RefreshRemoteUploadStatus_FromLocal - no status"));
    return;
  }
  zlog::line(zlog::excerpt(vex::dump(*reply).value_or(std::string())));
  const bool finished = contactjson::boolean(*reply, "IsFinished");
  const bool canceled = contactjson::boolean(*reply, "IsCancel");
  dstatus_CurrentTaskPercent = float(contactjson::number(*reply, "Progress"));
  const qint64 total = jsonread::integer(*reply, "TotalCount");
  const qint64 done = jsonread::integer(*reply, "TotalTaskDoneCount");
  logInfo1 = QStringLiteral("(") + QString::number(done + 1) +
             (total != 0 ? QStringLiteral("/") + QString::number(total) : QString()) + QStringLiteral(") ");
  const QString file = jsonread::text(*reply, "CurrentTaskFile");
  const QString name = file.isEmpty() ? QString() : lastComponent(UtilSystem::separatorOf(file), file);
  logInfo2 = QStringLiteral(" ") + name + QStringLiteral(" ");
  logInfo3 = QStringLiteral(" ") + jsonread::text(*reply, "CurrentTaskSpeed");
  emit changed();
  const TransTaskReading status = receiveReading(*reply);
  if (finished) {
    // The success text only when nothing was left out.
    if (const PartialEnding partial = partialEnding(status, TransferSide::Receive); !partial.isEmpty())
      finishReceive(partial.counts, partial.details, true);
    else
      finishReceive(QStringLiteral("File received successfully.") + renamedNote(status.Renamed));
  }
  if (canceled) {
    const TransferEnding end = transferEnding(status, TransferSide::Receive, QStringLiteral("File receive canceled."),
                                              L("Transfer_ReceiveFailed"));
    finishReceive(end.text, end.reason, end.failed);
  }
}

void ReceiveFile::finishReceive(const QString& text, const QString& reason, bool failure) {
  record().vrsState = ViewReceiveState::vrsStopped;
  closePanel();
  MainViewHandle* window = Env::MainViewShared;
  if (!window) return;
  if (reason.isEmpty() && !failure) return window->showToast(text);
  AlertToast toast = failure ? makeToast(AlertToast::Type::error, QStringLiteral("red"), text)
                             : makeToast(AlertToast::Type::regular, {}, text);
  if (!reason.isEmpty()) toast.subTitle = reason;
  toast.minShowMs = kReasonToastMs;
  window->showAlertToast(toast);
}

void ReceiveFile::folderChosen(const QString& chosen) {
  if (chosen.isEmpty() || !QFileInfo(chosen).isDir()) return;
  downloadSaveAt = chosen;
  UtilDB::setValue(kReceiveFolderKey, downloadSaveAt);
  emit changed();
}

void ReceiveFile::chooseFolder() {
  QPointer<ReceiveFile> self(this);
  UtilSystem::openPanel(QStringLiteral("Choose one file or folder"), 1, [self](const QString& chosen) {
    if (self) self->folderChosen(chosen);
  });
}

void ReceiveFile::closePanel() {
  record().isShowView = false;
  window_.receiveFilePanelChanged();
}
