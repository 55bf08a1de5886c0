// The request/reply layer: requests to the remote peer ("WSDC") and to the
// bridge's own peer layer ("P2PClientControl"), the table of waiting requests,
// and the handler of the bridge's "P2PCLIENT" frames.
//
// Everything runs on the main thread. A waiting request keeps only its table
// entry; when its reply arrives the handler is queued and runs on the main
// thread after the dispatcher has returned. A request never answered keeps its
// entry until the bridge is restarted, which drops all entries without calling
// their handlers.
#pragma once

#include "bridge/link_attempts.h"
#include "bridge/link_handles.h"
#include "bridge/peer_link.h"
#include "core/vex_json.h"

#include <QHash>
#include <QString>

#include <functional>
#include <optional>
#include <type_traits>

// Handler of a reply: the reply's "Msg" (null when it had none); for a refused
// request the empty text.
using ReplyHandler = std::function<void(const std::optional<vex::Json>& reply)>;

// A request waiting for its reply.
struct RemoteWSDCTask {
  std::optional<vex::Json> returnMessage;
  ReplyHandler handler;
  QString code;
  bool toRemote = true;   // sent by SendMsgToRemote (else SendMsgToP2PClient)
  bool answered = false;  // its handler is queued
};

// Waiting requests by token.
inline QHash<QString, RemoteWSDCTask> PendingTasks;

class P2PClientMsg {
 public:
  using ConStatus = ::ConStatus;

  // A request to the remote peer under "WSDC". Refused (handler queued with the
  // empty text) while no peer link is up.
  template <class Payload>
  static void SendMsgToRemote(const QString& code, const Payload& payload, bool waitForReply,
                              const QString& IsProcessOnBridge, ReplyHandler handler = {}) {
    sendRequest(true, std::nullopt, code, toTree(payload), waitForReply, IsProcessOnBridge, std::move(handler));
  }
  // The same on a link the caller keeps, whatever link is current; refused
  // while that link is down.
  template <class Payload>
  static void SendMsgOnLink(const PeerLink& link, const QString& code, const Payload& payload, bool waitForReply,
                            const QString& IsProcessOnBridge, ReplyHandler handler = {}) {
    sendRequest(true, link, code, toTree(payload), waitForReply, IsProcessOnBridge, std::move(handler));
  }

  // A request to the bridge's own peer layer under "P2PClientControl".
  template <class Payload>
  static void SendMsgToP2PClient(const QString& code, const Payload& payload, bool waitForReply,
                                 ReplyHandler handler = {}) {
    sendRequest(false, std::nullopt, code, toTree(payload), waitForReply, QStringLiteral("-"), std::move(handler));
  }

  // The "Data" text of a "P2PCLIENT" frame: a reply to a bridge request, or a
  // peer-connection result.
  static void DoMsg(const QString& text);

  // Reply handler of "ClientTouch" sent on `link` for `attempt`: weighs the host's load.
  static void ClientTouchResult(const std::optional<vex::Json>& reply, const PeerLink& link,
                                const LinkAttempt& attempt);

  // Ends the attempt under way with this outcome (see link_attempts.h).
  static void SetP2PConnectResult(ConStatus status, const PeerLink& link = {});
  // Hands the outcome of `attempt`, and the link it opened, to the screen that
  // started it, if that screen still waits for it.
  static void deliverP2PConnectResult(const LinkAttempt& attempt, ConStatus status, const PeerLink& link);

  // Stores the reply of a waiting request and queues its handler. False when
  // the token is not waiting.
  static bool deliverReply(const QString& token, const vex::Json& msg);

  // Drops every waiting request without calling its handler.
  static void dropPendingTasks();

 private:
  template <class Payload>
  static vex::Json toTree(const Payload& payload) {
    if constexpr (std::is_same_v<Payload, vex::Json>) {
      return payload;
    } else {
      auto tree = vex::toJSONModel(payload);
      return tree ? *tree : vex::Json::object();
    }
  }

  // `link`: the peer link of a request to the remote peer; none: the current one.
  static void sendRequest(bool toRemote, std::optional<PeerLink> link, const QString& code, vex::Json payload,
                          bool waitForReply, const QString& isProcessOnBridge, ReplyHandler handler);
  static void runReplyHandler(const QString& token);
};
