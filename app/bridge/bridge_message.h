// The inbound dispatcher: every text frame of the bridge enters here, on the
// main thread. Frames are untrusted: anything malformed is logged and dropped.
#pragma once

#include "core/vex_json.h"

#include <QString>

#include <functional>

namespace BridgeMessage {

// Dispatches one frame by its "Code".
void DoMsg(const QString& text);
// The same for raw UTF-8 bytes (invalid UTF-8 is dropped).
void DoMsgBytes(const QByteArray& bytes);

}  // namespace BridgeMessage

// Handler of a "WSDC" frame's data text: replies to this run's waiting requests
// are delivered here; any other frame is a remote client's request and goes to
// the host-side request handler.
void DoMsg_WSDC(const QString& dataText);

// The host side installs these; until then such frames are logged and dropped.
// A request handler gets the parsed "Data" object of a "WSDC" request frame; a
// host function handler the parsed "Data" object of a "P2PCallHostFunc" frame.
using HostFrameHandler = std::function<void(const vex::Json& frame)>;
void setHostRequestHandler(HostFrameHandler handler);
void setHostFunctionHandler(HostFrameHandler handler);
