// Process-wide state of the client: environment mode, bridge connection and
// liveness, the bridge process, the run location, the QR-code login, the stored
// view handles, the ping table and the state of the current peer link.
// Main thread only; values are read and written directly.
#pragma once

#include "bridge/link_handles.h"

#include <QString>

#include <cstdint>
#include <map>

class MainViewHandle;  // the main window (shell/view_handles.h)
class QProcess;
class QWebSocket;

namespace envconfig {
// ZARKELO_ENV_MODE (default 2): 1 = the bridge is reached locally but never
// started or killed by the client.
int envModeFromEnvironment();
// ZARKELO_BRIDGE_PORT (default 19961).
quint16 bridgePortFromEnvironment();
// The variable the user sets to move that port, named when it is taken:
// ZARKELO_BRIDGE_PORT_VARIABLE (a launcher that sets the port from a variable
// of its own names that one), else ZARKELO_BRIDGE_PORT.
QString bridgePortVariable();
// The secret presented on the bridge handshake: a fresh random one when the
// client starts its own bridge; otherwise ZARKELO_BRIDGE_SECRET or none.
QString bridgeSecretFor(int envMode);
// The language code of the current locale, e.g. "en" or "zh".
QString currentLanguageCode();
// The application's version: the project version of the build.
QString appVersion();
}  // namespace envconfig

struct Env {
  // 0: remote development bridge; 1: local bridge, not supervised;
  // 2 or more: local bridge started, watched and killed by the client.
  static inline int EnvMode = envconfig::envModeFromEnvironment();
  static inline QString LanguageCode = envconfig::currentLanguageCode();
  static inline QString AppVersion = envconfig::appVersion();

  // Bridge connection.
  static inline bool BridgeConnected = false;
  static inline QWebSocket* BridgeSocket = nullptr;
  static inline int64_t ReconnectTickCounter = 0;  // -1 while connected
  static inline uint64_t ActiveBridgeTime = 0;     // Unix seconds of the last sign of life; 0 = none
  static inline quint16 BridgePort = envconfig::bridgePortFromEnvironment();
  static inline QString BridgeSecret = envconfig::bridgeSecretFor(EnvMode);

  // Bridge process and run location.
  static inline QProcess* BridgeProcess = nullptr;  // the bridge this client started
  // Why the bridge this client started cannot run, for the user; cleared once a bridge is connected.
  static inline QString BridgeFailure;
  static inline QString OwnRunningApp;              // the client's own executable
  static inline QString AppRunPath;                 // folder of the client's executable

  // QR-code login.
  static inline QString QRLoginMid;
  static inline QString QRLoginToken;
  static inline QString QRLoginAccountId;

  // Live views, stored (and cleared) by the views themselves; not owned.
  static inline MainViewHandle* MainViewShared = nullptr;
  static inline LoginViewHandle* LoginViewShared = nullptr;
  static inline RemoteFileListHandle* RemoteFileListShared = nullptr;
  static inline ViewContactHandle* ViewContactShared = nullptr;

  // Unix seconds of the last "PING" per remote session; entries are kept.
  static inline std::map<QString, uint64_t> PingTimes;

  // Current peer link.
  static inline bool RemoteConnected = false;
  static inline QString RemoteSession;
  static inline QString RemoteClientID1;
  static inline QString RemoteClientID2;
  static inline QString RemoteULocal;
  static inline QString RemoteURemote;
  static inline QString RemoteUName;
  static inline QString RemoteSource;
  static inline QString RemoteLanHttp;
};
