#include "shell/shell_wiring.h"

#include "bridge/env.h"
#include "bridge/login.h"
#include "bridge/user_info.h"
#include "core/util_db.h"
#include "shell/login_view.h"
#include "shell/main_view.h"
#include "shell/view_qr_settings.h"
#include "shell/view_settings.h"

#include "support/test_util.h"

#include <QTemporaryDir>

#include <gtest/gtest.h>

namespace {

TEST(ShellWiring, SignsInThroughTheLoginResultHandlerAndServesTheWindowsSheets) {
  QTemporaryDir dir;
  ASSERT_TRUE(UtilDB::openAt(dir.filePath(QStringLiteral("kelvor.dat"))));
  ASSERT_TRUE(UtilDB::setValue(QStringLiteral("Login_Password"), QStringLiteral("left by an old version")));
  Env::EnvMode = 1;  // no bridge process is started or killed here

  MainView window;
  ShellWiring shell(window);
  window.show();
  ASSERT_TRUE(testutil::waitUntil(
      [&] { return qobject_cast<LoginView*>(window.presentedSheet(window.state().isShowLogin)) != nullptr; }));
  EXPECT_EQ(Env::LoginViewShared, &shell.login());
  ASSERT_NE(shell.login().current(), nullptr);
  EXPECT_FALSE(Env::QRLoginToken.isEmpty());
  EXPECT_EQ(UtilDB::getValue(QStringLiteral("SysMID")), Env::QRLoginMid);

  shell.login().current()->setEmail(QStringLiteral("ann@example.com"));
  shell.login().current()->setPassword(QStringLiteral("pw"));
  DoMsg_LoginResult(QStringLiteral(
      R"({"Result":1,"ACC":7,"name_acc":"Ann","rooturl":"ann-host","ClientID":"C1","Token":"T1","limit":{}})"));
  EXPECT_FALSE(window.state().isShowLogin.value());
  EXPECT_EQ(UserInfo::shared()->email, QStringLiteral("ann@example.com"));
  EXPECT_EQ(UserInfo::shared()->password, QStringLiteral("pw"));
  EXPECT_EQ(UserInfo::shared()->Token, QStringLiteral("T1"));
  EXPECT_EQ(window.state().userName(), QStringLiteral("Ann"));
  EXPECT_EQ(UtilDB::getValue(QStringLiteral("Login_Email")), QStringLiteral("ann@example.com"));
  EXPECT_EQ(UtilDB::getValue(QStringLiteral("Login_Password")), QString());

  window.state().selectTab(MainViewState::pageSettings);
  EXPECT_NE(qobject_cast<ViewSettings*>(window.currentPage()), nullptr);
  window.state().openQRSettings();
  auto* sheet = qobject_cast<ViewQRSettings*>(window.presentedSheet(window.state().isShowQRSettings));
  ASSERT_NE(sheet, nullptr);
  EXPECT_TRUE(sheet->address().contains(QStringLiteral("/wx/settings/?mid=") + Env::QRLoginMid +
                                        QStringLiteral("&token=") + Env::QRLoginToken));
  // Two taps in a row (close symbol, then the image) close the sheet and keep it closed.
  emit sheet->closeClicked();
  emit sheet->closeClicked();
  EXPECT_FALSE(window.state().isShowQRSettings.value());
  UtilDB::reset();
}

// An installer the desktop cannot open leaves the user where they were: at the
// login sheet when nobody is signed in, in the signed-in window otherwise.
TEST(ShellWiring, AnInstallerThatCannotBeOpenedReturnsToWhereTheUserWas) {
  QTemporaryDir dir;
  ASSERT_TRUE(UtilDB::openAt(dir.filePath(QStringLiteral("kelvor.dat"))));
  Env::EnvMode = 1;
  *UserInfo::shared() = UserInfo{};
  QTemporaryDir bin;
  testutil::writeFile(bin.filePath(QStringLiteral("xdg-open")), "#!/bin/sh\nexit 3\n");
  QFile::setPermissions(bin.filePath(QStringLiteral("xdg-open")), QFile::ReadOwner | QFile::ExeOwner);
  const QByteArray savedPath = qgetenv("PATH");
  qputenv("PATH", bin.path().toLocal8Bit());
  const QString installer = dir.filePath(QStringLiteral("Kelvor1.0.3.dmg"));
  testutil::writeFile(installer, "installer");

  MainView window;
  ShellWiring shell(window);
  window.show();
  auto loginShown = [&] { return qobject_cast<LoginView*>(window.presentedSheet(window.state().isShowLogin)) != nullptr; };
  ASSERT_TRUE(testutil::waitUntil(loginShown));
  shell.login().current()->showUpgradeDialog(installer, QStringLiteral("1.0.3"));
  shell.login().current()->onUpgradeNow();
  EXPECT_FALSE(window.state().isShowLogin.value());
  EXPECT_TRUE(testutil::waitUntil([&] { return window.state().isShowLogin.value() && loginShown(); }));

  DoMsg_LoginResult(QStringLiteral(
      R"({"Result":1,"ACC":7,"name_acc":"Ann","rooturl":"ann-host","ClientID":"C1","Token":"T1","limit":{}})"));
  ASSERT_FALSE(window.state().isShowLogin.value());
  bool told = false;
  QObject::connect(&window.state().toast, &ToastState::toastChanged, [&] { told = true; });
  shell.upgrade().openInstaller(installer);
  EXPECT_TRUE(testutil::waitUntil([&] { return told; }));
  EXPECT_FALSE(window.state().isShowLogin.value());
  qputenv("PATH", savedPath);
  UtilDB::reset();
}

}  // namespace
