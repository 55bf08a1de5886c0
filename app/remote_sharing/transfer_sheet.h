// What the download and upload sheets share without widgets: the one-second
// progress poll, the progress record and its working line, the sheet's state,
// which buttons show, and closing by clearing the record's and the browser's
// show flags.
#pragma once

#include "remote_sharing/transfer_progress.h"
#include "shell/show_flag.h"

#include <QObject>
#include <QTimer>

class TransferSheet : public QObject {
  Q_OBJECT
 public:
  // The one-second tick runs from creation; tests stop it and call onTick().
  void stopTimer() { timer_.stop(); }
  virtual void onTick() = 0;

  QString strTitle() const { return strTitle_; }
  int timerCounter() const { return timerCounter_; }
  QString iWorking() const { return iWorking_; }
  const TransTaskReading& status() const { return status_; }
  bool isOkShown() const;
  bool isCancelShown() const;

 signals:
  void changed();

 protected:
  TransferSheet(bool& recordShown, ShowFlag& isShowView, TransferRequests requests, QObject* parent);

  // Takes a progress reply: false without a message; otherwise the record,
  // its working line, the task's size in the title once the bridge knows it,
  // and dsFinished once the task is done.
  bool readProgress(const std::optional<vex::Json>& reply);
  void closeSheet();

  TransferRequests requests_;
  QString strTitle_;
  // What the task's size follows in the title; none: the title keeps no size.
  QString sizedTitle_;
  RemoteSharingDownloadStatus state_ = RemoteSharingDownloadStatus::dsNone;
  int timerCounter_ = 0;

 private:
  bool& recordShown_;
  ShowFlag& isShowView_;
  QTimer timer_;
  QString iWorking_ = QStringLiteral("loading...");
  TransTaskReading status_;
};
