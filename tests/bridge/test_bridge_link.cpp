// The bridge connection, frame writers, dispatcher and request/reply layer
// against a scripted bridge endpoint inside the test.
#include "bridge_test_support.h"
#include "fake_bridge_server.h"
#include "log_capture.h"

#include "bridge/bridge_supervisor.h"
#include "bridge/login.h"
#include "bridge/payloads.h"
#include "bridge/peer_link.h"
#include "support/test_util.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QElapsedTimer>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QThread>

#include <gtest/gtest.h>

#include <memory>
#include <thread>
#include <vector>

namespace {

using vex::Json;
using bridgetest::frame;

// A quiet spell, only for checks that something does NOT happen; what must
// happen is waited for.
void settle(int ms = 50) {
  testutil::idleFor(std::chrono::milliseconds(ms));
}

Json sentData(const QString& text) { return Json::parse(text.toStdString())["Msg"]["Data"]; }
QString sentCode(const QString& text) {
  return QString::fromStdString(Json::parse(text.toStdString())["Msg"]["Code"].get<std::string>());
}

class BridgeLinkTest : public ::testing::Test {
 protected:
  void SetUp() override {
    bridgetest::resetState();
    server = std::make_unique<FakeBridgeServer>();
    Env::BridgePort = server->port();
  }
  void TearDown() override {
    bridgetest::resetState();
    server.reset();
    settle(10);
  }
  bool connectBridge() {
    ConnectBridge();
    return testutil::waitUntil([] { return Env::BridgeConnected; });
  }
  bool waitFrames(qsizetype n) {
    return testutil::waitUntil([&] { return server->frames.size() >= n; });
  }
  void connectPeer(const char* id1, const char* id2) {
    Env::RemoteConnected = true;
    Env::RemoteClientID1 = QString::fromUtf8(id1);
    Env::RemoteClientID2 = QString::fromUtf8(id2);
    Env::RemoteSession = Env::RemoteClientID1 + QLatin1Char('|') + Env::RemoteClientID2;
  }

  std::unique_ptr<FakeBridgeServer> server;
};

TEST_F(BridgeLinkTest, ConnectsPresentsSecretAndKeepsFlagAfterDisconnect) {
  Env::BridgeSecret = QStringLiteral("S3CRET");
  bool versionCheckStarted = false;
  bridgelink::setVersionCheckStarter([&] { versionCheckStarted = true; });
  LogCapture log;
  const auto before = uint64_t(QDateTime::currentSecsSinceEpoch());
  ASSERT_TRUE(connectBridge());
  const auto after = uint64_t(QDateTime::currentSecsSinceEpoch());

  EXPECT_EQ(Env::ReconnectTickCounter, -1);
  EXPECT_GE(Env::ActiveBridgeTime, before);
  EXPECT_LE(Env::ActiveBridgeTime, after);  // the time of the connection, however long it took
  EXPECT_TRUE(versionCheckStarted);
  ASSERT_EQ(server->secretHeaders.size(), 1);
  EXPECT_EQ(server->secretHeaders[0], QByteArray("S3CRET"));
  const QStringList lines = log.lines();
  const qsizetype banner = lines.indexOf(QStringLiteral("******  Vantrel Is Connected!  ******"));
  ASSERT_GT(banner, 0);
  EXPECT_EQ(lines[banner - 1], QString(44, QLatin1Char('-')));
  EXPECT_EQ(lines[banner + 1], QString(44, QLatin1Char('-')));
  EXPECT_TRUE(log.contains(QStringLiteral("...Waiting for client login...")));

  ConnectBridge();
  EXPECT_TRUE(log.contains(QStringLiteral("Bridge Already Connected!!")));

  // A disconnect is only logged; the flag stays until the next restart.
  server->closeClient();
  ASSERT_TRUE(testutil::waitUntil(
      [&] { return log.contains(QStringLiteral("websocket is disconnected: bye with code: 1000")); }));
  EXPECT_TRUE(Env::BridgeConnected);
  settle();
  EXPECT_TRUE(server->frames.isEmpty());

  // Without a secret no header is sent.
  Env::BridgeConnected = false;
  Env::BridgeSecret.clear();
  ASSERT_TRUE(connectBridge());
  ASSERT_EQ(server->hadSecretHeader.size(), 2);
  EXPECT_FALSE(server->hadSecretHeader[1]);
}

TEST_F(BridgeLinkTest, SilentListenerIsGivenUpAfterTheHandshakeTimeOut) {
  QTcpServer silent;  // accepts, never answers the handshake
  ASSERT_TRUE(silent.listen(QHostAddress::LocalHost, 0));
  Env::BridgePort = silent.serverPort();
  LogCapture log;
  QElapsedTimer clock;
  clock.start();
  ConnectBridge();
  ASSERT_TRUE(testutil::waitUntil([&] { return log.contains(QStringLiteral("handshake timed out")); },
                                  std::chrono::seconds(10)));
  EXPECT_GE(clock.elapsed(), bridgelink::kHandshakeTimeoutMs - 250);
  EXPECT_FALSE(Env::BridgeConnected);

  // The next attempt replaces the socket and succeeds against a live bridge.
  Env::BridgePort = server->port();
  EXPECT_TRUE(connectBridge());
}

TEST_F(BridgeLinkTest, RelogsInOnConnectOnlyWithEmailAndPassword) {
  auto user = std::make_shared<UserInfo>();
  user->email = QStringLiteral("a@b.c");
  UserInfo::setShared(user);
  {
    LogCapture log;
    ASSERT_TRUE(connectBridge());
    EXPECT_TRUE(log.contains(QStringLiteral("...Waiting for client login...")));
    settle();
    EXPECT_TRUE(server->frames.isEmpty());
  }

  user->password = QStringLiteral("p\"w/");
  Env::BridgeConnected = false;
  LogCapture log;
  ASSERT_TRUE(connectBridge());
  ASSERT_TRUE(waitFrames(1));
  EXPECT_TRUE(log.contains(QStringLiteral("Host Try To Relogin...")));
  EXPECT_EQ(server->frames[0].toStdString(),
            R"({"Id_user1":"","Id_user2":"","Msg":{"Code":"Login","Data":"{\"Device\":\"IPhone\",)"
            R"(\"Id_acc\":\"a@b.c\",\"Password\":\"p\\\"w\\\/\",\"Relogin\":false,\"Source\":\"IOS\",)"
            R"(\"Version\":\")" ZARKELO_APP_VERSION R"(\",\"isCheckAccOnly\":\"0\"}"},"UUID":"","VType":"WinContrlSet->"})");
}

TEST_F(BridgeLinkTest, BothFrameFormsByteForByte) {
  SendToBridge(QStringLiteral("ClientInit"), QStringLiteral("{}"));  // not connected: nothing written
  ASSERT_TRUE(connectBridge());
  SendToBridge(QStringLiteral("ClientInit"), QStringLiteral(R"({"Hostname":"h\"q"})"));
  SendObjectToBridge(QStringLiteral("WSDC"), Json{{"k", "v/"}, {"n", 3}});
  ASSERT_TRUE(waitFrames(2));
  EXPECT_EQ(server->frames[0].toStdString(),
            R"({"Id_user1":"","Id_user2":"","Msg":{"Code":"ClientInit","Data":"{\"Hostname\":\"h\\\"q\"}"},)"
            R"("UUID":"","VType":"WinContrlSet->"})");
  EXPECT_EQ(server->frames[1].toStdString(),
            R"({"Id_user1":"","Id_user2":"","Msg":{"Code":"WSDC","Data":{"k":"v\/","n":3}},)"
            R"("UUID":"","VType":"WinContrlSet->"})");

  // The request layer: fire-and-forget carries the envelope as text, a waiting
  // request as a nested object; bridge requests carry "-".
  connectPeer("PEER", "ME");
  auto user = std::make_shared<UserInfo>();
  user->ClientID = QStringLiteral("ME");
  UserInfo::setShared(user);
  P2PClientMsg::SendMsgToP2PClient(QStringLiteral("Trans3_FC_00_Cancel"), Trans3_FC_00_Cancel_Msg{}, false);
  P2PClientMsg::SendMsgToRemote(QStringLiteral("getFileList"), GetShareFileListJson{}, true, QStringLiteral("NO"));
  ASSERT_TRUE(waitFrames(4));
  EXPECT_EQ(sentCode(server->frames[2]), QStringLiteral("P2PClientControl"));
  const Json text = sentData(server->frames[2]);
  ASSERT_TRUE(text.is_string());
  const Json cancel = Json::parse(text.get<std::string>());
  EXPECT_EQ(cancel["IsProcessOnBridge"], "-");
  EXPECT_EQ(cancel["Data"], Json::parse(R"({"Session":""})"));
  EXPECT_TRUE(QString::fromStdString(cancel["Token"]).startsWith(P2PClient()));

  EXPECT_EQ(sentCode(server->frames[3]), QStringLiteral("WSDC"));
  const Json request = sentData(server->frames[3]);
  ASSERT_TRUE(request.is_object());
  EXPECT_EQ(request["Session"], "PEER|ME");
  EXPECT_EQ(request["ClientIDRemote"], "PEER");  // the first id is not ours
  EXPECT_EQ(request["IsProcessOnBridge"], "NO");
  const QString token = QString::fromStdString(request["Token"]);
  ASSERT_TRUE(token.startsWith(ClientWSDC()));
  const QString uuid = token.mid(ClientWSDC().size());
  EXPECT_EQ(uuid.size(), 36);
  EXPECT_EQ(uuid, uuid.toUpper());
  EXPECT_TRUE(PendingTasks.contains(token));
}

TEST_F(BridgeLinkTest, WaitingRequestsAnsweredOutOfOrder) {
  ASSERT_TRUE(connectBridge());
  connectPeer("ME", "PEER");
  auto user = std::make_shared<UserInfo>();
  user->ClientID = QStringLiteral("ME");
  UserInfo::setShared(user);

  std::vector<std::pair<QString, Json>> answers;
  auto recordAs = [&](const char* name) {
    return [&answers, name](const std::optional<Json>& reply) {
      answers.emplace_back(QString::fromUtf8(name), reply.value_or(Json("absent")));
    };
  };
  LogCapture log;
  P2PClientMsg::SendMsgToRemote(QStringLiteral("getFileList"), GetShareFileListJson{}, true, QStringLiteral("NO"),
                                recordAs("A"));
  P2PClientMsg::SendMsgToRemote(QStringLiteral("CheckHost"), BlankMsg{}, true, QStringLiteral("NO"), recordAs("B"));
  CallHttpInfo call;
  call.URL = QStringLiteral("https://x/");
  call.Timeout = 5;
  P2PClientMsg::SendMsgToP2PClient(QStringLiteral("CallHttp"), call, true, recordAs("C"));
  ASSERT_TRUE(waitFrames(3));
  std::vector<std::string> tokens;
  for (const QString& f : server->frames) tokens.push_back(sentData(f)["Token"]);
  EXPECT_EQ(sentData(server->frames[0])["ClientIDRemote"], "PEER");
  EXPECT_EQ(sentData(server->frames[2])["Data"]["Timeout"], 5);

  server->send(frame("P2PCLIENT", Json{{"Type", "CallHttp"}, {"Token", tokens[2]}, {"Msg", "body"}}));
  server->send(frame("WSDC", Json{{"Token", tokens[1]}, {"Code", "CheckHost"}, {"Msg", {{"data", "t"}}}}));
  server->send(frame("WSDC", Json{{"Token", tokens[0]}, {"Code", "getFileList"}}));  // no "Msg"
  ASSERT_TRUE(testutil::waitUntil([&] { return answers.size() == 3; }));
  EXPECT_EQ(answers[0], std::make_pair(QStringLiteral("C"), Json("body")));
  EXPECT_EQ(answers[1], std::make_pair(QStringLiteral("B"), Json{{"data", "t"}}));
  EXPECT_EQ(answers[2], std::make_pair(QStringLiteral("A"), Json()));
  EXPECT_TRUE(PendingTasks.isEmpty());

  const QStringList lines = log.lines();
  EXPECT_TRUE(lines.contains(QStringLiteral("SendMsgToRemote - getFileList")));
  EXPECT_TRUE(lines.contains(QStringLiteral("SendMsgToRemote - getFileList - Back!!!")));
  EXPECT_TRUE(lines.contains(QStringLiteral("SendMsgToP2PClient - CallHttp")));
  EXPECT_TRUE(lines.contains(QStringLiteral("SendMsgToP2PClient - back - CallHttp")));
  EXPECT_FALSE(log.contains(QStringLiteral("CheckHost")));  // the liveness check is quiet
}

TEST_F(BridgeLinkTest, SendsFromAWorkerThreadAreWrittenOnTheMainThread) {
  ASSERT_TRUE(connectBridge());
  QThread* handlerThread = nullptr;
  std::thread worker([&] {
    SendToBridge(QStringLiteral("ClientInit"), QStringLiteral("{}"));
    P2PClientMsg::SendMsgToP2PClient(QStringLiteral("CallHttp"), CallHttpInfo{}, true,
                                     [&](const std::optional<Json>&) { handlerThread = QThread::currentThread(); });
  });
  worker.join();
  ASSERT_TRUE(waitFrames(2));
  EXPECT_EQ(sentCode(server->frames[0]), QStringLiteral("ClientInit"));
  const Json request = sentData(server->frames[1]);
  server->send(frame("P2PCLIENT", Json{{"Token", request["Token"]}, {"Msg", "ok"}}));
  ASSERT_TRUE(testutil::waitUntil([&] { return handlerThread != nullptr; }));
  EXPECT_EQ(handlerThread, QCoreApplication::instance()->thread());
}

TEST_F(BridgeLinkTest, ReplyHandlerRunsOnceAfterTheDispatcherReturns) {
  Env::BridgeConnected = true;  // no socket: frames are dropped, entries are kept
  int calls = 0;
  Json got;
  P2PClientMsg::SendMsgToP2PClient(QStringLiteral("GetLanHttp"), BlankMsg{}, true,
                                   [&](const std::optional<Json>& reply) {
                                     ++calls;
                                     got = *reply;
                                   });
  ASSERT_EQ(PendingTasks.size(), 1);
  const std::string token = PendingTasks.keys().first().toStdString();
  BridgeMessage::DoMsg(frame("P2PCLIENT", Json{{"Token", token}, {"Msg", "first"}}));
  BridgeMessage::DoMsg(frame("P2PCLIENT", Json{{"Token", token}, {"Msg", "second"}}));
  EXPECT_EQ(calls, 0);
  ASSERT_TRUE(testutil::waitUntil([&] { return calls > 0; }, std::chrono::seconds(30)));
  settle();  // and no second call
  EXPECT_EQ(calls, 1);
  EXPECT_EQ(got, Json("second"));
  EXPECT_TRUE(PendingTasks.isEmpty());
}

TEST_F(BridgeLinkTest, RepliesForUnknownOrForeignTokens) {
  std::vector<Json> requests;
  setHostRequestHandler([&](const Json& f) { requests.push_back(f); });
  Env::BridgeConnected = true;
  int calls = 0;
  P2PClientMsg::SendMsgToP2PClient(QStringLiteral("GetLanHttp"), BlankMsg{}, true,
                                   [&](const std::optional<Json>&) { ++calls; });
  const QString pending = PendingTasks.keys().first();
  const std::string uuidPart = pending.mid(P2PClient().size()).toStdString();

  LogCapture log;
  // A "WSDC" reply with this run's prefix that nobody waits for is dropped,
  // never served as a request.
  const std::string stale = (ClientWSDC() + QStringLiteral("0B2F6E1C-0000-0000-0000-000000000000")).toStdString();
  BridgeMessage::DoMsg(frame("WSDC", Json{{"Token", stale}, {"Code", "getShareInfo"}, {"Msg", {{"data", 1}}}}));
  EXPECT_TRUE(log.contains(QStringLiteral("Inalid WSDC Back Data")));
  // Tokens of other runs and empty tokens are requests of remote clients.
  BridgeMessage::DoMsg(frame("WSDC", Json{{"Token", "ClientWSDCx" + uuidPart}, {"Code", "PING"}}));
  BridgeMessage::DoMsg(frame("WSDC", Json{{"Code", "ValidInfo"}, {"Session", "A|B"}}));
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_EQ(requests[0]["Code"], "PING");
  EXPECT_EQ(requests[1]["Session"], "A|B");

  // "P2PCLIENT": a reply of another run does not reach the table; one with our
  // prefix that nobody waits for vanishes without a word.
  const QString before = log.text();
  BridgeMessage::DoMsg(frame("P2PCLIENT", Json{{"Token", "P2PClient1" + uuidPart}, {"Type", "GetLanHttp"}}));
  EXPECT_TRUE(log.contains(QStringLiteral("P2PClientMsg - DoMsg - Msg Not Process - GetLanHttp")));
  const QString afterForeign = log.text();
  BridgeMessage::DoMsg(frame("P2PCLIENT", Json{{"Token", (P2PClient() + QStringLiteral("X")).toStdString()},
                                               {"Type", "Whatever"}}));
  EXPECT_EQ(log.text(), afterForeign);
  settle();
  EXPECT_EQ(calls, 0);
  EXPECT_TRUE(PendingTasks.contains(pending));
  EXPECT_NE(before, afterForeign);
}

TEST_F(BridgeLinkTest, RequestRefusedWhileNotConnected) {
  ASSERT_TRUE(connectBridge());
  LogCapture log;
  std::vector<Json> got;
  auto record = [&](const std::optional<Json>& reply) { got.push_back(reply.value_or(Json("absent"))); };
  P2PClientMsg::SendMsgToRemote(QStringLiteral("getShareInfo"), GetShareInfoJson{}, true, QStringLiteral("NO"),
                                record);
  P2PClientMsg::SendMsgToRemote(QStringLiteral("SyncTransState"), BlankMsg{}, false, QStringLiteral("NO"), record);
  EXPECT_TRUE(got.empty());  // queued, not run inside the caller
  EXPECT_TRUE(PendingTasks.isEmpty());
  ASSERT_TRUE(testutil::waitUntil([&] { return got.size() >= 2; }, std::chrono::seconds(30)));
  ASSERT_EQ(got.size(), 2u);
  EXPECT_EQ(got[0], Json(""));
  EXPECT_EQ(got[1], Json(""));
  const QStringList lines = log.lines();
  ASSERT_GE(lines.size(), 2);
  EXPECT_EQ(lines[0], QStringLiteral("SendMsgToRemote - getShareInfo"));
  EXPECT_EQ(lines[1], QStringLiteral("Remote not connected! Can not send message!!"));
  EXPECT_TRUE(server->frames.isEmpty());

  // With the bridge down a waiting request keeps its entry but is not written,
  // and its handler never runs.
  Env::BridgeConnected = false;
  bool called = false;
  P2PClientMsg::SendMsgToP2PClient(QStringLiteral("PingBridge"), BlankMsg{}, true,
                                   [&](const std::optional<Json>&) { called = true; });
  P2PClientMsg::SendMsgToP2PClient(QStringLiteral("Trans3_FC_00_Cancel"), BlankMsg{}, false);
  settle();
  EXPECT_FALSE(called);
  EXPECT_EQ(PendingTasks.size(), 1);
  EXPECT_TRUE(server->frames.isEmpty());
}

TEST_F(BridgeLinkTest, BridgeThatStopsAnsweringIsRestartedAndItsRequestsDropped) {
  ASSERT_TRUE(connectBridge());
  int calls = 0;
  for (int i = 0; i < 2; ++i)
    P2PClientMsg::SendMsgToP2PClient(QStringLiteral("PingBridge"), BlankMsg{}, true,
                                     [&](const std::optional<Json>&) { ++calls; });
  ASSERT_TRUE(waitFrames(2));
  const std::string token = sentData(server->frames[0])["Token"];
  settle(200);
  EXPECT_EQ(calls, 0);
  EXPECT_EQ(PendingTasks.size(), 2);

  // The restart that the liveness rule makes: no executable in the folder here.
  QTemporaryDir emptyFolder;
  Env::AppRunPath = emptyFolder.path();
  Env::EnvMode = 2;
  LogCapture log;
  RestartBridge();
  EXPECT_TRUE(Env::BridgeConnected);
  ASSERT_TRUE(testutil::waitUntil([] { return !Env::BridgeConnected; }));
  EXPECT_TRUE(PendingTasks.isEmpty());
  EXPECT_EQ(Env::ReconnectTickCounter, 0);
  EXPECT_TRUE(log.contains(QStringLiteral("Vantrel cannot be launched, no executable at")));

  // A late answer to a dropped request is not delivered.
  BridgeMessage::DoMsg(frame("P2PCLIENT", Json{{"Token", token}, {"Msg", "late"}}));
  settle();
  EXPECT_EQ(calls, 0);
  Env::AppRunPath.clear();
}

TEST_F(BridgeLinkTest, BadInputIsLoggedAndDropped) {
  int dispatched = 0;
  setHostRequestHandler([&](const Json&) { ++dispatched; });
  setHostFunctionHandler([&](const Json&) { ++dispatched; });
  const std::string deep = std::string(100000, '[') + std::string(100000, ']');
  const std::vector<std::pair<QString, QString>> cases = {
      {QStringLiteral("not json"), QStringLiteral("Json error!")},
      // Values that are not texts read as the empty text (numbers as their own text).
      {QStringLiteral("[1,2]"), QStringLiteral("BridgeMessage - DoMsg - Msg Not Process - \n\n")},
      {QStringLiteral(R"({"Data":"{}"})"), QStringLiteral("BridgeMessage - DoMsg - Msg Not Process - \n{}\n")},
      {QStringLiteral(R"({"Code":["Pong"],"Data":"{}"})"), QStringLiteral("Msg Not Process - \n{}\n")},
      {QStringLiteral(R"({"Code":5,"Data":"{}"})"), QStringLiteral("Msg Not Process - 5\n{}\n")},
      {QStringLiteral(R"({"Code":"Nope","Data":{"a":1}})"), QStringLiteral("Msg Not Process - Nope\n\n")},
      {QStringLiteral(R"({"Code":"WSDC"})"), QStringLiteral("Json error!")},
      {QStringLiteral(R"({"Code":"WSDC","Data":{"Token":"x"}})"), QStringLiteral("Json error!")},
      {QStringLiteral(R"({"Code":"pong","Data":"{}"})"), QStringLiteral("Msg Not Process - pong")},
      {QStringLiteral(R"({"Code":"Nope","Data":"xyz"})"), QStringLiteral("Msg Not Process - Nope\nxyz")},
      {QStringLiteral(R"({"Code":"WSDC","Data":"nope"})"), QStringLiteral("Json error!")},
      {QStringLiteral(R"({"Code":"WSDC","Data":"[1]"})"), QStringLiteral("Data is not a JSON object")},
      {QStringLiteral(R"({"Code":"P2PCLIENT","Data":"zz"})"), QStringLiteral("P2PClientMsg - DoMsg - Json error!zz")},
      {QStringLiteral(R"({"Code":"P2PCallHostFunc","Data":"{"})"), QStringLiteral("DoMsg_P2PCall - DoMsg - Json error!")},
      {QString::fromStdString(deep), QStringLiteral("Json error!")},
      {QString(bridgelink::kMaxFrameBytes + 1, QLatin1Char(' ')), QStringLiteral("Frame too large")},
  };
  for (const auto& [input, expected] : cases) {
    LogCapture log;
    BridgeMessage::DoMsg(input);
    EXPECT_TRUE(log.contains(expected)) << input.left(60).toStdString() << " logged: " << log.text().toStdString();
  }
  {
    LogCapture log;
    BridgeMessage::DoMsgBytes(QByteArray("{\"Code\":\"WSDC\",\"Data\":\"\xff\xfe\"}"));
    EXPECT_TRUE(log.contains(QStringLiteral("Json error!")));
  }
  {
    // Ignored codes have no effect whatever their data.
    LogCapture log;
    BridgeMessage::DoMsg(QStringLiteral(R"({"Code":"Pong","Data":5})"));
    BridgeMessage::DoMsg(QStringLiteral(R"({"Code":"LoginResultAnonymous"})"));
    EXPECT_TRUE(log.text().isEmpty());
  }
  settle();
  EXPECT_EQ(dispatched, 0);

  // Through the socket: a binary frame is counted, a huge one dropped.
  ASSERT_TRUE(connectBridge());
  LogCapture log;
  server->client()->sendBinaryMessage(QByteArray("12345"));
  server->send(QString(bridgelink::kMaxFrameBytes + 1, QLatin1Char('x')));
  ASSERT_TRUE(testutil::waitUntil([&] { return log.contains(QStringLiteral("Frame too large")); }));
  EXPECT_TRUE(log.contains(QStringLiteral("Received data: 5")));
  EXPECT_TRUE(Env::BridgeConnected);
}

class LoginViewSpy : public LoginViewHandle {
 public:
  void onLoginSucceeded(const QString& text, std::shared_ptr<UserInfo> user) override {
    successes.push_back({text, std::move(user)});
  }
  void onLoginFailed(qint64 pausedSeconds) override {
    ++failures;
    lastPause = pausedSeconds;
  }
  qint64 lastPause = 0;
  std::vector<std::pair<QString, std::shared_ptr<UserInfo>>> successes;
  int failures = 0;
};

TEST_F(BridgeLinkTest, LoginResultDecidedByTopLevelResult) {
  LoginViewSpy view;
  Env::LoginViewShared = &view;
  const auto initial = UserInfo::shared();
  const char* failures[] = {
      R"({"inner":{"Result":1,"x":2},"Result":0,"Token":"T"})",
      R"({"Result":"1","Token":"T"})",
      "not json, \"Result\":1,",
      R"(["Result",1])",
  };
  for (const char* text : failures) BridgeMessage::DoMsg(frame("LoginResult", Json(text)));
  EXPECT_EQ(view.failures, 4);
  // A result whose data is no text fails at once rather than at the login time-out.
  BridgeMessage::DoMsg(QStringLiteral(R"({"Code":"LoginResult","Data":{"Result":1,"Token":"T"}})"));
  BridgeMessage::DoMsg(QStringLiteral(R"({"Code":"LoginResult"})"));
  EXPECT_EQ(view.failures, 6);
  EXPECT_TRUE(view.successes.empty());
  EXPECT_EQ(UserInfo::shared(), initial);

  LogCapture log;
  const std::string full = R"({"Result":1,"ACC":7,"name_acc":"Bo","rooturl":"bo.host","ClientID":"C1",)"
                           R"("Token":"T","limit":{"maxsharecount":5,"limit_dpc":3,"mbr_type":2}})";
  DoMsg_LoginResult(QString::fromStdString(full));
  ASSERT_EQ(view.successes.size(), 1u);
  const auto user = UserInfo::shared();
  EXPECT_EQ(view.successes[0].second, user);
  EXPECT_EQ(view.successes[0].first.toStdString(), full);
  EXPECT_EQ(user->id_acc, 7);
  EXPECT_EQ(user->name_acc, QStringLiteral("Bo"));
  EXPECT_EQ(user->hostname, QStringLiteral("bo.host"));
  EXPECT_EQ(user->rooturl, QStringLiteral("bo.host"));
  EXPECT_EQ(user->ClientID, QStringLiteral("C1"));
  EXPECT_EQ(user->Token, QStringLiteral("T"));
  EXPECT_EQ(user->maxsharecount, 5);
  EXPECT_EQ(user->limit_dpc, 3);
  EXPECT_EQ(user->mbr_type, 2);
  EXPECT_EQ(user->limit_uspeed, 1024);
  EXPECT_TRUE(log.contains(QStringLiteral("Host Login Succeeded")));

  // Blanks and key order do not matter; missing keys give empty values, not defaults.
  DoMsg_LoginResult(QStringLiteral(R"({"Token":"U", "Result" : 1})"));
  ASSERT_EQ(view.successes.size(), 2u);
  const auto second = UserInfo::shared();
  EXPECT_NE(second, user);
  EXPECT_EQ(second->hostname, QString());
  EXPECT_EQ(second->name_acc, QString());
  EXPECT_EQ(second->maxsharecount, 0);
  EXPECT_EQ(second->mbr_type, 0);

  // Without a login view the result is still taken and nothing breaks.
  Env::LoginViewShared = nullptr;
  DoMsg_LoginResult(QStringLiteral(R"({"Result":1,"Token":"V"})"));
  DoMsg_LoginResult(QStringLiteral(R"({"Result":2})"));
  EXPECT_EQ(UserInfo::shared()->Token, QStringLiteral("V"));
}

class OwnerSpy : public RemoteFileListHandle, public ViewContactHandle {
 public:
  void updateRemoteConResult(ConStatus status, const PeerLink& link) override {
    browser.push_back(status);
    links.push_back(link.session);
  }
  void OnClientInitResult(ConStatus status, const PeerLink&) override { contact.push_back(status); }
  std::vector<ConStatus> browser, contact;
  std::vector<QString> links;  // of the browser's results
};

TEST_F(BridgeLinkTest, PeerConnectionResultsReachTheOwner) {
  OwnerSpy owner;
  Env::RemoteFileListShared = &owner;
  Env::ViewContactShared = &owner;
  auto me = std::make_shared<UserInfo>();
  me->ClientID = QStringLiteral("ME");
  UserInfo::setShared(me);
  ASSERT_TRUE(connectBridge());
  QStringList inits;  // the attempts written to the bridge, by owner
  auto open = [&](LinkOwner who, const char* name) {
    linkattempts::open(who, [&inits, name] { inits << QString::fromLatin1(name); });
  };

  auto linkTo = [](const char* peer) {
    return Json{{"Type", "GetShareHost6Client"},
                {"Msg", {{"Result", 1}, {"ulocal", "l"}, {"uremote", "r"}, {"ClientID1", "ME"},
                         {"ClientID2", peer}, {"uname", "n"}, {"source", "s"}}}};
  };
  // The bridge opens the link; returns the "ClientTouch" written on it.
  auto linkOpened = [&](const char* peer) {
    LogCapture log;
    const qsizetype n = server->frames.size() + 1;
    server->send(frame("P2PCLIENT", linkTo(peer)));
    EXPECT_TRUE(waitFrames(n));
    const QStringList lines = log.lines();
    const qsizetype got = lines.indexOf(QStringLiteral("Got GetShareHost6Client"));
    EXPECT_GE(got, 0);
    EXPECT_EQ(lines.value(got + 1), QStringLiteral("SendMsgToRemote - ClientTouch"));
    const Json touch = sentData(server->frames.last());
    EXPECT_EQ(touch["Code"], "ClientTouch");
    EXPECT_EQ(touch["Session"], "ME|" + std::string(peer));
    EXPECT_EQ(touch["ClientIDRemote"], peer);
    EXPECT_EQ(touch["Data"], Json::parse(R"({"m":""})"));
    return touch;
  };
  auto answerTouch = [&](const Json& touch, const Json& data) {
    Json reply = {{"Token", touch["Token"]}, {"Code", "ClientTouch"}};
    if (!data.is_null()) reply["Msg"] = {{"data", data}};
    server->send(frame("WSDC", reply));
  };

  open(LinkOwner::browser, "browser");
  answerTouch(linkOpened("PEER"), Json{{"UPC", 5}, {"SC", 5}});
  ASSERT_TRUE(testutil::waitUntil([&] { return owner.browser.size() == 1; }));
  EXPECT_EQ(owner.browser[0], ConStatus::csMaxClients);
  EXPECT_EQ(owner.links[0], QStringLiteral("ME|PEER"));
  EXPECT_TRUE(Env::RemoteConnected);
  EXPECT_EQ(Env::RemoteSession, QStringLiteral("ME|PEER"));
  EXPECT_EQ(Env::RemoteULocal, QStringLiteral("l"));
  EXPECT_EQ(Env::RemoteUName, QStringLiteral("n"));
  EXPECT_EQ(Env::RemoteSource, QStringLiteral("s"));

  // An answer without the host's load (no "data", or a field missing) is a
  // host that cannot be reached, not a full one.
  open(LinkOwner::browser, "browser");
  answerTouch(linkOpened("PEER"), Json());
  ASSERT_TRUE(testutil::waitUntil([&] { return owner.browser.size() == 2; }));
  EXPECT_EQ(owner.browser[1], ConStatus::csInvalid);
  open(LinkOwner::browser, "browser");
  answerTouch(linkOpened("PEER"), Json{{"UPC", 5}});
  ASSERT_TRUE(testutil::waitUntil([&] { return owner.browser.size() == 3; }));
  EXPECT_EQ(owner.browser[2], ConStatus::csInvalid);

  // Two attempts overlap: the send's waits for the browser's answer; each
  // load check answers its own attempt, whichever comes back first.
  open(LinkOwner::browser, "browser");
  open(LinkOwner::contactSend, "send");
  EXPECT_EQ(inits, QStringList(4, QStringLiteral("browser")));
  const Json hostTouch = linkOpened("HOST");
  EXPECT_EQ(inits.last(), QStringLiteral("send"));
  const Json contactTouch = linkOpened("ANN");
  answerTouch(contactTouch, Json{{"UPC", 5}, {"SC", 4}});
  ASSERT_TRUE(testutil::waitUntil([&] { return owner.contact.size() == 1; }));
  EXPECT_EQ(owner.contact[0], ConStatus::csConnected);
  // Connected: the host's LAN address is asked for next.
  ASSERT_TRUE(testutil::waitUntil([&] { return sentCode(server->frames.last()) == QStringLiteral("P2PClientControl"); }));
  const Json lan = sentData(server->frames.last());
  EXPECT_EQ(lan["Code"], "GetLanHttp");
  server->send(frame("P2PCLIENT", Json{{"Token", lan["Token"]}, {"Msg", "http://10.0.0.2:8080"}}));
  ASSERT_TRUE(testutil::waitUntil([] { return !Env::RemoteLanHttp.isEmpty(); }));
  EXPECT_EQ(Env::RemoteLanHttp, QStringLiteral("http://10.0.0.2:8080"));
  answerTouch(hostTouch, Json{{"UPC", 5}, {"SC", 4}});
  ASSERT_TRUE(testutil::waitUntil([&] { return owner.browser.size() == 4; }));
  EXPECT_EQ(owner.links[3], QStringLiteral("ME|HOST"));
  // A repeated answer tells nobody twice.
  answerTouch(contactTouch, Json{{"UPC", 5}, {"SC", 4}});
  settle();
  EXPECT_EQ(owner.contact.size(), 1u);
  EXPECT_EQ(owner.browser.size(), 4u);

  // Failed links leave the link state alone.
  const qsizetype written = server->frames.size();
  open(LinkOwner::contactSend, "send");
  BridgeMessage::DoMsg(frame("P2PCLIENT", Json{{"Type", "GetShareHost6Client"},
                                               {"Msg", {{"Result", 0}, {"ClientID1", "X"}, {"ClientID2", "Y"}}}}));
  open(LinkOwner::contactSend, "send");
  BridgeMessage::DoMsg(frame("P2PCLIENT", Json{{"Type", "P2PConFailed"}}));
  EXPECT_EQ(owner.contact, (std::vector<ConStatus>{ConStatus::csConnected, ConStatus::csInvalid, ConStatus::csInvalid}));
  EXPECT_EQ(Env::RemoteSession, QStringLiteral("ME|ANN"));

  // No attempt under way, an attempt given up, or a screen gone: statuses are dropped.
  BridgeMessage::DoMsg(frame("P2PCLIENT", Json{{"Type", "P2PConFailed"}}));
  open(LinkOwner::contactSend, "send");
  linkattempts::withdraw(LinkOwner::contactSend);
  BridgeMessage::DoMsg(frame("P2PCLIENT", Json{{"Type", "P2PConFailed"}}));
  open(LinkOwner::browser, "browser");
  Env::RemoteFileListShared = nullptr;
  BridgeMessage::DoMsg(frame("P2PCLIENT", Json{{"Type", "P2PConFailed"}}));
  EXPECT_EQ(owner.contact.size(), 3u);
  EXPECT_EQ(owner.browser.size(), 4u);
  settle();
  EXPECT_EQ(server->frames.size(), written);
}

TEST_F(BridgeLinkTest, HostSideHooksGetParsedFrames) {
  {
    LogCapture log;
    BridgeMessage::DoMsg(frame("WSDC", Json{{"Token", "T"}, {"Code", "PING"}}));
    BridgeMessage::DoMsg(frame("P2PCallHostFunc", Json{{"Session", "A|B"}}));
    EXPECT_TRUE(log.contains(QStringLiteral("DoMsg_WSDC - no host side installed, request dropped - PING")));
    EXPECT_TRUE(log.contains(QStringLiteral("DoMsg_P2PCall - no host side installed")));
  }
  std::vector<Json> requests, calls;
  setHostRequestHandler([&](const Json& f) { requests.push_back(f); });
  setHostFunctionHandler([&](const Json& f) { calls.push_back(f); });
  const Json request = {{"Token", "T"}, {"Session", "A|B"}, {"Code", "getFileList"}, {"Msg", {{"dir", "/"}}}};
  const Json call = {{"Session", "A|B"}, {"TxtMsg", R"({"Token":"t"})"}};
  BridgeMessage::DoMsg(frame("WSDC", request));
  BridgeMessage::DoMsg(frame("P2PCallHostFunc", call));
  ASSERT_EQ(requests.size(), 1u);
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_EQ(requests[0], request);
  EXPECT_EQ(calls[0], call);
}

}  // namespace
