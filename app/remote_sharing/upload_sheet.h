// The upload sheet without widgets: local files and folders go into the
// remote folder of its control record. The bridge is asked whether the upload
// can start, the progress is polled once a second while it runs, and the
// record tells the browser on closing whether the upload had finished.
#pragma once

#include "remote_sharing/transfer_progress.h"
#include "remote_sharing/transfer_records.h"
#include "shell/show_flag.h"

#include <QObject>
#include <QTimer>

class RemoteUploadController : public QObject {
  Q_OBJECT
 public:
  RemoteUploadController(CTLUpload& ctl, ShowFlag& isShowView, TransferRequests requests = TransferRequests::live(),
                         QObject* parent = nullptr);

  void stopTimer() { timer_.stop(); }

  void onAppear();
  void chooseFiles();
  void ok();
  void cancel();
  void close();
  void onTick();
  void onStartReply(const std::optional<vex::Json>& reply);
  void onProgress(const std::optional<vex::Json>& reply);

  RemoteSharingDownloadStatus uploadStatus() const { return uploadStatus_; }
  QString strTitle() const { return strTitle_; }
  QString uploadTarget() const { return uploadTarget_; }
  void setUploadTarget(const QString& text);
  bool isOverwrite() const { return isOverwrite_; }
  void setOverwrite(bool on) { isOverwrite_ = on; }
  int timerCounter() const { return timerCounter_; }
  QString iWorking() const { return iWorking_; }
  const TransTaskReading& status() const { return status_; }
  QString progressLine() const;
  QString finishLine() const;
  bool isOkShown() const;
  bool isCancelShown() const;

 signals:
  void changed();

 private:
  void start();
  void closeSheet();

  CTLUpload& ctl_;
  ShowFlag& isShowView_;
  TransferRequests requests_;
  QTimer timer_;
  bool isOverwrite_ = true;
  QString uploadTarget_;
  QString strTitle_;
  RemoteSharingDownloadStatus uploadStatus_ = RemoteSharingDownloadStatus::dsNone;
  int timerCounter_ = 0;
  QString iWorking_ = QStringLiteral("loading...");
  TransTaskReading status_;
};
