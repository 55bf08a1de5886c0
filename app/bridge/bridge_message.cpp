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

void dispatch(const vex::Json& frame) {
  if (!frame.is_object()) {
    zlog::line(QStringLiteral("BridgeMessage - DoMsg - Frame is not a JSON object, dropped"));
    return;
  }
  const vex::Json& codeValue = jsonread::member(frame, "Code");
  if (!codeValue.is_string()) {
    zlog::line(QStringLiteral("BridgeMessage - DoMsg - Frame without a text Code, dropped"));
    return;
  }
  const QString code = jsonread::text(codeValue);
  if (code == QStringLiteral("Pong") || code == QStringLiteral("LoginResultAnonymous")) return;

  const vex::Json& dataValue = jsonread::member(frame, "Data");
  if (!dataValue.is_string()) {
    zlog::parts(QStringLiteral("BridgeMessage - DoMsg - Frame without a text Data, dropped -"), code);
    return;
  }
  const QString data = jsonread::text(dataValue);

  if (code == QStringLiteral("LoginResult")) {
    DoMsg_LoginResult(data);
  } else if (code == QStringLiteral("WSDC")) {
    DoMsg_WSDC(data);
  } else if (code == QStringLiteral("P2PCLIENT")) {
    P2PClientMsg::DoMsg(data);
  } else if (code == QStringLiteral("P2PCallHostFunc")) {
    DoMsg_P2PCall(data);
  } else {
    zlog::line(QStringLiteral("BridgeMessage - DoMsg - Msg Not Process - ") + code);
    zlog::line(data);
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
      zlog::parts(QStringLiteral("Inalid WSDC Back Data, dropped -"), token);
    return;
  }
  if (!hostRequestHandler()) {
    zlog::parts(QStringLiteral("DoMsg_WSDC - no host side installed, request dropped -"),
                jsonread::text(*frame, "Code"));
    return;
  }
  hostRequestHandler()(*frame);
}

void setHostRequestHandler(HostFrameHandler handler) { hostRequestHandler() = std::move(handler); }
void setHostFunctionHandler(HostFrameHandler handler) { hostFunctionHandler() = std::move(handler); }
