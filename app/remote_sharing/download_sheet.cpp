#include "remote_sharing/download_sheet.h"

#include "bridge/env.h"
#include "bridge/payloads.h"
#include "core/localized.h"
#include "core/util_db.h"
#include "core/util_system.h"
#include "remote_sharing/host_reason.h"

#include <QDesktopServices>
#include <QFileInfo>
#include <QPointer>
#include <QUrl>

namespace {

struct Download3Info {
  QString Session;
  QString Targets;
  QString SaveAtLocalFolder;
  VEX_FIELDS(Session, Targets, SaveAtLocalFolder)
};

const QString kSaveAtDir = QStringLiteral("SaveAtDir");

}  // namespace

RemoteDownloadController::RemoteDownloadController(CTLDownload& ctl, ShowFlag& isShowView, TransferRequests requests,
                                                   QObject* parent)
    : TransferSheet(ctl.isShowView, isShowView, std::move(requests), parent), ctl_(ctl) {}

void RemoteDownloadController::onAppear() {
  const QList<FileItem>& items = ctl_.fileItems;
  if (items.size() >= 2) ctl_.isChooseOP = false;
  if (items.size() == 1) {
    const FileItem& item = items.first();
    sizedTitle_ = item.name + QStringLiteral("  ");
    strTitle_ = sizedTitle_ + (item.size < 0 ? QString() : UtilSystem::formatSize(quint64(item.size)));
  } else if (items.size() >= 2) {
    sizedTitle_ = items.first().name + QStringLiteral("...(") + QString::number(items.size()) + QLatin1Char(' ') +
                  L("RS_Download_Targets") + QStringLiteral(")  ");
    strTitle_ = sizedTitle_;
  }
  downloadSaveAt_ = UtilDB::getValue(kSaveAtDir);
  if (downloadSaveAt_.isEmpty()) {
    downloadSaveAt_ = defaultDownloadFolder();
    ensureDirectory(downloadSaveAt_);
    UtilDB::setValue(kSaveAtDir, downloadSaveAt_);
  }
  emit changed();
}

void RemoteDownloadController::setDownloadSaveAt(const QString& folder) {
  downloadSaveAt_ = folder;
  emit changed();
}

void RemoteDownloadController::chooseFolder() {
  QPointer<RemoteDownloadController> self(this);
  requests_.chooser(QStringLiteral("Choose one file or folder"), 1, [self](const QString& answer) {
    // Only one existing folder is taken; several come joined by "|".
    if (!self || answer.isEmpty() || !QFileInfo(answer).isDir()) return;
    self->downloadSaveAt_ = answer;
    UtilDB::setValue(kSaveAtDir, answer);
    emit self->changed();
  });
}

void RemoteDownloadController::openFolder() const {
  QDesktopServices::openUrl(QUrl::fromLocalFile(downloadSaveAt_));
}

void RemoteDownloadController::ok() {
  if (state_ == RemoteSharingDownloadStatus::dsNone) {
    start();
    return;  // a start leaves the state at dsPreparing
  }
  if (state_ == RemoteSharingDownloadStatus::dsFinished) closeSheet();
}

void RemoteDownloadController::start() {
  state_ = RemoteSharingDownloadStatus::dsPreparing;
  UtilDB::setValue(kSaveAtDir, downloadSaveAt_);
  QStringList targets;
  for (const FileItem& item : std::as_const(ctl_.fileItems)) targets << item.fullPath;
  const Download3Info info{ctl_.session, targets.join(QLatin1Char('|')), downloadSaveAt_};
  QPointer<RemoteDownloadController> self(this);
  requests_.toBridge(QStringLiteral("Trans3_FC_00_CallStart"), info.toJSONModel(), true,
                     [self](const std::optional<vex::Json>&) {
                       if (!self || self->state_ != RemoteSharingDownloadStatus::dsPreparing) return;
                       self->state_ = RemoteSharingDownloadStatus::dsRunning;
                       emit self->changed();
                     });
  emit changed();
}

void RemoteDownloadController::onTick() {
  ++timerCounter_;
  if (state_ != RemoteSharingDownloadStatus::dsRunning) return;
  QPointer<RemoteDownloadController> self(this);
  requests_.toBridge(QStringLiteral("Trans3_FC_TransTaskInfo"), Trans3_FC_TransTaskInfo_Msg{ctl_.session}.toJSONModel(),
                     true, [self](const std::optional<vex::Json>& reply) {
                       if (self) self->onProgress(reply);
                     });
}

void RemoteDownloadController::onProgress(const std::optional<vex::Json>& reply) {
  if (!readProgress(reply)) return;
  if (status().ForceCancel == 1) {
    state_ = RemoteSharingDownloadStatus::dsCanceld;
    const TransferEnding end = transferEnding(status(), TransferSide::Download, QStringLiteral("Download canceled."),
                                              L("Transfer_DownloadFailed"));
    showTransferErrorToast(end.text, end.reason);
    closeSheet();
  }
  emit changed();
}

void RemoteDownloadController::cancel() {
  if (state_ == RemoteSharingDownloadStatus::dsRunning) {
    // The sheet leaves dsRunning through a later progress record.
    requests_.toBridge(QStringLiteral("Trans3_FC_00_Cancel"), Trans3_FC_00_Cancel_Msg{ctl_.session}.toJSONModel(),
                       false, {});
    return;
  }
  ctl_.isCanceled = true;
  closeSheet();
}

void RemoteDownloadController::close() {
  ctl_.isCanceled = true;
  closeSheet();
}

QString RemoteDownloadController::progressLine() const {
  return iWorking() + QLatin1Char(' ') + UtilSystem::fileNameOfPath(status().CurrentTaskFile) + QLatin1Char(' ') +
         status().WorkingSpeed;
}

QString RemoteDownloadController::finishLine() const {
  if (const PartialEnding partial = partialEnding(status(), TransferSide::Download); !partial.isEmpty())
    return partial.text();
  const bool english = Env::LanguageCode == QLatin1String("en");
  return finishedObjects(status().TotalTaskDoneCount, english) +
         (english ? QStringLiteral(" download finished! ") : QStringLiteral(" 已成功下载! ")) + status().WorkingSpeed +
         renamedNote(status().Renamed) +
         // Why the host left some out, when its client could not look.
         (status().HostReason.isEmpty() ? QString() : QLatin1Char('\n') + hostreason::text(status().HostReason));
}

bool RemoteDownloadController::isPartial() const {
  return state_ == RemoteSharingDownloadStatus::dsFinished && !partialEnding(status(), TransferSide::Download).isEmpty();
}

bool RemoteDownloadController::isFinishFolderShown() const {
  return state_ == RemoteSharingDownloadStatus::dsFinished && Env::LanguageCode == QLatin1String("en");
}
