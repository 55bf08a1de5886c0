#include "bridge/bridge_message.h"

#include "bridge/bridge_link.h"
#include "core/json_read.h"
#include "bridge/login.h"
#include "bridge/p2p_client_msg.h"
#include "bridge/peer_link.h"
#include "core/log.h"

namespace {

HostFrameHandler& hostRequestHandler() {
  static HostFrameHandler handler;
  return handler;
}

HostFrameHandler& hostFunctionHandler() {
  static HostFrameHandler handler;
  return handler;
}

void DoMsg_P2PCall(const QString& dataText) {
  const QByteArray bytes = dataText.toUtf8();
  const auto call = jsonread::parse(std::string_view(bytes.constData(), size_t(bytes.size())));
  if (!call || !call->is_object()) {
    zlog::line(QStringLiteral("DoMsg_P2PCall - DoMsg - Json error!"));
    return;
  }
  if (!hostFunctionHandler()) {
    zlog::line(QStringLiteral("DoMsg_P2PCall - no host side installed, call dropped"));
    return;
  }
  hostFunctionHandler()(*call);
}

// "Code" and "Data" are read leniently: a frame that is no object, or whose
// values are not texts, reads as the empty text (a number or Boolean as its
// own text). An empty code is logged as not processed; a handler given the
// empty text reports its own failure (a login result fails at once).
void dispatch(const vex::Json& frame) {
  const QString code = jsonread::text(frame, "Code");
  const QString data = jsonread::text(frame, "Data");
  if (code == QStringLiteral("Pong")) return;
  if (code == QStringLiteral("LoginResult")) {
    DoMsg_LoginResult(data);
  } else if (code == QStringLiteral("LoginResultAnonymous")) {
    return;
  } else if (code == QStringLiteral("WSDC")) {
    DoMsg_WSDC(data);
  } else if (code == QStringLiteral("P2PCLIENT")) {
    P2PClientMsg::DoMsg(data);
  } else if (code == QStringLiteral("P2PCallHostFunc")) {
    DoMsg_P2PCall(data);
  } else {
    zlog::line(QStringLiteral("BridgeMessage - DoMsg - Msg Not Process - ") + zlog::excerpt(code));
    zlog::line(zlog::excerpt(data));
  }
}

}  // namespace

namespace BridgeMessage {

void DoMsgBytes(const QByteArray& bytes) {
  if (bytes.size() > bridgelink::kMaxFrameBytes) {
    zlog::line(QStringLiteral("BridgeMessage - DoMsg - Frame too large, dropped - %1 bytes").arg(bytes.size()));
    return;
  }
  const auto frame = jsonread::parse(std::string_view(bytes.constData(), size_t(bytes.size())));
  if (!frame) {
    zlog::line(QStringLiteral("Json error!"));
    return;
  }
  dispatch(*frame);
}

void DoMsg(const QString& text) {
  // A UTF-16 frame holds at least as many UTF-8 bytes as characters.
  if (text.size() > bridgelink::kMaxFrameBytes) {
    zlog::line(QStringLiteral("BridgeMessage - DoMsg - Frame too large, dropped - %1 characters").arg(text.size()));
    return;
  }
  DoMsgBytes(text.toUtf8());
}

}  // namespace BridgeMessage

void DoMsg_WSDC(const QString& dataText) {
  const QByteArray bytes = dataText.toUtf8();
  const auto frame = jsonread::parse(std::string_view(bytes.constData(), size_t(bytes.size())));
  if (!frame) {
    zlog::line(QStringLiteral("Json error!"));
    return;
  }
  if (!frame->is_object()) {
    zlog::line(QStringLiteral("DoMsg_WSDC - Data is not a JSON object, dropped"));
    return;
  }
  const QString token = jsonread::text(*frame, "Token");
  if (token.startsWith(ClientWSDC())) {
    // Only this run makes tokens with this prefix: the frame is a reply, never
    // a request. One without a waiting entry (a late or repeated reply) is
    // dropped; serving it as a request could start an endless exchange of
    // replies between two hosts.
    if (!P2PClientMsg::deliverReply(token, jsonread::member(*frame, "Msg")))
      zlog::parts(QStringLiteral("Inalid WSDC Back Data, dropped -"), zlog::excerpt(token));
    return;
  }
  if (!hostRequestHandler()) {
    zlog::parts(QStringLiteral("DoMsg_WSDC - no host side installed, request dropped -"),
                zlog::excerpt(jsonread::text(*frame, "Code")));
    return;
  }
  hostRequestHandler()(*frame);
}

void setHostRequestHandler(HostFrameHandler handler) { hostRequestHandler() = std::move(handler); }
void setHostFunctionHandler(HostFrameHandler handler) { hostFunctionHandler() = std::move(handler); }
