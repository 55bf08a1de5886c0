#include "remote_sharing/upload_sheet.h"

#include "bridge/env.h"
#include "bridge/json_read.h"
#include "bridge/payloads.h"
#include "core/localized.h"
#include "core/log.h"
#include "core/util_system.h"

#include <QPointer>

RemoteUploadController::RemoteUploadController(CTLUpload& ctl, ShowFlag& isShowView, TransferRequests requests,
                                               QObject* parent)
    : QObject(parent), ctl_(ctl), isShowView_(isShowView), requests_(std::move(requests)) {
  strTitle_ = L("RS_Upload_Title");
  timer_.setInterval(1000);
  connect(&timer_, &QTimer::timeout, this, &RemoteUploadController::onTick);
  timer_.start();
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
  if (uploadStatus_ == RemoteSharingDownloadStatus::dsNone && !uploadTarget_.isEmpty()) start();
  if (uploadStatus_ == RemoteSharingDownloadStatus::dsFinished) {
    ctl_.isUploadSucc = true;
    closeSheet();
  }
}

void RemoteUploadController::start() {
  const Trans2_FS_00_CallStartInfo info{Env::RemoteSession, uploadTarget_, ctl_.pathRemote};
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
    uploadStatus_ = RemoteSharingDownloadStatus::dsRunning;
    emit changed();
    return;
  }
  if (valid != 2 && valid != 3) return;
  showTransferErrorToast(valid == 2 ? QStringLiteral("Remote host is busy, please try again later.")
                                    : QStringLiteral("Data channel is not valid now, please try again later."));
  ctl_.isUploadSucc = uploadStatus_ == RemoteSharingDownloadStatus::dsFinished;
  closeSheet();
}

void RemoteUploadController::onTick() {
  ++timerCounter_;
  if (uploadStatus_ != RemoteSharingDownloadStatus::dsRunning) return;
  QPointer<RemoteUploadController> self(this);
  requests_.toRemote(QStringLiteral("RemoteUploadTaskInfo"),
                     RemoteUploadStatus{Env::RemoteSession, QStringLiteral("YES")}.toJSONModel(), true,
                     QStringLiteral("YES"), [self](const std::optional<vex::Json>& reply) {
                       if (self) self->onProgress(reply);
                     });
}

void RemoteUploadController::onProgress(const std::optional<vex::Json>& reply) {
  if (!hasReplyMessage(reply)) return;
  status_ = TransTaskReading::read(*reply);
  if (status_.WorkingIndex > 0) iWorking_ = QString::number(status_.WorkingIndex) + QStringLiteral(" - ");
  if (status_.TaskStatus == 1) uploadStatus_ = RemoteSharingDownloadStatus::dsFinished;
  if (status_.ForceCancel == 1) {
    uploadStatus_ = RemoteSharingDownloadStatus::dsCanceld;
    ctl_.isCanceled = true;
    showTransferErrorToast(QStringLiteral("Upload canceled."));
    ctl_.isUploadSucc = false;
    closeSheet();
  }
  emit changed();
}

void RemoteUploadController::cancel() {
  if (uploadStatus_ == RemoteSharingDownloadStatus::dsRunning) {
    requests_.toBridge(QStringLiteral("Trans2_FS_00_Cancel"), Trans2_FC_Cancel_Msg{Env::RemoteSession}.toJSONModel(),
                       false, {});
    return;
  }
  close();
}

void RemoteUploadController::close() {
  ctl_.isCanceled = true;
  ctl_.isUploadSucc = uploadStatus_ == RemoteSharingDownloadStatus::dsFinished;
  closeSheet();
}

void RemoteUploadController::closeSheet() {
  timer_.stop();
  ctl_.isShowView = false;
  isShowView_.set(false);
}

QString RemoteUploadController::progressLine() const {
  return iWorking_ + UtilSystem::fileNameOfPath(status_.CurrentTaskFile) + QLatin1Char(' ') + status_.WorkingSpeed;
}

QString RemoteUploadController::finishLine() const {
  const bool english = Env::LanguageCode == QLatin1String("en");
  return finishedObjects(status_.TotalTaskDoneCount, english) + (english ? QStringLiteral(" ") : QString()) +
         L("RS_Upload_Finished") + QLatin1Char(' ') + status_.WorkingSpeed;
}

bool RemoteUploadController::isOkShown() const {
  return uploadStatus_ == RemoteSharingDownloadStatus::dsNone || uploadStatus_ == RemoteSharingDownloadStatus::dsFinished;
}

bool RemoteUploadController::isCancelShown() const { return uploadStatus_ != RemoteSharingDownloadStatus::dsFinished; }
