// The download sheet without widgets: the remote entries of its control
// record are fetched by the bridge into a local folder, the progress is
// polled once a second while the download runs, and Cancel asks the bridge to
// stop it. The sheet closes by clearing the browser's show flag.
#pragma once

#include "remote_sharing/transfer_progress.h"
#include "remote_sharing/transfer_records.h"
#include "shell/show_flag.h"

#include <QObject>
#include <QTimer>

class RemoteDownloadController : public QObject {
  Q_OBJECT
 public:
  RemoteDownloadController(CTLDownload& ctl, ShowFlag& isShowView, TransferRequests requests = TransferRequests::live(),
                           QObject* parent = nullptr);

  // The one-second tick runs from creation; tests stop it and call onTick().
  void stopTimer() { timer_.stop(); }

  void onAppear();
  void chooseFolder();
  void openFolder() const;
  void ok();
  void cancel();
  void close();
  void onTick();
  void onProgress(const std::optional<vex::Json>& reply);

  RemoteSharingDownloadStatus downloadStatus() const { return downloadStatus_; }
  QString strTitle() const { return strTitle_; }
  QString downloadSaveAt() const { return downloadSaveAt_; }
  void setDownloadSaveAt(const QString& folder);
  int timerCounter() const { return timerCounter_; }
  QString iWorking() const { return iWorking_; }
  const TransTaskReading& status() const { return status_; }
  QString progressLine() const;
  QString finishLine() const;
  bool isOkShown() const;
  bool isCancelShown() const;
  bool isFinishFolderShown() const;  // the green folder symbol after an English finish line

 signals:
  void changed();

 private:
  void start();
  void closeSheet();

  CTLDownload& ctl_;
  ShowFlag& isShowView_;
  TransferRequests requests_;
  QTimer timer_;
  QString downloadSaveAt_;
  QString strTitle_;
  RemoteSharingDownloadStatus downloadStatus_ = RemoteSharingDownloadStatus::dsNone;
  int timerCounter_ = 0;
  QString iWorking_ = QStringLiteral("loading...");
  TransTaskReading status_;
};
