// Frames the bridge exchanges with its client and with the account service.
// Every outgoing JSON is written from these models; incoming JSON is read with
// the client's lenient reader (core/json_read.h) under the names below: a
// missing key or a value of another kind gives the empty text, 0 or false;
// numbers and booleans read as text give their own text.
#pragma once

#include "core/json_read.h"
#include "core/vex_json.h"
#include "protocol/login_result.h"

#include <QString>

#include <optional>

namespace vantrel {

using vex::Json;

// ---- reading ---------------------------------------------------------------

inline constexpr int kMaxJsonDepth = int(jsonread::kMaxDepth);

// Parses UTF-8 JSON text; nothing when it is not JSON or nests deeper than
// kMaxJsonDepth.
inline std::optional<Json> parseJson(const QByteArray& text) {
  return jsonread::parse(std::string_view(text.constData(), std::size_t(text.size())));
}
inline std::optional<Json> parseJson(const QString& text) { return parseJson(text.toUtf8()); }

inline QString textOf(const Json& object, const char* key) { return jsonread::text(object, key); }
inline qint64 intOf(const Json& object, const char* key) { return jsonread::integer(object, key); }
// A member as it stands, or null.
inline Json valueOf(const Json& object, const char* key) { return jsonread::member(object, key); }
// A value read as text by the lenient rule.
inline QString asText(const Json& value) { return jsonread::text(value); }

// One frame of the client, reduced to its code and its payload. The client
// writes {"VType", "UUID", "Id_user1", "Id_user2", "Msg": {"Code", "Data"}},
// "Data" being JSON text or a nested object; both are taken. A frame with
// "Code" and "Data" at its top level is taken as well.
struct ClientFrame {
  QString code;
  Json data;  // the payload as an object; null when absent or not JSON
};
// Nothing when the text is not a JSON object.
std::optional<ClientFrame> readClientFrame(const QString& text);

// ---- frames to the client --------------------------------------------------

// The envelope of every frame sent to the client: "Data" is JSON text.
struct OutFrame {
  QString Code;
  QString Data;
  VEX_FIELDS(Code, Data)
};
// The frame text with `payload` written as the JSON text of "Data".
QString clientFrameText(const QString& code, const Json& payload);

// "P2PCLIENT": a reply to a bridge request, or a link event.
struct P2PClientDelivery {
  QString Type;
  QString Token;
  Json Msg;
  VEX_FIELDS(Type, Token, Msg)
};

// "WSDC": a peer's request to this host, or a peer's reply to our request.
struct WsdcDelivery {
  QString Token;
  QString Session;
  QString Code;
  Json Msg;
  QString ClientID1;
  QString ClientID2;
  // For a peer's request: the account that sent it and that account's name,
  // as the relay vouches for them; empty for a session this client opened.
  QString PeerACC;
  QString PeerName;
  VEX_FIELDS(Token, Session, Code, Msg, ClientID1, ClientID2, PeerACC, PeerName)
};

// "P2PCallHostFunc": a call of a host function; "TxtMsg" holds the JSON text
// of a HostCallText.
struct HostCall {
  QString Session;
  QString TxtMsg;
  QString PeerACC;
  VEX_FIELDS(Session, TxtMsg, PeerACC)
};
struct HostCallRequest {
  QString Code;
  Json Msg;
  VEX_FIELDS(Code, Msg)
};
struct HostCallText {
  QString Token;
  HostCallRequest Msg;
  VEX_FIELDS(Token, Msg)
};

using LoginLimit = protocol::LoginLimit;
using LoginResultMsg = protocol::LoginResult;

// A refusal or failure: {"Result": 0, "Info": why}.
struct FailureMsg {
  int Result = 0;
  QString Info;
  VEX_FIELDS(Result, Info)
};

// The answer to a request for a host that is gone or whose client is: the
// same text the service gives when it finds no host.
inline const char* const kHostUnreachable = "the host cannot be reached";
// The answer in place of one larger than the relay takes.
inline const char* const kAnswerTooLarge = "the answer is too large";

// The answer to a bridge-side request the bridge does not serve.
struct NotServedReply {
  int Result = 0;
  bool IsSucc = false;
  QString Info;
  VEX_FIELDS(Result, IsSucc, Info)
};

struct GetShareHost6ClientMsg {
  int Result = 1;
  QString ulocal;
  QString uremote;
  QString ClientID1;
  QString ClientID2;
  QString uname;
  QString source;
  VEX_FIELDS(Result, ulocal, uremote, ClientID1, ClientID2, uname, source)
};

struct DownloadResultMsg {
  bool IsSucc = false;
  QString Info;
  VEX_FIELDS(IsSucc, Info)
};

// ---- towards the account service -------------------------------------------

struct ServiceLoginRequest {
  QString Id_acc;
  QString Password;
  QString Device;
  QString Version;
  QString Credential;
  VEX_FIELDS(Id_acc, Password, Device, Version, Credential)
};

struct StoredCredential {
  qint64 ACC = 0;
  QString Credential;
  VEX_FIELDS(ACC, Credential)
};

struct HelloOp {
  QString op = QStringLiteral("hello");
  QString Token;
  VEX_FIELDS(op, Token)
};
struct ConnectOp {
  QString op = QStringLiteral("connect");
  QString ref;
  QString hostname;
  QString tag;
  VEX_FIELDS(op, ref, hostname, tag)
};
struct RelayOp {
  QString op = QStringLiteral("relay");
  QString Session;
  Json frame;
  VEX_FIELDS(op, Session, frame)
};
struct SessionOp {
  QString op;  // "close"
  QString Session;
  VEX_FIELDS(op, Session)
};

// The frame carried between the two bridges of a session.
struct RelayFrame {
  QString kind;  // "request" or "reply"
  QString Token;
  QString Code;
  Json Msg;
  VEX_FIELDS(kind, Token, Code, Msg)
};

// Compact JSON text of a model or tree ("" when it cannot be written).
QString jsonText(const Json& tree);
template <class T>
QString modelText(const T& model) {
  return jsonText(model.toJSONModel());
}

}  // namespace vantrel
