// The relay between bridges: authentication, sessions by host name, and
// frames reaching only the other client of their session.
#include "service_fixture.h"

#include <QSslSocket>
#include <QWebSocket>

using testsvc::ServiceFixture;

namespace {

// One bridge's relay connection, collecting what the service sends it.
struct RelayPeer {
  explicit RelayPeer(const QSslConfiguration& tls) {
    socket.setSslConfiguration(tls);
    QObject::connect(&socket, &QWebSocket::textMessageReceived, [this](const QString& text) {
      frames.push_back(nlohmann::json::parse(text.toStdString(), nullptr, false));
    });
    QObject::connect(&socket, &QWebSocket::disconnected, [this] { closed = true; });
  }
  bool open(const QString& url) {
    socket.open(QUrl(url));
    return testutil::waitUntil([this] { return socket.state() == QAbstractSocket::ConnectedState || closed; }) &&
           !closed;
  }
  void send(const nlohmann::json& frame) { socket.sendTextMessage(QString::fromStdString(frame.dump())); }
  void sendRaw(const QString& text) { socket.sendTextMessage(text); }
  // The next frame, waiting for it.
  nlohmann::json next() {
    if (!testutil::waitUntil([this] { return !frames.empty(); }, std::chrono::seconds(5))) return nullptr;
    auto frame = frames.front();
    frames.erase(frames.begin());
    return frame;
  }
  // Lets the event loop run and tells whether anything arrived.
  bool quiet(int ms = 200) {
    testutil::idleFor(std::chrono::milliseconds(ms));
    return frames.empty();
  }

  QWebSocket socket;
  std::vector<nlohmann::json> frames;
  bool closed = false;
};

// A bridge that writes its WebSocket frames by hand, so it can stop inside one.
struct RawPeer {
  bool open(quint16 port, const QSslConfiguration& tls) {
    socket.setSslConfiguration(tls);
    socket.connectToHostEncrypted(QStringLiteral("127.0.0.1"), port);
    if (!testutil::waitUntil([this] { return socket.isEncrypted(); })) return false;
    socket.write("GET /relay HTTP/1.1\r\nHost: 127.0.0.1\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
                 "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n\r\n");
    return waitFor("\r\n\r\n") && received.startsWith("HTTP/1.1 101");
  }
  // A masked text frame (zero mask) that announces `declared` payload bytes.
  static QByteArray frame(const QByteArray& payload, int declared) {
    QByteArray out("\x81", 1);
    if (declared < 126) {
      out += char(0x80 | declared);
    } else {
      out += char(0x80 | 126);
      out += char(declared >> 8);
      out += char(declared & 0xff);
    }
    out += QByteArray(4, '\0');
    return out + payload;
  }
  void send(const std::string& json) {
    const QByteArray payload = QByteArray::fromStdString(json);
    socket.write(frame(payload, static_cast<int>(payload.size())));
  }
  bool waitFor(const QByteArray& text) {
    return testutil::waitUntil([&] {
      received += socket.readAll();
      return received.contains(text);
    });
  }
  QSslSocket socket;
  QByteArray received;
};

}  // namespace

class Relay : public ServiceFixture {
 protected:
  QString relayUrl() const {
    return QStringLiteral("wss://127.0.0.1:") + QString::number(server->port()) + QStringLiteral("/relay");
  }
  // Logs the account in and brings a relay connection to "ready".
  std::unique_ptr<RelayPeer> online(const char* email, const char* password, std::string* clientId) {
    return onlineAs(login({{"Id_acc", email}, {"Password", password}}), clientId);
  }
  // Brings a relay connection of a signed-in session to "ready".
  std::unique_ptr<RelayPeer> onlineAs(const nlohmann::json& session, std::string* clientId) {
    auto peer = std::make_unique<RelayPeer>(tls);
    EXPECT_TRUE(peer->open(relayUrl()));
    peer->send({{"op", "hello"}, {"Token", session["Token"]}});
    const auto ready = peer->next();
    EXPECT_EQ(ready["op"], "ready") << ready.dump();
    EXPECT_EQ(ready["ClientID"], session["ClientID"]);
    *clientId = session["ClientID"];
    return peer;
  }
};

TEST_F(Relay, ConnectByHostNameMakesASessionAndFramesGoOnlyToTheOtherSide) {
  std::string annClient, bobClient, carolClient;
  auto ann = online("ann@example.com", "ann-pass", &annClient);
  auto bob = online("bob@example.com", "bob-pass", &bobClient);
  auto carol = online("bob@example.com", "bob-pass", &carolClient);  // a second client of Bob's account
  // Bob's newer client (carol) serves as the host; Bob's first client hears nothing.

  ann->send({{"op", "connect"}, {"ref", "r1"}, {"hostname", "BOB-HOST"}, {"tag", "t1"}});
  const auto toCaller = ann->next();
  const std::string session = annClient + "|" + carolClient;
  EXPECT_EQ(toCaller["op"], "session");
  EXPECT_EQ(toCaller["ref"], "r1");
  EXPECT_EQ(toCaller["Result"], 1);
  EXPECT_EQ(toCaller["Session"], session);
  EXPECT_EQ(toCaller["ClientID1"], annClient);
  EXPECT_EQ(toCaller["ClientID2"], carolClient);
  EXPECT_EQ(toCaller["tag"], "t1");
  EXPECT_EQ(toCaller["uname"], "Bob");
  const auto toHost = carol->next();
  EXPECT_EQ(toHost["op"], "session");
  EXPECT_EQ(toHost["Session"], session);
  EXPECT_EQ(toHost["uname"], "Ann");

  nlohmann::json payload{{"Code", "WSDC"}, {"Msg", {{"Token", "x1"}, {"Data", "{\"a\":[1,2]}"}}}};
  ann->send({{"op", "relay"}, {"Session", session}, {"frame", payload}});
  const auto forwarded = carol->next();
  EXPECT_EQ(forwarded["op"], "relay");
  EXPECT_EQ(forwarded["from"], annClient);
  EXPECT_EQ(forwarded["frame"], payload);
  carol->send({{"op", "relay"}, {"Session", session}, {"frame", {{"reply", true}}}});
  EXPECT_EQ(ann->next()["frame"]["reply"], true);
  EXPECT_TRUE(bob->quiet());

  // Bob's other client is not part of the session: refused, nothing forwarded.
  bob->send({{"op", "relay"}, {"Session", session}, {"frame", {{"x", 1}}}});
  EXPECT_EQ(bob->next()["op"], "error");
  bob->send({{"op", "close"}, {"Session", session}});
  EXPECT_EQ(bob->next()["op"], "error");
  EXPECT_TRUE(ann->quiet(100));
  EXPECT_TRUE(carol->quiet(100));

  // Closing tells the other side; later frames are refused.
  ann->send({{"op", "close"}, {"Session", session}});
  EXPECT_EQ(carol->next(), (nlohmann::json{{"op", "closed"}, {"Session", session}}));
  carol->send({{"op", "relay"}, {"Session", session}, {"frame", {{"x", 1}}}});
  EXPECT_EQ(carol->next()["op"], "error");
  EXPECT_TRUE(ann->quiet(100));
}

TEST_F(Relay, FailedConnectsAllReadTheSameAndAreThrottled) {
  std::string annClient;
  auto ann = online("ann@example.com", "ann-pass", &annClient);
  // Signed in ahead (a password check may take longer than the throttle's
  // first pause), online only after the failures.
  const nlohmann::json bobSession = login({{"Id_acc", "bob@example.com"}, {"Password", "bob-pass"}});
  // Unknown, offline, only the caller itself online: one answer for all.
  const nlohmann::json failed{{"op", "connect_failed"}, {"error", "the host cannot be reached"}};
  for (const char* name : {"nobody-host", "bob-host", "ann-host", "nobody@example.com", "bob-host@"}) {
    ann->send({{"op", "connect"}, {"ref", name}, {"hostname", name}, {"tag", "t"}});
    nlohmann::json answer = ann->next();
    EXPECT_EQ(answer["ref"], name);
    answer.erase("ref");
    EXPECT_EQ(answer, failed) << name;
  }
  // Five failures in a row: for a while even a reachable host is not looked up.
  std::string bobClient;
  auto bob = onlineAs(bobSession, &bobClient);
  ann->send({{"op", "connect"}, {"ref", 1}, {"hostname", "bob-host"}, {"tag", "t"}});
  EXPECT_EQ(ann->next()["op"], "connect_failed");
  bool connected = false;
  EXPECT_TRUE(testutil::waitUntil(
      [&] {
        ann->send({{"op", "connect"}, {"ref", 2}, {"hostname", "bob-host"}, {"tag", "t"}});
        connected = ann->next().value("op", "") == "session";
        return connected;
      },
      std::chrono::seconds(10)));
  ann->send({{"op", "ping"}});
  EXPECT_EQ(ann->next()["op"], "pong");
}

TEST_F(Relay, ConnectByEmailReachesTheContactsAccount) {
  std::string annClient, bobClient;
  auto ann = online("ann@example.com", "ann-pass", &annClient);
  auto bob = online("bob@example.com", "bob-pass", &bobClient);
  // A direct send names the contact by e-mail, in whatever case it was typed.
  ann->send({{"op", "connect"}, {"ref", "m1"}, {"hostname", "Bob@Example.com"}, {"tag", "KELVORSENDFILE"}});
  const auto toCaller = ann->next();
  EXPECT_EQ(toCaller["op"], "session") << toCaller.dump();
  EXPECT_EQ(toCaller["Session"], annClient + "|" + bobClient);
  EXPECT_EQ(toCaller["hostname"], "bob-host");
  EXPECT_EQ(bob->next()["tag"], "KELVORSENDFILE");
  // An unknown address fails; an e-mail is never taken as a host name.
  ann->send({{"op", "connect"}, {"ref", "m2"}, {"hostname", "nobody@example.com"}, {"tag", "t"}});
  const auto failed = ann->next();
  EXPECT_EQ(failed["op"], "connect_failed");
  EXPECT_EQ(failed["error"], "the host cannot be reached");
  ann->send({{"op", "connect"}, {"ref", "m3"}, {"hostname", "bob-host@"}, {"tag", "t"}});
  EXPECT_EQ(ann->next()["op"], "connect_failed");
}

TEST_F(Relay, HostGoingOfflineClosesItsSessions) {
  std::string annClient, bobClient;
  auto ann = online("ann@example.com", "ann-pass", &annClient);
  auto bob = online("bob@example.com", "bob-pass", &bobClient);
  ann->send({{"op", "connect"}, {"ref", "r"}, {"hostname", "bob-host"}, {"tag", "t"}});
  const std::string session = ann->next()["Session"];
  bob->next();
  EXPECT_EQ(server->relay().sessionCount(), 1);
  bob->socket.abort();  // drops without a close handshake
  EXPECT_EQ(ann->next(), (nlohmann::json{{"op", "closed"}, {"Session", session}}));
  EXPECT_TRUE(testutil::waitUntil([this] { return server->relay().sessionCount() == 0; }));
  EXPECT_EQ(server->relay().onlineCount(), 1);
}

TEST_F(Relay, ABridgeDroppingInsideAFrameEndsItsSessionsAndNothingElse) {
  std::string annClient;
  auto ann = online("ann@example.com", "ann-pass", &annClient);
  const auto bobLogin = login({{"Id_acc", "bob@example.com"}, {"Password", "bob-pass"}});
  RawPeer bob;
  ASSERT_TRUE(bob.open(server->port(), tls));
  bob.send(nlohmann::json{{"op", "hello"}, {"Token", bobLogin["Token"]}}.dump());
  ASSERT_TRUE(bob.waitFor("\"ready\""));
  ann->send({{"op", "connect"}, {"ref", "r"}, {"hostname", "bob-host"}, {"tag", "t"}});
  const std::string session = ann->next()["Session"];
  ASSERT_TRUE(bob.waitFor("\"session\""));

  bob.socket.write(RawPeer::frame(QByteArrayLiteral("{\"op\":\"relay\",\"Sess"), 1000));
  bob.socket.flush();
  testutil::idleFor(std::chrono::milliseconds(100));
  bob.socket.abort();
  EXPECT_EQ(ann->next(), (nlohmann::json{{"op", "closed"}, {"Session", session}}));
  EXPECT_TRUE(testutil::waitUntil([this] { return server->relay().onlineCount() == 1; }));
  ann->send({{"op", "ping"}});
  EXPECT_EQ(ann->next()["op"], "pong");
}

TEST_F(Relay, BadHellosAndBadFramesAreRefused) {
  auto stranger = std::make_unique<RelayPeer>(tls);
  ASSERT_TRUE(stranger->open(relayUrl()));
  stranger->send({{"op", "hello"}, {"Token", "not-a-token"}});
  EXPECT_EQ(stranger->next()["op"], "error");
  EXPECT_TRUE(testutil::waitUntil([&] { return stranger->closed; }));

  auto early = std::make_unique<RelayPeer>(tls);
  ASSERT_TRUE(early->open(relayUrl()));
  early->send({{"op", "connect"}, {"hostname", "ann-host"}, {"tag", "t"}});
  EXPECT_EQ(early->next()["op"], "error");
  EXPECT_TRUE(testutil::waitUntil([&] { return early->closed; }));

  auto wrongPath = std::make_unique<RelayPeer>(tls);
  wrongPath->open(QStringLiteral("wss://127.0.0.1:") + QString::number(server->port()) + QStringLiteral("/other"));
  EXPECT_TRUE(testutil::waitUntil([&] { return wrongPath->closed; }));

  std::string annClient;
  auto ann = online("ann@example.com", "ann-pass", &annClient);
  for (const QString& bad : {QStringLiteral("not json"), QStringLiteral("[1]"), QStringLiteral("{\"op\":5}"),
                             QStringLiteral("{\"op\":\"launch\"}"), QStringLiteral("{\"op\":\"relay\"}"),
                             QStringLiteral("{\"op\":\"relay\",\"Session\":\"a|b\",\"frame\":{}}"),
                             QString(QStringLiteral("[")).repeated(100000)}) {
    ann->sendRaw(bad);
    EXPECT_EQ(ann->next()["op"], "error") << bad.left(40).toStdString();
  }
  ann->socket.sendBinaryMessage(QByteArrayLiteral("\x01\x02"));
  EXPECT_EQ(ann->next()["op"], "error");
  // Past the size limit the connection goes; the service keeps serving others.
  ann->sendRaw(QString(17 * 1024 * 1024, QLatin1Char('a')));
  EXPECT_TRUE(testutil::waitUntil([&] { return ann->closed; }, std::chrono::seconds(10)));
  std::string again;
  auto second = online("ann@example.com", "ann-pass", &again);
  second->send({{"op", "ping"}});
  EXPECT_EQ(second->next()["op"], "pong");
}

TEST_F(Relay, ASecondConnectionWithTheSameTokenReplacesTheFirst) {
  const auto session = login({{"Id_acc", "ann@example.com"}, {"Password", "ann-pass"}});
  RelayPeer first(tls), second(tls);
  ASSERT_TRUE(first.open(relayUrl()));
  first.send({{"op", "hello"}, {"Token", session["Token"]}});
  EXPECT_EQ(first.next()["op"], "ready");
  ASSERT_TRUE(second.open(relayUrl()));
  second.send({{"op", "hello"}, {"Token", session["Token"]}});
  EXPECT_EQ(second.next()["op"], "ready");
  EXPECT_TRUE(testutil::waitUntil([&] { return first.closed; }));
  EXPECT_EQ(server->relay().onlineCount(), 1);
}

TEST(RelayJsonDepth, CountsNestingOutsideStringsOnly) {
  EXPECT_TRUE(kelvor::jsonDepthWithin("{\"a\":[[1]]}", 3));
  EXPECT_FALSE(kelvor::jsonDepthWithin("{\"a\":[[1]]}", 2));
  EXPECT_TRUE(kelvor::jsonDepthWithin("{\"a\":\"[[[[[\\\"[[[\"}", 1));
}
