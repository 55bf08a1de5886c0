// The download sheet without widgets: the remote entries of its control
// record are fetched by the bridge into a local folder, the progress is
// polled once a second while the download runs, and Cancel asks the bridge to
// stop it. The sheet closes by clearing the browser's show flag.
#pragma once

#include "remote_sharing/transfer_records.h"
#include "remote_sharing/transfer_sheet.h"

class RemoteDownloadController : public TransferSheet {
  Q_OBJECT
 public:
  RemoteDownloadController(CTLDownload& ctl, ShowFlag& isShowView, TransferRequests requests = TransferRequests::live(),
                           QObject* parent = nullptr);

  void onAppear();
  void chooseFolder();
  void openFolder() const;
  void ok();
  void cancel();
  void close();
  void onTick() override;
  void onProgress(const std::optional<vex::Json>& reply);

  RemoteSharingDownloadStatus downloadStatus() const { return state_; }
  QString downloadSaveAt() const { return downloadSaveAt_; }
  void setDownloadSaveAt(const QString& folder);
  QString progressLine() const;
  QString finishLine() const;
  // Finished with something left out: its own end and the failure symbol.
  bool isPartial() const;
  bool isFinishFolderShown() const;  // the green folder symbol after an English finish line

 private:
  void start();

  CTLDownload& ctl_;
  QString downloadSaveAt_;
};
