// The receive-file panel: the main window's sheet for a contact's offer.
// While waiting it shows the offer, a 30-second count-down, the folder to
// save into and the overwrite switch; once accepted, the progress.
#pragma once

#include "contacts/receive_file.h"
#include "shell/dialog_card.h"

class QCheckBox;
class QLabel;
class QLineEdit;
class QProgressBar;
class QPushButton;
class SymbolButton;

class ViewReceiveFile : public DialogCard {
  Q_OBJECT
 public:
  // `title` is held, not shown; the folder, when not empty, replaces the stored one.
  ViewReceiveFile(MainViewHandle& window, ContactsPort& port, const QString& title, const QString& saveAt,
                  bool overwrite, QWidget* parent = nullptr);

  ReceiveFile& logic() { return logic_; }
  QPushButton* okButton() const { return ok_; }
  QPushButton* cancelButton() const { return cancel_; }
  QLineEdit* folderField() const { return folder_; }
  QProgressBar* countdownBar() const { return countdown_; }
  QWidget* waitingBox() const { return waiting_; }
  QWidget* runningBox() const { return running_; }

 public slots:
  // Redraws from the record and the panel's state.
  void refresh();

 private:
  ReceiveFile logic_;
  QString strTitle_;
  QLabel* summary_;
  QProgressBar* countdown_;
  QLineEdit* folder_;
  QCheckBox* overwrite_;
  QWidget* waiting_;
  QWidget* running_;
  QLabel* log1_;
  QLabel* log2_;
  QLabel* log3_;
  QProgressBar* progress_;
  QPushButton* ok_;
  QPushButton* cancel_;
};
