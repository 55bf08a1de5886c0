#include "remote_sharing/upload_sheet.h"

#include "bridge/env.h"
#include "core/json_read.h"
#include "bridge/payloads.h"
#include "core/localized.h"
#include "core/log.h"
#include "core/util_system.h"

#include <QPointer>

RemoteUploadController::RemoteUploadController(CTLUpload& ctl, ShowFlag& isShowView, TransferRequests requests,
                                               QObject* parent)
    : TransferSheet(ctl.isShowView, isShowView, std::move(requests), parent), ctl_(ctl) {
  strTitle_ = L("RS_Upload_Title");
  sizedTitle_ = strTitle_ + QStringLiteral("  ");
}

void RemoteUploadController::onAppear() {
  if (ctl_.target.isEmpty()) return;
  // Dropped files start at once.
  uploadTarget_ = ctl_.target;
  start();
  emit changed();
}

void RemoteUploadController::setUploadTarget(const QString& text) {
  uploadTarget_ = text;
  emit changed();
}

void RemoteUploadController::chooseFiles() {
  QPointer<RemoteUploadController> self(this);
  requests_.chooser(QStringLiteral("Choose one file or folder"), 2, [self](const QString& answer) {
    if (!self) return;
    self->uploadTarget_ = answer;  // a dismissal empties the field
    emit self->changed();
  });
}

void RemoteUploadController::ok() {
  if (state_ == RemoteSharingDownloadStatus::dsNone && !uploadTarget_.isEmpty()) start();
  if (state_ == RemoteSharingDownloadStatus::dsFinished) {
    ctl_.isUploadSucc = true;
    closeSheet();
  }
}

void RemoteUploadController::start() {
  const Trans2_FS_00_CallStartInfo info{ctl_.session, uploadTarget_, ctl_.pathRemote, isOverwrite_};
  zlog::parts(info.Targets, info.RemotePathRoot);
  QPointer<RemoteUploadController> self(this);
  requests_.toBridge(QStringLiteral("Trans2_FS_00_CallStart"), info.toJSONModel(), true,
                     [self](const std::optional<vex::Json>& reply) {
                       if (self) self->onStartReply(reply);
                     });
}

void RemoteUploadController::onStartReply(const std::optional<vex::Json>& reply) {
  if (!hasReplyMessage(reply)) return;
  const int64_t valid = jsonread::integer(*reply, "ValidInfo");
  if (valid == 1) {
    state_ = RemoteSharingDownloadStatus::dsRunning;
    emit changed();
    return;
  }
  if (valid != 2 && valid != 3) return;
  if (valid == 3 && !jsonread::text(*reply, "Reason").isEmpty()) {
    // It failed before anything was offered (nothing chosen could be read
    // here, say): told as its progress record would tell it.
    TransTaskReading record;
    record.ForceCancel = 1;
    record.Reason = jsonread::text(*reply, "Reason");
    record.UnreadReason = jsonread::text(*reply, "UnreadReason");
    const TransferEnding end =
        transferEnding(record, TransferSide::Upload, QStringLiteral("Upload canceled."), L("Transfer_UploadFailed"));
    showTransferErrorToast(end.text, end.reason);
  } else {
    showTransferErrorToast(valid == 2 ? QStringLiteral("Remote host is busy, please try again later.")
                                      : QStringLiteral("Data channel is not valid now, please try again later."));
  }
  ctl_.isUploadSucc = state_ == RemoteSharingDownloadStatus::dsFinished;
  closeSheet();
}

void RemoteUploadController::onTick() {
  ++timerCounter_;
  if (state_ != RemoteSharingDownloadStatus::dsRunning) return;
  QPointer<RemoteUploadController> self(this);
  requests_.toRemote(ctl_.session, QStringLiteral("RemoteUploadTaskInfo"),
                     RemoteUploadStatus{ctl_.session, QStringLiteral("YES")}.toJSONModel(), true,
                     QStringLiteral("YES"), [self](const std::optional<vex::Json>& reply) {
                       if (self) self->onProgress(reply);
                     });
}

void RemoteUploadController::onProgress(const std::optional<vex::Json>& reply) {
  if (!readProgress(reply)) return;
  if (status().ForceCancel == 1) {
    state_ = RemoteSharingDownloadStatus::dsCanceld;
    ctl_.isCanceled = true;
    const TransferEnding end =
        transferEnding(status(), TransferSide::Upload, QStringLiteral("Upload canceled."), L("Transfer_UploadFailed"));
    showTransferErrorToast(end.text, end.reason);
    ctl_.isUploadSucc = false;
    closeSheet();
  }
  emit changed();
}

void RemoteUploadController::cancel() {
  if (state_ == RemoteSharingDownloadStatus::dsRunning) {
    requests_.toBridge(QStringLiteral("Trans2_FS_00_Cancel"), Trans2_FC_Cancel_Msg{ctl_.session}.toJSONModel(),
                       false, {});
    return;
  }
  close();
}

void RemoteUploadController::close() {
  ctl_.isCanceled = true;
  ctl_.isUploadSucc = state_ == RemoteSharingDownloadStatus::dsFinished;
  closeSheet();
}

QString RemoteUploadController::progressLine() const {
  return iWorking() + UtilSystem::fileNameOfPath(status().CurrentTaskFile) + QLatin1Char(' ') + status().WorkingSpeed;
}

QString RemoteUploadController::finishLine() const {
  if (const PartialEnding partial = partialEnding(status(), TransferSide::Upload); !partial.isEmpty())
    return partial.text();
  const bool english = Env::LanguageCode == QLatin1String("en");
  return finishedObjects(status().TotalTaskDoneCount, english) + (english ? QStringLiteral(" ") : QString()) +
         L("RS_Upload_Finished") + QLatin1Char(' ') + status().WorkingSpeed + renamedNote(status().Renamed);
}

bool RemoteUploadController::isPartial() const {
  return state_ == RemoteSharingDownloadStatus::dsFinished && !partialEnding(status(), TransferSide::Upload).isEmpty();
}
