// The download and upload sheets of the remote file browser: thin cards over
// their controllers, rebuilt from the controller's state on every change.
#pragma once

#include "remote_sharing/download_sheet.h"
#include "remote_sharing/upload_sheet.h"
#include "shell/dialog_card.h"

class QCheckBox;
class QLabel;
class QLineEdit;
class QProgressBar;
class QPushButton;
class QStackedWidget;

class ViewSharingRemoteDownload : public DialogCard {
  Q_OBJECT
 public:
  ViewSharingRemoteDownload(CTLDownload& ctlDownload, ShowFlag& isShowView, QWidget* parent = nullptr,
                            TransferRequests requests = TransferRequests::live());
  RemoteDownloadController& controller() { return c_; }

 private:
  void refresh();

  RemoteDownloadController c_;
  QStackedWidget* status_;
  QWidget* saveRow_;
  QWidget* running_;
  QWidget* finished_;
  QWidget* blank_;
  QLineEdit* saveAt_;
  QLabel* progressLine_;
  QProgressBar* progress_;
  QLabel* finishLine_;
  QLabel* failSymbol_;  // before the finish line when something was left out
  QWidget* finishFolder_;
  QPushButton* ok_;
  QPushButton* cancel_;
  const int ownHeight_ = height();  // the card's size before any finish lines
};

class ViewSharingRemoteUpload : public DialogCard {
  Q_OBJECT
 public:
  ViewSharingRemoteUpload(CTLUpload& ctlUpload, ShowFlag& isShowView, QWidget* parent = nullptr,
                          TransferRequests requests = TransferRequests::live());
  RemoteUploadController& controller() { return c_; }

 private:
  void refresh();

  RemoteUploadController c_;
  QStackedWidget* status_;
  QWidget* chooseRows_;
  QWidget* running_;
  QWidget* finished_;
  QWidget* blank_;
  QLineEdit* target_;
  QCheckBox* overwrite_;
  QLabel* progressLine_;
  QProgressBar* progress_;
  QLabel* finishLine_;
  QLabel* failSymbol_;  // before the finish line when something was left out
  QPushButton* ok_;
  QPushButton* cancel_;
  const int ownHeight_ = height();  // the card's size before any finish lines
};
