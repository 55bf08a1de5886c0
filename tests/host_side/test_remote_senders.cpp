// The senders of the remote-sharing and contact screens, and the bridge
// request of the receive panel, as frames on a scripted bridge.
#include <gtest/gtest.h>

#include "bridge/bridge_link.h"
#include "bridge/env.h"
#include "bridge/fake_bridge_server.h"
#include "host_side/host_dispatcher.h"
#include "host_side/host_replies.h"
#include "remote_sharing/saved_hosts.h"
#include "bridge/user_info.h"
#include "support/test_util.h"

namespace {

struct Sent {
  std::string code;
  vex::Json data;  // "Data", parsed when it came as text
};

class RemoteSendersTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Env::EnvMode = 1;
    Env::BridgeSecret.clear();
    Env::BridgePort = bridge.port();
    auto user = std::make_shared<UserInfo>();
    user->Token = QStringLiteral("tok-1");
    user->ClientID = QStringLiteral("me");
    UserInfo::setShared(user);
    ConnectBridge();
    ASSERT_TRUE(testutil::waitUntil([] { return Env::BridgeConnected; }));
    Env::RemoteConnected = true;
    Env::RemoteSession = QStringLiteral("me|host");
    Env::RemoteClientID1 = QStringLiteral("me");
    Env::RemoteClientID2 = QStringLiteral("host");
  }
  void TearDown() override {
    bridgelink::dropSocket();
    Env::BridgeConnected = false;
    Env::RemoteConnected = false;
  }

  // The next frame the client wrote.
  Sent next() {
    const qsizetype seen = seen_;
    testutil::waitUntil([&] { return bridge.frames.size() > seen; });
    if (bridge.frames.size() <= seen) return {};
    const vex::Json frame = vex::Json::parse(bridge.frames[seen_++].toStdString());
    Sent sent{frame["Msg"]["Code"].get<std::string>(), frame["Msg"]["Data"]};
    if (sent.data.is_string()) sent.data = vex::Json::parse(sent.data.get<std::string>());
    return sent;
  }

  FakeBridgeServer bridge;
  qsizetype seen_ = 0;
};

TEST_F(RemoteSendersTest, FramesCarryTheirPayloads) {
  HelperRemoteSharing::ClientInit(QStringLiteral("ann-host"), QStringLiteral("AB12"), QStringLiteral("p'w"));
  Sent init = next();
  EXPECT_EQ(init.code, "ClientInit");
  EXPECT_EQ(init.data,
            (vex::Json{{"Id_user", "tok-1"}, {"Hostname", "ann-host"}, {"Hosttag", "AB12"}, {"Hostpassword", "p'w"}}));

  HelperRemoteSharing::getFileList(QStringLiteral("/srv/x"), 2, 50, [](const auto&) {});
  Sent list = next();
  EXPECT_EQ(list.code, "WSDC");
  EXPECT_EQ(list.data["Code"], "getFileList");
  EXPECT_EQ(list.data["Session"], "me|host");
  EXPECT_EQ(list.data["IsProcessOnBridge"], "NO");
  EXPECT_EQ(list.data["Data"], (vex::Json{{"dir", "/srv/x"},
                                          {"search", ""},
                                          {"filters", ""},
                                          {"orderBy", ""},
                                          {"iIconLoadSize", ""},
                                          {"iPageIndex", 2},
                                          {"iPageSize", 50},
                                          {"iProbeCount", 0},
                                          {"iPreFetchIcon", 0}}));

  HelperRemoteSharing::WaitRemoteReceiveFiles(QStringLiteral("u-7"), QStringLiteral("Ann"), QStringLiteral("2 files"),
                                              [](const auto&) {});
  Sent offer = next();
  EXPECT_EQ(offer.data["Code"], "WaitRemoteReceiveFiles");
  EXPECT_EQ(offer.data["Data"],
            (vex::Json{{"Session", "me|host"}, {"Summary", "2 files"}, {"FromUser", "Ann"}, {"UUID", "u-7"}}));

  WorkingItem item;
  item.Size = 12;
  item.Path = QStringLiteral("/home/a/f.txt");
  item.PathSave = QStringLiteral("f.txt");
  HelperRemoteSharing::StartRemoteUpload({item}, [](const auto&) {});
  Sent upload = next();
  EXPECT_EQ(upload.code, "P2PClientControl");
  EXPECT_EQ(upload.data["Code"], "StartRemoteUpload");
  EXPECT_EQ(upload.data["Data"]["ClientID2"], "host");
  EXPECT_EQ(upload.data["Data"]["FileList"],
            vex::Json::array({{{"Size", 12}, {"IsDir", false}, {"Path", "/home/a/f.txt"}, {"PathSave", "f.txt"}}}));

  // A contact's offer resets the bridge's upload state of its session, then
  // the reply goes out as a "WSDC" frame of its own.
  hostside::handleRequest({{"Token", "T9"},
                           {"Session", "bob|me"},
                           {"Code", "WaitRemoteReceiveFiles"},
                           {"Msg", {{"Session", "bob|me"}, {"UUID", "u"}}}});
  Sent reset = next();
  EXPECT_EQ(reset.code, "P2PClientControl");
  EXPECT_EQ(reset.data["Code"], "ResetRemoteUploadStatus_FromLocal");
  EXPECT_EQ(reset.data["Data"], (vex::Json{{"Session", "bob|me"}}));
  Sent answer = next();
  EXPECT_EQ(answer.code, "WSDC");
  EXPECT_EQ(answer.data["Token"], "T9");
  EXPECT_EQ(answer.data["Data"], (vex::Json{{"data", "1"}}));
}

}  // namespace
