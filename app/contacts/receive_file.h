// The receiving side of a direct send: the panel a contact's offer raises.
// The user has 30 seconds to accept into a folder or to refuse; the sender
// reads the answer from the main window's record (`taskState`). Once accepted,
// the panel polls this machine's bridge once a second for the receive's
// progress, and closes with a toast when it finishes or is cancelled.
#pragma once

#include "shell/view_handles.h"
#include "contacts/contacts_port.h"

#include <QObject>
#include <QString>
#include <QTimer>

class ReceiveFile : public QObject {
  Q_OBJECT
 public:
  static constexpr int kCountDownSeconds = 30;

  // `window` holds the record; it outlives the panel.
  ReceiveFile(MainViewHandle& window, ContactsPort& port, QObject* parent = nullptr);

  CtlViewReceiveFile& record() { return window_.ctlViewReceiveFile(); }

  // The panel was shown: answer "0" and the receive folder (created on first use).
  void onAppear();
  // Starts the one-second clock (the panel does while shown).
  void startTimer() { timerTask.start(); }
  void onTimer();
  // OK: accepts into the folder in the field.
  void accept();
  // Cancel: refuses while waiting, cancels a running receive.
  void cancelTapped();
  // The close icon.
  void closeTapped();
  void cancelReceive();
  void onTaskStatusReply(const std::optional<vex::Json>& reply);
  // Closes with a toast; a reason shows beneath the text; a failure (files
  // left out, or a receive that broke off) with the failure symbol.
  void finishReceive(const QString& text, const QString& reason = {}, bool failure = false);
  // A folder picked in the chooser: taken and stored when it is an existing folder.
  void folderChosen(const QString& chosen);
  // Opens the folder chooser (folders only).
  void chooseFolder();

  static QString defaultReceiveFolder();

  QString downloadSaveAt;
  bool isOverwrite = true;  // told to the bridge with the accepted folder
  QTimer timerTask;
  QString logInfo1;
  QString logInfo2;
  QString logInfo3;
  float dstatus_CurrentTaskPercent = 0;

 signals:
  void changed();

 private:
  void closePanel();

  MainViewHandle& window_;
  ContactsPort& port_;
};
