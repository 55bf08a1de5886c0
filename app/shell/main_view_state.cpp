#include "shell/main_view_state.h"

#include "bridge/env.h"
#include "core/localized.h"
#include "core/log.h"
#include "local_sharing/share_store.h"

#include <QCoreApplication>

namespace {

AlertToast initialToast() { return makeToast(AlertToast::Type::complete, QStringLiteral("green"), {}); }

}  // namespace

MainViewState::MainViewState(QObject* parent)
    : QObject(parent),
      isShowingView_{true, false, false, false},
      colorShowingView_{QStringLiteral("ColorMain0"), QStringLiteral("navDisabled"), QStringLiteral("navDisabled"),
                        QStringLiteral("navDisabled")},
      colorShowingViewBorder_{QStringLiteral("activeBorder"), QStringLiteral("navBG"), QStringLiteral("navBG"),
                              QStringLiteral("navBG")},
      subViewTitles_{L("Banner_Func_LocalSharing"), L("Banner_Func_RemoteSharing"), L("Banner_Func_SendFile"),
                     L("Banner_Func_Settings")},
      memberTypeTexts_{L("MemberType_FreeUser"), L("MemberType_Std"), L("MemberType_Adv"), L("MemberType_Exp"),
                       L("MemberType_Ano")},
      quitFunction_([] { QCoreApplication::quit(); }) {
  toast.setToast(initialToast());
  heartbeat_.setInterval(1000);
  connect(&heartbeat_, &QTimer::timeout, this, &MainViewState::heartbeatTick);
  connect(&isShowLogin, &ShowFlag::changed, this, [this](bool shown) {
    if (!shown) reloadSharingList();
  });
  // The receive-file panel's own flag lives in its record; keep the sheet's flag in step both ways.
  connect(&isShowReceiveFile, &ShowFlag::changed, this, [this](bool shown) {
    if (ctlViewReceiveFile_.isShowView == shown) return;
    ctlViewReceiveFile_.isShowView = shown;
    emit receiveFileChanged();
  });
}

MainViewState::~MainViewState() {
  if (Env::MainViewShared == this) Env::MainViewShared = nullptr;
}

QString MainViewState::bannerTitle() const {
  return iViewIndex_ >= 0 && iViewIndex_ < subViewTitles_.size() ? subViewTitles_[iViewIndex_] : QString();
}

void MainViewState::selectTab(int index) {
  iViewIndex_ = index;
  if (!isShowingView_.isEmpty()) {
    for (int i = 0; i < isShowingView_.size(); ++i) {
      const bool selected = i == index;
      isShowingView_[i] = selected;
      colorShowingView_[i] = selected ? QStringLiteral("ColorMain0") : QStringLiteral("navDisabled");
      colorShowingViewBorder_[i] = selected ? QStringLiteral("activeBorder") : QStringLiteral("navBG");
    }
  }
  emit pageChanged(index);
}

void MainViewState::setUserName(const QString& name) {
  if (userInfo_->name_acc == name) return;
  userInfo_->name_acc = name;
  emit userNameChanged(name);
}

QString MainViewState::versionLine() const { return L("Ver. ") + Env::AppVersion; }

void MainViewState::bannerTapped() {
  if (MainViewHandle* shared = Env::MainViewShared) shared->openQRSettings();
}

void MainViewState::onAppear() {
  Env::MainViewShared = this;
  isShowLogin.set(true);
  if (!heartbeat_.isActive()) heartbeat_.start();
}

void MainViewState::reloadSharingList() {
  zlog::line(QStringLiteral("ReloadSharingList"));
  loadShareList();
}

void MainViewState::loadShareList() { sharingObjList_.setItems(loadShares(QString(), false, false)); }

void MainViewState::openConfirmDialog(const QString& title, const QString& info, DialogAction okAction) {
  dialogConfirmSetting.setTitle(title);
  dialogConfirmSetting.setInfo(info);
  dialogConfirmSetting.setOkAction(std::move(okAction));
  isShowConfirmDialog.set(true);
}

void MainViewState::openInputDialog(const QString& title, const QString& value, DialogAction okAction, int lenMin,
                                    int lenMax, DialogInput_Setting_ValidType validType, bool isAllowEmpty) {
  dialogInputSetting.setAll(title, value, std::move(okAction), lenMin, lenMax, validType, isAllowEmpty);
  isShowDialog_Input.set(true);
}

void MainViewState::requestQuit() {
  if (!quitting_) isShowingExitDialog.set(true);
}

void MainViewState::answerQuit(bool quit) {
  isShowingExitDialog.set(false);
  if (quit) quitApp();
}

void MainViewState::quitApp() {
  zlog::line(QStringLiteral("done"));
  endApplication();
}

void MainViewState::endApplication() {
  quitting_ = true;
  heartbeat_.stop();  // no restart of the bridge while it is being ended
  if (quitFunction_) quitFunction_();
}

void MainViewState::showToast(const QString& text) {
  onOwnThread([this, text] {
    this->toast.show(makeToast(AlertToast::Type::regular, {}, text));
  });
}

void MainViewState::showUpdateResult(bool success) {
  onOwnThread([this, success] {
    this->toast.show(success ? makeToast(AlertToast::Type::complete, QStringLiteral("green"), L("Sys_Update_Succ"))
                             : makeToast(AlertToast::Type::error, QStringLiteral("red"), L("Sys_Update_Failed")));
  });
}

void MainViewState::showAlertToast(const AlertToast& toast) {
  onOwnThread([this, toast] { this->toast.show(toast); });
}

void MainViewState::openQRSettings() {
  onOwnThread([this] { isShowQRSettings.set(true); });
}

void MainViewState::receiveFilePanelChanged() {
  onOwnThread([this] {
    isShowReceiveFile.set(ctlViewReceiveFile_.isShowView);
    emit receiveFileChanged();
  });
}
