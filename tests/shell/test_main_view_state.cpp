#include "core/localized.h"
#include "core/util_db.h"
#include "local_sharing/share_account.h"
#include "local_sharing/share_store.h"
#include "shell/main_view_shared.h"
#include "shell/main_view_state.h"
#include "support/test_util.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QElapsedTimer>
#include <QTemporaryDir>
#include <QThread>

namespace {

QStringList strings(std::initializer_list<const char*> list) {
  QStringList out;
  for (const char* s : list) out << QString::fromUtf8(s);
  return out;
}

}  // namespace

TEST(MainViewState, InitialState) {
  MainViewState view;
  EXPECT_EQ(view.isShowingView(), (QList<bool>{true, false, false, false}));
  EXPECT_EQ(view.colorShowingView(), strings({"ColorMain0", "navDisabled", "navDisabled", "navDisabled"}));
  EXPECT_EQ(view.colorShowingViewBorder(), strings({"activeBorder", "navBG", "navBG", "navBG"}));
  EXPECT_EQ(view.iViewIndex(), 0);
  EXPECT_EQ(view.bannerTitle(), L("Banner_Func_LocalSharing"));
  EXPECT_EQ(view.subViewTitles().size(), 4);
  EXPECT_EQ(view.userName(), QStringLiteral("Anonymous"));
  ASSERT_NE(view.userInfo(), nullptr);
  EXPECT_NE(view.userInfo(), UserInfo::shared());  // the window's own record, not the shared one
  EXPECT_EQ(view.versionLine(), L("Ver. ") + Env::AppVersion);
  EXPECT_EQ(MainViewState::navigationPages(), (QList<int>{0, 1, 2, 3}));
  for (ShowFlag* flag : {&view.isShowQRSettings, &view.isShowLogin, &view.isShowConfirmDialog,
                         &view.isShowingExitDialog, &view.isShowDialog_Input, &view.toast.isShowToast()})
    EXPECT_FALSE(flag->value());
  EXPECT_TRUE(view.isSideNavVisible());
  const CtlViewReceiveFile& panel = view.ctlViewReceiveFile();
  EXPECT_FALSE(panel.isShowView);
  EXPECT_EQ(panel.vrsState, ViewReceiveState::vrsWaiting);
  EXPECT_EQ(panel.taskState, QStringLiteral("0"));
  EXPECT_EQ(panel.iCountDown, 30);
  EXPECT_EQ(view.toast.toast().type, AlertToast::Type::complete);
  ASSERT_NE(view.sharingObjList(), nullptr);
  EXPECT_TRUE(view.sharingObjList()->items().isEmpty());
}

TEST(MainViewState, AppearStoresHandleAndOpensLogin) {
  ASSERT_EQ(shell::mainViewShared(), nullptr);
  {
    MainViewState view;
    // Before the first display nothing reaches the window through the handle.
    view.bannerTapped();
    EXPECT_FALSE(view.isShowQRSettings.value());
    int ticks = 0;
    QObject::connect(&view, &MainViewState::heartbeatTick, [&] { ++ticks; });

    view.onAppear();
    EXPECT_EQ(shell::mainViewShared(), &view);
    EXPECT_TRUE(view.isShowLogin.value());
    EXPECT_FALSE(view.isSideNavVisible());
    EXPECT_EQ(view.iViewIndex(), 0);

    view.bannerTapped();
    EXPECT_TRUE(view.isShowQRSettings.value());

    // Closing the login sheet, for whatever reason, reloads the share list.
    int loads = 0;
    QObject::connect(view.sharingObjList(), &SharingObjList::itemsChanged, [&] { ++loads; });
    testing::internal::CaptureStdout();
    view.isShowLogin.set(false);
    EXPECT_NE(testing::internal::GetCapturedStdout().find("ReloadSharingList"), std::string::npos);
    EXPECT_EQ(loads, 1);
    EXPECT_TRUE(view.isSideNavVisible());

    // The heartbeat's clock runs from the first display, once a second.
    QElapsedTimer clock;
    clock.start();
    ASSERT_TRUE(testutil::waitUntil([&] { return ticks == 1; }, std::chrono::seconds(10)));
    EXPECT_LE(clock.elapsed(), 4000);  // generous: the machine may be busy
  }
  // A window that is gone leaves no dangling handle.
  EXPECT_EQ(shell::mainViewShared(), nullptr);
}

TEST(MainViewState, PageSwitching) {
  MainViewState view;
  QList<int> changes;
  QObject::connect(&view, &MainViewState::pageChanged, [&](int i) { changes << i; });
  view.selectTab(3);
  EXPECT_EQ(view.isShowingView(), (QList<bool>{false, false, false, true}));
  EXPECT_EQ(view.colorShowingView(), strings({"navDisabled", "navDisabled", "navDisabled", "ColorMain0"}));
  EXPECT_EQ(view.colorShowingViewBorder(), strings({"navBG", "navBG", "navBG", "activeBorder"}));
  EXPECT_EQ(view.bannerTitle(), L("Banner_Func_Settings"));
  view.selectTab(3);  // the page already shown: nothing changes
  EXPECT_EQ(view.colorShowingView()[3], QStringLiteral("ColorMain0"));
  view.selectTab(2);  // reachable from code though the navigation offers no item
  EXPECT_EQ(view.bannerTitle(), L("Banner_Func_SendFile"));
  view.selectTab(7);  // no such page: no title, no page shown
  EXPECT_EQ(view.bannerTitle(), QString());
  EXPECT_EQ(view.isShowingView(), (QList<bool>{false, false, false, false}));
  view.selectTab(-1);
  EXPECT_EQ(view.bannerTitle(), QString());
  EXPECT_EQ(changes, (QList<int>{3, 3, 2, 7, -1}));
}

TEST(MainViewState, ToastsAndTheirDisplayTime) {
  MainViewState view;
  // The clock starts before the toast's own timer, so it can only read longer.
  QElapsedTimer clock;
  clock.start();
  view.showToast(QStringLiteral("abc"));
  ASSERT_TRUE(view.toast.isShown());
  EXPECT_EQ(view.toast.toast().displayMode, AlertToast::DisplayMode::alert);
  EXPECT_EQ(view.toast.toast().type, AlertToast::Type::regular);
  EXPECT_EQ(view.toast.toast().title, QStringLiteral("abc"));
  EXPECT_FALSE(view.toast.toast().subTitle.has_value());

  ASSERT_TRUE(testutil::waitUntil([&] { return !view.toast.isShown(); }, std::chrono::seconds(10)));
  EXPECT_GE(clock.elapsed(), 875);  // never early (a few ms allowed for clock rounding)
  EXPECT_LE(clock.elapsed(), 4000);  // generous: the machine may be busy

  view.showUpdateResult(false);
  EXPECT_EQ(view.toast.toast().type, AlertToast::Type::error);
  EXPECT_EQ(view.toast.toast().color, QStringLiteral("red"));
  EXPECT_EQ(view.toast.toast().title, L("Sys_Update_Failed"));
  view.toast.dismiss();  // a tap removes it at once
  EXPECT_FALSE(view.toast.isShown());

  view.showUpdateResult(true);
  EXPECT_EQ(view.toast.toast().type, AlertToast::Type::complete);
  EXPECT_EQ(view.toast.toast().color, QStringLiteral("green"));
  EXPECT_EQ(view.toast.toast().title, L("Sys_Update_Succ"));

  // A toast raised while another shows replaces it and gets its full time.
  QThread::msleep(600);
  AlertToast own;
  own.type = AlertToast::Type::error;
  own.color = QStringLiteral("red");
  own.title = QStringLiteral("Download canceled.");
  clock.restart();
  view.showAlertToast(own);
  ASSERT_TRUE(testutil::waitUntil([&] { return !view.toast.isShown(); }, std::chrono::seconds(10)));
  EXPECT_GE(clock.elapsed(), 875);  // never early (a few ms allowed for clock rounding)
  EXPECT_EQ(view.toast.toast().title, QStringLiteral("Download canceled."));

  // A failure told with its reason stays its longer time, then the usual one applies again.
  own.subTitle = QStringLiteral("The disk is full.");
  own.minShowMs = kReasonToastMs;
  view.showAlertToast(own);
  ASSERT_TRUE(view.toast.isShown());
  EXPECT_FALSE(testutil::comesWithin([&] { return !view.toast.isShown(); }, std::chrono::milliseconds(kReasonToastMs - 500)));
  view.toast.dismiss();
  clock.restart();
  view.showToast(QStringLiteral("short"));
  ASSERT_TRUE(testutil::waitUntil([&] { return !view.toast.isShown(); }, std::chrono::seconds(10)));
  EXPECT_LT(clock.elapsed(), kReasonToastMs - 500);
}

TEST(MainViewState, CallsFromOtherThreadsRunOnTheWindowThread) {
  MainViewState view;
  Qt::HANDLE seenOn = nullptr;
  QObject::connect(&view.toast, &ToastState::toastChanged, [&] { seenOn = QThread::currentThreadId(); });
  QThread* worker = QThread::create([&] {
    view.showToast(QStringLiteral("from a worker"));
    view.openQRSettings();
  });
  worker->start();
  worker->wait();
  delete worker;
  EXPECT_FALSE(view.toast.isShown());  // nothing happened on the worker
  ASSERT_TRUE(testutil::waitUntil([&] { return view.isShowQRSettings.value(); }));
  EXPECT_EQ(view.toast.toast().title, QStringLiteral("from a worker"));
  EXPECT_EQ(seenOn, QThread::currentThreadId());
}

TEST(MainViewState, DialogsRaisedThroughTheWindow) {
  MainViewState view;
  int runs = 0;
  QStringList order;
  QObject::connect(&view.dialogConfirmSetting, &DialogConfirmSetting::changed, [&] { order << QStringLiteral("record"); });
  QObject::connect(&view.isShowConfirmDialog, &ShowFlag::changed, [&] { order << QStringLiteral("flag"); });
  view.openConfirmDialog(QStringLiteral("Remove"), QStringLiteral("Remove the share?"), [&] { ++runs; });
  EXPECT_TRUE(view.isShowConfirmDialog.value());
  EXPECT_EQ(view.dialogConfirmSetting.title(), QStringLiteral("Remove"));
  EXPECT_EQ(view.dialogConfirmSetting.info(), QStringLiteral("Remove the share?"));
  ASSERT_FALSE(order.isEmpty());
  EXPECT_EQ(order.last(), QStringLiteral("flag"));  // the record first, the flag last
  view.dialogConfirmSetting.okAction()();
  EXPECT_EQ(runs, 1);

  view.dialogInputSetting.setTips(QStringLiteral("kept"));
  view.openInputDialog(L("LS_AccessCodeSetTitle"), QStringLiteral("old"), {}, 0, 30,
                       DialogInput_Setting_ValidType::dsvPassword, true);
  EXPECT_TRUE(view.isShowDialog_Input.value());
  EXPECT_EQ(view.dialogInputSetting.value(), QStringLiteral("old"));
  EXPECT_EQ(view.dialogInputSetting.validType(), DialogInput_Setting_ValidType::dsvPassword);
  EXPECT_EQ(view.dialogInputSetting.tips(), QStringLiteral("kept"));
}

TEST(MainViewState, QuitQuestionAnswers) {
  MainViewState view;
  int quits = 0;
  view.setQuitFunction([&] { ++quits; });
  view.requestQuit();
  EXPECT_TRUE(view.isShowingExitDialog.value());
  view.answerQuit(false);
  EXPECT_FALSE(view.isShowingExitDialog.value());
  EXPECT_EQ(quits, 0);
  view.requestQuit();
  testing::internal::CaptureStdout();
  view.answerQuit(true);
  EXPECT_NE(testing::internal::GetCapturedStdout().find("done"), std::string::npos);
  EXPECT_EQ(quits, 1);
}

TEST(MainViewState, ReceiveFilePanelFlagFollowsItsRecord) {
  MainViewState view;
  view.ctlViewReceiveFile().FromUser = QStringLiteral("ann");
  view.ctlViewReceiveFile().isShowView = true;
  view.receiveFilePanelChanged();
  EXPECT_TRUE(view.isShowReceiveFile.value());
  view.isShowReceiveFile.set(false);  // the panel closes itself
  EXPECT_FALSE(view.ctlViewReceiveFile().isShowView);
}

TEST(MainViewState, ClosingTheLoginSheetLoadsTheAccountsShares) {
  QTemporaryDir tmp;
  ASSERT_TRUE(UtilDB::openAt(tmp.filePath(QStringLiteral("kelvor.dat"))));
  shareaccount::setForTesting(7, QStringLiteral("myhost"));
  ASSERT_TRUE(QDir().mkpath(tmp.filePath(QStringLiteral("a"))));
  ASSERT_TRUE(createShare(tmp.filePath(QStringLiteral("a"))));
  ASSERT_TRUE(createShare(tmp.filePath(QStringLiteral("kelvor.dat"))));

  MainViewState view;
  view.onAppear();
  EXPECT_TRUE(view.sharingObjList()->items().isEmpty());  // empty until the first load
  view.isShowLogin.set(false);
  ASSERT_EQ(view.sharingObjList()->items().size(), 2);
  EXPECT_TRUE(view.sharingObjList()->items()[0]->isdir);  // folders first

  // A later reload (the heartbeat's) reads whatever the database holds now.
  ASSERT_TRUE(deleteShare(view.sharingObjList()->items()[0]->tag));
  view.loadShareList();
  EXPECT_EQ(view.sharingObjList()->items().size(), 1);
  UtilDB::reset();
  shareaccount::setForTesting(0, QStringLiteral("*"));
}
