// Every screen of the shell, in Chinese and English, checked for texts that
// do not fit and controls that overlap, and pictured in the build folder's
// "screenshots": the login sheet's two panes, the pages, the dialogs, the
// sheets and the toasts.
#include "bridge/env.h"
#include "core/localized.h"
#include "core/util_db.h"
#include "shell/dialog_views.h"
#include "shell/login_controller.h"
#include "shell/login_view.h"
#include "shell/main_view.h"
#include "shell/shell_wiring.h"
#include "shell/sheet_overlay.h"
#include "shell/symbols.h"
#include "shell/toast_view.h"
#include "support/screen_fit.h"
#include "support/test_util.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QLineEdit>
#include <QPainter>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>
#include <QTextEdit>

namespace {

class Screenshots : public testing::TestWithParam<const char*> {
 protected:
  void SetUp() override {
    language_ = std::make_unique<screenfit::LanguageScope>(GetParam());
    ASSERT_TRUE(UtilDB::openAt(dir_.filePath(QStringLiteral("kelvor.dat"))));
    Env::EnvMode = 1;  // no bridge process is started
  }
  void TearDown() override {
    UtilDB::reset();
    language_.reset();
  }
  QString name(const char* screen) const {
    return QStringLiteral("%1_%2").arg(QString::fromLatin1(GetParam()), QString::fromLatin1(screen));
  }
  void check(QWidget& window, const char* screen) { screenfit::checkScreen(window, name(screen)); }

  QTemporaryDir dir_;
  std::unique_ptr<screenfit::LanguageScope> language_;
};

ToastView* visibleToast(const QWidget& window) {
  for (ToastView* toast : window.findChildren<ToastView*>())
    if (toast->isVisible()) return toast;
  return nullptr;
}

// The toast paints its title itself: the lines it takes must lie inside the
// box, above the subtitle, and the subtitle's lines inside the box too.
QStringList toastFaults(const QWidget& window) {
  const ToastView* toast = visibleToast(window);
  if (!toast) return {QStringLiteral("no toast on show")};
  QStringList faults;
  const QRect inside = toast->rect().adjusted(2, 2, -2, -2);
  if (!inside.contains(toast->titleRect())) faults << QStringLiteral("the toast's title leaves its box");
  const QTextEdit* sub = toast->subTitleText();
  if (!sub->isVisible()) return faults << QStringLiteral("the toast's subtitle is not shown");
  if (!inside.contains(toast->subTitleRect()) || sub->geometry() != toast->subTitleRect())
    faults << QStringLiteral("the toast's subtitle leaves its box");
  if (sub->document()->size().height() > sub->viewport()->height() + 0.5)
    faults << QStringLiteral("the toast's subtitle is cut: %1 of %2 px").arg(sub->viewport()->height()).arg(sub->document()->size().height());
  if (toast->subTitleRect().top() <= toast->titleRect().bottom()) faults << QStringLiteral("the subtitle overlaps the title");
  return faults;
}

}  // namespace

TEST_P(Screenshots, WindowPagesDialogsAndToasts) {
  MainView view;
  ShellWiring shell(view);
  view.resize(900, 620);
  view.show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&view));
  MainViewState& state = view.state();
  ASSERT_TRUE(testutil::waitUntil([&] { return view.presentedSheet(state.isShowLogin) != nullptr; }));
  LoginController* login = shell.login().current();
  ASSERT_NE(login, nullptr);
  for (int i = 0; i < 4; ++i) login->onTimer();  // the QR image shows from the fourth tick
  check(view, "login_qr");
  auto* switchPane = view.findChild<QPushButton*>(QStringLiteral("switchPane"));
  ASSERT_NE(switchPane, nullptr);
  QTest::mouseClick(switchPane, Qt::LeftButton);
  check(view, "login_email");
  login->onLoginFailed();
  check(view, "login_failed");
  auto* loginView = qobject_cast<LoginView*>(view.presentedSheet(state.isShowLogin));
  ASSERT_NE(loginView, nullptr);
  if (auto* message = qobject_cast<DialogConfirmView*>(loginView->presentedOverlay(loginView->messageFlag())))
    QTest::mouseClick(message->okButton(), Qt::LeftButton);
  login->showUpgradeDialog(QStringLiteral("/tmp/Zarkelo1.0.3.dmg"));
  check(view, "login_upgrade_question");
  auto* upgrade = qobject_cast<DialogConfirmView*>(loginView->presentedOverlay(loginView->upgradeFlag()));
  ASSERT_NE(upgrade, nullptr);
  QTest::mouseClick(upgrade->cancelButton(), Qt::LeftButton);
  state.isShowLogin.set(false);

  const char* pages[] = {"page0_local", "page1_remote", "page2_sendfile", "page3_settings"};
  for (int i = 0; i < MainViewState::kPageCount; ++i) {
    state.selectTab(i);
    check(view, pages[i]);
  }
  state.selectTab(0);

  state.openConfirmDialog(L("Sys_Button_Remove"), L("LS_RemoveInfo") + QStringLiteral("\n/home/ann/Photos"), {});
  check(view, "dialog_confirm");
  state.isShowConfirmDialog.set(false);

  state.openInputDialog(L("LS_AccessCodeSetTitle"), QStringLiteral("ab-c"), {}, 0, 30,
                        DialogInput_Setting_ValidType::dsvPassword, true);
  check(view, "dialog_input");
  auto* input = qobject_cast<DialogInputView*>(view.presentedSheet(state.isShowDialog_Input));
  ASSERT_NE(input, nullptr);
  QTest::keyClick(input->field(), Qt::Key_Return);
  check(view, "dialog_input_rejected");
  state.isShowDialog_Input.set(false);

  ShowFlag loading;
  DialogLoadingSetting loadingSetting(L("Sys_Loading"));
  SheetOverlay loadingSheet(loading, [&](QWidget* parent) { return new DialogLoadingView(loading, loadingSetting, parent); },
                            &view);
  loading.set(true);
  check(view, "dialog_loading");
  loading.set(false);

  state.requestQuit();
  check(view, "quit_question");
  state.answerQuit(false);

  state.openQRSettings();
  check(view, "qr_settings");
  state.isShowQRSettings.set(false);

  state.showUpdateResult(true);
  check(view, "toast_update_succeeded");
  state.showToast(L("Contact_AddFail"));
  check(view, "toast_text");
  // A failure with its reason beneath, and the installer that could not be
  // opened with the place the user must find: every line whole, the path unshortened.
  AlertToast reason = makeToast(AlertToast::Type::error, QStringLiteral("red"), L("Transfer_DownloadFailed"));
  reason.subTitle = L("Host_Reason_Resources");
  reason.minShowMs = 60000;
  state.showAlertToast(reason);
  screenfit::checkScreen(view, name("toast_reason"), [&] { return toastFaults(view); });
  AlertToast banner = makeToast(AlertToast::Type::systemImage, QStringLiteral("btnRed"),
                                L("RS_Upload_Finished") + QLatin1Char('\n') + L("Transfer_Renamed").arg(2),
                                QStringLiteral("info.square.fill"), AlertToast::DisplayMode::bannerPop);
  banner.subTitle = L("Host_Reason_Permission");
  banner.minShowMs = 60000;  // on screen for both sizes of the check
  state.showAlertToast(banner);
  // A banner lies over the window's foot (its buttons too): only its own lines are checked.
  QTest::qWait(260);
  EXPECT_EQ(toastFaults(view), QStringList());
  view.grab().save(testutil::binDir() + QStringLiteral("/../screenshots/") + name("toast_banner") + QStringLiteral(".png"));
  const QString installer = QStringLiteral("/home/ann-marie/Documents/Kelvor/Versions/Kelvor1.0.3/Kelvor1.0.3-x86_64.dmg");
  AlertToast notOpened = makeToast(AlertToast::Type::error, QStringLiteral("red"), L("Upgrade_NotOpened"));
  notOpened.subTitle = installer;
  notOpened.minShowMs = 60000;
  state.showAlertToast(notOpened);
  screenfit::checkScreen(view, name("toast_installer"), [&] { return toastFaults(view); });
  auto* shown = visibleToast(view);
  ASSERT_NE(shown, nullptr);
  EXPECT_EQ(shown->subTitleText()->toPlainText(), installer);
  EXPECT_TRUE(shown->subTitleText()->textInteractionFlags() & Qt::TextSelectableByMouse);
  state.toast.dismiss();
}

INSTANTIATE_TEST_SUITE_P(Languages, Screenshots, testing::Values("zh_CN", "en_US"),
                         [](const testing::TestParamInfo<const char*>& info) {
                           return std::string(info.param).substr(0, 2);
                         });

// Every bundled symbol (in three of the named colours) and image, on one sheet.
TEST(Screenshots, SymbolsAndImages) {
  const QStringList symbols = QDir(QStringLiteral(":/shell/symbols")).entryList(QDir::Files, QDir::Name);
  const QStringList images = QDir(QStringLiteral(":/shell/images")).entryList(QDir::Files, QDir::Name);
  ASSERT_FALSE(symbols.isEmpty());
  const int cell = 56;
  QImage sheet(cell * 4 + 320, cell * (symbols.size() + images.size()) + 8, QImage::Format_ARGB32);
  sheet.fill(Qt::white);
  QPainter painter(&sheet);
  int y = 4;
  const QStringList tints{QStringLiteral("btnRed"), QStringLiteral("activeButton"), QStringLiteral("navDisabled")};
  for (const QString& file : symbols) {
    const QString name = file.chopped(4);
    for (int i = 0; i < tints.size(); ++i)
      painter.drawPixmap(8 + i * cell, y, shellsymbols::symbol(name, tints[i], 48));
    painter.setPen(Qt::black);
    painter.drawText(QRect(8 + 3 * cell + 8, y, 400, 48), Qt::AlignVCenter, name);
    y += cell;
  }
  for (const QString& file : images) {
    const QString name = file.chopped(4);
    painter.drawPixmap(8, y, shellsymbols::image(name, 48));
    painter.drawText(QRect(8 + 3 * cell + 8, y, 400, 48), Qt::AlignVCenter, name);
    y += cell;
  }
  painter.end();
  const QString dir = testutil::binDir() + QStringLiteral("/../screenshots");
  ASSERT_TRUE(QDir().mkpath(dir));
  ASSERT_TRUE(sheet.save(dir + QStringLiteral("/symbols_and_images.png")));
}
