#include "bridge/bridge_supervisor.h"

#include "bridge/bridge_link.h"
#include "bridge/env.h"
#include "bridge/p2p_client_msg.h"
#include "protocol/startup_code.h"
#include "core/localized.h"
#include "core/log.h"
#include "core/process_handle.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QStandardPaths>
#include <QSysInfo>
#include <QTimer>
#include <QUrl>

#include <csignal>
#include <sys/types.h>
#include <unistd.h>

namespace bridgesupervisor {

namespace {

QByteArray readProcFile(qint64 pid, const char* name) {
  QFile file(QStringLiteral("/proc/%1/%2").arg(pid).arg(QLatin1String(name)));
  if (!file.open(QIODevice::ReadOnly)) return {};
  return file.readAll();
}

// The bridge of another client of this installation that still runs (a second
// user, or a second client on its own port) is that client's, not a leftover;
// one whose client is gone ends by itself or is a leftover.
bool servesAnotherClient(qint64 pid) {
  for (const QByteArray& entry : readProcFile(pid, "environ").split('\0')) {
    if (!entry.startsWith("VANTREL_CLIENT_PID=")) continue;
    bool ok = false;
    const qint64 client = entry.mid(int(sizeof("VANTREL_CLIENT_PID=") - 1)).toLongLong(&ok);
    return ok && client > 0 && client != QCoreApplication::applicationPid() && !ProcessHandle::endedById(client);
  }
  return false;
}

void endOwnProcess(bool wait) {
  QProcess* process = Env::BridgeProcess;
  if (!process) return;
  Env::BridgeProcess = nullptr;
  process->disconnect();
  if (process->state() == QProcess::NotRunning) {
    process->deleteLater();
    return;
  }
  QObject::connect(process, &QProcess::finished, process, &QObject::deleteLater);
  process->terminate();
  if (wait && !process->waitForFinished(2000)) {
    process->kill();
    process->waitForFinished(1000);
  }
}

QTimer* restartTimer() {
  static QTimer* timer = [] {
    auto* t = new QTimer(QCoreApplication::instance());
    t->setSingleShot(true);
    t->setInterval(kRestartDelay);
    QObject::connect(t, &QTimer::timeout, [] {
      Env::BridgeConnected = false;
      // Requests written to the killed bridge will never be answered.
      P2PClientMsg::dropPendingTasks();
      linkattempts::reset();
      StartBridge();
      Env::ReconnectTickCounter = 0;
    });
    return t;
  }();
  return timer;
}

}  // namespace

QString cpuTypeNameFor(const QString& architecture) {
  static const QHash<QString, QString> names = {
      {QStringLiteral("i386"), QStringLiteral("CPU_TYPE_X86")},
      {QStringLiteral("x86_64"), QStringLiteral("CPU_TYPE_X86_64")},
      {QStringLiteral("arm"), QStringLiteral("CPU_TYPE_ARM")},
      {QStringLiteral("arm64"), QStringLiteral("CPU_TYPE_ARM64")},
      {QStringLiteral("power"), QStringLiteral("CPU_TYPE_POWERPC")},
      {QStringLiteral("power64"), QStringLiteral("CPU_TYPE_POWERPC64")},
      {QStringLiteral("sparc"), QStringLiteral("CPU_TYPE_SPARC")},
      {QStringLiteral("sparcv9"), QStringLiteral("CPU_TYPE_SPARC")},
  };
  return names.value(architecture);
}

QString bridgeExecutableNameFor(const QString& cpuTypeName) {
  return cpuTypeName == QStringLiteral("CPU_TYPE_ARM64") ? QStringLiteral("Vantrel") : QStringLiteral("Vantrel_amd");
}

QStringList allBridgeExecutableNames() { return {QStringLiteral("Vantrel"), QStringLiteral("Vantrel_amd")}; }

QString startupArgument() { return QStringLiteral("-scode=") + QLatin1String(bridgelink::kBridgeStartupCode); }

QString bridgeFolder() {
  return Env::AppRunPath.isEmpty() ? QCoreApplication::applicationDirPath() : Env::AppRunPath;
}

QString bridgeLogPath() {
  return QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation) + QStringLiteral("/Kelvor/bridge.log");
}

std::optional<BridgeProcessInfo> bridgeProcessAt(qint64 pid) {
  // By the executable, not by the process name: a process in the middle of
  // its exec already runs the bridge's file while it still bears the name of
  // the process that started it.
  QString exe = QFile::symLinkTarget(QStringLiteral("/proc/%1/exe").arg(pid));
  if (exe.endsWith(QStringLiteral(" (deleted)"))) exe.chop(10);
  const QFileInfo file(exe);
  if (exe.isEmpty() || !allBridgeExecutableNames().contains(file.fileName()) ||
      file.absolutePath() != QFileInfo(bridgeFolder()).canonicalFilePath())
    return std::nullopt;
  QByteArray cmdline = readProcFile(pid, "cmdline");
  cmdline.replace('\0', ' ');
  if (ProcessHandle::endedById(pid)) return std::nullopt;
  return BridgeProcessInfo{pid, QString::fromUtf8(cmdline).trimmed()};
}

QList<BridgeProcessInfo> findBridgeProcesses(bool withStartupArgument) {
  QList<BridgeProcessInfo> found;
  const QString marker = startupArgument();
  const qint64 self = qint64(::getpid());
  const QStringList entries = QDir(QStringLiteral("/proc")).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
  for (const QString& entry : entries) {
    bool numeric = false;
    const qint64 pid = entry.toLongLong(&numeric);
    if (!numeric || pid == self) continue;
    const auto process = bridgeProcessAt(pid);
    if (!process || (withStartupArgument && !process->commandLine.contains(marker))) continue;
    found.append(*process);
  }
  return found;
}

bool endBridgeProcesses() {
  std::vector<ProcessHandle> ending;
  for (const auto& found : findBridgeProcesses(false)) {
    if (servesAnotherClient(found.pid)) continue;
    ProcessHandle handle(found.pid);
    // Looked at again through the handle: the id may have gone to another
    // process since the list was read.
    if (!handle.isValid() || !bridgeProcessAt(found.pid)) continue;
    if (handle.signal(SIGKILL)) ending.push_back(std::move(handle));
  }
  if (ProcessHandle::waitForEnd(ending, kEndTimeout)) return true;
  zlog::line(QStringLiteral("Vantrel - a bridge process did not end when killed"));
  return false;
}

void StopOwnBridge() { endOwnProcess(true); }

}  // namespace bridgesupervisor

using namespace bridgesupervisor;

QString GetCpuTypeName() { return cpuTypeNameFor(QSysInfo::currentCpuArchitecture()); }

bool IsBridgeRunning() {
  QStringList lines;
  for (const auto& p : findBridgeProcesses(true))
    if (!servesAnotherClient(p.pid)) lines << QStringLiteral("%1 %2").arg(p.pid).arg(p.commandLine);
  zlog::line(lines.join(QLatin1Char('\n')));
  return !lines.isEmpty();
}

void ClearBridge() {
  zlog::line(QStringLiteral("Clearing Vantrel..."));
  endOwnProcess(false);
  // Leftovers of this installation, whoever started them.
  endBridgeProcesses();
  for (const auto& found : findBridgeProcesses(false))
    if (servesAnotherClient(found.pid))
      zlog::parts(QStringLiteral("Vantrel - left alone, the bridge of another running client:"), QString::number(found.pid));
  zlog::parts(QStringLiteral("---ReCheck Instance"),
              IsBridgeRunning() ? QStringLiteral("true") : QStringLiteral("false"));
}

void StartBridge() {
  if (Env::EnvMode < 2) return;
  const QString name = bridgeExecutableNameFor(GetCpuTypeName());
  zlog::line(QStringLiteral("++++++Try To Starting Vantrel++++++"));
  endOwnProcess(false);  // never two bridges of ours at once
  // A leftover may have come up since the last clearing (one still being
  // started then had no bridge's name yet): none may run beside the new one.
  if (!endBridgeProcesses()) return;

  const QString path = bridgeFolder() + QLatin1Char('/') + name;
  zlog::line(QUrl::fromLocalFile(path).toString());
  const QFileInfo info(path);
  if (!info.isFile() || !info.isExecutable()) {
    zlog::parts(QStringLiteral("Vantrel cannot be launched, no executable at"), path);
    return;
  }

  auto* process = new QProcess;
  Env::BridgeProcess = process;
  process->setProgram(path);
  process->setArguments({startupArgument()});
  process->setWorkingDirectory(bridgeFolder());
  QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
  environment.insert(QStringLiteral("VANTREL_PORT"), QString::number(Env::BridgePort));
  environment.remove(QStringLiteral("VANTREL_SECRET"));
  if (!Env::BridgeSecret.isEmpty()) environment.insert(QStringLiteral("VANTREL_SECRET"), Env::BridgeSecret);
  // The bridge watches this process and ends with it.
  environment.insert(QStringLiteral("VANTREL_CLIENT_PID"), QString::number(QCoreApplication::applicationPid()));
  process->setProcessEnvironment(environment);
  // The bridge's output goes to a file, never to a pipe nobody reads.
  process->setStandardInputFile(QProcess::nullDevice());
  const QString logPath = bridgeLogPath();
  if (QDir().mkpath(QFileInfo(logPath).absolutePath())) {
    process->setStandardOutputFile(logPath, QIODevice::Append);
    process->setStandardErrorFile(logPath, QIODevice::Append);
  } else {
    process->setStandardOutputFile(QProcess::nullDevice());
    process->setStandardErrorFile(QProcess::nullDevice());
  }
  QObject::connect(process, &QProcess::errorOccurred, process, [process](QProcess::ProcessError error) {
    if (error != QProcess::FailedToStart) return;
    zlog::parts(QStringLiteral("Vantrel could not be started:"), process->errorString());
    if (Env::BridgeProcess == process) Env::BridgeProcess = nullptr;
    process->deleteLater();
  });
  QObject::connect(process, &QProcess::finished, process, [process](int exitCode, QProcess::ExitStatus) {
    zlog::line(QStringLiteral("Vantrel process ended, exit code %1").arg(exitCode));
    if (exitCode == bridgelink::kBridgeExitPortTaken) Env::BridgeFailure = L("Bridge_PortTaken").arg(Env::BridgePort).arg(envconfig::bridgePortVariable());
    if (Env::BridgeProcess == process) Env::BridgeProcess = nullptr;
    process->deleteLater();
  });
  process->start();
  zlog::line(QStringLiteral("------Vantrel Exited------"));
}

void RestartBridge() {
  if (Env::EnvMode < 2) {
    // A bridge started by someone else is not ours to kill or start; still
    // give up the dead link so that the heartbeat connects again once that
    // bridge is back.
    if (!Env::BridgeConnected) return;
    zlog::line(QStringLiteral("Vantrel not supervised, waiting for it to come back..."));
    bridgelink::dropSocket();
  } else {
    ClearBridge();
  }
  // One deferred start however often this is called within the delay, never
  // put off by the later calls: a busy client whose overdue heartbeat asks
  // again before the delay is over still gets its new bridge.
  if (!restartTimer()->isActive()) restartTimer()->start();
}

void LocateAppRunPath() {
  Env::OwnRunningApp = QCoreApplication::applicationFilePath();
  Env::AppRunPath = QCoreApplication::applicationDirPath();
  zlog::parts(QStringLiteral("App Run At:"), Env::AppRunPath);
}
