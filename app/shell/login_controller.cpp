#include "shell/login_controller.h"

#include "core/localized.h"
#include "core/json_read.h"
#include "core/log.h"
#include "shell/service_urls.h"

#include <QFile>
#include <QPointer>
#include <QRandomGenerator>

namespace {
constexpr qint64 kLoginTimeoutTicks = 8;
constexpr int kQrSize = 200;

// Test-only control, off unless set: the end-to-end tests confirm the QR
// sign-in on the service's page and read its address from this file, since
// the log carries the address with its token masked.
void recordLoginPageForTests(const QString& address) {
  const QString path = qEnvironmentVariable("ZARKELO_TEST_LOGIN_PAGE_FILE");
  if (path.isEmpty()) return;
  QFile file(path);
  if (file.open(QIODevice::Append | QIODevice::Text)) {
    file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner);
    file.write(address.toUtf8() + '\n');
  }
}
}  // namespace

LoginController::LoginController(LoginPort& port, WebFetcher& fetcher, QObject* parent)
    : QObject(parent), port_(port), fetcher_(fetcher) {
  timer_.setInterval(1000);
  connect(&timer_, &QTimer::timeout, this, &LoginController::onTimer);
}

QString LoginController::newRandomId() {
  const quint64 value = QRandomGenerator::system()->generate64() & 0x7FFFFFFFFFFFFFFFULL;
  return QString::number(value);
}

void LoginController::onAppear() {
  QString mid = port_.setting(QStringLiteral("SysMID"));
  if (mid.isEmpty()) {
    mid = newRandomId();
    port_.setSetting(QStringLiteral("SysMID"), mid);
  }
  const QString token = newRandomId();
  loginPageAddress_ = serviceurls::wireText(serviceurls::loginPageUrl(mid, token));
  recordLoginPageForTests(loginPageAddress_);
  zlog::line(zlog::redactJsonText(loginPageAddress_));
  port_.setQrLoginMid(mid);
  port_.setQrLoginToken(token);
  loginQR_ = port_.qrImage(loginPageAddress_, kQrSize);
  emit changed();
}

void LoginController::startTimer() { timer_.start(); }
void LoginController::stopTimer() { timer_.stop(); }

void LoginController::onTimer() {
  ++timerCounter_;
  if (isShowDialog_) checkQrToken();
  zlog::parts(QStringLiteral("iLoginTimeCounter"), QString::number(iLoginTimeCounter_));
  checkBridgeFailure();
  if (port_.bridgeConnected() && iLoginState_ == LoginState::lsStartLogin) {
    iLoginState_ = LoginState::lsLoginSubmited;
    iLoginTimeCounter_ = 0;
    port_.sendLogin(strEmail_, strPassword_);
  }
  if (iLoginState_ == LoginState::lsLoginSubmited && iLoginTimeCounter_ >= kLoginTimeoutTicks) {
    iLoginState_ = LoginState::lsTimeout;
    isShowLoading_ = false;
    showMessage(QStringLiteral("Login Timeout!"), QStringLiteral("Please try again later."));
  }
  if (iLoginState_ == LoginState::lsLoginSubmited) ++iLoginTimeCounter_;
  emit changed();
}

void LoginController::checkBridgeFailure() {
  const QString failure = port_.bridgeFailure();
  if (failure.isEmpty() || port_.bridgeConnected()) {
    toldFailure_.clear();
    return;
  }
  const bool waiting = iLoginState_ == LoginState::lsStartLogin;
  if (failure == toldFailure_ && !waiting) return;
  toldFailure_ = failure;
  if (waiting) {
    iLoginState_ = LoginState::lsNone;
    isShowLoading_ = false;
  }
  zlog::parts(QStringLiteral("Vantrel cannot run:"), failure);
  showMessage(L("Bridge_CannotStart"), failure);
}

void LoginController::checkQrToken() {
  const QString token = port_.qrLoginToken();
  if (token.isEmpty() || !isShowDialog_ || !port_.qrLoginAccountId().isEmpty()) return;
  QPointer<LoginController> self(this);
  fetcher_.get(serviceurls::qrTokenCheckUrl(token), [self](const WebReply& reply) {
    if (self) self->onQrTokenChecked(reply);
  });
}

void LoginController::onQrTokenChecked(const WebReply& reply) {
  const auto info = successInfo(reply);
  if (!info || !info->is_string()) return;
  // Replies overlap (one request per tick): only the first success counts.
  if (!port_.qrLoginAccountId().isEmpty()) return;
  // The service answers with a one-time sign-in handle for this QR code; it
  // is sent as both the account and the password, and never logged.
  const QString handle = QString::fromStdString(info->get<std::string>());
  zlog::parts(QStringLiteral("id_acc:"), zlog::redactSecret(handle));
  port_.setQrLoginAccountId(handle);
  strEmail_ = handle;
  strPassword_ = handle;
  isQrLogin_ = true;
  loadingTitle_ = QStringLiteral("正在登录，请稍候...");
  isShowLoading_ = true;
  iLoginState_ = LoginState::lsStartLogin;
  emit changed();
}

void LoginController::onLoginButton() {
  isQrLogin_ = false;
  loadingTitle_ = QStringLiteral("Logging in...");
  isShowLoading_ = true;
  iLoginState_ = LoginState::lsStartLogin;
  emit changed();
}

void LoginController::onRememberMeChanged(bool on) {
  isRememberMe_ = on;
  port_.setSetting(QStringLiteral("isRememberMe"), on ? QStringLiteral("1") : QStringLiteral("0"));
  if (!on) {
    port_.setSetting(QStringLiteral("Login_Email"), QString());
    port_.setSetting(QStringLiteral("Login_Password"), QString());
  }
  emit changed();
}

LoginController::Credentials LoginController::onLoginSucceeded(const QString& resultText) {
  zlog::line(zlog::redactJsonText(resultText));
  if (isQrLogin_) {
    // The handle was good for this one sign-in. The account id takes its
    // place: it is what is remembered, and the re-login on reconnect sends it
    // as (id, id), which the bridge's device credential signs in.
    const QByteArray bytes = resultText.toUtf8();
    const auto result = jsonread::parse(std::string_view(bytes.constData(), size_t(bytes.size())));
    const qint64 accountId = result ? jsonread::integer(*result, "ACC") : 0;
    if (accountId > 0) {
      strEmail_ = QString::number(accountId);
      strPassword_ = strEmail_;
    }
    isQrLogin_ = false;
  }
  iLoginState_ = LoginState::lsLoginResultBack;
  isShowLoading_ = false;
  const bool wasShown = isShowDialog_;
  isShowDialog_ = false;
  timer_.stop();
  port_.setSetting(QStringLiteral("Login_Email"), strEmail_);
  // The password is never kept on disk; writing the empty text also clears
  // one that an earlier version of the application left there.
  port_.setSetting(QStringLiteral("Login_Password"), QString());
  emit changed();
  if (wasShown) emit closeRequested();
  return {strEmail_, strPassword_};
}

void LoginController::onLoginFailed(qint64 pausedSeconds) {
  iLoginState_ = LoginState::lsLoginResultBack;
  isShowLoading_ = false;
  if (pausedSeconds > 0) return showMessage(L("Login_LoginFailed"), L("Login_Paused").arg(pausedSeconds));
  showMessage(L("Login_LoginFailed"), L("Login_CheckYourInfo"));
}

void LoginController::onLoginBusy() {
  iLoginState_ = LoginState::lsLoginResultBack;
  isShowLoading_ = false;
  showMessage(L("Login_LoginFailed"), L("Login_Busy"));
}

void LoginController::showMessage(const QString& title, const QString& info) {
  messageTitle_ = title;
  messageInfo_ = info;
  isShowConfirmDialog_ = true;
  emit changed();
}

void LoginController::dismissMessage() {
  isShowConfirmDialog_ = false;
  emit changed();
}

void LoginController::hideLoading() {
  isShowLoading_ = false;
  emit changed();
}

void LoginController::showUpgradeDialog(const QString& path, const QString& number) {
  if (!isShowDialog_) return;
  strUpgradeVersionFile_ = path;
  upgradeVersion_ = number;
  isShowUpgradeDialog_ = true;
  emit changed();
}

void LoginController::dismissUpgradeQuestion() {
  isShowUpgradeDialog_ = false;
  emit changed();
}

void LoginController::onUpgradeNow() {
  isShowUpgradeDialog_ = false;
  const bool wasShown = isShowDialog_;
  isShowDialog_ = false;
  timer_.stop();
  emit changed();
  if (wasShown) emit closeRequested();
  emit upgradeAccepted(strUpgradeVersionFile_);
}

void LoginController::setLoginByQR(bool byQR) {
  if (isLoginByQR_ == byQR) return;
  isLoginByQR_ = byQR;
  emit changed();
}

void LoginController::setShown(bool shown) {
  isShowDialog_ = shown;
  if (!shown) timer_.stop();
  emit changed();
}
