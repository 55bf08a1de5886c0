#include "core/localized.h"
#include "core/util_system.h"
#include "shell/dialog_views.h"
#include "shell/elided_field.h"
#include "shell/login_controller.h"
#include "shell/login_view.h"
#include "shell/symbol_button.h"
#include "shell/settings_controller.h"
#include "shell/view_qr_settings.h"
#include "shell/view_settings.h"

#include "fakes.h"
#include "support/test_util.h"

#include <QCheckBox>
#include <QFrame>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <gtest/gtest.h>

namespace {

class NullLoginPort : public LoginPort {
 public:
  MemorySettings settings;
  QString token;
  bool bridgeConnected() const override { return false; }
  void sendLogin(const QString&, const QString&) override {}
  QString setting(const QString& key) const override { return settings.get(key); }
  bool setSetting(const QString& key, const QString& value) override { return settings.set(key, value); }
  QString qrLoginMid() const override { return {}; }
  void setQrLoginMid(const QString&) override {}
  QString qrLoginToken() const override { return token; }
  void setQrLoginToken(const QString& v) override { token = v; }
  QString qrLoginAccountId() const override { return {}; }
  void setQrLoginAccountId(const QString&) override {}
  QImage qrImage(const QString&, int size) const override { return QImage(size, size, QImage::Format_RGB32); }
};

TEST(LoginView, OffersThePlainEmailPaneAndDrivesTheController) {
  NullLoginPort port;
  FakeFetcher fetcher;
  LoginController controller(port, fetcher);
  LoginView view(&controller);
  view.show();
  controller.onAppear();

  auto* switchPane = view.findChild<QPushButton*>(QStringLiteral("switchPane"));
  auto* email = view.findChild<QLineEdit*>(QStringLiteral("email"));
  ASSERT_TRUE(switchPane && email);
  EXPECT_TRUE(controller.isLoginByQR());
  EXPECT_FALSE(email->isVisible());  // the QR pane comes first
  QTest::mouseClick(switchPane, Qt::LeftButton);
  EXPECT_FALSE(controller.isLoginByQR());
  EXPECT_TRUE(email->isVisible());

  for (int i = 0; i < 3; ++i) controller.onTimer();  // the buttons show from the 3rd tick
  QTest::keyClicks(email, QStringLiteral("ann@example.com"));
  QTest::keyClicks(view.findChild<QLineEdit*>(QStringLiteral("password")), QStringLiteral("pw"));
  QTest::mouseClick(view.findChild<QPushButton*>(QStringLiteral("loginButton")), Qt::LeftButton);
  EXPECT_EQ(controller.state(), LoginState::lsStartLogin);
  EXPECT_EQ(controller.email(), QStringLiteral("ann@example.com"));
  EXPECT_EQ(controller.password(), QStringLiteral("pw"));
  EXPECT_TRUE(view.loadingFlag().value());
  ASSERT_NE(view.presentedOverlay(view.loadingFlag()), nullptr);

  QTest::mouseClick(view.findChild<QCheckBox*>(QStringLiteral("rememberMe")), Qt::LeftButton);
  EXPECT_EQ(port.settings.get(QStringLiteral("isRememberMe")), QStringLiteral("0"));

  controller.onLoginFailed();
  EXPECT_EQ(view.presentedOverlay(view.loadingFlag()), nullptr);
  auto* message = qobject_cast<DialogConfirmView*>(view.presentedOverlay(view.messageFlag()));
  ASSERT_NE(message, nullptr);
  EXPECT_EQ(message->title(), L("Login_LoginFailed"));
  QTest::mouseClick(message->okButton(), Qt::LeftButton);  // the box closes; the controller hears it
  EXPECT_FALSE(controller.isShowConfirmDialog());

  QSignalSpy accepted(&controller, &LoginController::upgradeAccepted);
  controller.showUpgradeDialog(QStringLiteral("/tmp/Kelvor1.0.3.dmg"), QStringLiteral("1.0.3"));
  auto* question = qobject_cast<DialogConfirmView*>(view.presentedOverlay(view.upgradeFlag()));
  ASSERT_NE(question, nullptr);
  EXPECT_TRUE(question->infoLabel()->text().contains(QStringLiteral("1.0.3")));  // the question names the version
  EXPECT_EQ(question->okButton()->text(), L("Settings_UpgradeNow"));
  QTest::mouseClick(question->okButton(), Qt::LeftButton);
  EXPECT_EQ(accepted.count(), 1);
  EXPECT_FALSE(view.upgradeFlag().value());
  EXPECT_FALSE(controller.isShown());
}

TEST(ViewQRSettings, ShowsTheSettingsPageOfThisMachineAndClosesOnATap) {
  int closes = 0;
  QString drawn;
  ViewQRSettings sheet(
      QStringLiteral("123"), QStringLiteral("456"),
      [&](const QString& text, int size) {
        drawn = text;
        return QImage(size, size, QImage::Format_RGB32);
      },
      [&] { ++closes; });
  sheet.show();
  EXPECT_TRUE(sheet.address().endsWith(QStringLiteral("/wx/settings/?mid=123&token=456")));
  EXPECT_EQ(drawn, sheet.address());
  QTest::mouseClick(sheet.findChild<QLabel*>(QStringLiteral("qr")), Qt::LeftButton);
  EXPECT_EQ(closes, 1);
  QTest::mouseClick(sheet.closeButton(), Qt::LeftButton);
  EXPECT_EQ(closes, 2);
}

TEST(ViewSettings, ShowsTheStoredValuesAndStoresAChosenFolder) {
  MemorySettings store;
  store.values[QStringLiteral("IsClipboard")] = QStringLiteral("0");
  std::vector<QString> toasts;
  QTemporaryDir dir;
  auto* controller = new SettingsController(SettingsController::Hooks{
      [&](const QString& k) { return store.get(k); }, [&](const QString& k, const QString& v) { return store.set(k, v); },
      [&](const QString& t) { toasts.push_back(t); }, [](bool) {}, {}, {}});
  controller->armDelayMs = 10;
  ViewSettings view(controller, [&](const QString&, std::function<void(const QString&)> done) { done(dir.path()); });
  controller->setParent(&view);
  view.show();
  auto* clipboard = view.findChild<QCheckBox*>(QStringLiteral("isClipboard"));
  EXPECT_FALSE(clipboard->isChecked());
  EXPECT_EQ(store.writes, 0);
  // The folder downloads will use, before any download; only the chooser changes it.
  auto* folder = view.findChild<ElidedField*>(QStringLiteral("downloadSaveAt"));
  ASSERT_NE(folder, nullptr);
  EXPECT_EQ(folder->fullText(), defaultDownloadFolder());
  EXPECT_TRUE(folder->isReadOnly());

  QTest::mouseClick(view.findChild<QAbstractButton*>(QStringLiteral("chooseFolder")), Qt::LeftButton);
  EXPECT_EQ(store.get(QStringLiteral("SaveAtDir")), dir.path());
  EXPECT_EQ(folder->fullText(), dir.path());

  ASSERT_TRUE(testutil::waitUntil([&] { return controller->isInited(); }));
  clipboard->click();
  EXPECT_EQ(store.get(QStringLiteral("IsClipboard")), QStringLiteral("1"));
  EXPECT_EQ(toasts.size(), 2u);
}

}  // namespace
