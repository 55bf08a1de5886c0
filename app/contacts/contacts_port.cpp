#include "contacts/contacts_port.h"

#include "remote_sharing/saved_hosts.h"
#include "core/json_read.h"

namespace {

class LivePort : public ContactsPort {
 public:
  void sendToRemote(const PeerLink& link, const QString& code, const vex::Json& payload, bool wait,
                    const QString& isProcessOnBridge, ReplyHandler handler) override {
    P2PClientMsg::SendMsgOnLink(link, code, payload, wait, isProcessOnBridge, std::move(handler));
  }
  void sendToBridge(const QString& code, const vex::Json& payload, bool wait, ReplyHandler handler) override {
    P2PClientMsg::SendMsgToP2PClient(code, payload, wait, std::move(handler));
  }
  void clientInit(const QString& hostname, const QString& hosttag, const QString& hostpassword) override {
    HelperRemoteSharing::ClientInit(hostname, hosttag, hostpassword);
  }
};

}  // namespace

ContactsPort& liveContactsPort() {
  static LivePort port;
  return port;
}

namespace contactjson {

bool boolean(const vex::Json& value, std::string_view key) {
  const vex::Json& v = jsonread::member(value, key);
  if (v.is_boolean()) return v.get<bool>();
  if (v.is_number()) return v.get<double>() != 0;
  if (v.is_string()) {
    const QString text = jsonread::text(v).trimmed().toLower();
    return text == QLatin1String("true") || text == QLatin1String("yes") || text == QLatin1String("1");
  }
  return false;
}

double number(const vex::Json& value, std::string_view key) {
  const vex::Json& v = jsonread::member(value, key);
  if (v.is_number()) return v.get<double>();
  if (v.is_string()) return jsonread::text(v).trimmed().toDouble();
  return 0;
}

}  // namespace contactjson
