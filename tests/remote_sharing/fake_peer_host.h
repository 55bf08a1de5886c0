// A bridge endpoint inside the test that answers the client's requests the way
// a remote host would: the link result of "ClientInit", "ClientTouch", and each
// peer request through a handler per code. A handler that gives nothing leaves
// the request unanswered.
#pragma once

#include "bridge/bridge_test_support.h"
#include "bridge/fake_bridge_server.h"
#include "support/test_util.h"

#include <QMap>

#include <functional>
#include <memory>
#include <optional>

struct SentRequest {
  QString code;
  vex::Json envelope;  // the request envelope ("Data" holds the payload)
  vex::Json payload() const { return envelope.value("Data", vex::Json()); }
  QString token() const { return QString::fromStdString(envelope.value("Token", std::string())); }
};

class FakePeerHost {
 public:
  using Handler = std::function<std::optional<vex::Json>(const vex::Json& payload)>;

  FakePeerHost() {
    server.onFrame = [this](const QString& text, QWebSocket*) { onFrame(text); };
    Env::BridgePort = server.port();
  }

  bool connectBridge() {
    ConnectBridge();
    return testutil::waitUntil([] { return Env::BridgeConnected; });
  }

  // The link result: "Result" 1 with the two ids, or a failure.
  bool linkUp = true;
  int upc = 5;
  int sc = 1;
  QMap<QString, Handler> handlers;
  QList<SentRequest> requests;  // every peer request, in order
  QList<vex::Json> clientInits;

  QList<SentRequest> requestsOf(const QString& code) const {
    QList<SentRequest> out;
    for (const SentRequest& r : requests)
      if (r.code == code) out << r;
    return out;
  }
  // Answers a request later, by hand.
  void reply(const SentRequest& request, const vex::Json& msg) {
    server.send(bridgetest::frame("WSDC", vex::Json{{"Token", request.envelope["Token"]},
                                                    {"Code", request.envelope["Code"]},
                                                    {"Msg", msg}}));
  }
  // A reply frame without "Msg".
  void replyWithoutMessage(const SentRequest& request) {
    server.send(bridgetest::frame(
        "WSDC", vex::Json{{"Token", request.envelope["Token"]}, {"Code", request.envelope["Code"]}}));
  }

  FakeBridgeServer server;

 private:
  void onFrame(const QString& text) {
    const vex::Json frame = vex::Json::parse(text.toStdString(), nullptr, false);
    const vex::Json msg = frame.value("Msg", vex::Json());
    const std::string code = msg.value("Code", std::string());
    vex::Json data = msg.value("Data", vex::Json());
    if (data.is_string()) data = vex::Json::parse(data.get<std::string>(), nullptr, false);
    if (code == "ClientInit") {
      clientInits << data;
      if (linkUp)
        send("P2PCLIENT", {{"Type", "GetShareHost6Client"},
                           {"Msg", {{"Result", 1}, {"ClientID1", "ME"}, {"ClientID2", "HOST"}, {"source", "relay"}}}});
      else
        send("P2PCLIENT", {{"Type", "P2PConFailed"}, {"Msg", {{"Result", 0}}}});
      return;
    }
    if (code == "P2PClientControl") {
      send("P2PCLIENT", {{"Type", data["Code"]}, {"Token", data["Token"]}, {"Msg", ""}});
      return;
    }
    if (code != "WSDC") return;
    SentRequest request{QString::fromStdString(data.value("Code", std::string())), data};
    requests << request;
    if (request.code == QStringLiteral("ClientTouch")) {
      reply(request, {{"data", {{"UPC", upc}, {"SC", sc}}}});
      return;
    }
    const auto handler = handlers.find(request.code);
    if (handler == handlers.end()) return;
    if (const auto answer = (*handler)(request.payload())) reply(request, *answer);
  }
  void send(const char* code, const vex::Json& data) { server.send(bridgetest::frame(code, data)); }
};
