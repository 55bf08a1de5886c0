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
#include "support/screen_fit.h"
#include "support/test_util.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QLineEdit>
#include <QPainter>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>

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
  void check(QWidget& window, const char* name) {
    screenfit::checkScreen(window, QStringLiteral("%1_%2").arg(QString::fromLatin1(GetParam()), QString::fromLatin1(name)));
  }

  QTemporaryDir dir_;
  std::unique_ptr<screenfit::LanguageScope> language_;
};

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
