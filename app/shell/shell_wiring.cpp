#include "shell/shell_wiring.h"

#include "bridge/bridge_link.h"
#include "bridge/bridge_supervisor.h"
#include "bridge/env.h"
#include "bridge/login.h"
#include "bridge/p2p_client_msg.h"
#include "bridge/payloads.h"
#include "bridge/user_info.h"
#include "core/localized.h"
#include "core/log.h"
#include "core/util_db.h"
#include "media/util_media.h"
#include "core/util_system.h"
#include "shell/login_view.h"
#include "shell/main_view.h"
#include "shell/main_view_shared.h"
#include "shell/settings_controller.h"
#include "shell/view_qr_settings.h"
#include "shell/view_settings.h"

#include <QCoreApplication>
#include <QDesktopServices>
#include <QEvent>
#include <QProcess>
#include <QTimer>

namespace {

// The installer that could not be opened: its place stays on screen long
// enough to be read and copied down, unless dismissed.
constexpr int kUpgradeMessageMs = 20000;

// Replies of the request layer: the reply's "Msg", or null when it had none.
std::function<void(const std::optional<vex::Json>&)> adapt(std::function<void(const vex::Json&)> handler) {
  return [handler = std::move(handler)](const std::optional<vex::Json>& reply) {
    if (handler) handler(reply ? *reply : vex::Json());
  };
}

void callHttp(const QString& url, int timeout, std::function<void(const vex::Json&)> reply) {
  CallHttpInfo info;
  info.URL = url;
  info.Timeout = timeout;
  P2PClientMsg::SendMsgToP2PClient(QStringLiteral("CallHttp"), info, true, adapt(std::move(reply)));
}

QImage qrImageOf(const QString& text, int size) {
  return generateColoredQRImage(text, Qt::white, Qt::black, size, size);
}

}  // namespace

// ---- heartbeat ---------------------------------------------------------------

bool LiveHeartbeatPort::bridgeConnected() const { return Env::BridgeConnected; }
qint64 LiveHeartbeatPort::reconnectTickCounter() const { return Env::ReconnectTickCounter; }
void LiveHeartbeatPort::setReconnectTickCounter(qint64 value) { Env::ReconnectTickCounter = value; }
quint64 LiveHeartbeatPort::activeBridgeTime() const { return Env::ActiveBridgeTime; }
void LiveHeartbeatPort::setActiveBridgeTime(quint64 seconds) { Env::ActiveBridgeTime = seconds; }
void LiveHeartbeatPort::connectBridge() { ConnectBridge(); }
void LiveHeartbeatPort::restartBridge() { RestartBridge(); }

bool LiveHeartbeatPort::bridgeProcessRunning() const {
  // Only a bridge this client supervises counts; with an unsupervised bridge
  // (environment mode below 2) there is nothing to restart.
  if (Env::EnvMode < 2) return true;
  return Env::BridgeProcess && Env::BridgeProcess->state() != QProcess::NotRunning;
}

void LiveHeartbeatPort::pingBridge(std::function<void()> onReply) {
  P2PClientMsg::SendMsgToP2PClient(QStringLiteral("PingBridge"), BlankMsg{}, true,
                                   [onReply = std::move(onReply)](const std::optional<vex::Json>&) {
                                     if (onReply) onReply();
                                   });
}

QString LiveHeartbeatPort::accountToken() const { return UserInfo::shared()->Token; }
QString LiveHeartbeatPort::accountHostname() const { return UserInfo::shared()->hostname; }

void LiveHeartbeatPort::setAccountHostname(const QString& hostname) {
  UserInfo::shared()->hostname = hostname;
  UserInfo::notifySharedChanged();
}

QString LiveHeartbeatPort::accountNameAcc() const { return UserInfo::shared()->name_acc; }

void LiveHeartbeatPort::setAccountNameAcc(const QString& name) {
  UserInfo::shared()->name_acc = name;
  UserInfo::notifySharedChanged();
}

void LiveHeartbeatPort::reloadShares() { window_.loadShareList(); }
void LiveHeartbeatPort::setWindowNameAcc(const QString& name) { window_.setUserName(name); }

// ---- login -------------------------------------------------------------------

bool LiveLoginPort::bridgeConnected() const { return Env::BridgeConnected; }
QString LiveLoginPort::bridgeFailure() const { return Env::BridgeFailure; }
void LiveLoginPort::sendLogin(const QString& idAcc, const QString& password) { SendLogin(idAcc, password); }
QString LiveLoginPort::setting(const QString& key) const { return UtilDB::getValue(key); }
bool LiveLoginPort::setSetting(const QString& key, const QString& value) { return UtilDB::setValue(key, value); }
QString LiveLoginPort::qrLoginMid() const { return Env::QRLoginMid; }
void LiveLoginPort::setQrLoginMid(const QString& value) { Env::QRLoginMid = value; }
QString LiveLoginPort::qrLoginToken() const { return Env::QRLoginToken; }
void LiveLoginPort::setQrLoginToken(const QString& value) { Env::QRLoginToken = value; }
QString LiveLoginPort::qrLoginAccountId() const { return Env::QRLoginAccountId; }
void LiveLoginPort::setQrLoginAccountId(const QString& value) { Env::QRLoginAccountId = value; }
QImage LiveLoginPort::qrImage(const QString& text, int size) const { return qrImageOf(text, size); }

LoginViewLink::LoginViewLink(MainViewState& window, LoginPort& port, WebFetcher& fetcher, QObject* parent)
    : QObject(parent), window_(window), port_(port), fetcher_(fetcher) {}

LoginViewLink::~LoginViewLink() {
  if (Env::LoginViewShared == this) Env::LoginViewShared = nullptr;
}

LoginController* LoginViewLink::presentNew() {
  current_ = std::make_unique<LoginController>(port_, fetcher_);
  connect(current_.get(), &LoginController::upgradeAccepted, this, &LoginViewLink::upgradeAccepted);
  Env::LoginViewShared = this;
  current_->onAppear();
  return current_.get();
}

void LoginViewLink::onLoginSucceeded(const QString& resultText, std::shared_ptr<UserInfo> user) {
  if (!current_ || !user) return;
  const auto credentials = current_->onLoginSucceeded(resultText);
  user->email = credentials.email;
  user->password = credentials.password;  // in memory only, for the re-login on reconnect
  window_.setUserName(user->name_acc);
  UserInfo::setShared(std::move(user));
}

void LoginViewLink::onLoginFailed(qint64 pausedSeconds) {
  if (current_) current_->onLoginFailed(pausedSeconds);
}

void LoginViewLink::onLoginBusy() {
  if (current_) current_->onLoginBusy();
}

void LoginViewLink::showUpgradeDialog(const QString& path, const QString& number) {
  if (current_) current_->showUpgradeDialog(path, number);
}

void applyTestLoginFromEnvironment(LoginController& controller) {
  const QString email = qEnvironmentVariable("ZARKELO_TEST_LOGIN_EMAIL");
  if (email.isEmpty()) return;
  zlog::parts(QStringLiteral("Test login as"), email);
  controller.setLoginByQR(false);
  controller.setEmail(email);
  controller.setPassword(qEnvironmentVariable("ZARKELO_TEST_LOGIN_PASSWORD"));
  controller.onLoginButton();
}

// ---- wiring --------------------------------------------------------------------

ShellWiring::ShellWiring(MainView& view, QObject* parent)
    : QObject(parent),
      view_(view),
      heartbeatPort_(view.state()),
      heartbeat_(heartbeatPort_, fetcher_),
      login_(view.state(), loginPort_, fetcher_),
      upgrade_(
          UpgradeController::Hooks{
              callHttp,
              [](const CallHttpDownloadInfo& info, UpgradeController::ReplyHandler reply) {
                P2PClientMsg::SendMsgToP2PClient(QStringLiteral("CallHttpDownload"), info, true,
                                                 adapt(std::move(reply)));
              },
              [this](const QString& path, const QString& number) { login_.showUpgradeDialog(path, number); },
              [](const QUrl& file, std::function<void(bool)> started) {
                UtilSystem::openFileWithDefaultHandler(file.toLocalFile(), std::move(started));
              },
              [] { ClearBridge(); },
              [this] { view_.state().endApplication(); },
              [this](const QString& path) {
                AlertToast toast = makeToast(AlertToast::Type::error, QStringLiteral("red"), L("Upgrade_NotOpened"));
                toast.subTitle = path;
                toast.minShowMs = kUpgradeMessageMs;
                view_.state().showAlertToast(toast);
                // Back where the user was: the question closed the login sheet.
                if (UserInfo::shared()->Token.isEmpty()) view_.state().isShowLogin.set(true);
              }},
          Env::AppVersion, documentsPath(QStringLiteral("Kelvor"))) {
  MainViewState& state = view.state();
  view.installEventFilter(this);

  // The heartbeat runs on the window's one-second clock.
  connect(&state, &MainViewState::heartbeatTick, &heartbeat_, [this, &state] {
    heartbeat_.onTimer();
    state.timerCounter = int(heartbeat_.timerCounter());
  });
  // Every connected event starts the version check.
  bridgelink::setVersionCheckStarter([this] { upgrade_.checkNewVersion(); });
  connect(&login_, &LoginViewLink::upgradeAccepted, &upgrade_, &UpgradeController::openInstaller);

  view.setSheetFactory(MainView::Sheet::login, [this](MainViewState& window, QWidget* parent) -> QWidget* {
    LoginController* controller = login_.presentNew();
    connect(controller, &LoginController::closeRequested, &window, [&window] { window.isShowLogin.set(false); });
    auto* sheet = new LoginView(controller, parent);
    QPointer<LoginController> guard(controller);
    connect(sheet, &QObject::destroyed, controller, [guard] {
      if (guard) guard->setShown(false);
    });
    controller->startTimer();
    applyTestLoginFromEnvironment(*controller);
    return sheet;
  });

  view.setSheetFactory(MainView::Sheet::qrSettings, [](MainViewState& window, QWidget* parent) -> QWidget* {
    return new ViewQRSettings(Env::QRLoginMid, Env::QRLoginToken, qrImageOf,
                              [&window] { window.isShowQRSettings.set(false); }, parent);
  });

  view.setPageFactory(MainViewState::pageSettings, [](MainViewState&, QWidget* parent) -> QWidget* {
    auto* controller = new SettingsController(SettingsController::Hooks{
        [](const QString& key) { return UtilDB::getValue(key); },
        [](const QString& key, const QString& value) { return UtilDB::setValue(key, value); },
        [](const QString& text) {
          if (MainViewHandle* window = shell::mainViewShared()) window->showToast(text);
        },
        [](bool success) {
          if (MainViewHandle* window = shell::mainViewShared()) window->showUpdateResult(success);
        },
        callHttp, [] { return UserInfo::shared()->Token; }});
    auto* page = new ViewSettings(controller, [](const QString& title, std::function<void(const QString&)> done) {
      UtilSystem::openPanel(title, 1, std::move(done));
    }, parent);
    controller->setParent(page);
    return page;
  });
}

ShellWiring::~ShellWiring() { bridgelink::setVersionCheckStarter({}); }

bool ShellWiring::eventFilter(QObject* watched, QEvent* event) {
  if (watched == &view_ && event->type() == QEvent::Show && !shownLogged_) {
    shownLogged_ = true;
    QTimer::singleShot(0, this, [] { zlog::line(QStringLiteral("Main window shown")); });
  }
  return QObject::eventFilter(watched, event);
}
