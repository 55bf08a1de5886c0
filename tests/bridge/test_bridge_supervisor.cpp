// Supervision of the bridge process with a stand-in bridge executable: killing
// leftovers, the deferred start, what the new process gets, and the start-up
// sequence's order.
#include "bridge_test_support.h"
#include "log_capture.h"

#include "bridge/bridge_supervisor.h"
#include "bridge/startup.h"
#include "protocol/startup_code.h"
#include "core/log.h"
#include "core/process_handle.h"
#include "support/process_signal.h"
#include "support/test_util.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <csignal>
#include <unistd.h>

namespace {

using namespace bridgesupervisor;

bool alive(qint64 pid) { return !ProcessHandle::endedById(pid); }

// A folder holding the stand-in under the bridge's executable name.
class BridgeFolder {
 public:
  explicit BridgeFolder(bool executable = true) {
    path_ = dir_.path() + QLatin1Char('/') + bridgeExecutableNameFor(GetCpuTypeName());
    QFile::copy(testutil::binDir() + QStringLiteral("/test_fake_vantrel"), path_);
    QFile::setPermissions(path_, executable ? QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner
                                            : QFile::ReadOwner | QFile::WriteOwner);
  }
  QString folder() const { return dir_.path(); }
  QString executable() const { return path_; }
  // Lines of started.log: "<pid> <arguments> port=<p> secret=<s>".
  QStringList starts() const {
    QFile log(dir_.path() + QStringLiteral("/started.log"));
    if (!log.open(QIODevice::ReadOnly)) return {};
    return QString::fromUtf8(log.readAll()).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
  }
  // With `client`, started as another running client starts its bridge.
  qint64 startDetached(qint64 client = 0) const {
    QProcess process;
    process.setProgram(path_);
    process.setArguments({startupArgument()});
    process.setWorkingDirectory(dir_.path());
    if (client > 0) {
      QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
      environment.insert(QStringLiteral("VANTREL_CLIENT_PID"), QString::number(client));
      process.setProcessEnvironment(environment);
    }
    qint64 pid = 0;
    process.startDetached(&pid);
    return pid;
  }

 private:
  QTemporaryDir dir_;
  QString path_;
};

class SupervisorTest : public ::testing::Test {
 protected:
  void SetUp() override {
    bridgetest::resetState();
    Env::EnvMode = 2;
    Env::BridgePort = 23456;
    Env::BridgeSecret = QStringLiteral("C0FFEE");
  }
  void TearDown() override {
    StopOwnBridge();
    for (qint64 pid : strays) testsupport::signalProcess(pid, SIGKILL);
    Env::AppRunPath.clear();
    bridgetest::resetState();
  }
  std::vector<qint64> strays;
};

TEST_F(SupervisorTest, KillsLeftoverAndStartsNewBridgeHalfASecondLater) {
  BridgeFolder ours;
  BridgeFolder elsewhere;  // another installation's bridge is left alone
  Env::AppRunPath = ours.folder();
  const qint64 leftover = ours.startDetached();
  const qint64 foreign = elsewhere.startDetached();
  // The bridge of another client of this installation, still running, is that client's.
  QProcess otherClient;
  otherClient.start(QStringLiteral("sleep"), {QStringLiteral("60")});
  ASSERT_TRUE(otherClient.waitForStarted());
  const qint64 othersBridge = ours.startDetached(otherClient.processId());
  strays = {leftover, foreign, othersBridge};
  ASSERT_TRUE(testutil::waitUntil([&] { return ours.starts().size() == 2 && elsewhere.starts().size() == 1; }));

  // Mode 1 leaves the bridge alone.
  Env::EnvMode = 1;
  RestartBridge();
  testutil::idleFor(std::chrono::milliseconds(700));
  EXPECT_TRUE(alive(leftover));
  EXPECT_EQ(ours.starts().size(), 2);

  Env::EnvMode = 2;
  Env::BridgeConnected = true;
  Env::ReconnectTickCounter = 5;
  LogCapture log;
  QElapsedTimer clock;
  clock.start();
  RestartBridge();
  EXPECT_TRUE(testutil::waitUntil([&] { return !alive(leftover); }, std::chrono::milliseconds(1000)));
  EXPECT_TRUE(Env::BridgeConnected);  // cleared only by the deferred step
  EXPECT_TRUE(log.contains(QStringLiteral("Clearing Vantrel...")));
  EXPECT_TRUE(log.contains(QStringLiteral("---ReCheck Instance false")));

  ASSERT_TRUE(testutil::waitUntil([&] { return ours.starts().size() == 3; }));
  const qint64 elapsed = clock.elapsed();
  EXPECT_GE(elapsed, 450);
  EXPECT_LT(elapsed, 4000);
  EXPECT_FALSE(Env::BridgeConnected);
  EXPECT_EQ(Env::ReconnectTickCounter, 0);
  ASSERT_NE(Env::BridgeProcess, nullptr);
  const QString started = ours.starts().at(2);
  EXPECT_EQ(started.section(QLatin1Char(' '), 0, 0).toLongLong(), Env::BridgeProcess->processId());
  EXPECT_TRUE(started.endsWith(QStringLiteral(" -scode=%1 port=23456 secret=C0FFEE")
                                   .arg(QLatin1String(bridgelink::kBridgeStartupCode))))
      << started.toStdString();
  EXPECT_TRUE(alive(foreign));
  EXPECT_TRUE(alive(othersBridge));
  const QStringList lines = log.lines();
  const qsizetype tryLine = lines.indexOf(QStringLiteral("++++++Try To Starting Vantrel++++++"));
  ASSERT_GE(tryLine, 0);
  EXPECT_EQ(lines.value(tryLine + 1), QUrl::fromLocalFile(ours.executable()).toString());
  EXPECT_TRUE(lines.contains(QStringLiteral("------Vantrel Exited------")));

  // Its output lands in the log file of the Kelvor folder.
  const QString bridgeLog = bridgeLogPath();
  EXPECT_TRUE(bridgeLog.startsWith(QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation) +
                                   QStringLiteral("/Kelvor/")));
  EXPECT_TRUE(testutil::waitUntil([&] {
    QFile file(bridgeLog);
    return file.open(QIODevice::ReadOnly) &&
           file.readAll().contains(QStringLiteral("fake bridge %1 says hello").arg(Env::BridgeProcess->processId()).toUtf8());
  }));
  EXPECT_TRUE(IsBridgeRunning());

  // On quit the bridge this client started is ended.
  const qint64 own = Env::BridgeProcess->processId();
  StopOwnBridge();
  EXPECT_EQ(Env::BridgeProcess, nullptr);
  EXPECT_TRUE(testutil::waitUntil([&] { return !alive(own); }));

  // Once that other client is gone, its bridge is a leftover like any other.
  EXPECT_TRUE(alive(othersBridge));
  otherClient.kill();
  otherClient.waitForFinished();
  ClearBridge();
  EXPECT_TRUE(testutil::waitUntil([&] { return !alive(othersBridge); }));
}

// A leftover still being started when the old bridge is cleared (forked, not
// yet carrying the bridge's name) is ended by the start that follows, before
// the new bridge runs: every time.
TEST_F(SupervisorTest, LeftoverStartedJustBeforeIsGoneBeforeTheNewBridgeStarts) {
  BridgeFolder ours;
  Env::AppRunPath = ours.folder();
  for (int round = 1; round <= 20; ++round) {
    QProcess leftover;
    leftover.setProgram(ours.executable());
    leftover.setArguments({startupArgument()});
    leftover.start();  // not waiting: it may still be starting when the scan runs
    ClearBridge();
    leftover.waitForStarted(30000);  // as the restart delay lets it come up
    StartBridge();
    ASSERT_NE(Env::BridgeProcess, nullptr) << "round " << round;
    const qint64 own = Env::BridgeProcess->processId();
    EXPECT_TRUE(leftover.state() == QProcess::NotRunning || !alive(leftover.processId())) << "round " << round;
    // (A leftover may have been killed before it wrote its own line.)
    ASSERT_TRUE(testutil::waitUntil([&] {
      const QStringList starts = ours.starts();
      return !starts.isEmpty() && starts.last().startsWith(QString::number(own) + QLatin1Char(' '));
    })) << "round " << round;
    const auto running = findBridgeProcesses(false);
    ASSERT_EQ(running.size(), 1) << "round " << round;
    EXPECT_EQ(running.first().pid, own);
  }
}

TEST_F(SupervisorTest, FailedLaunchIsLoggedAndRetriedAndRestartsDoNotPileUp) {
  BridgeFolder broken(false);
  Env::AppRunPath = broken.folder();
  {
    LogCapture log;
    RestartBridge();
    ASSERT_TRUE(testutil::waitUntil([&] { return log.contains(QStringLiteral("Vantrel cannot be launched")); }));
    EXPECT_EQ(Env::BridgeProcess, nullptr);
  }

  BridgeFolder good;
  Env::AppRunPath = good.folder();
  // Two restarts within the delay start one bridge.
  RestartBridge();
  testutil::idleFor(std::chrono::milliseconds(200));
  RestartBridge();
  ASSERT_TRUE(testutil::waitUntil([&] { return good.starts().size() == 1; }));
  testutil::idleFor(std::chrono::milliseconds(800));
  EXPECT_EQ(good.starts().size(), 1);
  ASSERT_NE(Env::BridgeProcess, nullptr);
  EXPECT_EQ(findBridgeProcesses(true).size(), 1);

  // The next restart replaces it: the old one is gone, one new one runs.
  const qint64 first = Env::BridgeProcess->processId();
  RestartBridge();
  ASSERT_TRUE(testutil::waitUntil([&] { return good.starts().size() == 2; }));
  EXPECT_TRUE(testutil::waitUntil([&] { return !alive(first); }));
  EXPECT_EQ(findBridgeProcesses(true).size(), 1);

  // Restarts asked for more often than the delay (the overdue heartbeat of a
  // busy client) do not put the start off.
  const auto started = good.starts().size();
  for (int call = 0; call < 8 && good.starts().size() == started; ++call) {
    RestartBridge();
    testutil::waitUntil([&] { return good.starts().size() > started; }, std::chrono::milliseconds(200));
  }
  EXPECT_GT(good.starts().size(), started);
}

TEST_F(SupervisorTest, StartupSequenceRunsInOrder) {
  Env::EnvMode = 1;  // the bridge in the build folder is not ours to touch here
  LogCapture log;
  RunStartupSequence([] { zlog::line(QStringLiteral("<database opened>")); });
  const QStringList lines = log.lines();
  ASSERT_GE(lines.size(), 3);
  EXPECT_EQ(lines[0], QStringLiteral("Welcome, Kelvor"));
  EXPECT_EQ(lines[1], QStringLiteral("App Run At: ") + QCoreApplication::applicationDirPath());
  EXPECT_EQ(lines[2], QStringLiteral("<database opened>"));
  EXPECT_EQ(Env::AppRunPath, QCoreApplication::applicationDirPath());
  EXPECT_EQ(Env::OwnRunningApp, QCoreApplication::applicationFilePath());
}

}  // namespace
