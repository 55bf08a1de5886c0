// Reply envelopes of the host side and the one writer every host reply goes
// through.
#pragma once

#include <QString>
#include <functional>
#include <optional>

#include "core/vex_json.h"

// The common wrapper: most replies are an object with the one key "data".
struct MsgBackData {
  std::optional<vex::Json> data;
  VEX_FIELDS(data)
};

// "ClientTouch": the host's load and its download folder; "TransLAN" "1"
// when a share allows the local-network route (the host's bridge then
// announces its addresses to the peer).
struct MsgBackDataClientTouch {
  int64_t UPC = 0;
  int64_t SC = 0;
  QString Local;
  QString OS;
  QString TransLAN = QStringLiteral("0");
  VEX_FIELDS(UPC, SC, Local, OS, TransLAN)
};

// "HostHandShake", sent without MsgBackData around it.
struct MsgBackData_Handshake {
  std::optional<vex::Json> data;
  QString os;
  QString device;
  QString clipboard;
  VEX_FIELDS(data, os, device, clipboard)
};

// The reply envelope of a peer request.
struct MsgBack {
  vex::Json Data;
  QString Token;
  QString ClientID1;
  QString ClientID2;
  QString ClientIDRemote;
  QString Session;
  QString Code;
  VEX_FIELDS(Data, Token, ClientID1, ClientID2, ClientIDRemote, Session, Code)
};

// The result of a host function call ("P2PCallHostFuncCallback").
struct MsgBackData_P2P {
  std::optional<vex::Json> Data = vex::Json("");
  std::optional<vex::Json> Code = vex::Json("");
  std::optional<vex::Json> Session = vex::Json("");
  std::optional<vex::Json> Token = vex::Json("");
  VEX_FIELDS(Data, Code, Session, Token)
};

namespace hostside {

// Where host frames go: the bridge by default; tests put their own sink here
// (set while no work runs), which is always called on the main thread.
using FrameSink = std::function<void(const QString& code, const QString& text)>;
void setFrameSink(FrameSink sink);
// Any thread: a worker's frame is written out there and only its text goes
// to the main thread.
void sendFrame(const QString& code, const QString& text);

// The MsgBack of a request: client ids from the session's "|"-separated
// pieces (empty pieces dropped; missing ones give ""), the remote one being
// the piece that is not this account's client id.
MsgBack makeMsgBack(const QString& code, const QString& token, const QString& session, vex::Json data);

}  // namespace hostside

// The reason given to a peer for a request this host failed to answer (no
// descriptors or memory left, a folder it could not open): "Error: " and the
// system's text for the errno value `error`.
QString failureReason(int error);

// The answer to a request refused for now because its peer asks more than its
// share: {"Result": 0, "Info": "busy"}, as the bridge answers a session over
// its share.
vex::Json busyReply();
// The answer in place of one larger than the relay carries
// (protocol/relay_limits.h), as the bridge gives it.
vex::Json tooLargeReply();

// Sends `back`, made on the main thread (makeMsgBack), with the data it holds
// now (or tooLargeReply() in its place), under the bridge code "WSDC"; any thread, so that a worker that made a
// large answer also writes it out. The bytes of the reply written.
qint64 sendWSDCReply(const MsgBack& back);

// Sends a reply to a peer request under the bridge code "WSDC".
void SendWSDCReply(const QString& code, const QString& token, const QString& session, vex::Json data);

// A MsgBackData holding `value` as its tree.
template <class T>
vex::Json wrapData(const T& value) {
  MsgBackData wrapper;
  wrapper.data = vex::toJSONModel(value);
  return wrapper.toJSONModel();
}
