// The sheet in which the user adds or edits a saved remote host. It edits the
// page's record in place and closes itself; the page stores on dismissal.
#pragma once

#include "remote_sharing/remote_hosts.h"
#include "shell/dialog_card.h"

class QLineEdit;
class QPushButton;
class ShowFlag;

class ViewSharingRemoteHost : public DialogCard {
  Q_OBJECT
 public:
  // `shown` is the page's flag for this sheet; it follows rhCtl.isShowView.
  ViewSharingRemoteHost(ViewSharingRemoteHostCtrl& rhCtl, ShowFlag& shown, QWidget* parent = nullptr);

  QLineEdit* hostNameField() const { return name_; }
  QLineEdit* hostTagField() const { return tag_; }
  QLineEdit* accessCodeField() const { return password_; }
  QLineEdit* aliasField() const { return alias_; }
  QPushButton* okButton() const { return ok_; }
  QPushButton* cancelButton() const { return cancel_; }
  bool isTinted(const QLineEdit* f) const;
  void onOK();
  void closeSheet();

 private:
  void refreshTints();

  ViewSharingRemoteHostCtrl& rhCtl_;
  ShowFlag& shown_;
  QLineEdit* name_;
  QLineEdit* tag_;
  QLineEdit* password_;
  QLineEdit* alias_;
  QPushButton* ok_;
  QPushButton* cancel_;
};
