// Sending files straight to a contact: the user picks files or folders, the
// application opens a peer link to the contact's account (by e-mail, host tag
// "KELVORSENDFILE"), offers the files, polls the contact's answer once a
// second, and on acceptance has its own bridge upload them into the folder the
// contact chose, reading the progress once a second and mirroring it to the
// contact. The application itself never moves file data.
#pragma once

#include "shell/view_handles.h"
#include "contacts/contact_person.h"
#include "contacts/contacts_port.h"

#include <QObject>
#include <QString>
#include <QTimer>

#include <functional>
#include <optional>

enum class ViewContactState : quint8 { vcsConnecting = 0, vcsConnected, vcsWaitingUser, vcsSending, vcsStopped };

class ContactSend : public QObject, public ViewContactHandle {
  Q_OBJECT
 public:
  // Polls of the contact's answer before the send gives up; seconds the
  // contact is given; ticks allowed for the link to come up.
  static constexpr int kMaxAnswerPolls = 30;
  static constexpr int kAnswerSeconds = 30;
  static constexpr int kConnectTicks = 7;

  explicit ContactSend(ContactsPort& port, QObject* parent = nullptr);
  ~ContactSend() override;

  // Starts the one-second clock (the page does while it is shown).
  void startTimer() { timerTask.start(); }

  // The choose button: the chooser, then the item list of the chosen paths.
  void chooseTargets();
  // The Send Now button.
  void sendNowPressed();
  // The Cancel button.
  void CancelContactSend();

  // Seconds left to the contact while waiting for the answer.
  int countdown() const { return kAnswerSeconds - iWaitRemoteCounter; }

  // Steps of the exchange (the buttons, the clock and the replies call them).
  void setUploadTarget(const QString& joinedPaths);
  void PreparingUpload();
  void OnPreparingUploadReply(const std::optional<vex::Json>& reply);
  void BuildUploadSummary(qint64 count, const QString& firstName, qint64 total);
  void ContactSendNow();
  void OnClientInitResult(ConStatus status, const PeerLink& link) override;
  void SendWaitRemoteReceiveFiles();
  void WaitRemoteAcceptPoll(bool reset);
  void WaitRemoteAcceptTick();
  void OnPressButtonReply(const std::optional<vex::Json>& reply);
  void StartContactUpload(const QString& saveFolder);
  void ContactTimerTick();
  void RemoteUploadTaskInfoResult(const vex::Json& progress);
  void CancelWaitingContact();
  // `failure`: the send failed or left files out (the failure symbol).
  void StopContactSend(const QString& message, const QString& reason = {}, bool failure = false);

  // Runs `work` after `ms` on the main thread; tests replace it to step the poll rhythm.
  std::function<void(int ms, std::function<void()> work)> schedule;

  // State of the send (read by the page and by tests).
  QString uuid;
  int timeoutCheckCounter = -1;
  QTimer timerTask;
  ViewContactState vcsState = ViewContactState::vcsStopped;
  ContactPerson cpSelected;
  QString uploadTarget;
  QString uploadSummary;
  QString logInfo;
  std::optional<vex::Json> listTargetItems;
  int iWaitRemoteCounter = kAnswerSeconds;
  qint64 dstatus_TaskStatus = 0;
  qint64 dstatus_TotalTaskCount = 1;
  qint64 dstatus_TotalTaskDoneCount = 0;
  qint64 dstatus_CurrentTaskFileSize = 0;
  QString dstatus_CurrentTaskFile;
  QString dstatus_CurrentTaskSpeed;
  QString dstatus_WorkingItemName;
  float dstatus_CurrentTaskPercent = 0;
  qint64 dstatus_WorkingIndex = 1;
  QString userReturnInfo;
  int iWaitTime = 0;
  bool isUserPressedButton = false;

 signals:
  // Something the send panel shows changed.
  void changed();
  // The page's toast (shown for 2 s).
  // `reason`, when not empty, says why a send ended early or left files out;
  // `failure` shows it with the failure symbol.
  void toastRequested(const QString& text, const QString& reason = {}, bool failure = false);

 private:
  ContactsPort& port_;
  // The link to the contact, from its connection result: every request of
  // the send travels on it, whatever link opens meanwhile.
  PeerLink link_;
  // Each offer starts a new round of polls; ticks and answers of an older
  // round are ignored.
  quint64 pollRound_ = 0;
  bool timeOutTold_ = false;  // the contact's silence was told for this offer
};
