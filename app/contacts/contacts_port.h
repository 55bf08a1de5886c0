// What the contact screens send: requests to the contact's application or to
// the sender's own bridge over the send's peer link, requests to this
// machine's bridge, and the link's opening. The live port goes through the
// request layer; tests put a recording fake in its place. Main thread only.
#pragma once

#include "bridge/p2p_client_msg.h"
#include "core/vex_json.h"

#include <QString>

class ContactsPort {
 public:
  virtual ~ContactsPort() = default;
  // A request over the peer link `link`; isProcessOnBridge "NO" reaches the
  // peer's application, "YES" is answered by this side's bridge.
  virtual void sendToRemote(const PeerLink& link, const QString& code, const vex::Json& payload, bool wait,
                            const QString& isProcessOnBridge, ReplyHandler handler) = 0;
  // A request to this machine's bridge.
  virtual void sendToBridge(const QString& code, const vex::Json& payload, bool wait, ReplyHandler handler) = 0;
  // Sends "ClientInit", which opens a peer link (called through linkattempts).
  virtual void clientInit(const QString& hostname, const QString& hosttag, const QString& hostpassword) = 0;
};

// The port over the live request layer.
ContactsPort& liveContactsPort();

// Lenient reads of reply values beyond those of jsonread: a missing key or a
// value of another kind gives false or 0.
namespace contactjson {
// true, a non-zero number, or the text "true"/"yes"/"1" (any case).
bool boolean(const vex::Json& value, std::string_view key);
// A number, or text holding one.
double number(const vex::Json& value, std::string_view key);
}  // namespace contactjson
