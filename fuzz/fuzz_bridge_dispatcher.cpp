// Feeds arbitrary frames to the inbound dispatcher. "@W" and "@P" in the input
// stand for this run's two token prefixes (which differ per run), so that the
// reply paths are reached: a request of each kind waits under prefix + "1".
#include "bridge/bridge_message.h"
#include "bridge/env.h"
#include "core/json_read.h"
#include "bridge/p2p_client_msg.h"
#include "bridge/payloads.h"
#include "bridge/peer_link.h"
#include "bridge/user_info.h"

#include <QCoreApplication>

#include <cstdint>
#include <cstdio>
#include <unistd.h>

namespace {

struct Owner : RemoteFileListHandle, ViewContactHandle, LoginViewHandle {
  void updateRemoteConResult(ConStatus, const PeerLink&) override {}
  void OnClientInitResult(ConStatus, const PeerLink&) override {}
  void onLoginSucceeded(const QString&, std::shared_ptr<UserInfo> user) override { user->email = QStringLiteral("e"); }
  void onLoginFailed(qint64) override {}
};

Owner owner;
int replies = 0;

void touch(const vex::Json& frame) {
  // What a host side does with a request: lenient reads of its keys.
  (void)jsonread::text(frame, "Code");
  (void)jsonread::integer(jsonread::member(frame, "Msg"), "iPageIndex");
}

void addWaiting() {
  const ReplyHandler handler = [](const std::optional<vex::Json>& reply) {
    if (reply) (void)jsonread::text(jsonread::member(*reply, "data"), "UPC");
    ++replies;
  };
  RemoteWSDCTask remote;
  remote.handler = handler;
  remote.code = QStringLiteral("getFileList");
  PendingTasks.insert(ClientWSDC() + QStringLiteral("1"), remote);
  RemoteWSDCTask bridge;
  bridge.handler = handler;
  bridge.code = QStringLiteral("CallHttp");
  bridge.toRemote = false;
  PendingTasks.insert(P2PClient() + QStringLiteral("1"), bridge);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
  static QCoreApplication app(*argc, *argv);
  // The log would drown the fuzzer's own output.
  std::fflush(stdout);
  if (std::FILE* null = std::fopen("/dev/null", "w")) ::dup2(::fileno(null), 1);
  Env::EnvMode = 1;
  Env::RemoteFileListShared = &owner;
  Env::ViewContactShared = &owner;
  Env::LoginViewShared = &owner;
  setHostRequestHandler(touch);
  setHostFunctionHandler(touch);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  QByteArray bytes(reinterpret_cast<const char*>(data), qsizetype(size));
  bytes.replace("@W", ClientWSDC().toUtf8());
  bytes.replace("@P", P2PClient().toUtf8());

  Env::BridgeConnected = size % 2 == 0;  // without a socket: writers build the frame, then drop it
  linkattempts::reset();
  linkattempts::open(size % 3 == 0 ? LinkOwner::browser : LinkOwner::contactSend, {});
  Env::RemoteConnected = size % 5 != 0;
  addWaiting();
  BridgeMessage::DoMsgBytes(bytes);
  QCoreApplication::processEvents();  // queued reply handlers
  PendingTasks.clear();
  return 0;
}
