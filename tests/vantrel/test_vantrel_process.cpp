// The bridge as a real process on loopback, without the account service:
// start-up code, handshake screening, one client, bridge requests, bad input
// and restarting on the same port.
#include "vantrel_harness.h"

#include <QElapsedTimer>
#include <QRegularExpression>
#include <QTcpSocket>

#include <gtest/gtest.h>

using namespace vantreltest;

namespace {

Json blank() { return {{"m", ""}}; }

bool pingAnswered(ClientLink& link) {
  const QString token = link.control(QStringLiteral("PingBridge"), blank());
  return link.waitReply(token, 3s).has_value();
}

// Starts `bridge` without the service and connects `link` to it as its client.
bool startAndConnect(BridgeProcess& bridge, ClientLink& link) {
  return bridge.start(nullptr) && link.open(bridge.port());
}

}  // namespace

TEST(VantrelProcess, StartsOnlyWithTheStartupCode) {
  Child child;
  child.env().insert(QStringLiteral("VANTREL_PORT"), QStringLiteral("0"));
  QByteArray out;
  EXPECT_EQ(child.run(binDir() + QStringLiteral("/Vantrel_amd"), {}, &out), 2);
  EXPECT_TRUE(out.contains("-scode="));
  EXPECT_EQ(child.run(binDir() + QStringLiteral("/Vantrel_amd"), {QStringLiteral("-scode=0123456789ABCDEF0123456789ABCDEF")}),
            2);
  EXPECT_EQ(child.run(binDir() + QStringLiteral("/Vantrel_amd"), {startupArgument() + QStringLiteral("0")}), 2);

  // The right code: accepting connections well within 3 s.
  BridgeProcess bridge;
  QElapsedTimer clock;
  clock.start();
  ClientLink link;
  ASSERT_TRUE(startAndConnect(bridge, link));
  EXPECT_LT(clock.elapsed(), 3000);
  EXPECT_TRUE(pingAnswered(link));
}

TEST(VantrelProcess, AnswersBridgeRequestsUnderTheirToken) {
  BridgeProcess bridge;
  ClientLink link;
  ASSERT_TRUE(startAndConnect(bridge, link));

  const QString ping = link.control(QStringLiteral("PingBridge"), blank());
  auto frame = link.waitFor([&](const ClientLink::Frame& f) { return vantrel::textOf(f.data, "Token") == ping; });
  ASSERT_TRUE(frame);
  EXPECT_EQ(frame->code, QStringLiteral("P2PCLIENT"));
  EXPECT_TRUE(frame->dataWasText);  // every frame carries "Data" as JSON text
  EXPECT_EQ(vantrel::textOf(frame->data, "Type"), QStringLiteral("PingBridge"));

  // The same request with its envelope as JSON text instead of a nested object.
  link.send(QStringLiteral("P2PClientControl"),
            {{"Session", ""}, {"Code", "PingBridge"}, {"Token", "P2PClientText-1"}, {"IsProcessOnBridge", "-"},
             {"Data", blank()}},
            true);
  EXPECT_TRUE(link.waitReply(QStringLiteral("P2PClientText-1")));

  // Its own route is on, on the address set, but no host is connected to
  // tell an address of.
  EXPECT_TRUE(bridge.lanUrl().startsWith(QStringLiteral("https://127.0.0.1:"))) << bridge.child().output().toStdString();
  const auto lan = link.waitReply(link.control(QStringLiteral("GetLanHttp"), blank()));
  ASSERT_TRUE(lan);
  EXPECT_EQ(vantrel::asText(*lan), QString()) << lan->dump();
  BridgeProcess off;
  off.child().env().insert(QStringLiteral("VANTREL_LAN_ADDRESS"), QStringLiteral("off"));
  ASSERT_TRUE(off.start(nullptr));
  EXPECT_TRUE(spinUntil([&] { return off.child().output().contains("no local-network route: turned off"); }));

  // Transfers are refused plainly, not left waiting.
  const auto upload = link.waitReply(link.control(QStringLiteral("StartRemoteUpload"), {{"Session", "a|b"}}));
  ASSERT_TRUE(upload);
  EXPECT_EQ(vantrel::intOf(*upload, "Result"), 0);
  EXPECT_FALSE(vantrel::textOf(*upload, "Info").isEmpty());

  // A web call that cannot succeed is answered with a JSON refusal text.
  const auto call = link.waitReply(
      link.control(QStringLiteral("CallHttp"), {{"URL", "https://127.0.0.1:1/api2/version/mac/index.php"}, {"Timeout", 5}}));
  ASSERT_TRUE(call);
  ASSERT_TRUE(call->is_string());
  const auto refusal = vantrel::parseJson(vantrel::asText(*call));
  ASSERT_TRUE(refusal);
  EXPECT_EQ(vantrel::intOf(*refusal, "Result"), 0);

  // Without a sign-in: a peer link fails, a sign-in with no service fails.
  link.send(QStringLiteral("ClientInit"), {{"Id_user", ""}, {"Hostname", "ann-host"}, {"Hosttag", "t"}, {"Hostpassword", ""}});
  auto failed = link.waitForCode(QStringLiteral("P2PCLIENT"));
  ASSERT_TRUE(failed);
  EXPECT_EQ(vantrel::textOf(failed->data, "Type"), QStringLiteral("P2PConFailed"));
}

TEST(VantrelProcess, RefusesBrowsersAndClientsWithoutTheSecret) {
  BridgeProcess open;
  ASSERT_TRUE(open.start(nullptr));
  ClientLink browser;
  EXPECT_FALSE(browser.open(open.port(), {}, "http://example.com"));
  EXPECT_FALSE(browser.open(open.port(), {}, "null"));

  BridgeProcess guarded;
  ASSERT_TRUE(guarded.start(nullptr, "s3cr3t-per-launch"));
  ClientLink none, wrong, right, browserWithSecret;
  EXPECT_FALSE(none.open(guarded.port()));
  EXPECT_FALSE(wrong.open(guarded.port(), "s3cr3t-per-launcH"));
  EXPECT_FALSE(browserWithSecret.open(guarded.port(), "s3cr3t-per-launch", "http://example.com"));
  ASSERT_TRUE(right.open(guarded.port(), "s3cr3t-per-launch"));
  EXPECT_TRUE(pingAnswered(right));

  // Another path than the endpoint's is refused too.
  QTcpSocket raw;
  raw.connectToHost(QHostAddress::LocalHost, guarded.port());
  ASSERT_TRUE(raw.waitForConnected(2000));
  raw.write("GET /other HTTP/1.1\r\nHost: x\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
            "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n"
            "X-Zarkelo-Secret: s3cr3t-per-launch\r\n\r\n");
  ASSERT_TRUE(spinUntil([&] { return raw.bytesAvailable() > 0 || raw.state() != QAbstractSocket::ConnectedState; }));
  EXPECT_TRUE(raw.readAll().startsWith("HTTP/1.1 404"));
}

TEST(VantrelProcess, ANewerClientReplacesTheOlder) {
  BridgeProcess bridge;
  ASSERT_TRUE(bridge.start(nullptr));
  ClientLink first, second;
  ASSERT_TRUE(first.open(bridge.port()));
  ASSERT_TRUE(second.open(bridge.port()));
  EXPECT_TRUE(spinUntil([&] { return !first.isOpen(); }, 3s));
  EXPECT_TRUE(pingAnswered(second));
}

TEST(VantrelProcess, SurvivesBadInput) {
  BridgeProcess bridge;
  ClientLink link;
  ASSERT_TRUE(startAndConnect(bridge, link));
  for (const char* text : {"not json", "[1,2,3]", "{}", "{\"Msg\":{\"Code\":\"Login\"}}",
                           "{\"Msg\":{\"Code\":\"WSDC\",\"Data\":\"{broken\"}}", "{\"Msg\":{\"Code\":\"Nope\",\"Data\":{}}}",
                           "{\"Msg\":{\"Code\":\"WSDC\",\"Data\":{\"Token\":\"t\",\"Session\":\"x|y\",\"Code\":\"PING\"}}}",
                           "{\"Msg\":{\"Code\":\"P2PCallHostFuncCallback\",\"Data\":{\"Token\":\"t\"}}}",
                           "{\"Msg\":{\"Code\":\"P2PClientControl\",\"Data\":{\"Code\":7,\"Token\":[]}}}"})
    link.socket().sendTextMessage(QString::fromLatin1(text));
  link.socket().sendBinaryMessage(QByteArray(5, 'x'));
  const QString deep = QString(100000, QLatin1Char('[')) + QString(100000, QLatin1Char(']'));
  link.socket().sendTextMessage(QStringLiteral(R"({"Msg":{"Code":"WSDC","Data":{"Token":"t","Session":"a|b","Data":%1}}})").arg(deep));
  link.socket().sendTextMessage(QStringLiteral(R"({"Msg":{"Code":"P2PClientControl","Data":{"Code":"CallHttp","Token":"t","Data":%1}}})").arg(deep));
  EXPECT_TRUE(pingAnswered(link));

  // An oversized frame closes that connection; the bridge serves the next.
  link.socket().sendTextMessage(QString(17 * 1024 * 1024, QLatin1Char('a')));
  EXPECT_TRUE(spinUntil([&] { return !link.isOpen(); }, 10s));

  // A connection that drops in the middle of a frame.
  ClientLink partial;
  ASSERT_TRUE(partial.open(bridge.port()));
  partial.socket().abort();
  QTcpSocket raw;
  raw.connectToHost(QHostAddress::LocalHost, bridge.port());
  ASSERT_TRUE(raw.waitForConnected(2000));
  raw.write("GET /ws HTTP/1.1\r\nHost: x\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
            "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n\r\n");
  ASSERT_TRUE(spinUntil([&] { return raw.bytesAvailable() > 0; }));
  raw.readAll();
  raw.write(QByteArray::fromHex("81fe1000") + QByteArray(100, 'x'));  // promises 4096 bytes, sends 104
  raw.waitForBytesWritten(1000);
  raw.abort();
  // And one that never finishes its handshake.
  QTcpSocket half;
  half.connectToHost(QHostAddress::LocalHost, bridge.port());
  ASSERT_TRUE(half.waitForConnected(2000));
  half.write("GET /ws HTTP/1.1\r\nHost: x\r\n");
  half.waitForBytesWritten(1000);
  half.abort();

  ClientLink after;
  ASSERT_TRUE(after.open(bridge.port()));
  EXPECT_TRUE(pingAnswered(after));
  EXPECT_EQ(bridge.child().process().state(), QProcess::Running);
}

TEST(VantrelProcess, RebindsAtOnceAfterAKill) {
  BridgeProcess first;
  ASSERT_TRUE(first.start(nullptr));
  const quint16 port = first.port();
  ClientLink link;
  ASSERT_TRUE(link.open(port));
  ASSERT_TRUE(pingAnswered(link));
  first.child().kill();  // leaves the old connection behind in the kernel
  EXPECT_TRUE(spinUntil([&] { return !link.isOpen(); }, 3s));

  BridgeProcess second;
  QElapsedTimer clock;
  clock.start();
  ASSERT_TRUE(second.start(nullptr, {}, port));
  ClientLink again;
  ASSERT_TRUE(again.open(port));
  EXPECT_LT(clock.elapsed(), 3000);
  EXPECT_TRUE(pingAnswered(again));
}

// Half-open handshakes from any local process cannot keep the real client out:
// more of them than there are screening slots, then the client with its secret
// is admitted at once, not after the deadline.
TEST(VantrelProcess, HalfOpenHandshakesDoNotLockTheClientOut) {
  const QByteArray secret = "s3cret-for-this-test";
  BridgeProcess bridge;
  ASSERT_TRUE(bridge.start(nullptr, secret));
  std::vector<std::unique_ptr<QTcpSocket>> flood;
  for (int i = 0; i < 100; ++i) {
    auto socket = std::make_unique<QTcpSocket>();
    socket->connectToHost(QHostAddress::LocalHost, bridge.port());
    ASSERT_TRUE(socket->waitForConnected(2000));
    socket->write("GET /ws HTTP/1.1\r\nHost: x\r\n");  // never finished
    socket->flush();
    flood.push_back(std::move(socket));
  }
  QElapsedTimer clock;
  clock.start();
  ClientLink link;
  ASSERT_TRUE(link.open(bridge.port(), secret));
  EXPECT_LT(clock.elapsed(), 1500);
  EXPECT_TRUE(pingAnswered(link));
  EXPECT_EQ(bridge.child().process().state(), QProcess::Running);
}

// Without VANTREL_LAN_ADDRESS the bridge finds its addresses. Only inside a
// network of its own (a user and network namespace with a veth pair), so that
// nothing listens on this machine's network; skipped where the machine does
// not allow one.
TEST(VantrelProcess, FindsItsLocalNetworkAddressesAndFollowsInterfaceChanges) {
  Child probe;
  if (probe.run(QStringLiteral("unshare"), {QStringLiteral("-rn"), QStringLiteral("ip"), QStringLiteral("link"),
                                             QStringLiteral("add"), QStringLiteral("va"), QStringLiteral("type"),
                                             QStringLiteral("veth"), QStringLiteral("peer"), QStringLiteral("name"),
                                             QStringLiteral("vb")}) != 0)
    GTEST_SKIP() << "no network namespace with a veth pair on this machine";
  Child inside;
  inside.env().remove(QStringLiteral("VANTREL_LAN_ADDRESS"));
  inside.env().insert(QStringLiteral("VANTREL_PORT"), QString::number(freePort()));
  inside.env().insert(QStringLiteral("BRIDGE"), bridgeExecutable(inside.home()));
  inside.env().insert(QStringLiteral("SCODE"), startupArgument());
  // Private IPv4 on one end, unique-local IPv6 on the other, loopback up; a
  // second private address once the test says so. The bridge dies with the shell.
  const QString script = QStringLiteral(
      "set -e; ip link add va type veth peer name vb; ip addr add 10.77.0.1/24 dev va;"
      "ip addr add fd77::1/64 dev vb nodad; ip link set lo up; ip link set va up; ip link set vb up;"
      "setpriv --pdeathsig KILL \"$BRIDGE\" \"$SCODE\" & pid=$!; trap 'kill $pid' EXIT;"
      "read go; ip addr add 10.77.0.9/24 dev vb; wait $pid");
  ASSERT_TRUE(inside.start(QStringLiteral("unshare"), {QStringLiteral("-rn"), QStringLiteral("sh"), QStringLiteral("-c"), script}));
  const QRegularExpression on(QStringLiteral("local-network route on (https://10\\.77\\.0\\.1:(\\d+)) (https://\\S+)"));
  QRegularExpressionMatch first;
  ASSERT_TRUE(spinUntil([&] { return (first = on.match(QString::fromUtf8(inside.output()))).hasMatch(); }, 10s))
      << inside.output().toStdString();
  const QString port = first.captured(2);
  EXPECT_EQ(first.captured(3), QStringLiteral("https://[fd77::1]:") + port);  // private IPv4 first
  EXPECT_FALSE(inside.output().contains("127.0.0.1:" + port.toLatin1()));
  // A new address on the interfaces: served on the same port at the next look.
  inside.process().write("go\n");
  const QRegularExpression now(QStringLiteral("local-network addresses now: ([^\n]+)"));
  EXPECT_TRUE(spinUntil(
      [&] {
        for (auto lines = now.globalMatch(QString::fromUtf8(inside.output())); lines.hasNext();) {
          const QString urls = lines.next().captured(1) + QLatin1Char(' ');
          if (urls.contains(QStringLiteral("https://10.77.0.9:") + port + QLatin1Char(' ')) &&
              urls.contains(QStringLiteral("https://10.77.0.1:") + port + QLatin1Char(' ')))
            return true;
        }
        return false;
      },
      20s))
      << inside.output().toStdString();
}
