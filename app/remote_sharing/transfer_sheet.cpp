#include "remote_sharing/transfer_sheet.h"

#include "core/util_system.h"

TransferSheet::TransferSheet(bool& recordShown, ShowFlag& isShowView, TransferRequests requests, QObject* parent)
    : QObject(parent), requests_(std::move(requests)), recordShown_(recordShown), isShowView_(isShowView) {
  timer_.setInterval(1000);
  connect(&timer_, &QTimer::timeout, this, [this] { onTick(); });
  timer_.start();
}

bool TransferSheet::readProgress(const std::optional<vex::Json>& reply) {
  if (!hasReplyMessage(reply)) return false;
  status_ = TransTaskReading::read(*reply);
  if (status_.TotalTaskSize >= 0 && !sizedTitle_.isEmpty())
    strTitle_ = sizedTitle_ + UtilSystem::formatSize(quint64(status_.TotalTaskSize));
  if (status_.WorkingIndex > 0) iWorking_ = QString::number(status_.WorkingIndex) + QStringLiteral(" - ");
  if (status_.TaskStatus == 1) state_ = RemoteSharingDownloadStatus::dsFinished;
  return true;
}

void TransferSheet::closeSheet() {
  timer_.stop();
  recordShown_ = false;
  isShowView_.set(false);
}

bool TransferSheet::isOkShown() const {
  return state_ == RemoteSharingDownloadStatus::dsNone || state_ == RemoteSharingDownloadStatus::dsFinished;
}

bool TransferSheet::isCancelShown() const { return state_ != RemoteSharingDownloadStatus::dsFinished; }
