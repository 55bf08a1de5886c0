// The client ends cleanly, its bridge with it: by its quit question on a real
// X display (Xvfb, clicked with xdotool), and by the termination signals; a
// client killed outright leaves no bridge behind either.
// And a client whose bridge is started by someone else finds that bridge
// again after it was restarted.
#include "shell_e2e_support.h"

#include "core/process_handle.h"
#include "protocol/startup_code.h"
#include "shell/main_view.h"
#include "shell/main_view_parts.h"
#include "support/process_signal.h"
#include "support/reported_port.h"
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

bool alive(qint64 pid) { return !ProcessHandle::endedById(pid); }

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
    testutil::waitUntil([this] { return process_.canReadLine() || process_.state() == QProcess::NotRunning; }, 30s);
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
  // The pixels of an area of the screen (empty when they cannot be read).
  QByteArray pixels(const QRect& area) const {
    QProcess grab;
    grab.start(QStringLiteral("import"),
               {QStringLiteral("-display"), display_, QStringLiteral("-window"), QStringLiteral("root"),
                QStringLiteral("-crop"),
                QStringLiteral("%1x%2+%3+%4").arg(area.width()).arg(area.height()).arg(area.x()).arg(area.y()),
                QStringLiteral("rgb:-")});
    if (!grab.waitForFinished(10000) || grab.exitCode() != 0) return {};
    return grab.readAllStandardOutput();
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
  if (!testutil::waitUntil([&] { return view.quitButton()->isVisible(); }, 30s)) return {};
  const QPoint button = view.quitButton()->mapTo(&view, view.quitButton()->rect().center());
  view.state().isShowingExitDialog.set(true);
  QuitQuestionView* question = nullptr;
  const bool shown = testutil::waitUntil(
      [&] {
        question = qobject_cast<QuitQuestionView*>(view.presentedSheet(view.state().isShowingExitDialog));
        return question && question->quitButton()->isVisible();
      },
      30s);
  if (!shown) return {button, {}};
  const QPoint action = question->quitButton()->mapTo(&view, question->quitButton()->rect().center());
  return {button, action};
}

class QuitEndToEnd : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(service.start(kEmail, kPassword, QStringLiteral("Ann"), QStringLiteral("ann-host")))
        << service.process().dump().toStdString();
  }

  // Starts a client on `display` (offscreen without one) and waits until it is
  // signed in with its sheet closed. Call it under ASSERT_NO_FATAL_FAILURE.
  void startSignedIn(e2e::Client& client, const QString& display = {}) {
    QProcessEnvironment env = emailLogin();
    if (!display.isEmpty()) {
      env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));
      env.insert(QStringLiteral("DISPLAY"), display);
    }
    ASSERT_TRUE(client.start(env));
    ASSERT_GE(client.process().waitForLine(kSignedIn, 30s), 0) << client.process().dump().toStdString();
    ASSERT_GE(client.process().waitForLine(QStringLiteral("ReloadSharingList"), 30s), 0)
        << client.process().dump().toStdString();
    bridge = client.bridgePid();
    ASSERT_GT(bridge, 0);
    // The sign-in token never reaches the log.
    static const QRegularExpression token(QStringLiteral("\"Token\":\"[0-9a-f]{8,}"));
    EXPECT_FALSE(token.match(client.process().dump()).hasMatch()) << client.process().dump().toStdString();
  }

  // The client and its bridge end (by themselves: nothing else stops them).
  void expectGone(e2e::Client& client) {
    QElapsedTimer clock;
    clock.start();
    const bool gone = testutil::waitUntil([&] { return !client.process().running() && !alive(bridge); }, 30s);
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
  ASSERT_NO_FATAL_FAILURE(startSignedIn(client, x.display()));

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

  // The close question first: nothing ends before it is answered. The question
  // is up once the area of its quit action has changed and then holds still.
  const QRect actionArea(origin + action - QPoint(24, 8), QSize(48, 16));
  const QByteArray before = x.pixels(actionArea);
  ASSERT_FALSE(before.isEmpty());
  x.click(origin + button);
  QByteArray shown;
  ASSERT_TRUE(testutil::waitUntil(
      [&] {
        const QByteArray now = x.pixels(actionArea);
        const bool settled = !now.isEmpty() && now != before && now == shown;
        shown = now;
        return settled;
      },
      30s))
      << "the quit question did not show\n" << client.process().dump().toStdString();
  EXPECT_TRUE(client.process().running());
  EXPECT_TRUE(alive(bridge));
  x.click(origin + action);
  expectGone(client);
  EXPECT_GE(client.process().countLines(QStringLiteral("done")), 1);
}

TEST_F(QuitEndToEnd, TerminationSignalsTakeTheSamePath) {
  for (const int signal : {SIGTERM, SIGINT, SIGHUP}) {
    e2e::Client client(service);
    ASSERT_NO_FATAL_FAILURE(startSignedIn(client));
    ASSERT_TRUE(testsupport::signalProcess(client.process().pid(), signal));
    expectGone(client);
    EXPECT_GE(client.process().countLines(QStringLiteral("Quitting on signal %1").arg(signal)), 1)
        << client.process().dump().toStdString();
  }
  // Killed, the client ends nothing itself: its bridge sees it gone and exits.
  e2e::Client client(service);
  ASSERT_NO_FATAL_FAILURE(startSignedIn(client));
  QElapsedTimer clock;
  clock.start();
  ASSERT_TRUE(testsupport::signalProcess(client.process().pid(), SIGKILL));
  expectGone(client);
  EXPECT_LT(clock.elapsed(), 15000);
}

// A bridge started by someone else (development mode): on a port it picks
// itself the first time (`port` 0), then on that same port again.
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
    if (!process_->start(testutil::binDir() + QStringLiteral("/Vantrel_amd"),
                         {QStringLiteral("-scode=") + QLatin1String(bridgelink::kBridgeStartupCode)}, env))
      return false;
    const int line = process_->waitForLine(QStringLiteral("listening on"), 30s);
    port_ = line < 0 ? 0 : testsupport::loopbackPortIn(process_->lines().at(line));
    return port_ != 0 && (port == 0 || port_ == port);
  }
  quint16 port() const { return port_; }
  void kill() { process_.reset(); }  // SIGKILL, by its id

 private:
  QTemporaryDir home_;
  std::unique_ptr<e2e::LoggedProcess> process_;
  quint16 port_ = 0;
};

TEST_F(QuitEndToEnd, InDevelopmentModeTheClientFindsARestartedBridgeAgain) {
  const QString secret = QStringLiteral("development-secret");
  OutsideBridge bridgeProcess;
  ASSERT_TRUE(bridgeProcess.start(service, 0, secret));
  const quint16 port = bridgeProcess.port();

  e2e::Client client(service, /*withBridge=*/false);
  QProcessEnvironment env = emailLogin();
  env.insert(QStringLiteral("ZARKELO_ENV_MODE"), QStringLiteral("1"));
  env.insert(QStringLiteral("ZARKELO_BRIDGE_PORT"), QString::number(port));
  env.insert(QStringLiteral("ZARKELO_BRIDGE_SECRET"), secret);
  ASSERT_TRUE(client.start(env));
  ASSERT_GE(client.process().waitForLine(kSignedIn, 30s), 0) << client.process().dump().toStdString();

  const int from = client.process().lines().size();
  bridgeProcess.kill();
  ASSERT_GE(client.process().waitForLine(QStringLiteral("ActiveBridgeTime Timeout"), 30s, from), 0)
      << client.process().dump().toStdString();
  OutsideBridge restarted;
  ASSERT_TRUE(restarted.start(service, port, secret));
  QElapsedTimer clock;
  clock.start();
  ASSERT_GE(client.process().waitForLine(kSignedIn, 30s, from), 0) << client.process().dump().toStdString();
  std::printf("signed in on the restarted bridge after %lld ms\n", static_cast<long long>(clock.elapsed()));
  // Once back, no more time-outs: the link is live again.
  const int back = client.process().lines().size();
  EXPECT_EQ(client.process().waitForLine(QStringLiteral("ActiveBridgeTime Timeout"), 8s, back), -1)
      << client.process().dump().toStdString();
}

}  // namespace
