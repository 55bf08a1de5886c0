// Starting, watching and ending the bridge process that lies beside the client
// executable. Main thread only.
#pragma once

#include <QString>
#include <QStringList>

#include <chrono>
#include <optional>

namespace bridgesupervisor {

// Delay between killing the old bridge and starting the new one.
inline constexpr std::chrono::milliseconds kRestartDelay{500};
// How long a start waits for killed bridges to end before it gives up.
inline constexpr std::chrono::milliseconds kEndTimeout{3000};

// Processor type name for an architecture as QSysInfo names it ("arm64" ->
// "CPU_TYPE_ARM64", "x86_64" -> "CPU_TYPE_X86_64", unknown -> "").
QString cpuTypeNameFor(const QString& architecture);
// "Vantrel" for "CPU_TYPE_ARM64", "Vantrel_amd" for anything else.
QString bridgeExecutableNameFor(const QString& cpuTypeName);
// The executable names of the bridge on every processor.
QStringList allBridgeExecutableNames();
// "-scode=" followed by the start-up code.
QString startupArgument();
// Folder where the bridge executable lies (the client's own folder).
QString bridgeFolder();
// The file the bridge's output is appended to: "bridge.log" in the Kelvor folder.
QString bridgeLogPath();

// Bridge processes of this installation (by name, in bridgeFolder()); when
// `withStartupArgument`, only those carrying the start-up argument.
struct BridgeProcessInfo {
  qint64 pid = 0;
  QString commandLine;
};
QList<BridgeProcessInfo> findBridgeProcesses(bool withStartupArgument);
// The process `pid` when it is a live bridge of this installation.
std::optional<BridgeProcessInfo> bridgeProcessAt(qint64 pid);
// Kills every bridge process of this installation but those of other running
// clients, and waits until each has ended; false when one is still there
// after kEndTimeout.
bool endBridgeProcesses();

// Ends the bridge this client started (on quit).
void StopOwnBridge();

}  // namespace bridgesupervisor

// The processor type name of the running system.
QString GetCpuTypeName();
// Whether a bridge process carrying the start-up argument runs, other than
// the bridge of another running client.
bool IsBridgeRunning();
// Ends the bridge this client started and kills leftover bridges by name.
void ClearBridge();
// Starts a new bridge process (only in environment mode 2 or more).
void StartBridge();
// ClearBridge at once, then 0.5 s after the first of the calls within the
// delay: not connected, StartBridge, counter 0.
void RestartBridge();
// Finds the client's own executable and its folder.
void LocateAppRunPath();
