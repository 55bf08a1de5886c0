// Binds the shell's controllers to the rest of the application: the heartbeat
// to the main window's clock and the bridge link, the login sheet to the
// login-result handler (LoginViewShared), the version check to the bridge's
// connected event, and the settings page and QR-code sheet to the window.
#pragma once

#include "shell/view_handles.h"
#include "shell/heartbeat.h"
#include "shell/login_controller.h"
#include "shell/version_check.h"
#include "shell/web_fetch.h"

#include <QObject>
#include <QPointer>

#include <functional>
#include <memory>

class MainView;
class MainViewState;

// The heartbeat's view of the process-wide state.
class LiveHeartbeatPort : public HeartbeatPort {
 public:
  explicit LiveHeartbeatPort(MainViewState& window) : window_(window) {}
  bool bridgeConnected() const override;
  qint64 reconnectTickCounter() const override;
  void setReconnectTickCounter(qint64 value) override;
  quint64 activeBridgeTime() const override;
  void setActiveBridgeTime(quint64 seconds) override;
  void connectBridge() override;
  void restartBridge() override;
  bool bridgeProcessRunning() const override;
  void pingBridge(std::function<void()> onReply) override;
  QString accountToken() const override;
  QString accountHostname() const override;
  void setAccountHostname(const QString& hostname) override;
  QString accountNameAcc() const override;
  void setAccountNameAcc(const QString& name) override;
  void reloadShares() override;
  void setWindowNameAcc(const QString& name) override;

 private:
  MainViewState& window_;
};

class LiveLoginPort : public LoginPort {
 public:
  bool bridgeConnected() const override;
  QString bridgeFailure() const override;
  void sendLogin(const QString& idAcc, const QString& password) override;
  QString setting(const QString& key) const override;
  bool setSetting(const QString& key, const QString& value) override;
  QString qrLoginMid() const override;
  void setQrLoginMid(const QString& value) override;
  QString qrLoginToken() const override;
  void setQrLoginToken(const QString& value) override;
  QString qrLoginAccountId() const override;
  void setQrLoginAccountId(const QString& value) override;
  QImage qrImage(const QString& text, int size) const override;
};

// What the login-result handler and the version check reach as the login
// window: the controller of the sheet shown last (kept after it closes, so a
// re-login result still takes the success steps).
class LoginViewLink : public QObject, public LoginViewHandle {
  Q_OBJECT
 public:
  LoginViewLink(MainViewState& window, LoginPort& port, WebFetcher& fetcher, QObject* parent = nullptr);
  ~LoginViewLink() override;

  // A new controller for a new showing of the sheet; stores this link as
  // LoginViewShared and runs the controller's appearance.
  LoginController* presentNew();
  LoginController* current() const { return current_.get(); }

  void onLoginSucceeded(const QString& resultText, std::shared_ptr<UserInfo> user) override;
  void onLoginFailed(qint64 pausedSeconds) override;
  void onLoginBusy() override;
  void showUpgradeDialog(const QString& path, const QString& number);

 signals:
  void upgradeAccepted(const QString& installerPath);

 private:
  MainViewState& window_;
  LoginPort& port_;
  WebFetcher& fetcher_;
  std::unique_ptr<LoginController> current_;
};

class ShellWiring : public QObject {
  Q_OBJECT
 public:
  explicit ShellWiring(MainView& view, QObject* parent = nullptr);
  ~ShellWiring() override;

  Heartbeat& heartbeat() { return heartbeat_; }
  LoginViewLink& login() { return login_; }
  UpgradeController& upgrade() { return upgrade_; }

 protected:
  // Logs "Main window shown" once the window's first showing has been handled.
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  MainView& view_;
  NetworkWebFetcher fetcher_;
  LiveHeartbeatPort heartbeatPort_;
  Heartbeat heartbeat_;
  LiveLoginPort loginPort_;
  LoginViewLink login_;
  UpgradeController upgrade_;
  bool shownLogged_ = false;
};

// Test-only start-up control, off unless set: ZARKELO_TEST_LOGIN_EMAIL and
// ZARKELO_TEST_LOGIN_PASSWORD make the login sheet switch to its e-mail pane
// and submit these credentials as soon as it appears.
void applyTestLoginFromEnvironment(LoginController& controller);
