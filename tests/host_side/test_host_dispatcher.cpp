#include <gtest/gtest.h>

#include <QClipboard>
#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QGuiApplication>
#include <QImage>
#include <QTemporaryDir>

#include "bridge/env.h"
#include "bridge/fake_main_view.h"
#include "host_side/host_dispatcher.h"
#include "host_side/host_turns.h"
#include "host_side/host_handlers.h"
#include "host_side/host_replies.h"
#include "bridge/user_info.h"
#include "core/util_db.h"
#include "host_side/file_listing.h"
#include "host_side/share_access.h"
#include "local_sharing/share_store.h"
#include "support/test_util.h"

namespace {

struct Frame {
  QString code;
  vex::Json data;  // the parsed frame text
};

class HostDispatcherTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(tmp.isValid());
    ASSERT_TRUE(UtilDB::openAt(tmp.filePath(QStringLiteral("kelvor.dat"))));
    auto user = std::make_shared<UserInfo>();
    user->id_acc = 42;
    user->ClientID = QStringLiteral("me");
    user->name_acc = QStringLiteral("Ann");
    user->limit_dpc = 3;
    user->hostname = QStringLiteral("ann");
    UserInfo::setShared(user);
    hostside::setFrameSink([this](const QString& code, const QString& text) {
      frames.push_back({code, vex::Json::parse(text.toStdString(), nullptr, false)});
    });
    Env::PingTimes.clear();
    Env::MainViewShared = nullptr;

    share = tmp.filePath(QStringLiteral("share"));
    QDir().mkpath(share + QStringLiteral("/sub"));
    QDir().mkpath(tmp.filePath(QStringLiteral("outside")));
    writeFile(share + QStringLiteral("/a.txt"), "hello");
    writeFile(tmp.filePath(QStringLiteral("outside/secret.txt")), "secret");
    QImage image(64, 48, QImage::Format_RGB32);
    image.fill(Qt::red);
    image.save(share + QStringLiteral("/pic.png"));

    SharingObj obj;
    obj.tag = QStringLiteral("SHR1");
    obj.path = share;
    obj.setSharePassword(QStringLiteral("Code1"));
    obj.isfiledel = true;
    obj.isfilenew = true;
    obj.isupload = true;
    ASSERT_TRUE(insertShare(obj));
    // The sessions of these tests proved the share's code.
    ShareAccess::shared().forgetAll();
    ASSERT_TRUE(ShareAccess::shared().tryCode(QStringLiteral("peer|me"), QString(), QStringLiteral("SHR1"),
                                              QStringLiteral("Code1")));
    ASSERT_TRUE(ShareAccess::shared().tryCode(QStringLiteral("s|me"), QString(), QStringLiteral("SHR1"),
                                              QStringLiteral("Code1")));
  }

  void TearDown() override {
    hostside::setFrameSink(nullptr);
    Env::MainViewShared = nullptr;
    UtilDB::reset();
  }

  static void writeFile(const QString& path, const QByteArray& bytes) {
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write(bytes);
  }

  // Sends one request and gives the frames it produced once its turn came.
  std::vector<Frame> request(const char* code, vex::Json msg = vex::Json::object(), const char* session = "peer|me",
                             const char* token = "T1") {
    frames.clear();
    vex::Json frame = {{"Token", token}, {"Session", session}, {"Code", code},
                       {"Msg", std::move(msg)}, {"ClientID1", "x"}, {"ClientID2", "y"}};
    frame.update(from);
    hostside::handleRequest(frame);
    testutil::waitUntil([] { return hostside::waitingHostWork() == 0; });
    return frames;
  }
  // The "Data" of the one reply to a request in `session`.
  vex::Json replyIn(const char* session, const char* code, vex::Json msg = vex::Json::object()) {
    const auto out = request(code, std::move(msg), session);
    EXPECT_EQ(out.size(), 1u) << code << " " << session;
    return out.size() == 1 ? out[0].data["Data"] : vex::Json();
  }

  // The reply's "Data" of a request answered at once.
  vex::Json reply(const char* code, vex::Json msg = vex::Json::object()) {
    const auto out = request(code, std::move(msg));
    EXPECT_EQ(out.size(), 1u) << code;
    if (out.size() != 1) return {};
    EXPECT_EQ(out[0].code, QStringLiteral("WSDC"));
    EXPECT_EQ(out[0].data["Code"], code);
    EXPECT_EQ(out[0].data["Token"], "T1");
    EXPECT_EQ(out[0].data["Session"], "peer|me");
    EXPECT_EQ(out[0].data["ClientIDRemote"], "peer");
    return out[0].data["Data"];
  }

  // The reply of a request answered later.
  vex::Json laterReply(const char* code, vex::Json msg) {
    request(code, std::move(msg));
    testutil::waitUntil([this] { return !frames.empty(); }, std::chrono::seconds(10));
    EXPECT_EQ(frames.size(), 1u) << code;
    return frames.empty() ? vex::Json() : frames[0].data["Data"];
  }

  QTemporaryDir tmp;
  QString share;
  std::vector<Frame> frames;
  // What the bridge says of the asking account; another account than Ann's (42).
  vex::Json from = {{"PeerACC", "7"}, {"PeerName", "Bob"}};
};

TEST_F(HostDispatcherTest, EnvelopeTakesClientIdsFromTheSession) {
  struct Case {
    const char* session;
    const char* id1;
    const char* id2;
    const char* remote;
  };
  for (const Case c :
       {Case{"me|peer", "me", "peer", "peer"}, Case{"peer|me", "peer", "me", "peer"}, Case{"a||b", "a", "b", "a"},
        Case{"me||b", "me", "b", "b"}, Case{"single", "single", "", "single"}, Case{"", "", "", ""},
        Case{"|", "", "", ""}, Case{"me", "me", "", ""}}) {
    const auto out = request("PING", vex::Json::object(), c.session, "tok");
    ASSERT_EQ(out.size(), 1u) << c.session;
    const vex::Json& back = out[0].data;
    EXPECT_EQ(back["ClientID1"], c.id1) << c.session;
    EXPECT_EQ(back["ClientID2"], c.id2) << c.session;
    EXPECT_EQ(back["ClientIDRemote"], c.remote) << c.session;
    EXPECT_EQ(back["Session"], c.session);
    EXPECT_EQ(back.size(), 7u);
  }
  // A frame that is not even an object has no code: logged, not answered.
  frames.clear();
  hostside::handleRequest(vex::Json::array());
  EXPECT_TRUE(frames.empty());
}

TEST_F(HostDispatcherTest, FirstContactReplies) {
  const vex::Json touch = reply("ClientTouch");
  EXPECT_EQ(touch["data"]["UPC"], 3);
  EXPECT_EQ(touch["data"]["SC"], 0);
  EXPECT_EQ(touch["data"]["OS"], "IOS");
  const QString local = QString::fromStdString(touch["data"]["Local"].get<std::string>());
  EXPECT_TRUE(local.endsWith(QStringLiteral("/Kelvor/Downloads")));
  EXPECT_TRUE(QDir(local).exists());
  // A session that proved no code learns nothing of this machine's folders.
  EXPECT_EQ(replyIn("other|me", "ClientTouch")["data"]["Local"], "");
  // Whether the host's bridge may announce its local-network addresses: only
  // while some enabled share allows the route.
  EXPECT_EQ(touch["data"]["TransLAN"], "1");
  auto shares = loadShares(QStringLiteral("SHR1"), false, false);
  ASSERT_EQ(shares.size(), 1);
  shares.first()->isTranLAN = false;
  ASSERT_TRUE(saveShare(*shares.first()));
  EXPECT_EQ(reply("ClientTouch")["data"]["TransLAN"], "0");

  const vex::Json hand = reply("HostHandShake");
  EXPECT_EQ(hand, (vex::Json{{"data", "Ann"}, {"os", "macos"}, {"device", "MacPC"}, {"clipboard", "1"}}));
  UtilDB::setValue(QStringLiteral("IsClipboard"), QStringLiteral("0"));
  EXPECT_EQ(reply("HostHandShake")["clipboard"], "0");
  UtilDB::setValue(QStringLiteral("IsClipboard"), QStringLiteral("yes"));
  EXPECT_EQ(reply("HostHandShake")["clipboard"], "1");

  EXPECT_EQ(
      reply("ValidInfo"),
      (vex::Json{
          {"data",
           {{"IsHostValid", true}, {"IsCanUpDown", true}, {"IsCanReceiveFile", true}, {"SP_DownloadNow", true}}}}));
  EXPECT_EQ(reply("PING"), (vex::Json{{"data", "PONG"}}));
  EXPECT_EQ(request("SaveLog").size(), 0u);
  EXPECT_EQ(request("getFileExtInfo").size(), 0u);
  EXPECT_EQ(request("ping").size(), 0u);  // codes compare exactly
  EXPECT_EQ(request("NoSuchCode").size(), 0u);
}

TEST_F(HostDispatcherTest, SessionCountKeepsOnlyRecentPings) {
  request("PING", vex::Json::object(), "a|me");
  request("PING", vex::Json::object(), "a|me");
  request("PING", vex::Json::object(), "b|me");
  EXPECT_EQ(reply("ClientTouch")["data"]["SC"], 2);
  const uint64_t now = uint64_t(QDateTime::currentSecsSinceEpoch());
  Env::PingTimes[QStringLiteral("gone|me")] = now - 61;
  Env::PingTimes[QStringLiteral("edge|me")] = now - 60;
  EXPECT_EQ(hostside::activeSessionCount(now), 3);
  EXPECT_EQ(hostside::activeSessionCount(now + 3600), 0);
}

TEST_F(HostDispatcherTest, ShareRequests) {
  const QString ctime = getShareCTime(QStringLiteral("SHR1"));
  EXPECT_EQ(reply("CheckHost", {{"tag", "shr1"}}), (vex::Json{{"data", ctime.toStdString()}}));
  EXPECT_EQ(reply("CheckHost", {{"tag", "nope"}}), (vex::Json{{"data", ""}}));
  EXPECT_EQ(reply("CheckHost", vex::Json::object()), (vex::Json{{"data", ""}}));  // no default share

  EXPECT_EQ(reply("checkAccessCode", {{"tag", "SHR1"}, {"password", "code1"}}), (vex::Json{{"data", true}}));
  EXPECT_EQ(reply("checkAccessCode", {{"tag", "SHR1"}, {"password", "x' or '1'='1"}}), (vex::Json{{"data", false}}));

  EXPECT_EQ(reply("getShareInfo", {{"tag", "SHR1"}, {"pass", "bad"}, {"isweb", "0"}}),
            (vex::Json{{"data", vex::Json::array()}}));
  const vex::Json own = reply("getShareInfo", {{"tag", "SHR1"}, {"pass", "CODE1"}, {"isweb", 0}});
  ASSERT_EQ(own["data"].size(), 1u);
  const vex::Json& wire = own["data"][0];
  EXPECT_EQ(wire.size(), 26u);
  EXPECT_EQ(wire["password"], "Code1");
  EXPECT_EQ(wire["path"], share.toStdString());
  EXPECT_EQ(wire["isfiledel"], 1);
  EXPECT_EQ(wire["isfilenew"], 0);  // never filled
  EXPECT_EQ(wire["days"], 31);
  EXPECT_EQ(wire["tagURL"], "");
  const vex::Json web = reply("getShareInfo", {{"tag", "SHR1"}});
  ASSERT_EQ(web["data"].size(), 1u);
  EXPECT_EQ(web["data"][0]["password"], "????????");
  EXPECT_EQ(web["data"][0]["path"], share.toStdString());

  // A session that proved nothing: the share with a code answers "CheckHost"
  // as a missing one, and the web lookup shows no folder and no settings.
  EXPECT_EQ(replyIn("other|me", "CheckHost", {{"tag", "shr1"}}), (vex::Json{{"data", ""}}));
  const vex::Json blind = replyIn("other|me", "getShareInfo", {{"tag", "SHR1"}, {"isweb", "1"}});
  ASSERT_EQ(blind["data"].size(), 1u);
  EXPECT_EQ(blind["data"][0].size(), 26u);
  EXPECT_EQ(blind["data"][0]["tag"], "SHR1");
  EXPECT_EQ(blind["data"][0]["password"], "????????");
  EXPECT_EQ(blind["data"][0]["path"], "");
  EXPECT_EQ(blind["data"][0]["ctime"], "");
  EXPECT_EQ(blind["data"][0]["isfiledel"], 0);
  EXPECT_EQ(blind["data"][0]["isupload"], 0);
}

TEST_F(HostDispatcherTest, FileListReplyIsNotWrapped) {
  const vex::Json page =
      reply("getFileList",
            {{"dir", share.toStdString()}, {"iPageIndex", 1}, {"iPageSize", "2"}, {"orderBy", ""}, {"filters", "*"}});
  EXPECT_EQ(page["sResult"], "OK");
  EXPECT_EQ(page["sPageInfo"], "3|2");
  EXPECT_EQ(page["index"], "");
  EXPECT_EQ(page["iProbeCount"], 0);
  ASSERT_EQ(page["data"].size(), 2u);
  EXPECT_EQ(page["data"][0]["name"], "sub");
  EXPECT_EQ(page["data"][1]["name"], "a.txt");
  EXPECT_EQ(page.size(), 5u);

  const vex::Json probe = reply("getFileList", {{"dir", share.toStdString()}, {"iProbeCount", 1}});
  EXPECT_EQ(
      probe,
      (vex::Json{
          {"data", vex::Json::array()}, {"sResult", "OK"}, {"sPageInfo", ""}, {"index", "3"}, {"iProbeCount", 1}}));

  for (const QString& dir : {tmp.filePath(QStringLiteral("outside")), share + QStringLiteral("/../outside"),
                             QStringLiteral("/etc"), QString()}) {
    const vex::Json refused = reply("getFileList", {{"dir", dir.toStdString()}, {"iPageIndex", 1}, {"iPageSize", 50}});
    EXPECT_EQ(refused["sPageInfo"], "0|0") << dir.toStdString();
    EXPECT_TRUE(refused["data"].empty());
  }
}

TEST_F(HostDispatcherTest, LargeFolderIsListedOffTheMainThread) {
  const QString big = share + QStringLiteral("/big");
  QDir().mkpath(big);
  for (int i = 0; i < 3000; ++i) writeFile(big + QStringLiteral("/file_with_a_longer_name_%1.dat").arg(i), {});
  FileListRequest bigFolder;
  bigFolder.setLocalFolder(big);
  ASSERT_TRUE(isLargeFolder(bigFolder));
  const auto now = request("getFileList", {{"dir", big.toStdString()}, {"iPageIndex", 2}, {"iPageSize", 100}});
  EXPECT_TRUE(now.empty());  // answered later, from the worker's result
  ASSERT_TRUE(testutil::waitUntil([this] { return !frames.empty(); }, std::chrono::seconds(10)));
  const vex::Json page = frames[0].data["Data"];
  EXPECT_EQ(page["sPageInfo"], "3000|30");
  EXPECT_EQ(page["data"].size(), 100u);
  EXPECT_EQ(frames[0].data["Token"], "T1");
}

TEST_F(HostDispatcherTest, ThumbnailsAnswerWithJsonText) {
  const std::string inside = (share + QStringLiteral("/pic.png|4|1|-1")).toStdString();
  const std::string outside = tmp.filePath(QStringLiteral("outside/secret.txt|5")).toStdString();
  const vex::Json asText =
      laterReply("buildIcon2", {{"size", 48}, {"fileList", vex::Json::array({inside, outside}).dump()}});
  ASSERT_TRUE(asText["data"].is_string());
  const vex::Json records = vex::Json::parse(asText["data"].get<std::string>());
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0]["index"], 4);
  EXPECT_EQ(records[0]["iconBase64"].get<std::string>().rfind("data:image/jpg;base64,", 0), 0u);

  const vex::Json asArray = laterReply("buildIcon2", {{"size", 48}, {"fileList", vex::Json::array({inside})}});
  EXPECT_EQ(vex::Json::parse(asArray["data"].get<std::string>()).size(), 1u);
  EXPECT_EQ(reply("buildIcon2", {{"fileList", "{}"}}), (vex::Json{{"data", "[]"}}));
  EXPECT_TRUE(request("buildIcon2", {{"fileList", "not json"}}).empty());
}

TEST_F(HostDispatcherTest, TransferChecksAndFileOperations) {
  const vex::Json down = reply("fileDownloadCheck", {{"path", (share + QStringLiteral("/a.txt")).toStdString()}});
  EXPECT_EQ(
      down,
      (vex::Json{{"data", {{"path", (share + QStringLiteral("/a.txt")).toStdString()}, {"size", 5}, {"valid", 1}, {"TransLAN", "1"}}}}));
  const std::string secret = tmp.filePath(QStringLiteral("outside/secret.txt")).toStdString();
  EXPECT_EQ(reply("fileDownloadCheck", {{"path", secret}})["data"]["valid"], 0);
  EXPECT_EQ(reply("fileDownloadCheck", {{"path", secret}})["data"]["size"], 0);
  // A folder's files at once: one answer each, in order, the outside one refused.
  const vex::Json batch =
      reply("fileDownloadCheck", {{"paths", {(share + QStringLiteral("/a.txt")).toStdString(), secret}}});
  ASSERT_EQ(batch["data"].size(), 2u);
  EXPECT_EQ(batch["data"][0], down["data"]);
  EXPECT_EQ(batch["data"][1]["valid"], 0);

  const vex::Json up = reply("fileUploadCheck", {{"dir", share.toStdString()}, {"fileList", {"a.txt", "b.txt"}}});
  EXPECT_EQ(up, (vex::Json{{"data",
                            {{"dir", share.toStdString()},
                             {"size", 0},
                             {"valid", 1},
                             {"ctime", 0},
                             {"task", {{{"isExist", 1}, {"size", 5}}, {{"isExist", 0}, {"size", 0}}}},
                             {"TransLAN", "1"}}}}));
  EXPECT_TRUE(reply("fileUploadCheck", {{"dir", share.toStdString()}, {"fileList", "a.txt"}})["data"]["task"].empty());
  // A folder outside every share is not valid for an upload.
  EXPECT_EQ(reply("fileUploadCheck", {{"dir", tmp.filePath(QStringLiteral("outside")).toStdString()},
                                      {"fileList", vex::Json::array()}})["data"]["valid"], 0);

  EXPECT_EQ(reply("newFile_create", {{"dir", share.toStdString()}, {"name", "made"}}), vex::Json(""));
  EXPECT_TRUE(QDir(share + QStringLiteral("/made")).exists());
  EXPECT_EQ(reply("newFile_create", {{"dir", share.toStdString()}, {"name", "../escape"}}), vex::Json(""));
  EXPECT_FALSE(QDir(tmp.filePath(QStringLiteral("escape"))).exists());
  EXPECT_EQ(reply("newFile_create", {{"dir", share.toStdString()}, {"name", ""}}), vex::Json(""));

  const std::string list = (share + QStringLiteral("/made|") + share + QStringLiteral("|")).toStdString() + secret;
  EXPECT_EQ(reply("opFileList", {{"cmd", "delete"}, {"fileList", list}}), vex::Json("[]"));
  EXPECT_FALSE(QDir(share + QStringLiteral("/made")).exists());
  EXPECT_TRUE(QDir(share).exists());
  EXPECT_TRUE(QFile::exists(QString::fromStdString(secret)));
  EXPECT_EQ(reply("opFileList", {{"cmd", "copy"}, {"fileList", (share + QStringLiteral("/a.txt")).toStdString()}}),
            vex::Json("[]"));
  EXPECT_TRUE(QFile::exists(share + QStringLiteral("/a.txt")));
}

// What a session proved lasts until the bridge says the session closed; a
// session that proved nothing reaches nothing, until "getShareInfo" with the
// code opens the share to it.
TEST_F(HostDispatcherTest, SessionsReachTheShareOnlyWithTheCodeAndWhileOpen) {
  const std::string file = (share + QStringLiteral("/a.txt")).toStdString();
  auto valid = [&](const char* session) {
    const auto out = request("fileDownloadCheck", {{"path", file}}, session);
    return out.size() == 1 ? out[0].data["Data"]["data"]["valid"].get<int>() : -1;
  };
  EXPECT_EQ(valid("peer|me"), 1);
  EXPECT_EQ(valid("other|me"), 0);
  EXPECT_EQ(request("SessionClosed", vex::Json::object(), "peer|me").size(), 0u);
  EXPECT_EQ(valid("peer|me"), 0);
  EXPECT_EQ(valid("s|me"), 1);
  const auto info = request("getShareInfo", {{"tag", "shr1"}, {"pass", "CODE1"}, {"isweb", "0"}}, "other|me");
  ASSERT_EQ(info.size(), 1u);
  EXPECT_EQ(info[0].data["Data"]["data"].size(), 1u);
  EXPECT_EQ(valid("other|me"), 1);
}

// Only the user's own account reads the clipboard; a session that proved a
// share's code may also push; a stranger does neither and is answered as an
// empty clipboard would answer.
TEST_F(HostDispatcherTest, ClipboardIsTheOwnAccountsAndHonoursTheSwitch) {
  bridgetest::FakeMainView main;
  Env::MainViewShared = &main;
  QClipboard* board = QGuiApplication::clipboard();
  board->setText(QStringLiteral("before"));

  EXPECT_EQ(replyIn("other|me", "Clipboard", {{"Info", "stranger"}}), vex::Json("[]"));
  EXPECT_EQ(board->text(), QStringLiteral("before"));
  EXPECT_EQ(replyIn("other|me", "ClipboardGetText"), (vex::Json{{"data", ""}}));
  EXPECT_TRUE(main.toasts.isEmpty());

  EXPECT_EQ(reply("Clipboard", {{"Info", "abcdef"}}), vex::Json("[]"));
  EXPECT_EQ(board->text(), QStringLiteral("abcdef"));
  EXPECT_EQ(main.toasts.value(0), QStringLiteral("剪贴板已更新：abcde..."));
  EXPECT_EQ(reply("Clipboard", {{"Info", ""}}), vex::Json("[]"));
  EXPECT_EQ(board->text(), QStringLiteral("abcdef"));
  EXPECT_EQ(reply("ClipboardGetText"), (vex::Json{{"data", ""}}));

  from = {{"PeerACC", "42"}, {"PeerName", "Ann"}};  // the user's other device
  EXPECT_EQ(replyIn("other|me", "ClipboardGetText"), (vex::Json{{"data", "abcdef"}}));
  EXPECT_EQ(main.toasts.value(1), QStringLiteral("剪贴板已被远程获取"));
  EXPECT_EQ(replyIn("other|me", "Clipboard", {{"Info", "mine"}}), vex::Json("[]"));
  EXPECT_EQ(board->text(), QStringLiteral("mine"));

  UtilDB::setValue(QStringLiteral("IsClipboard"), QStringLiteral("0"));
  main.toasts.clear();
  EXPECT_EQ(reply("Clipboard", {{"Info", "pushed"}}), vex::Json("[]"));
  EXPECT_EQ(board->text(), QStringLiteral("mine"));
  EXPECT_EQ(reply("ClipboardGetText"), (vex::Json{{"data", ""}}));
  EXPECT_TRUE(main.toasts.isEmpty());

  EXPECT_EQ(hostside::clipboardPreview(QStringLiteral("abc")), QStringLiteral("abc"));
  EXPECT_EQ(hostside::clipboardPreview(QStringLiteral("abcde")), QStringLiteral("abcde"));
  EXPECT_EQ(hostside::clipboardPreview(
                QString::fromUtf8("\xe5\x89\xaa\xe8\xb4\xb4\xe6\x9d\xbf\xe5\xb7\xb2\xe6\x9b\xb4\xe6\x96\xb0")),
            QString::fromUtf8("\xe5\x89\xaa\xe8\xb4\xb4\xe6\x9d\xbf\xe5\xb7\xb2\xe6\x9b\xb4..."));
}

TEST_F(HostDispatcherTest, ReceivePanelRequests) {
  EXPECT_EQ(reply("WaitRemoteReceiveFilesPressButton"), (vex::Json{{"data", nullptr}}));
  EXPECT_EQ(request("WaitRemoteReceiveFilesCancel").size(), 0u);

  bridgetest::FakeMainView main;
  Env::MainViewShared = &main;
  main.panel.taskState = QStringLiteral("2");
  main.panel.Summary = QStringLiteral("old offer");
  Env::RemoteSession = QStringLiteral("me|host");
  // The sender is named as the relay names its account, not as it names itself.
  EXPECT_EQ(reply("WaitRemoteReceiveFiles",
                  {{"UUID", "u-1"}, {"Session", "bob|me"}, {"Summary", "3 files"}, {"FromUser", "<h1>Carol</h1>"}}),
            (vex::Json{{"data", "1"}}));
  EXPECT_TRUE(main.panel.isShowView);
  EXPECT_EQ(main.panel.Summary, QStringLiteral("3 files"));
  EXPECT_EQ(main.panel.FromUser, QStringLiteral("Bob"));
  EXPECT_EQ(main.panel.UUID, QStringLiteral("u-1"));
  EXPECT_EQ(main.panel.Session, QStringLiteral("bob|me"));
  EXPECT_EQ(main.panel.taskState, QStringLiteral("0"));
  EXPECT_EQ(main.panel.iCountDown, 30.0);
  EXPECT_EQ(main.panel.vrsState, ViewReceiveState::vrsWaiting);
  EXPECT_GE(main.panelChanges, 1);
  // The offer's session stays the panel's: this client's own link to a host is untouched.
  EXPECT_EQ(Env::RemoteSession, QStringLiteral("me|host"));

  EXPECT_EQ(reply("WaitRemoteReceiveFilesPressButton", {{"UUID", "other"}}), (vex::Json{{"data", "0"}}));
  main.panel.taskState = QStringLiteral("/home/x/in");
  main.panel.isOverwrite = false;
  EXPECT_EQ(reply("WaitRemoteReceiveFilesPressButton"), (vex::Json{{"data", "/home/x/in"}, {"Overwrite", false}}));
  // The accepted folder is for the session that made the offer only.
  const auto intruder = request("WaitRemoteReceiveFilesPressButton", vex::Json::object(), "intruder|me");
  ASSERT_EQ(intruder.size(), 1u);
  EXPECT_EQ(intruder[0].data["Data"], (vex::Json{{"data", "0"}}));

  // Another session cannot withdraw the offer.
  EXPECT_EQ(request("WaitRemoteReceiveFilesCancel", vex::Json::object(), "intruder|me").size(), 0u);
  EXPECT_TRUE(main.panel.isShowView);
  EXPECT_TRUE(main.toasts.isEmpty());
  EXPECT_EQ(request("WaitRemoteReceiveFilesCancel").size(), 0u);
  EXPECT_FALSE(main.panel.isShowView);
  EXPECT_EQ(main.toasts.size(), 1);

  // A long offer text is kept short.
  reply("WaitRemoteReceiveFiles", {{"UUID", "u-2"}, {"Session", "bob|me"}, {"Summary", std::string(5000, 's')}});
  EXPECT_EQ(main.panel.Summary.size(), CtlViewReceiveFile::kMaxTextChars);
}

TEST_F(HostDispatcherTest, HostFunctionCallsInBothShapes) {
  const std::string file = (share + QStringLiteral("/pic.png|9")).toStdString();
  const vex::Json payload = {{"size", 48}, {"fileList", vex::Json::array({file}).dump()}};
  const vex::Json nested = {{"Token", "tk"}, {"Msg", {{"Code", "buildIcon2"}, {"Msg", payload}}}};
  const vex::Json flat = {{"Token", "tk"}, {"Code", "buildIcon2"}, {"Msg", payload}};
  for (const vex::Json& call : {nested, flat}) {
    frames.clear();
    hostside::handleHostFunction({{"Session", "s|me"}, {"TxtMsg", call.dump()}});
    ASSERT_TRUE(testutil::waitUntil([this] { return !frames.empty(); })) << call.dump();
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0].code, QStringLiteral("P2PCallHostFuncCallback"));
    const vex::Json& back = frames[0].data;
    EXPECT_EQ(back["Code"], "buildIcon2");
    EXPECT_EQ(back["Session"], "s|me");
    EXPECT_EQ(back["Token"], "tk");
    ASSERT_TRUE(back["Data"]["data"].is_string());
    const vex::Json records = vex::Json::parse(back["Data"]["data"].get<std::string>());
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0]["index"], 9);
  }
  // Empty session and token are repeated as they came.
  frames.clear();
  hostside::handleHostFunction({{"TxtMsg", vex::Json{{"Code", "buildIcon2"}, {"Msg", {{"fileList", "[]"}}}}.dump()}});
  ASSERT_TRUE(testutil::waitUntil([this] { return !frames.empty(); }));
  ASSERT_EQ(frames.size(), 1u);
  EXPECT_EQ(frames[0].data,
            (vex::Json{{"Data", {{"data", "[]"}}}, {"Code", "buildIcon2"}, {"Session", ""}, {"Token", ""}}));

  frames.clear();
  hostside::handleHostFunction({{"Session", "s"}, {"TxtMsg", "not json"}});
  hostside::handleHostFunction({{"Session", "s"}, {"TxtMsg", vex::Json{{"Code", "other"}}.dump()}});
  hostside::handleHostFunction(vex::Json(5));
  QCoreApplication::processEvents();
  EXPECT_TRUE(frames.empty());
}

}  // namespace

namespace {

// Spends `ms` of the main thread, as a costly request would.
void busyFor(int ms) {
  QElapsedTimer clock;
  clock.start();
  while (clock.elapsed() < ms) {
  }
}

}  // namespace

// Accounts share the host by what their requests cost: behind one costly
// request of a flooding account, another account's cheap requests all go
// first; and an account whose answer is made on a worker has no further turn
// until that work is done.
TEST(HostTurns, AccountsShareByCostAndWaitForTheirWorkElsewhere) {
  std::vector<std::string> served;
  auto work = [&](const char* account, const char* session, int ms, std::function<void()> then = {}) {
    return hostside::HostWork{QString::fromLatin1(account), QString::fromLatin1(session), [&served, account, ms, then] {
                                busyFor(ms);
                                served.push_back(account);
                                if (then) then();
                              }, {}};
  };
  for (int i = 0; i < 3; ++i) ASSERT_TRUE(hostside::queueHostWork(work("eve", "e|h", 20)));
  for (int i = 0; i < 3; ++i) ASSERT_TRUE(hostside::queueHostWork(work("bob", "b|h", 0)));
  ASSERT_TRUE(testutil::waitUntil([] { return hostside::waitingHostWork() == 0; }));
  EXPECT_EQ(served, (std::vector<std::string>{"eve", "bob", "bob", "bob", "eve", "eve"}));

  served.clear();
  hostside::ElsewhereDone finish;
  ASSERT_TRUE(hostside::queueHostWork(work("eve", "e|h", 0, [&] { finish = hostside::continueElsewhere(); })));
  ASSERT_TRUE(hostside::queueHostWork(work("eve", "e|h", 0)));
  ASSERT_TRUE(testutil::waitUntil([&] { return !served.empty(); }));
  QCoreApplication::processEvents();
  ASSERT_TRUE(hostside::queueHostWork(work("bob", "b|h", 0)));
  ASSERT_TRUE(testutil::waitUntil([&] { return served.size() == 2; }));
  EXPECT_EQ(served.back(), "bob");
  EXPECT_EQ(hostside::waitingHostWork(), 1);  // Eve's second waits for her first
  finish(std::chrono::microseconds(0), 0);
  ASSERT_TRUE(testutil::waitUntil([] { return hostside::waitingHostWork() == 0; }));
  EXPECT_EQ(served, (std::vector<std::string>{"eve", "bob", "eve"}));
}

// A check the host's own bridge asks for a started transfer goes ahead of
// peers' requests and is not held by their spent share: behind a request
// that spent it (the turns then pause for most of a second), another
// account's check runs at once. And an account alone with its work, the host
// running no transfer, is not paused by the share at all.
TEST(HostTurns, TransferChecksGoFirstAndALoneAccountIsNotHeldBack) {
  std::vector<std::string> served;
  QElapsedTimer clock;
  qint64 checkAt = -1;
  auto work = [&](const char* account, int ms, bool check = false) {
    return hostside::HostWork{QString::fromLatin1(account), QString::fromLatin1(account) + QStringLiteral("|h"),
                              [&served, &clock, &checkAt, account, ms, check] {
                                busyFor(ms);
                                served.push_back(account);
                                if (check) checkAt = clock.elapsed();
                              },
                              {}, check};
  };
  ASSERT_TRUE(hostside::queueHostWork(work("eve", 400)));
  ASSERT_TRUE(hostside::queueHostWork(work("eve", 0)));
  ASSERT_TRUE(testutil::waitUntil([&] { return !served.empty(); }));
  clock.start();
  ASSERT_TRUE(hostside::queueHostWork(work("bob", 0, true)));
  ASSERT_TRUE(testutil::waitUntil([] { return hostside::waitingHostWork() == 0; }));
  EXPECT_EQ(served, (std::vector<std::string>{"eve", "bob", "eve"}));
  EXPECT_LT(checkAt, 200) << "the check waited for the requests' share";

  // Alone: twelve requests of 50 ms, far past the share's burst of 200 ms.
  served.clear();
  QElapsedTimer alone;
  alone.start();
  for (int i = 0; i < 12; ++i) ASSERT_TRUE(hostside::queueHostWork(work("ann", 50)));
  ASSERT_TRUE(testutil::waitUntil([] { return hostside::waitingHostWork() == 0; }, std::chrono::seconds(20)));
  EXPECT_EQ(served.size(), 12u);
  EXPECT_LT(alone.elapsed(), 1200) << "the account waited for the share while nobody else wanted the time";
}
