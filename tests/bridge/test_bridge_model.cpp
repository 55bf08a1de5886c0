// Account record, payload and envelope forms, lenient JSON reading, the peer
// link's session and token prefixes, and the bridge executable choice.
#include "bridge/bridge_supervisor.h"
#include "bridge/env.h"
#include "bridge/envelope.h"
#include "core/json_read.h"
#include "bridge/login.h"
#include "bridge/payloads.h"
#include "bridge/peer_link.h"
#include "bridge/user_info.h"

#include <QRegularExpression>
#include <QSignalSpy>

#include <gtest/gtest.h>

namespace {

using vex::Json;

TEST(UserInfoTest, DefaultsBeforeAnyLoginAndReplacement) {
  const auto user = UserInfo::shared();
  EXPECT_EQ(user->name_acc, QStringLiteral("Anonymous"));
  EXPECT_EQ(user->hostname, QStringLiteral("*"));
  EXPECT_EQ(user->mbr_type, 1);
  EXPECT_EQ(user->limit_uspeed, 1024);
  EXPECT_EQ(user->limit_dspeed, 1024);
  EXPECT_EQ(user->limit_upc, 1);
  EXPECT_EQ(user->limit_dpc, 1);
  EXPECT_EQ(user->limit_hostname, 8);
  EXPECT_EQ(user->maxsharecount, 1);
  EXPECT_TRUE(user->Token.isEmpty());
  EXPECT_EQ(Env::ActiveBridgeTime, 0u);
  EXPECT_EQ(Env::ReconnectTickCounter, 0);
  EXPECT_EQ(Env::AppVersion, QStringLiteral(ZARKELO_APP_VERSION));

  const Json tree = user->toJSONModel();
  EXPECT_EQ(tree.size(), 21u);
  EXPECT_EQ(tree["hostname"], "*");
  EXPECT_EQ(tree["isAnonymous"], false);

  QSignalSpy changed(UserInfoEvents::instance(), &UserInfoEvents::sharedUserChanged);
  auto next = std::make_shared<UserInfo>();
  next->name_acc = QStringLiteral("bo");
  UserInfo::setShared(next);
  EXPECT_EQ(changed.count(), 1);
  EXPECT_EQ(UserInfo::shared()->name_acc, QStringLiteral("bo"));
  UserInfo::setShared(std::make_shared<UserInfo>());
}

TEST(PayloadTest, WireForms) {
  EXPECT_EQ(BlankMsg{}.toJSONString(), std::optional<std::string>(R"({"m":""})"));

  GetShareFileListJson probe;
  probe.dir = QStringLiteral("/");
  probe.iPageIndex = 1;
  probe.iPageSize = 50;
  probe.iProbeCount = 1;
  const Json p = probe.toJSONModel();
  EXPECT_EQ(p, Json::parse(R"({"dir":"/","search":"","filters":"","orderBy":"","iIconLoadSize":"",
                               "iPageIndex":1,"iPageSize":50,"iProbeCount":1,"iPreFetchIcon":0})"));

  BuildIcon2 icons;
  icons.size = 48;
  icons.fileList << QStringLiteral("/a/b.jpg|3|1|-1");
  EXPECT_EQ(icons.toJSONModel(), Json::parse(R"({"size":48,"fileList":["/a/b.jpg|3|1|-1"]})"));

  // A fresh request envelope carries an empty BlankMsg as its data.
  EXPECT_EQ(WSDCMsgJson{}.toJSONModel(),
            Json::parse(R"({"Session":"","Code":"","Token":"","ClientID1":"","ClientID2":"","ClientIDRemote":"",
                            "IsProcessOnBridge":"","Data":{"m":""}})"));

  const LoginAccount login = MakeLoginAccount(QStringLiteral("a@b.c"), QStringLiteral("pw"));
  EXPECT_EQ(login.toJSONModel(), Json::parse(R"({"Id_acc":"a@b.c","Password":"pw","Device":"IPhone",
      "isCheckAccOnly":"0","Relogin":false,"Version":")" ZARKELO_APP_VERSION R"(","Source":"IOS"})"));
}

TEST(EnvelopeTest, TextAndObjectData) {
  const Envolope text(JsonMsg(QStringLiteral("Login"), Json(std::string(R"({"a":"q\"/"})"))));
  EXPECT_EQ(*text.toJSONString(),
            R"({"Id_user1":"","Id_user2":"","Msg":{"Code":"Login","Data":"{\"a\":\"q\\\"\/\"}"},)"
            R"("UUID":"","VType":"WinContrlSet->"})");
  const Envolope object(JsonMsg(QStringLiteral("WSDC"), BlankMsg{}.toJSONModel()));
  EXPECT_EQ(Json::parse(*object.toJSONString())["Msg"]["Data"], Json::parse(R"({"m":""})"));
}

TEST(JsonReadTest, LenientReads) {
  const Json v = Json::parse(R"({"s":"x","n":12,"f":2.5,"b":true,"ns":" 42 ","o":{"k":1},"bad":"zz"})");
  EXPECT_EQ(jsonread::text(v, "s"), QStringLiteral("x"));
  EXPECT_EQ(jsonread::text(v, "n"), QStringLiteral("12"));
  EXPECT_EQ(jsonread::text(v, "b"), QStringLiteral("true"));
  EXPECT_EQ(jsonread::text(v, "o"), QString());
  EXPECT_EQ(jsonread::text(v, "missing"), QString());
  EXPECT_EQ(jsonread::integer(v, "n"), 12);
  EXPECT_EQ(jsonread::integer(v, "f"), 2);
  EXPECT_EQ(jsonread::integer(v, "b"), 1);
  EXPECT_EQ(jsonread::integer(v, "ns"), 42);
  EXPECT_EQ(jsonread::integer(v, "bad"), 0);
  EXPECT_EQ(jsonread::integer(Json::parse("[1]"), "n"), 0);
  EXPECT_EQ(jsonread::integer(Json(1e300)), std::numeric_limits<int64_t>::max());

  EXPECT_FALSE(jsonread::parse("{\"a\":"));
  EXPECT_FALSE(jsonread::parse(std::string(10000, '[') + std::string(10000, ']')));
  EXPECT_TRUE(jsonread::parse(std::string(100, '[') + std::string(100, ']')));
}

TEST(PeerLinkTest, PrefixesAndSession) {
  EXPECT_TRUE(ClientWSDC().startsWith(QStringLiteral("ClientWSDC")));
  EXPECT_TRUE(P2PClient().startsWith(QStringLiteral("P2PClient")));
  EXPECT_GT(ClientWSDC().size(), QStringLiteral("ClientWSDC").size());
  EXPECT_EQ(ClientWSDC(), ClientWSDC());  // fixed for the run
  EXPECT_NE(ClientWSDC().mid(10), P2PClient().mid(9));

  EXPECT_TRUE(SetRemoteSession(QStringLiteral("A|B|C")));
  EXPECT_EQ(Env::RemoteClientID1, QStringLiteral("A"));
  EXPECT_EQ(Env::RemoteClientID2, QStringLiteral("B"));
  EXPECT_EQ(Env::RemoteSession, QStringLiteral("A|B|C"));
  EXPECT_TRUE(Env::RemoteConnected);

  Env::RemoteULocal = QStringLiteral("u");
  EXPECT_FALSE(SetRemoteSession(QStringLiteral("lonely")));
  EXPECT_EQ(Env::RemoteSession, QStringLiteral("A|B|C"));
  EXPECT_EQ(Env::RemoteULocal, QStringLiteral("u"));
  EXPECT_TRUE(SetRemoteSession(QStringLiteral("X|Y")));
  EXPECT_TRUE(Env::RemoteULocal.isEmpty());
}

TEST(SupervisorTest, ExecutableChoiceAndStartupArgument) {
  using namespace bridgesupervisor;
  EXPECT_EQ(bridgeExecutableNameFor(cpuTypeNameFor(QStringLiteral("arm64"))), QStringLiteral("Vantrel"));
  EXPECT_EQ(bridgeExecutableNameFor(cpuTypeNameFor(QStringLiteral("x86_64"))), QStringLiteral("Vantrel_amd"));
  EXPECT_EQ(cpuTypeNameFor(QStringLiteral("riscv64")), QString());
  EXPECT_EQ(bridgeExecutableNameFor(QString()), QStringLiteral("Vantrel_amd"));
  const QString arg = startupArgument();
  EXPECT_TRUE(arg.startsWith(QStringLiteral("-scode=")));
  EXPECT_TRUE(QRegularExpression(QStringLiteral("^-scode=[0-9A-F]{32}$")).match(arg).hasMatch());
}

}  // namespace
