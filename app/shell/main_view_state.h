// The main window's state and the services other code reaches through
// MainViewShared: pages and their titles, the navigation colours, toasts, the
// common dialogs' records and show flags, the sheets' flags, the quit question,
// the window's own account record and the heartbeat's one-second clock. Views draw it; tests drive it. Main thread only;
// the MainViewHandle calls made on another thread are moved to this object's
// thread.
#pragma once

#include "bridge/user_info.h"
#include "shell/view_handles.h"
#include "local_sharing/sharing_obj.h"
#include "shell/dialog_settings.h"
#include "shell/show_flag.h"
#include "shell/toast_state.h"

#include <QList>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QThread>
#include <QTimer>

#include <functional>
#include <memory>

class MainViewState : public QObject, public MainViewHandle {
  Q_OBJECT
 public:
  static constexpr int kPageCount = 4;
  // Page indexes: local sharing, remote sharing, send file, settings.
  enum Page { pageLocalSharing = 0, pageRemoteSharing = 1, pageSendFile = 2, pageSettings = 3 };

  explicit MainViewState(QObject* parent = nullptr);
  ~MainViewState() override;

  // --- pages and navigation ---
  const QList<bool>& isShowingView() const { return isShowingView_; }
  const QStringList& colorShowingView() const { return colorShowingView_; }
  const QStringList& colorShowingViewBorder() const { return colorShowingViewBorder_; }
  int iViewIndex() const { return iViewIndex_; }
  // The page titles, in index order, looked up when the window was built.
  const QStringList& subViewTitles() const { return subViewTitles_; }
  // The banner's page title: empty when iViewIndex names no page.
  QString bannerTitle() const;
  // The pages the side navigation offers, in order (send file included, so
  // that the contacts page can be reached).
  static QList<int> navigationPages() { return {pageLocalSharing, pageRemoteSharing, pageSendFile, pageSettings}; }
  void selectTab(int index);
  // The side navigation shows only while the login sheet is closed.
  bool isSideNavVisible() const { return !isShowLogin.value(); }

  // --- banner ---
  // The window's own account record; the banner shows its name_acc.
  const std::shared_ptr<UserInfo>& userInfo() const { return userInfo_; }
  QString userName() const { return userInfo_->name_acc; }
  void setUserName(const QString& name);
  // Looked up with the banner; held, not displayed.
  const QStringList& memberTypeTexts() const { return memberTypeTexts_; }
  QString versionLine() const;
  // A tap on the banner opens the QR-code settings sheet through MainViewShared, if set.
  void bannerTapped();

  // --- first display, login sheet and share list ---
  // Stores this window as Env::MainViewShared, opens the login sheet and starts the heartbeat clock.
  void onAppear();
  // Fills the share list with all of the account's shares (the heartbeat's
  // reload); closing the login sheet does the same after logging "ReloadSharingList".
  void loadShareList();
  int timerCounter = 0;  // heartbeat ticks, counted by the heartbeat

  // --- dialogs raised on this window ---
  void openConfirmDialog(const QString& title, const QString& info, DialogAction okAction);
  void openInputDialog(const QString& title, const QString& value, DialogAction okAction, int lenMin, int lenMax,
                       DialogInput_Setting_ValidType validType, bool isAllowEmpty);

  // --- quit question and the one way out ---
  // Asks the quit question (the quit button, the window's close box); not once quitting.
  void requestQuit();
  // true: quitApp(); false: the question closes, nothing else changes.
  void answerQuit(bool quit);
  // Logs "done" and ends the application.
  void quitApp();
  // Ends the application: from here on the window accepts being closed, and
  // the quit function (by default the application's quit, which closes every
  // window and then ends the event loop, and with it the bridge) runs. Also
  // the path of the termination signals and of the upgrade.
  void endApplication();
  bool isQuitting() const { return quitting_; }
  void setQuitFunction(std::function<void()> quit) { quitFunction_ = std::move(quit); }

  // --- MainViewHandle ---
  void showToast(const QString& text) override;
  void showUpdateResult(bool success) override;
  void showAlertToast(const AlertToast& toast) override;
  void openQRSettings() override;
  CtlViewReceiveFile& ctlViewReceiveFile() override { return ctlViewReceiveFile_; }
  void receiveFilePanelChanged() override;
  SharingObjList* sharingObjList() override { return &sharingObjList_; }

  // Show flags and records (the window's view state).
  ShowFlag isShowQRSettings;
  ShowFlag isShowLogin;
  ShowFlag isShowConfirmDialog;
  ShowFlag isShowingExitDialog;
  ShowFlag isShowDialog_Input;
  ShowFlag isShowReceiveFile;  // mirrors ctlViewReceiveFile().isShowView
  DialogConfirmSetting dialogConfirmSetting;
  DialogInput_Setting dialogInputSetting;
  ToastState toast{ToastState::kMainWindowMs};  // alertToast and isShowToast

 signals:
  void pageChanged(int index);
  void userNameChanged(const QString& name);
  void receiveFileChanged();
  void heartbeatTick();  // every second once the window has been shown

 private:
  template <class F>
  void onOwnThread(F&& work) {
    if (QThread::currentThread() == thread())
      work();
    else
      QMetaObject::invokeMethod(this, std::forward<F>(work), Qt::QueuedConnection);
  }
  void reloadSharingList();

  QList<bool> isShowingView_;
  QStringList colorShowingView_;
  QStringList colorShowingViewBorder_;
  int iViewIndex_ = 0;
  QStringList subViewTitles_;
  QStringList memberTypeTexts_;
  std::shared_ptr<UserInfo> userInfo_ = std::make_shared<UserInfo>();
  CtlViewReceiveFile ctlViewReceiveFile_;
  SharingObjList sharingObjList_;  // the application's one share list, empty until first loaded
  std::function<void()> quitFunction_;
  bool quitting_ = false;
  QTimer heartbeat_;
};
