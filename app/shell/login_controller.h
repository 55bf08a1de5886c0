// The sign-in window's logic: the QR pane (poll the service until the code is
// scanned and confirmed), the e-mail pane, and the small state machine that
// sends "Login" from the window's one-second tick and watches for its result.
#pragma once

#include "shell/web_fetch.h"

#include <QImage>
#include <QObject>
#include <QString>
#include <QTimer>

#include <functional>

enum class LoginState { lsNone, lsStartLogin, lsLoginSubmited, lsLoginResultBack, lsTimeout };

// What the login window needs of the rest of the application.
class LoginPort {
 public:
  virtual ~LoginPort() = default;
  virtual bool bridgeConnected() const = 0;
  // Why the bridge cannot run, for the user; empty while nothing is known against it.
  virtual QString bridgeFailure() const { return {}; }
  // Sends the "Login" frame with a login record for these credentials.
  virtual void sendLogin(const QString& idAcc, const QString& password) = 0;
  virtual QString setting(const QString& key) const = 0;
  virtual bool setSetting(const QString& key, const QString& value) = 0;
  // The process-wide state of the QR-code login.
  virtual QString qrLoginMid() const = 0;
  virtual void setQrLoginMid(const QString& value) = 0;
  virtual QString qrLoginToken() const = 0;
  virtual void setQrLoginToken(const QString& value) = 0;
  virtual QString qrLoginAccountId() const = 0;
  virtual void setQrLoginAccountId(const QString& value) = 0;
  // A QR image of `text`, black on white, size by size pixels.
  virtual QImage qrImage(const QString& text, int size) const = 0;
};

class LoginController : public QObject {
  Q_OBJECT
 public:
  LoginController(LoginPort& port, WebFetcher& fetcher, QObject* parent = nullptr);

  // The window was shown: new token, machine id kept in "SysMID", QR image.
  void onAppear();
  // Starts the window's one-second timer (onTimer) / stops it.
  void startTimer();
  void stopTimer();
  void onTimer();
  // Shows why the bridge cannot run, once for each new reason and again to a
  // login that waits for the bridge (which is then given up).
  void checkBridgeFailure();

  void checkQrToken();
  void onQrTokenChecked(const WebReply& reply);

  void onLoginButton();
  void onRememberMeChanged(bool on);
  // Steps of a successful result that belong to the window; gives the e-mail
  // and password that the new account record keeps for the re-login.
  struct Credentials {
    QString email;
    QString password;
  };
  Credentials onLoginSucceeded(const QString& resultText);
  // A paused sign-in (`pausedSeconds` > 0) says so and for how long.
  void onLoginFailed(qint64 pausedSeconds = 0);
  // The service was too busy to check the password: try again in a moment.
  void onLoginBusy();
  void showMessage(const QString& title, const QString& info);

  // The version check's question; asked only while the window is open.
  void showUpgradeDialog(const QString& path, const QString& number = {});
  // The question's button: closes the window, then hands the path on.
  void onUpgradeNow();

  // Switches between the QR pane and the e-mail pane.
  void setLoginByQR(bool byQR);
  void setEmail(const QString& text) { strEmail_ = text; }
  void setPassword(const QString& text) { strPassword_ = text; }
  // The window is being closed by the user's side (it is closed by itself on success).
  void setShown(bool shown);
  void dismissMessage();
  // The loading sheet closed itself after its own time limit.
  void hideLoading();
  void dismissUpgradeQuestion();

  // A new machine id or token: the decimal text of a random number below 2^63.
  static QString newRandomId();

  // Read access for the view and the tests.
  bool isShown() const { return isShowDialog_; }
  bool isLoginByQR() const { return isLoginByQR_; }
  const QString& email() const { return strEmail_; }
  const QString& password() const { return strPassword_; }
  bool isShowLoading() const { return isShowLoading_; }
  const QString& loadingTitle() const { return loadingTitle_; }
  bool isShowConfirmDialog() const { return isShowConfirmDialog_; }
  const QString& messageTitle() const { return messageTitle_; }
  const QString& messageInfo() const { return messageInfo_; }
  bool isShowUpgradeDialog() const { return isShowUpgradeDialog_; }
  const QString& upgradeVersionFile() const { return strUpgradeVersionFile_; }
  const QString& upgradeVersion() const { return upgradeVersion_; }
  qint64 timerCounter() const { return timerCounter_; }
  LoginState state() const { return iLoginState_; }
  qint64 loginTimeCounter() const { return iLoginTimeCounter_; }
  bool isRememberMe() const { return isRememberMe_; }
  const QImage& loginQR() const { return loginQR_; }
  const QString& loginPageAddress() const { return loginPageAddress_; }

 signals:
  void changed();                                   // any field the view shows
  void closeRequested();                            // the window closes itself
  void upgradeAccepted(const QString& installerPath);

 private:
  LoginPort& port_;
  WebFetcher& fetcher_;
  QTimer timer_;

  bool isShowDialog_ = true;
  bool isLoginByQR_ = true;
  QString strEmail_;
  QString strPassword_;
  bool isShowLoading_ = false;
  QString loadingTitle_ = QStringLiteral("Initialing, Pleae wait...");
  bool isShowUpgradeDialog_ = false;
  QString strUpgradeVersionFile_;
  QString upgradeVersion_;
  qint64 timerCounter_ = 0;
  bool isShowConfirmDialog_ = false;
  QString messageTitle_;
  QString messageInfo_;
  LoginState iLoginState_ = LoginState::lsNone;
  bool isQrLogin_ = false;  // the pending login uses a QR sign-in handle
  QString toldFailure_;     // the bridge's failure last shown
  qint64 iLoginTimeCounter_ = 0;
  bool isRememberMe_ = true;
  QImage loginQR_;
  QString loginPageAddress_;
};
