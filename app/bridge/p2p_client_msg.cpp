#include "bridge/p2p_client_msg.h"

#include "bridge/bridge_link.h"
#include "bridge/env.h"
#include "bridge/link_attempts.h"
#include "core/json_read.h"
#include "bridge/payloads.h"
#include "bridge/peer_link.h"
#include "bridge/user_info.h"
#include "core/log.h"

#include <QCoreApplication>
#include <QMetaObject>
#include <QThread>
#include <QUuid>

namespace {

bool isQuiet(bool toRemote, const QString& code) {
  return code == (toRemote ? QStringLiteral("CheckHost") : QStringLiteral("PingBridge"));
}

void queueOnMainThread(std::function<void()> work) {
  QMetaObject::invokeMethod(QCoreApplication::instance(), std::move(work), Qt::QueuedConnection);
}

}  // namespace

void P2PClientMsg::sendRequest(bool toRemote, std::optional<PeerLink> link, const QString& code, vex::Json payload,
                               bool waitForReply, const QString& isProcessOnBridge, ReplyHandler handler) {
  QCoreApplication* app = QCoreApplication::instance();
  if (app && QThread::currentThread() != app->thread()) {
    // The table and the link state belong to the main thread: send from there.
    queueOnMainThread([=]() mutable {
      sendRequest(toRemote, std::move(link), code, std::move(payload), waitForReply, isProcessOnBridge,
                  std::move(handler));
    });
    return;
  }
  const QString sender = toRemote ? QStringLiteral("SendMsgToRemote") : QStringLiteral("SendMsgToP2PClient");
  if (!isQuiet(toRemote, code)) zlog::line(sender + QStringLiteral(" - ") + code);

  if (toRemote && (!Env::RemoteConnected || (link && !link->isUp()))) {
    zlog::line(QStringLiteral("Remote not connected! Can not send message!!"));
    if (handler) queueOnMainThread([handler] { handler(vex::Json(std::string())); });
    return;
  }

  const PeerLink peer = link ? *link : currentPeerLink();
  WSDCMsgJson envelope;
  envelope.Session = peer.session;
  envelope.Code = code;
  envelope.Token = (toRemote ? ClientWSDC() : P2PClient()) +
                   QUuid::createUuid().toString(QUuid::WithoutBraces).toUpper();
  envelope.ClientID1 = peer.clientId1;
  envelope.ClientID2 = peer.clientId2;
  envelope.ClientIDRemote = peer.clientId1 == UserInfo::shared()->ClientID ? peer.clientId2 : peer.clientId1;
  envelope.IsProcessOnBridge = isProcessOnBridge;
  envelope.Data = std::move(payload);

  const QString bridgeCode = toRemote ? QStringLiteral("WSDC") : QStringLiteral("P2PClientControl");
  if (!waitForReply) {
    const auto text = envelope.toJSONString();
    if (!text) {
      zlog::parts(sender, QStringLiteral("- request could not be converted, not sent -"), code);
      return;
    }
    SendToBridge(bridgeCode, *text);
    return;
  }

  RemoteWSDCTask task;
  task.handler = std::move(handler);
  task.code = code;
  task.toRemote = toRemote;
  PendingTasks.insert(envelope.Token, std::move(task));
  SendObjectToBridge(bridgeCode, envelope.toJSONModel());
}

bool P2PClientMsg::deliverReply(const QString& token, const vex::Json& msg) {
  auto it = PendingTasks.find(token);
  if (it == PendingTasks.end()) return false;
  it->returnMessage = msg;
  if (!it->answered) {
    it->answered = true;  // a repeated reply only replaces the message
    queueOnMainThread([token] { runReplyHandler(token); });
  }
  return true;
}

void P2PClientMsg::runReplyHandler(const QString& token) {
  auto it = PendingTasks.find(token);
  if (it == PendingTasks.end()) return;  // dropped by a bridge restart meanwhile
  RemoteWSDCTask task = std::move(*it);
  PendingTasks.erase(it);
  if (!isQuiet(task.toRemote, task.code)) {
    if (task.toRemote)
      zlog::line(QStringLiteral("SendMsgToRemote - ") + task.code + QStringLiteral(" - Back!!!"));
    else
      zlog::line(QStringLiteral("SendMsgToP2PClient - back - ") + task.code);
  }
  if (task.handler) task.handler(task.returnMessage);
}

void P2PClientMsg::dropPendingTasks() {
  if (PendingTasks.isEmpty()) return;
  zlog::line(QStringLiteral("Waiting requests dropped: %1").arg(PendingTasks.size()));
  PendingTasks.clear();
}

void P2PClientMsg::DoMsg(const QString& text) {
  const QByteArray bytes = text.toUtf8();
  const auto parsed = jsonread::parse(std::string_view(bytes.constData(), size_t(bytes.size())));
  if (!parsed) {
    zlog::line(QStringLiteral("P2PClientMsg - DoMsg - Json error!") + zlog::excerpt(text));
    return;
  }
  const vex::Json& delivery = *parsed;
  const QString type = jsonread::text(delivery, "Type");
  const QString token = jsonread::text(delivery, "Token");

  if (token.startsWith(P2PClient())) {
    deliverReply(token, jsonread::member(delivery, "Msg"));  // a reply nobody waits for is dropped
    return;
  }

  if (type == QStringLiteral("GetShareHost6Client")) {
    zlog::line(QStringLiteral("Got GetShareHost6Client"));
    const vex::Json& msg = jsonread::member(delivery, "Msg");
    if (jsonread::integer(msg, "Result") != 1) {
      SetP2PConnectResult(ConStatus::csInvalid);
      return;
    }
    Env::RemoteConnected = true;
    Env::RemoteULocal = jsonread::text(msg, "ulocal");
    Env::RemoteURemote = jsonread::text(msg, "uremote");
    Env::RemoteClientID1 = jsonread::text(msg, "ClientID1");
    Env::RemoteClientID2 = jsonread::text(msg, "ClientID2");
    Env::RemoteUName = jsonread::text(msg, "uname");
    Env::RemoteSource = jsonread::text(msg, "source");
    Env::RemoteSession = Env::RemoteClientID1 + QLatin1Char('|') + Env::RemoteClientID2;
    const PeerLink link = currentPeerLink();
    // The load check belongs to this attempt; the next one may go to the bridge meanwhile.
    const LinkAttempt attempt = linkattempts::answered();
    SendMsgOnLink(link, QStringLiteral("ClientTouch"), BlankMsg{}, true, QStringLiteral("NO"),
                  [link, attempt](const std::optional<vex::Json>& reply) { ClientTouchResult(reply, link, attempt); });
  } else if (type == QStringLiteral("P2PConFailed")) {
    SetP2PConnectResult(ConStatus::csInvalid);
  } else {
    zlog::line(QStringLiteral("P2PClientMsg - DoMsg - Msg Not Process - ") + zlog::excerpt(type));
    zlog::line(zlog::excerpt(text));
  }
}

void P2PClientMsg::ClientTouchResult(const std::optional<vex::Json>& reply, const PeerLink& link,
                                     const LinkAttempt& attempt) {
  if (!reply) {
    zlog::line(QStringLiteral("Client Touch Error!"));
    return;
  }
  const vex::Json& data = jsonread::member(*reply, "data");
  const vex::Json& allowed = jsonread::member(data, "UPC");
  const vex::Json& seen = jsonread::member(data, "SC");
  // Only a host that gave both numbers has said it is full; an answer
  // without them (no host answered) is a host that cannot be reached.
  const auto given = [](const vex::Json& v) { return v.is_number() || v.is_string(); };
  if (!given(allowed) || !given(seen)) {
    zlog::parts(QStringLiteral("ClientTouch - answer without the host's load -"),
                zlog::excerpt(reply->dump(-1, ' ', false, vex::Json::error_handler_t::replace)));
    deliverP2PConnectResult(attempt, ConStatus::csInvalid, link);
    return;
  }
  if (jsonread::integer(seen) >= jsonread::integer(allowed)) {
    deliverP2PConnectResult(attempt, ConStatus::csMaxClients, link);
    return;
  }
  deliverP2PConnectResult(attempt, ConStatus::csConnected, link);
  SendMsgToP2PClient(QStringLiteral("GetLanHttp"), BlankMsg{}, true, [](const std::optional<vex::Json>& lan) {
    Env::RemoteLanHttp = lan ? jsonread::text(*lan) : QString();
  });
}

void P2PClientMsg::SetP2PConnectResult(ConStatus status, const PeerLink& link) {
  deliverP2PConnectResult(linkattempts::answered(), status, link);
}

void P2PClientMsg::deliverP2PConnectResult(const LinkAttempt& attempt, ConStatus status, const PeerLink& link) {
  if (!linkattempts::take(attempt)) return;  // given up, or already told
  if (attempt.owner == LinkOwner::browser && Env::RemoteFileListShared)
    Env::RemoteFileListShared->updateRemoteConResult(status, link);
  else if (attempt.owner == LinkOwner::contactSend && Env::ViewContactShared)
    Env::ViewContactShared->OnClientInitResult(status, link);
}
