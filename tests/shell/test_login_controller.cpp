#include "shell/login_controller.h"

#include "core/localized.h"
#include "fakes.h"

#include <QRegularExpression>
#include <QSignalSpy>
#include <QUrlQuery>

#include <gtest/gtest.h>

namespace {

class FakeLoginPort : public LoginPort {
 public:
  bool connected = false;
  std::vector<std::pair<QString, QString>> sent;
  MemorySettings settings;
  QString mid, token, accountId;

  bool bridgeConnected() const override { return connected; }
  void sendLogin(const QString& id, const QString& password) override { sent.emplace_back(id, password); }
  QString setting(const QString& key) const override { return settings.get(key); }
  bool setSetting(const QString& key, const QString& value) override { return settings.set(key, value); }
  QString qrLoginMid() const override { return mid; }
  void setQrLoginMid(const QString& v) override { mid = v; }
  QString qrLoginToken() const override { return token; }
  void setQrLoginToken(const QString& v) override { token = v; }
  QString qrLoginAccountId() const override { return accountId; }
  void setQrLoginAccountId(const QString& v) override { accountId = v; }
  QImage qrImage(const QString&, int size) const override {
    QImage image(size, size, QImage::Format_RGB32);
    image.fill(Qt::white);
    return image;
  }
};

struct Rig {
  FakeLoginPort port;
  FakeFetcher fetcher;
  LoginController login{port, fetcher};
  // The checks polled on every tick are answered "not yet".
  void tick() {
    login.onTimer();
    while (!fetcher.requests.empty()) fetcher.answer(R"({"Result":"0","Info":""})");
  }
};

TEST(LoginController, AppearingKeepsTheMachineIdAndMakesANewTokenEachTime) {
  Rig rig;
  rig.login.onAppear();
  const QString mid = rig.port.settings.get(QStringLiteral("SysMID"));
  ASSERT_FALSE(mid.isEmpty());
  EXPECT_TRUE(mid.contains(QRegularExpression(QStringLiteral("^[1-9][0-9]{0,18}$|^0$"))));
  EXPECT_EQ(rig.port.mid, mid);
  const QString firstToken = rig.port.token;
  EXPECT_FALSE(firstToken.isEmpty());
  EXPECT_TRUE(rig.login.loginPageAddress().endsWith(QStringLiteral("/wx/login/?mid=") + mid +
                                                    QStringLiteral("&token=") + firstToken));
  EXPECT_EQ(rig.login.loginQR().size(), QSize(200, 200));

  LoginController again(rig.port, rig.fetcher);
  again.onAppear();
  EXPECT_EQ(rig.port.mid, mid);  // reused from the store
  EXPECT_NE(rig.port.token, firstToken);
}

TEST(LoginController, SendsOnTheFirstConnectedTickAndTimesOutOnTheEighthTickAfter) {
  Rig rig;
  rig.login.setLoginByQR(false);
  rig.login.onLoginButton();  // empty fields are sent as they are
  EXPECT_EQ(rig.login.loadingTitle(), QStringLiteral("Logging in..."));
  EXPECT_TRUE(rig.login.isShowLoading());

  for (int i = 0; i < 20; ++i) rig.tick();  // bridge down: waits without counting
  EXPECT_EQ(rig.login.state(), LoginState::lsStartLogin);
  EXPECT_EQ(rig.login.loginTimeCounter(), 0);
  EXPECT_TRUE(rig.port.sent.empty());

  rig.port.connected = true;
  rig.tick();  // the sending tick
  ASSERT_EQ(rig.port.sent.size(), 1u);
  EXPECT_EQ(rig.port.sent[0], std::make_pair(QString(), QString()));
  EXPECT_EQ(rig.login.state(), LoginState::lsLoginSubmited);
  EXPECT_EQ(rig.login.loginTimeCounter(), 1);
  for (int i = 1; i <= 7; ++i) {
    rig.tick();
    EXPECT_EQ(rig.login.state(), LoginState::lsLoginSubmited) << "tick " << i;
  }
  EXPECT_FALSE(rig.login.isShowConfirmDialog());
  rig.tick();  // 8th tick after sending
  EXPECT_EQ(rig.login.state(), LoginState::lsTimeout);
  EXPECT_FALSE(rig.login.isShowLoading());
  EXPECT_TRUE(rig.login.isShowConfirmDialog());
  EXPECT_EQ(rig.login.messageTitle(), QStringLiteral("Login Timeout!"));
  EXPECT_EQ(rig.login.messageInfo(), QStringLiteral("Please try again later."));
  EXPECT_EQ(rig.port.sent.size(), 1u);

  // Pressed again: sent again on the next tick, the count starting over.
  rig.login.onLoginButton();
  rig.tick();
  EXPECT_EQ(rig.port.sent.size(), 2u);
  EXPECT_EQ(rig.login.loginTimeCounter(), 1);
}

TEST(LoginController, AResultAfterTheTimeOutStillSignsInAndNeverStoresThePassword) {
  Rig rig;
  rig.port.settings.values[QStringLiteral("Login_Password")] = QStringLiteral("left by an old version");
  rig.port.connected = true;
  rig.login.setEmail(QStringLiteral("ann@example.com"));
  rig.login.setPassword(QStringLiteral("s3cret"));
  rig.login.onLoginButton();
  for (int i = 0; i < 9; ++i) rig.tick();
  ASSERT_EQ(rig.login.state(), LoginState::lsTimeout);

  QSignalSpy closed(&rig.login, &LoginController::closeRequested);
  const auto credentials = rig.login.onLoginSucceeded(QStringLiteral(R"({"Result":1,"ACC":7})"));
  EXPECT_EQ(rig.login.state(), LoginState::lsLoginResultBack);
  EXPECT_FALSE(rig.login.isShown());
  EXPECT_EQ(closed.count(), 1);
  EXPECT_EQ(credentials.email, QStringLiteral("ann@example.com"));
  EXPECT_EQ(credentials.password, QStringLiteral("s3cret"));  // kept in memory for the re-login only
  EXPECT_EQ(rig.port.settings.get(QStringLiteral("Login_Email")), QStringLiteral("ann@example.com"));
  EXPECT_TRUE(rig.port.settings.values.contains(QStringLiteral("Login_Password")));
  EXPECT_EQ(rig.port.settings.get(QStringLiteral("Login_Password")), QString());

  // A re-login result while the window is closed takes the same steps, without closing again.
  rig.login.onLoginSucceeded(QStringLiteral("{}"));
  EXPECT_EQ(closed.count(), 1);
  EXPECT_EQ(rig.port.settings.get(QStringLiteral("Login_Password")), QString());
}

TEST(LoginController, AFailedResultShowsTheMessageAndKeepsTheFields) {
  Rig rig;
  rig.login.setEmail(QStringLiteral("a@b.c"));
  rig.login.onLoginButton();
  rig.login.onLoginFailed();
  EXPECT_EQ(rig.login.state(), LoginState::lsLoginResultBack);
  EXPECT_FALSE(rig.login.isShowLoading());
  EXPECT_EQ(rig.login.messageTitle(), L("Login_LoginFailed"));
  EXPECT_EQ(rig.login.messageInfo(), L("Login_CheckYourInfo"));
  EXPECT_EQ(rig.login.email(), QStringLiteral("a@b.c"));
  EXPECT_TRUE(rig.login.isShown());
  // Paused after many wrong passwords: said so, with the time, not "check your password".
  rig.login.dismissMessage();
  rig.login.onLoginFailed(120);
  EXPECT_EQ(rig.login.messageInfo(), L("Login_Paused").arg(120));
  EXPECT_TRUE(rig.login.messageInfo().contains(QStringLiteral("120")));
  // Too busy to check: try again, not "check your password".
  rig.login.dismissMessage();
  rig.login.onLoginBusy();
  EXPECT_EQ(rig.login.messageInfo(), L("Login_Busy"));
  EXPECT_FALSE(rig.login.isShowLoading());
}

TEST(LoginController, RememberMeSwitch) {
  Rig rig;
  rig.port.settings.values[QStringLiteral("Login_Email")] = QStringLiteral("old@x");
  rig.port.settings.values[QStringLiteral("Login_Password")] = QStringLiteral("old");
  rig.login.onRememberMeChanged(false);
  EXPECT_EQ(rig.port.settings.get(QStringLiteral("isRememberMe")), QStringLiteral("0"));
  EXPECT_EQ(rig.port.settings.get(QStringLiteral("Login_Email")), QString());
  EXPECT_EQ(rig.port.settings.get(QStringLiteral("Login_Password")), QString());
  const int writes = rig.port.settings.writes;
  rig.login.onRememberMeChanged(true);
  EXPECT_EQ(rig.port.settings.get(QStringLiteral("isRememberMe")), QStringLiteral("1"));
  EXPECT_EQ(rig.port.settings.writes, writes + 1);
}

TEST(LoginController, PollsTheQrTokenUntilItIsConfirmedThenLogsInWithItsHandleAndKeepsTheAccountId) {
  Rig rig;
  rig.login.onAppear();
  rig.port.token = QStringLiteral("7&t=+#é");  // whatever the token holds reaches the service intact
  rig.login.onTimer();
  ASSERT_EQ(rig.fetcher.requests.size(), 1u);
  const QUrl url = rig.fetcher.requests[0].url;
  EXPECT_TRUE(url.path().endsWith(QStringLiteral("/api2/account/token/check2/")));
  EXPECT_EQ(QUrlQuery(url).queryItemValue(QStringLiteral("t"), QUrl::FullyDecoded), rig.port.token);

  rig.fetcher.answer(R"({"Result":1,"Info":"77"})");  // a number 1 does not count
  rig.login.onTimer();
  rig.fetcher.answer(R"({"Result":"1"})");  // no Info text
  rig.login.onTimer();
  rig.fetcher.fail(QStringLiteral("timeout"));
  rig.login.onTimer();
  rig.fetcher.answer("garbage");
  EXPECT_EQ(rig.login.state(), LoginState::lsNone);
  EXPECT_TRUE(rig.port.accountId.isEmpty());

  rig.login.onTimer();
  rig.login.onTimer();  // two checks in flight
  ASSERT_EQ(rig.fetcher.requests.size(), 2u);
  const QString handle = QStringLiteral("9c1e5a7f3b2d4c6e8a0b1c2d3e4f5a6b7c8d9e0f1a2b3c4d");
  rig.fetcher.answer(QStringLiteral(R"({"Result":"1","Info":"%1"})").arg(handle).toUtf8());
  EXPECT_EQ(rig.port.accountId, handle);
  EXPECT_EQ(rig.login.email(), handle);
  EXPECT_EQ(rig.login.password(), handle);
  EXPECT_EQ(rig.login.loadingTitle(), QStringLiteral("正在登录，请稍候..."));
  EXPECT_TRUE(rig.login.isShowLoading());
  EXPECT_EQ(rig.login.state(), LoginState::lsStartLogin);

  rig.port.connected = true;
  rig.login.onTimer();
  ASSERT_EQ(rig.port.sent.size(), 1u);
  EXPECT_EQ(rig.port.sent[0], std::make_pair(handle, handle));
  // The late second success does not send "Login" a second time.
  rig.fetcher.answer(R"({"Result":"1","Info":"77"})");
  rig.login.onTimer();
  EXPECT_EQ(rig.port.sent.size(), 1u);
  EXPECT_EQ(rig.login.state(), LoginState::lsLoginSubmited);
  EXPECT_TRUE(rig.fetcher.requests.empty());  // polling has ended for the run

  // The handle was good once: the account id is what is remembered and what
  // the re-login on reconnect sends.
  const auto kept = rig.login.onLoginSucceeded(QStringLiteral(R"({"Result":1,"ACC":77,"Token":"t"})"));
  EXPECT_EQ(kept.email, QStringLiteral("77"));
  EXPECT_EQ(kept.password, QStringLiteral("77"));
  EXPECT_EQ(rig.port.settings.get(QStringLiteral("Login_Email")), QStringLiteral("77"));

  LoginController later(rig.port, rig.fetcher);
  later.onAppear();
  later.onTimer();
  EXPECT_TRUE(rig.fetcher.requests.empty());
}

TEST(LoginController, TheUpgradeQuestionIsAskedOnlyWhileTheWindowIsOpen) {
  Rig rig;
  QSignalSpy accepted(&rig.login, &LoginController::upgradeAccepted);
  rig.login.showUpgradeDialog(QStringLiteral("/v/Kelvor1.0.3.dmg"));
  EXPECT_TRUE(rig.login.isShowUpgradeDialog());
  rig.login.onUpgradeNow();
  EXPECT_FALSE(rig.login.isShown());
  ASSERT_EQ(accepted.count(), 1);
  EXPECT_EQ(accepted[0][0].toString(), QStringLiteral("/v/Kelvor1.0.3.dmg"));

  Rig closed;
  closed.login.setShown(false);
  closed.login.showUpgradeDialog(QStringLiteral("/v/x.dmg"));
  EXPECT_FALSE(closed.login.isShowUpgradeDialog());
  EXPECT_TRUE(closed.login.upgradeVersionFile().isEmpty());
}

}  // namespace
