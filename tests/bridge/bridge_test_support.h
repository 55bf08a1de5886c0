// Shared set-up of the bridge link tests: a clean process-wide state and
// inbound frame builders.
#pragma once

#include "bridge/bridge_link.h"
#include "bridge/bridge_message.h"
#include "bridge/env.h"
#include "bridge/p2p_client_msg.h"
#include "bridge/user_info.h"
#include "core/vex_json.h"

#include <QString>

namespace bridgetest {

inline void resetState() {
  bridgelink::dropSocket();
  bridgelink::setVersionCheckStarter({});
  setHostRequestHandler({});
  setHostFunctionHandler({});
  PendingTasks.clear();
  Env::EnvMode = 1;
  Env::BridgeConnected = false;
  Env::ReconnectTickCounter = 0;
  Env::ActiveBridgeTime = 0;
  Env::BridgeSecret.clear();
  Env::LoginViewShared = nullptr;
  Env::MainViewShared = nullptr;
  Env::RemoteFileListShared = nullptr;
  Env::ViewContactShared = nullptr;
  Env::RemoteConnected = false;
  Env::RemoteSession.clear();
  Env::RemoteClientID1.clear();
  Env::RemoteClientID2.clear();
  Env::RemoteULocal.clear();
  Env::RemoteURemote.clear();
  Env::RemoteUName.clear();
  Env::RemoteSource.clear();
  Env::RemoteLanHttp.clear();
  linkattempts::reset();
  UserInfo::setShared(std::make_shared<UserInfo>());
}

// An inbound frame: {"Code": code, "Data": <text of data>}.
inline QString frame(const char* code, const vex::Json& data) {
  return QString::fromStdString(vex::Json{{"Code", code}, {"Data", data.dump()}}.dump());
}

}  // namespace bridgetest
