// Handlers of the host-side dispatcher. Each answers through SendWSDCReply
// with the request's code, token and session (or not at all, where noted).
#pragma once

#include <QString>

#include "core/vex_json.h"
#include "protocol/share_spot.h"

namespace hostside {

struct Request {
  QString token;
  QString session;
  QString code;
  QString peer;   // who asks: the peer's account, else its client id
  // The asking account and its name as the relay vouches for them (the
  // bridge's "PeerACC" and "PeerName"); empty when nobody vouches.
  QString account;
  QString accountName;
  vex::Json msg;  // the payload under "Msg"
  // Asked by this client's own bridge for a transfer (never set by a peer):
  // the answer also says where the checked path lies.
  bool transferCheck = false;
};

// A check's reply with where the checked path lies, when the client's own
// bridge asked (`r.transferCheck`) and the gate found it.
vex::Json withSpot(vex::Json answer, const Request& r, const protocol::ShareSpot& spot);

void clientTouch(const Request& r);
void hostHandShake(const Request& r);
void validInfo(const Request& r);
void ping(const Request& r);
void getFileList(const Request& r);
void fileDownloadCheck(const Request& r);
void opFileList(const Request& r);
void newFileCreate(const Request& r);
void ignored(const Request& r);  // "SaveLog", "getFileExtInfo": no reply
void clipboardPush(const Request& r);
void clipboardGetText(const Request& r);
void waitRemoteReceiveFiles(const Request& r);
void waitRemoteReceiveFilesPressButton(const Request& r);
void waitRemoteReceiveFilesCancel(const Request& r);  // no reply

// Whether the request comes from a session of this host's own account (the
// user's other device).
bool fromOwnAccount(const Request& r);

// The clipboard switch: "0" in the settings store turns peers' clipboard
// access off; anything else (unset included) leaves it on.
bool clipboardAllowed();
// What a clipboard toast shows of a text: all of it below 6 characters,
// otherwise its first 5 and "...".
QString clipboardPreview(const QString& text);

}  // namespace hostside
