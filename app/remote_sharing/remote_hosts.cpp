#include "remote_sharing/remote_hosts.h"

#include "bridge/env.h"
#include "core/localized.h"
#include "core/log.h"
#include "core/util_system.h"
#include "remote_sharing/remote_file_list.h"
#include "remote_sharing/remote_toast.h"

#include <QPointer>
#include <QTimer>
#include <QUuid>

bool RemoteHostEditorLogic::isHostNameValid(const QString& name) { return UtilSystem::isValidAccountName(name); }

bool RemoteHostEditorLogic::isHostTagValid(const QString& tag) {
  return tag.isEmpty() || UtilSystem::isValidAccountName(tag);
}

RemoteHostEditorLogic::FocusedField RemoteHostEditorLogic::onOK(ViewSharingRemoteHostCtrl& ctl) {
  if (!isHostNameValid(ctl.remoteSharing.hostname)) return FocusedField::hostName;
  if (!isHostTagValid(ctl.remoteSharing.hosttag)) return FocusedField::hostTag;
  ctl.isESaved = true;
  ctl.isShowView = !ctl.isShowView;
  return FocusedField::none;
}

RemoteHostsController::RemoteHostsController(QObject* parent) : QObject(parent) {
  // The sheet closes by clearing the flag: the record follows and the page stores.
  connect(&isShowEditor, &ShowFlag::changed, this, [this](bool shown) {
    rhCtl_.isShowView = shown;
    if (!shown) saveRemoteHost();
  });
}

RemoteFileListController* RemoteHostsController::browser() const {
  return dynamic_cast<RemoteFileListController*>(Env::RemoteFileListShared);
}

QString RemoteHostsController::pickerTitle() const {
  return L("RS_RemoteHost") + QStringLiteral(" (") + QString::number(rsList_.size()) + QLatin1Char(')');
}

QString RemoteHostsController::selectedDisplayName() const {
  if (selectedRemoteHost_ < 0 || selectedRemoteHost_ >= rsList_.size()) return QString();
  return HelperRemoteSharing::hostDisplayName(rsList_[selectedRemoteHost_]);
}

void RemoteHostsController::setSelectedRemoteHost(int index) {
  if (index == selectedRemoteHost_) return;
  selectedRemoteHost_ = index;
  if (index >= 0) loadRemoteHostFileList(index);
  emit changed();
}

void RemoteHostsController::reloadHostList(int index) {
  rsList_ = HelperRemoteSharing::loadRemoteSharings();
  if (index == 999) index = int(rsList_.size()) - 1;
  if (index >= 0 && index < rsList_.size()) {
    loadRemoteHostFileList(index);
  } else if (rsList_.isEmpty() || index < 0) {
    selectedRemoteHost_ = -1;
    rhActive_.reset();
  }
  emit changed();
}

void RemoteHostsController::loadRemoteHostFileList(int index) {
  zlog::parts(QStringLiteral("loadRemoteHostFileList"), QString::number(index), QString::number(selectedRemoteHost_));
  if (index >= 0 && index < rsList_.size()) {
    rhCtl_.isEdit = false;
    rhCtl_.isESaved = false;
    rhCtl_.isShowView = false;
    isShowEditor.set(false);
    rhCtl_.remoteSharing = rsList_[index];
    rhActive_ = rsList_[index];
    if (RemoteFileListController* view = browser()) view->ConnectRemoteHost();
    selectedRemoteHost_ = index;
  } else {
    selectedRemoteHost_ = -1;
    rhActive_.reset();
  }
  emit changed();
}

void RemoteHostsController::onAppear(int delayMs) {
  reloadHostList(-1);
  QPointer<RemoteHostsController> self(this);
  QTimer::singleShot(delayMs, this, [self] {
    if (self) self->loadRemoteHostFileList(0);
  });
}

void RemoteHostsController::reconnect() {
  if (RemoteFileListController* view = browser()) view->ConnectRemoteHost();
}

void RemoteHostsController::addHost() {
  rhCtl_ = ViewSharingRemoteHostCtrl{};
  rhCtl_.isShowView = true;
  isShowEditor.set(true);
  emit changed();
}

void RemoteHostsController::editHost() {
  rhCtl_.isESaved = false;
  rhCtl_.isEdit = true;
  rhCtl_.isShowView = true;
  isShowEditor.set(true);
  emit changed();
}

void RemoteHostsController::askRemoveHost() {
  if (selectedRemoteHost_ >= 0) isShowingDialog.set(true);
}

void RemoteHostsController::removeHostDone() {
  if (selectedRemoteHost_ < 0 || selectedRemoteHost_ >= rsList_.size()) return;
  if (!HelperRemoteSharing::deleteRemoteSharing(rsList_[selectedRemoteHost_].hostid)) return;
  selectedRemoteHost_ = -1;
  remotetoast::show(L("RS_RemoveDone"));
  reloadHostList(0);
}

void RemoteHostsController::saveRemoteHost() {
  if (!rhCtl_.isESaved) return;
  if (rhCtl_.isEdit) {
    const bool ok = HelperRemoteSharing::updateRemoteSharing(rhCtl_.remoteSharing);
    remotetoast::show(ok ? L("RS_UpdateSucc") : L("RS_UpdateFailed"));
    reloadHostListSelecting(rhCtl_.remoteSharing.hostid);
  } else {
    rhCtl_.remoteSharing.hostid = QUuid::createUuid().toString(QUuid::WithoutBraces).toUpper();
    const bool ok = HelperRemoteSharing::insertRemoteSharing(rhCtl_.remoteSharing);
    remotetoast::show(ok ? L("RS_CreateSucc") : L("RS_CreateFailed"));
    reloadHostListSelecting(rhCtl_.remoteSharing.hostid);
  }
}

// The list is ordered by name: the host just added or edited is found by its
// id, wherever it sorts; without it the selection stays where it was.
void RemoteHostsController::reloadHostListSelecting(const QString& hostid) {
  const QList<RemoteSharing> hosts = HelperRemoteSharing::loadRemoteSharings();
  int index = selectedRemoteHost_;
  for (int i = 0; i < hosts.size(); ++i)
    if (hosts[i].hostid == hostid) index = i;
  reloadHostList(index);
}
