// The upload sheet without widgets: local files and folders go into the
// remote folder of its control record. The bridge is asked whether the upload
// can start, the progress is polled once a second while it runs, and the
// record tells the browser on closing whether the upload had finished.
#pragma once

#include "remote_sharing/transfer_records.h"
#include "remote_sharing/transfer_sheet.h"

class RemoteUploadController : public TransferSheet {
  Q_OBJECT
 public:
  RemoteUploadController(CTLUpload& ctl, ShowFlag& isShowView, TransferRequests requests = TransferRequests::live(),
                         QObject* parent = nullptr);

  void onAppear();
  void chooseFiles();
  void ok();
  void cancel();
  void close();
  void onTick() override;
  void onStartReply(const std::optional<vex::Json>& reply);
  void onProgress(const std::optional<vex::Json>& reply);

  RemoteSharingDownloadStatus uploadStatus() const { return state_; }
  QString uploadTarget() const { return uploadTarget_; }
  void setUploadTarget(const QString& text);
  bool isOverwrite() const { return isOverwrite_; }
  void setOverwrite(bool on) { isOverwrite_ = on; }
  QString progressLine() const;
  QString finishLine() const;
  // Finished with something left out: its own end and the failure symbol.
  bool isPartial() const;

 private:
  void start();

  CTLUpload& ctl_;
  bool isOverwrite_ = true;
  QString uploadTarget_;
};
