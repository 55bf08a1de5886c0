#include "contacts/contact_send.h"

#include "bridge/env.h"
#include "bridge/link_attempts.h"
#include "remote_sharing/saved_hosts.h"
#include "remote_sharing/transfer_progress.h"
#include "core/json_read.h"
#include "bridge/payloads.h"
#include "bridge/user_info.h"
#include "core/localized.h"
#include "core/log.h"
#include "core/util_system.h"

#include <QPointer>
#include <QUuid>

namespace {

// "PreparingUpload": the chosen paths, announced to this machine's bridge,
// which answers with their items ("Path", "IsDir", "Size").
struct PreparingUploadInfo {
  QString Targets;
  QString LocalRootPath;
  QString RemoteSaveRootPath;
  VEX_FIELDS(Targets, LocalRootPath, RemoteSaveRootPath)
};

const QString kSendHostTag = QStringLiteral("KELVORSENDFILE");

QString freshUuid() { return QUuid::createUuid().toString(QUuid::WithoutBraces).toUpper(); }

QStringList splitTargets(const QString& joined) { return joined.split(QLatin1Char('|'), Qt::SkipEmptyParts); }

vex::Json tree(const auto& model) { return model.toJSONModel(); }

vex::Json uploadStatus(const PeerLink& link) { return tree(RemoteUploadStatus{link.session, QStringLiteral("YES")}); }

}  // namespace

ContactSend::ContactSend(ContactsPort& port, QObject* parent) : QObject(parent), port_(port) {
  uuid = freshUuid();
  timerTask.setInterval(1000);
  connect(&timerTask, &QTimer::timeout, this, &ContactSend::ContactTimerTick);
  schedule = [this](int ms, std::function<void()> work) { QTimer::singleShot(ms, this, std::move(work)); };
}

ContactSend::~ContactSend() {
  // A link result arriving after the page is gone reaches no page.
  if (Env::ViewContactShared == this) {
    Env::ViewContactShared = nullptr;
    linkattempts::withdraw(LinkOwner::contactSend);
  }
}

void ContactSend::chooseTargets() {
  const QString chosen = UtilSystem::openPanelModal(QStringLiteral("Choose one file or folder"), 2);
  if (chosen.isEmpty()) return;
  setUploadTarget(chosen);
}

void ContactSend::sendNowPressed() {
  if (uploadTarget.isEmpty()) {
    const QString chosen = UtilSystem::openPanelModal(QStringLiteral("Choose one file or folder"), 2);
    if (chosen.isEmpty()) return;
    setUploadTarget(chosen);
  }
  ContactSendNow();
}

void ContactSend::setUploadTarget(const QString& joinedPaths) {
  uploadTarget = joinedPaths;
  emit changed();
  PreparingUpload();
}

void ContactSend::PreparingUpload() {
  const QStringList targets = splitTargets(uploadTarget);
  if (targets.isEmpty()) return;
  PreparingUploadInfo info{uploadTarget, UtilSystem::parentPath(targets.first()), QStringLiteral("Z:\\")};
  QPointer<ContactSend> self(this);
  port_.sendToBridge(QStringLiteral("PreparingUpload"), tree(info), true,
                     [self](const std::optional<vex::Json>& reply) {
                       if (self) self->OnPreparingUploadReply(reply);
                     });
}

void ContactSend::OnPreparingUploadReply(const std::optional<vex::Json>& reply) {
  qint64 count = 0;
  qint64 total = 0;
  QString firstName;
  if (reply && reply->is_array()) {
    listTargetItems = *reply;
    count = qint64(reply->size());
    if (count > 0) firstName = UtilSystem::fileNameOfPath(jsonread::text((*reply)[0], "Path"));
    for (const vex::Json& item : *reply) total += jsonread::integer(item, "Size");
  } else {
    // A refusal or no answer: nothing can be offered from it.
    listTargetItems.reset();
    zlog::line(QStringLiteral("PreparingUpload - no item list"));
  }
  BuildUploadSummary(count, firstName, total);
}

void ContactSend::BuildUploadSummary(qint64 count, const QString& firstName, qint64 total) {
  const QString size = total < 0 ? QString() : UtilSystem::formatSize(quint64(total));
  if (count == 1)
    logInfo = firstName + QStringLiteral(" ") + size;
  else
    logInfo = firstName + QStringLiteral("(") + QString::number(count) + QStringLiteral(" objects) ") + size;
  uploadSummary = logInfo;
  emit changed();
}

void ContactSend::ContactSendNow() {
  vcsState = ViewContactState::vcsConnecting;
  timeoutCheckCounter = 0;
  Env::ViewContactShared = this;
  emit changed();
  ContactsPort* port = &port_;
  linkattempts::open(LinkOwner::contactSend,
                     [port, mail = cpSelected.cpmail] { port->clientInit(mail, kSendHostTag, QString()); });
}

void ContactSend::OnClientInitResult(ConStatus status, const PeerLink& link) {
  switch (status) {
    case ConStatus::csConnected:
      link_ = link;
      zlog::line(QStringLiteral("Con!!!!"));
      vcsState = ViewContactState::vcsConnected;
      SendWaitRemoteReceiveFiles();
      break;
    case ConStatus::csMaxClients:
      StopContactSend(QStringLiteral("Max Connection Limits Reached!"));
      break;
    default:
      StopContactSend(L("RS_Host_NotAvialableAndCheck"));
      break;
  }
}

void ContactSend::SendWaitRemoteReceiveFiles() {
  vcsState = ViewContactState::vcsWaitingUser;
  iWaitRemoteCounter = 0;
  timeOutTold_ = false;
  uuid = freshUuid();
  emit changed();
  WaitRemoteReceiveFilesJSON offer{link_.session, uploadSummary, UserInfo::shared()->name_acc, uuid};
  QPointer<ContactSend> self(this);
  port_.sendToRemote(link_, QStringLiteral("WaitRemoteReceiveFiles"), tree(offer), true, QStringLiteral("NO"),
                     [self](const std::optional<vex::Json>& reply) {
                       if (!self) return;
                       if (reply) (void)jsonread::text(*reply, "data");  // read, not used
                       self->WaitRemoteAcceptPoll(true);
                     });
}

void ContactSend::WaitRemoteAcceptPoll(bool reset) {
  if (reset) {
    iWaitTime = 0;
    userReturnInfo = QStringLiteral("0");
    isUserPressedButton = false;
    ++pollRound_;
  }
  if (isUserPressedButton) return;
  zlog::line(QStringLiteral("CHECK waitForRemoteReceivePressButton ") + zlog::excerpt(userReturnInfo));
  const quint64 round = pollRound_;
  QPointer<ContactSend> self(this);
  port_.sendToRemote(link_, QStringLiteral("WaitRemoteReceiveFilesPressButton"),
                     tree(WaitRemoteReceiveFilesPressButton{uuid}), true, QStringLiteral("NO"),
                     [self, round](const std::optional<vex::Json>& reply) {
                       if (self && self->pollRound_ == round) self->OnPressButtonReply(reply);
                     });
  if (userReturnInfo == QLatin1String("0")) {
    schedule(1000, [self, round] {
      if (self && self->pollRound_ == round) self->WaitRemoteAcceptTick();
    });
  }
}

void ContactSend::WaitRemoteAcceptTick() {
  // The answer came in meanwhile: this round of polls is over.
  if (isUserPressedButton || userReturnInfo != QLatin1String("0")) return;
  iWaitTime += 1;
  if (iWaitTime >= kMaxAnswerPolls) {
    ++pollRound_;  // a late answer no longer starts anything
    if (std::exchange(timeOutTold_, true)) return;
    StopContactSend(QStringLiteral("User rejected receiving the files"), L("Contact_NoAnswer"));
    return;
  }
  WaitRemoteAcceptPoll(false);
}

void ContactSend::OnPressButtonReply(const std::optional<vex::Json>& reply) {
  // No reply object counts as undecided.
  const QString answer =
      (reply && reply->is_object()) ? jsonread::text(*reply, "data") : QStringLiteral("0");
  userReturnInfo = answer;
  zlog::line(QStringLiteral("waitForRemoteReceivePressButton ") + zlog::excerpt(answer) + QStringLiteral("  | ") +
             QString::number(iWaitTime));
  if (answer == QLatin1String("0")) return;
  if (answer == QLatin1String("2")) {
    StopContactSend(QStringLiteral("File transfer has been canceled!"), L("Contact_Declined"));
    return;
  }
  if (answer.isEmpty()) {
    // Accepted without a folder to save into: nothing can be placed, so the
    // offer is withdrawn, which also closes the contact's panel.
    isUserPressedButton = true;
    port_.sendToRemote(link_, QStringLiteral("WaitRemoteReceiveFilesCancel"),
                       tree(WaitRemoteReceiveFilesCancelJson{link_.session}), false, QStringLiteral("NO"), {});
    StopContactSend(QStringLiteral("File transfer has been canceled!"));
    return;
  }
  isUserPressedButton = true;
  StartContactUpload(answer);
}

void ContactSend::StartContactUpload(const QString& saveFolder) {
  const QStringList targets = splitTargets(uploadTarget);
  if (targets.isEmpty()) return;
  if (!listTargetItems || listTargetItems->empty()) {
    // The bridge never listed the chosen items: there is nothing to upload.
    zlog::line(QStringLiteral("StartContactUpload - no item list, offer withdrawn"));
    port_.sendToRemote(link_, QStringLiteral("WaitRemoteReceiveFilesCancel"),
                       tree(WaitRemoteReceiveFilesCancelJson{link_.session}), false, QStringLiteral("NO"), {});
    StopContactSend(QStringLiteral("File transfer has been canceled!"));
    return;
  }
  const QString root = UtilSystem::parentPath(targets.first());
  UploadTaskInfo task{link_.session, link_.clientId1, link_.clientId2, {}};
  for (const vex::Json& element : *listTargetItems) {
    WorkingItem item;
    item.Path = jsonread::text(element, "Path");
    item.IsDir = contactjson::boolean(element, "IsDir");
    item.Size = jsonread::integer(element, "Size");
    item.PathSave = UtilSystem::mapPathToRoot(saveFolder, root, item.Path);
    task.FileList << item;
  }
  QPointer<ContactSend> self(this);
  port_.sendToBridge(QStringLiteral("StartRemoteUpload"), tree(task), true, [self](const std::optional<vex::Json>&) {
    if (!self) return;
    self->vcsState = ViewContactState::vcsSending;
    emit self->changed();
  });
}

void ContactSend::ContactTimerTick() {
  if (timeoutCheckCounter >= 0) timeoutCheckCounter += 1;
  if (vcsState == ViewContactState::vcsConnecting && timeoutCheckCounter > kConnectTicks) {
    timeoutCheckCounter = -1;
    StopContactSend(QStringLiteral("Connect timeout!\nPlease try agian later."));
  }
  if (iWaitRemoteCounter >= 0) iWaitRemoteCounter += 1;
  QPointer<ContactSend> self(this);
  if (vcsState == ViewContactState::vcsWaitingUser && iWaitRemoteCounter > kAnswerSeconds - 1) {
    // The contact let the time pass: told as a time-out, not as a cancel,
    // and once (the polls' own limit then ends quietly).
    iWaitRemoteCounter = -1;
    timeOutTold_ = true;
    port_.sendToRemote(link_, QStringLiteral("CancelUploading"), uploadStatus(link_), true, QStringLiteral("YES"),
                       [self](const std::optional<vex::Json>&) {
                         if (!self) return;
                         self->vcsState = ViewContactState::vcsStopped;
                         self->StopContactSend(QStringLiteral("User rejected receiving the files"), L("Contact_NoAnswer"));
                       });
  }
  if (vcsState == ViewContactState::vcsSending) {
    port_.sendToRemote(link_, QStringLiteral("RemoteUploadTaskInfo"), uploadStatus(link_), true, QStringLiteral("YES"),
                       [self](const std::optional<vex::Json>& reply) {
                         if (self && reply && reply->is_object()) self->RemoteUploadTaskInfoResult(*reply);
                       });
  }
  emit changed();
}

void ContactSend::RemoteUploadTaskInfoResult(const vex::Json& progress) {
  // A reading that comes back after the send ended (an earlier tick's) would
  // end it, and toast, a second time.
  if (vcsState != ViewContactState::vcsSending) return;
  dstatus_TaskStatus = jsonread::integer(progress, "TaskStatus");
  dstatus_TotalTaskCount = jsonread::integer(progress, "TotalTaskCount");
  dstatus_TotalTaskDoneCount = jsonread::integer(progress, "TotalTaskDoneCount");
  dstatus_CurrentTaskFile = jsonread::text(progress, "CurrentTaskFile");
  dstatus_CurrentTaskSpeed = jsonread::text(progress, "CurrentTaskSpeed");
  dstatus_CurrentTaskPercent = float(contactjson::number(progress, "CurrentTaskPercent"));
  dstatus_CurrentTaskFileSize = jsonread::integer(progress, "CurrentTaskFileSize");
  dstatus_WorkingItemName = UtilSystem::fileNameOfPath(dstatus_CurrentTaskFile);
  if (dstatus_TotalTaskDoneCount > 0) dstatus_WorkingIndex = dstatus_TotalTaskDoneCount;

  const TransTaskReading record = TransTaskReading::read(progress);
  const bool finished = dstatus_TaskStatus == 1;
  const bool canceled = record.ForceCancel == 1;
  if (finished) {
    // The success text only when nothing was left out.
    if (const PartialEnding partial = partialEnding(record, TransferSide::Send); !partial.isEmpty())
      StopContactSend(partial.counts, partial.details, true);
    else
      StopContactSend(QStringLiteral("Send file finished successfully!"));
    uploadTarget.clear();
    timeoutCheckCounter = -1;
  }
  if (canceled) {
    vcsState = ViewContactState::vcsStopped;
    timeoutCheckCounter = -1;
    iWaitRemoteCounter = -1;
    const TransferEnding end = transferEnding(record, TransferSide::Send, QStringLiteral("File transfer has been canceled!"),
                                              L("Transfer_SendFailed"));
    StopContactSend(end.text, end.reason, end.failed);
  }

  const qint64 itemNumber =
      dstatus_TotalTaskDoneCount < dstatus_TotalTaskCount ? dstatus_TotalTaskDoneCount + 1 : dstatus_TotalTaskCount;
  const QString size =
      dstatus_CurrentTaskFileSize < 0 ? QString() : UtilSystem::formatSize(quint64(dstatus_CurrentTaskFileSize));
  SyncTransStateToRemoteHostJson sync;
  sync.Log = QStringLiteral("(") + QString::number(itemNumber) + QStringLiteral("/") +
             QString::number(dstatus_TotalTaskCount) + QStringLiteral(") ") + dstatus_WorkingItemName +
             QStringLiteral(" ") + size + QStringLiteral("  ") + dstatus_CurrentTaskSpeed;
  sync.IProgress = dstatus_CurrentTaskPercent;
  sync.IsFinished = finished;
  sync.IsCanceled = canceled;
  const vex::Json payload = tree(sync);
  zlog::parts(QStringLiteral("SyncTransState"), QString::fromStdString(vex::dump(payload).value_or(std::string())));
  port_.sendToRemote(link_, QStringLiteral("SyncTransState"), payload, false, QStringLiteral("NO"), {});
  emit changed();
}

void ContactSend::CancelContactSend() {
  if (vcsState == ViewContactState::vcsWaitingUser) {
    CancelWaitingContact();
    return;
  }
  QPointer<ContactSend> self(this);
  port_.sendToRemote(link_, QStringLiteral("CancelUploading"), uploadStatus(link_), true, QStringLiteral("YES"),
                     [self](const std::optional<vex::Json>&) {
                       if (!self) return;
                       self->vcsState = ViewContactState::vcsStopped;
                       self->StopContactSend(L("Contact_TransferCanceled"));
                     });
}

void ContactSend::CancelWaitingContact() {
  isUserPressedButton = true;
  ++pollRound_;  // an answer already on its way starts nothing
  port_.sendToRemote(link_, QStringLiteral("WaitRemoteReceiveFilesCancel"),
                     tree(WaitRemoteReceiveFilesCancelJson{link_.session}), false, QStringLiteral("NO"), {});
  vcsState = ViewContactState::vcsStopped;
  StopContactSend(L("Contact_TransferCanceled"));
}

void ContactSend::StopContactSend(const QString& message, const QString& reason, bool failure) {
  emit toastRequested(message, reason, failure);
  timeoutCheckCounter = -1;
  iWaitRemoteCounter = -1;
  linkattempts::withdraw(LinkOwner::contactSend);
  vcsState = ViewContactState::vcsStopped;
  emit changed();
}
