// The client ends cleanly, its bridge with it: by its quit question on a real
// X display (Xvfb, clicked with xdotool), and by the termination signals.
// And a client whose bridge is started by someone else finds that bridge
// again after it was restarted.
#include "shell_e2e_support.h"

#include "protocol/startup_code.h"
#include "shell/main_view.h"
#include "shell/main_view_parts.h"
#include "support/test_util.h"

#include <QElapsedTimer>
#include <QFile>
#include <QPushButton>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <csignal>

namespace {

using namespace std::chrono_literals;

const QString kEmail = QStringLiteral("ann@example.com");
const QString kPassword = QStringLiteral("ann-pass");
const QString kSignedIn = QStringLiteral("Host Login Succeeded");

QProcessEnvironment emailLogin() { return e2e::emailLogin(kEmail, kPassword); }

// Gone, or only waiting to be reaped.
bool alive(qint64 pid) {
  QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
  if (!stat.open(QIODevice::ReadOnly)) return false;
  const QByteArray text = stat.readAll();
  const qsizetype close = text.lastIndexOf(')');
  return close >= 0 && close + 2 < text.size() && text.at(close + 2) != 'Z' && text.at(close + 2) != 'X';
}

// An X server of its own on a display number it picks itself.
class Xvfb {
 public:
  bool start() {
    const QString program = QStandardPaths::findExecutable(QStringLiteral("Xvfb"));
    if (program.isEmpty()) return false;
    process_.start(program, {QStringLiteral("-displayfd"), QStringLiteral("1"), QStringLiteral("-screen"),
                             QStringLiteral("0"), QStringLiteral("1280x1024x24"), QStringLiteral("-dpi"),
                             QStringLiteral("96"), QStringLiteral("-nolisten"), QStringLiteral("tcp")});
    if (!process_.waitForStarted(5000)) return false;
    testutil::waitUntil([this] { return process_.canReadLine() || process_.state() == QProcess::NotRunning; }, 10s);
    bool ok = false;
    const int number = QString::fromLatin1(process_.readLine()).trimmed().toInt(&ok);
    if (!ok) return false;
    display_ = QStringLiteral(":%1").arg(number);
    return true;
  }
  ~Xvfb() {
    if (process_.state() == QProcess::NotRunning) return;
    process_.terminate();
    if (!process_.waitForFinished(3000)) process_.kill();
    process_.waitForFinished(2000);
  }
  QString display() const { return display_; }
  // Runs xdotool on this display; its output.
  QString xdotool(const QStringList& args) const {
    QProcess tool;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("DISPLAY"), display_);
    tool.setProcessEnvironment(env);
    tool.start(QStringLiteral("xdotool"), args);
    tool.waitForFinished(10000);
    return QString::fromUtf8(tool.readAllStandardOutput()).trimmed();
  }
  // Clicks at a point of the screen.
  void click(const QPoint& at) const {
    xdotool({QStringLiteral("mousemove"), QStringLiteral("--sync"), QString::number(at.x()), QString::number(at.y()),
             QStringLiteral("click"), QStringLiteral("1")});
  }

 private:
  QProcess process_;
  QString display_;
};

// Where the window's quit button and the quit question's quit action lie, in
// window coordinates, for a window of `size`: the same widgets laid out here.
std::pair<QPoint, QPoint> quitPoints(const QSize& size) {
  MainView view;
  view.setAttribute(Qt::WA_DontShowOnScreen);
  view.resize(size);
  view.show();
  view.state().isShowLogin.set(false);  // signed in: the navigation shows
  testutil::waitUntil([] { return false; }, 200ms);
  const QPoint button = view.quitButton()->mapTo(&view, view.quitButton()->rect().center());
  view.state().isShowingExitDialog.set(true);
  testutil::waitUntil([] { return false; }, 200ms);
  auto* question = qobject_cast<QuitQuestionView*>(view.presentedSheet(view.state().isShowingExitDialog));
  if (!question) return {button, {}};
  const QPoint action = question->quitButton()->mapTo(&view, question->quitButton()->rect().center());
  return {button, action};
}

class QuitEndToEnd : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(service.start(kEmail, kPassword, QStringLiteral("Ann"), QStringLiteral("ann-host")))
        << service.process().dump().toStdString();
  }

  // Starts a client on `display` (offscreen without one) and waits until it is signed in with its sheet closed.
  void startSignedIn(e2e::Client& client, const QString& display = {}) {
    QProcessEnvironment env = emailLogin();
    if (!display.isEmpty()) {
      env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));
      env.insert(QStringLiteral("DISPLAY"), display);
    }
    ASSERT_TRUE(client.start(env));
    ASSERT_GE(client.process().waitForLine(kSignedIn, 20s), 0) << client.process().dump().toStdString();
    ASSERT_GE(client.process().waitForLine(QStringLiteral("ReloadSharingList"), 5s), 0)
        << client.process().dump().toStdString();
    bridge = client.bridgePid();
    ASSERT_NE(bridge, 0);
    // The sign-in token never reaches the log.
    static const QRegularExpression token(QStringLiteral("\"Token\":\"[0-9a-f]{8,}"));
    EXPECT_FALSE(token.match(client.process().dump()).hasMatch()) << client.process().dump().toStdString();
  }

  // The client and its bridge end within 5 s, the client with status 0.
  void expectGoneWithin5s(e2e::Client& client) {
    QElapsedTimer clock;
    clock.start();
    const bool gone = testutil::waitUntil([&] { return !client.process().running() && !alive(bridge); }, 5s);
    EXPECT_TRUE(gone) << "client " << client.process().running() << " bridge " << alive(bridge) << "\n"
                      << client.process().dump().toStdString();
    std::printf("client and bridge gone after %lld ms\n", static_cast<long long>(clock.elapsed()));
  }

  e2e::Service service;
  qint64 bridge = 0;
};

TEST_F(QuitEndToEnd, TheQuitQuestionEndsTheClientAndItsBridgeOnARealDisplay) {
  Xvfb x;
  ASSERT_TRUE(x.start());
  e2e::Client client(service);
  startSignedIn(client, x.display());

  const QString window =
      x.xdotool({QStringLiteral("search"), QStringLiteral("--sync"), QStringLiteral("--onlyvisible"),
                 QStringLiteral("--pid"), QString::number(client.process().pid())})
          .section(QLatin1Char('\n'), 0, 0);
  ASSERT_FALSE(window.isEmpty());
  QMap<QString, int> geometry;
  for (const QString& line : x.xdotool({QStringLiteral("getwindowgeometry"), QStringLiteral("--shell"), window})
                                 .split(QLatin1Char('\n')))
    geometry[line.section(QLatin1Char('='), 0, 0)] = line.section(QLatin1Char('='), 1).toInt();
  const QPoint origin(geometry.value(QStringLiteral("X")), geometry.value(QStringLiteral("Y")));
  const auto [button, action] =
      quitPoints(QSize(geometry.value(QStringLiteral("WIDTH")), geometry.value(QStringLiteral("HEIGHT"))));
  ASSERT_FALSE(action.isNull());
  std::printf("window %s at %d,%d: quit button at %d,%d, quit action at %d,%d\n", window.toUtf8().constData(),
              origin.x(), origin.y(), button.x(), button.y(), action.x(), action.y());

  // The close question first: nothing ends before it is answered.
  x.click(origin + button);
  testutil::waitUntil([] { return false; }, 700ms);
  EXPECT_TRUE(client.process().running());
  EXPECT_TRUE(alive(bridge));
  x.click(origin + action);
  expectGoneWithin5s(client);
  EXPECT_GE(client.process().countLines(QStringLiteral("done")), 1);
}

TEST_F(QuitEndToEnd, TerminationSignalsTakeTheSamePath) {
  for (const int signal : {SIGTERM, SIGINT, SIGHUP}) {
    e2e::Client client(service);
    startSignedIn(client);
    ::kill(pid_t(client.process().pid()), signal);
    expectGoneWithin5s(client);
    EXPECT_GE(client.process().countLines(QStringLiteral("Quitting on signal %1").arg(signal)), 1)
        << client.process().dump().toStdString();
  }
}

// A bridge started by someone else (development mode), on a fixed port.
class OutsideBridge {
 public:
  bool start(const e2e::Service& service, quint16 port, const QString& secret) {
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("HOME"), home_.path());
    env.insert(QStringLiteral("VANTREL_PORT"), QString::number(port));
    env.insert(QStringLiteral("VANTREL_SECRET"), secret);
    env.insert(QStringLiteral("ZARKELO_SERVICE_HOST"), service.host());
    env.insert(QStringLiteral("ZARKELO_CA_FILE"), service.caFile());
    process_ = std::make_unique<e2e::LoggedProcess>();
    return process_->start(testutil::binDir() + QStringLiteral("/Vantrel_amd"),
                           {QStringLiteral("-scode=") + QLatin1String(bridgelink::kBridgeStartupCode)}, env) &&
           process_->waitForLine(QStringLiteral("listening on"), 10s) >= 0;
  }
  void kill() { process_.reset(); }  // SIGKILL, by its id

 private:
  QTemporaryDir home_;
  std::unique_ptr<e2e::LoggedProcess> process_;
};

TEST_F(QuitEndToEnd, InDevelopmentModeTheClientFindsARestartedBridgeAgain) {
  const quint16 port = e2e::freePort();
  const QString secret = QStringLiteral("development-secret");
  OutsideBridge bridgeProcess;
  ASSERT_TRUE(bridgeProcess.start(service, port, secret));

  e2e::Client client(service, /*withBridge=*/false);
  QProcessEnvironment env = emailLogin();
  env.insert(QStringLiteral("ZARKELO_ENV_MODE"), QStringLiteral("1"));
  env.insert(QStringLiteral("ZARKELO_BRIDGE_PORT"), QString::number(port));
  env.insert(QStringLiteral("ZARKELO_BRIDGE_SECRET"), secret);
  ASSERT_TRUE(client.start(env));
  ASSERT_GE(client.process().waitForLine(kSignedIn, 20s), 0) << client.process().dump().toStdString();

  const int from = client.process().lines().size();
  bridgeProcess.kill();
  ASSERT_GE(client.process().waitForLine(QStringLiteral("ActiveBridgeTime Timeout"), 12s, from), 0)
      << client.process().dump().toStdString();
  OutsideBridge restarted;
  ASSERT_TRUE(restarted.start(service, port, secret));
  QElapsedTimer clock;
  clock.start();
  ASSERT_GE(client.process().waitForLine(kSignedIn, 20s, from), 0) << client.process().dump().toStdString();
  std::printf("signed in on the restarted bridge after %lld ms\n", static_cast<long long>(clock.elapsed()));
  // Once back, no more time-outs: the link is live again.
  const int back = client.process().lines().size();
  testutil::waitUntil([] { return false; }, 8s);
  EXPECT_EQ(client.process().waitForLine(QStringLiteral("ActiveBridgeTime Timeout"), 10ms, back), -1)
      << client.process().dump().toStdString();
}

}  // namespace
