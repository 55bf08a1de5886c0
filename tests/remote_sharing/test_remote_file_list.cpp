// The file browser's controller against a scripted peer host behind the real
// bridge link: connection outcomes, paging, previews, liveness and replies the
// host gets wrong.
#include "fake_peer_host.h"

#include "bridge/fake_main_view.h"
#include "bridge/log_capture.h"
#include "core/localized.h"
#include "core/util_system.h"
#include "remote_sharing/remote_file_list.h"
#include "shell/main_view_shared.h"

#include <QBuffer>
#include <QtEndian>
#include <QImage>
#include <QTemporaryDir>

#include <gtest/gtest.h>

namespace {

using vex::Json;

Json entry(const std::string& name, int64_t size, bool isDir, const std::string& dir) {
  return {{"name", name}, {"size", size}, {"isDir", isDir}, {"fullPath", dir + "/" + name}, {"createdTime", 1700000000},
          {"iValid", 1}};
}

QString pngBase64(QColor colour) {
  QImage image(4, 4, QImage::Format_RGB32);
  image.fill(colour);
  QByteArray bytes;
  QBuffer buffer(&bytes);
  buffer.open(QIODevice::WriteOnly);
  image.save(&buffer, "PNG");
  return QStringLiteral("data:image/jpg;base64,") + QString::fromLatin1(bytes.toBase64());
}

// A picture's bytes as the host's "iconBase64" text.
std::string iconText(const QByteArray& bytes) {
  return "data:image/jpg;base64," + bytes.toBase64().toStdString();
}

QByteArray encoded(const QImage& image, const char* format) {
  QByteArray bytes;
  QBuffer buffer(&bytes);
  buffer.open(QIODevice::WriteOnly);
  image.save(&buffer, format);
  return bytes;
}

// A PNG that announces width x height pixels and holds none.
QByteArray pngHeaderOnly(quint32 width, quint32 height) {
  auto crc = [](const QByteArray& data) {
    quint32 c = 0xFFFFFFFFu;
    for (const char byte : data) {
      c ^= quint8(byte);
      for (int k = 0; k < 8; ++k) c = (c >> 1) ^ (0xEDB88320u & (0u - (c & 1u)));
    }
    return ~c;
  };
  auto u32 = [](quint32 v) { QByteArray b(4, '\0'); qToBigEndian(v, b.data()); return b; };
  auto chunk = [&](const QByteArray& type, const QByteArray& body) {
    return u32(quint32(body.size())) + type + body + u32(crc(type + body));
  };
  const QByteArray ihdr = u32(width) + u32(height) + QByteArray("\x08\x06\x00\x00\x00", 5);
  return QByteArray("\x89PNG\r\n\x1a\n", 8) + chunk("IHDR", ihdr) + chunk("IEND", {});
}

class RemoteFileListTest : public ::testing::Test {
 protected:
  void SetUp() override {
    bridgetest::resetState();
    Env::MainViewShared = &toasts;
    auto me = std::make_shared<UserInfo>();
    me->ClientID = QStringLiteral("ME");
    me->Token = QStringLiteral("TOK");
    UserInfo::setShared(me);
    host = std::make_unique<FakePeerHost>();
    ASSERT_TRUE(host->connectBridge());

    share = {{"tag", "pics"}, {"path", "/srv/share"}, {"isenabled", 1}, {"isfiledel", 1}, {"isdownload", 1},
             {"isupload", 0}};
    host->handlers[QStringLiteral("getShareInfo")] = [this](const Json& p) -> std::optional<Json> {
      if (p.value("pass", std::string()) != "secret") return Json{{"data", Json::array()}};
      return Json{{"data", Json::array({share})}};
    };
    host->handlers[QStringLiteral("getFileList")] = [this](const Json& p) -> std::optional<Json> {
      const Json& all = folders[p.value("dir", std::string())];
      const int64_t n = int64_t(all.size());
      if (p.value("iProbeCount", 0) == 1) return Json{{"index", std::to_string(n)}, {"sResult", "OK"}};
      const int64_t size = p.value("iPageSize", 1);
      const int64_t page = p.value("iPageIndex", 1);
      Json data = Json::array();
      for (int64_t k = (page - 1) * size; k < std::min(n, page * size); ++k) data.push_back(all[size_t(k)]);
      return Json{{"data", data}, {"sResult", "OK"}, {"sPageInfo", std::to_string(n) + "|2"}};
    };
    host->handlers[QStringLiteral("CheckHost")] = [this](const Json&) -> std::optional<Json> {
      if (!hostAnswersChecks) return std::nullopt;
      return Json{{"data", stamp}};
    };
    Json root = Json::array();
    root.push_back(entry("photos", -1, true, "/srv/share"));
    for (int k = 0; k < 149; ++k) root.push_back(entry("f" + std::to_string(k) + ".txt", k, false, "/srv/share"));
    folders["/srv/share"] = root;
    folders["/srv/share/photos"] = Json::array({entry("a.png", 10, false, "/srv/share/photos"),
                                                entry("b.jpeg", 10, false, "/srv/share/photos"),
                                                entry("notes.TXT", 10, false, "/srv/share/photos"),
                                                entry("c.png", 10, false, "/srv/share/photos")});

    browser = std::make_unique<RemoteFileListController>();
    browser->stopTimers();
    RemoteSharing saved;
    saved.hostid = QStringLiteral("H1");
    saved.hostname = QStringLiteral("alice");
    saved.hosttag = QStringLiteral("pics");
    saved.password = QStringLiteral("secret");
    browser->setActiveHost(saved);
  }
  void TearDown() override {
    browser.reset();
    bridgetest::resetState();
    host.reset();
    testutil::idleFor(std::chrono::milliseconds(10));
  }

  bool idle() {
    return testutil::waitUntil([this] { return !browser->isLoading.value(); });
  }
  // Connects and waits for the first page of the share's root.
  void browse() {
    browser->onAppearFileList();
    ASSERT_TRUE(testutil::waitUntil([this] { return !browser->fileList().isEmpty() && !browser->isLoading.value(); }));
  }

  bridgetest::FakeMainView toasts;
  std::unique_ptr<FakePeerHost> host;
  std::unique_ptr<RemoteFileListController> browser;
  std::map<std::string, Json> folders;
  Json share;
  bool hostAnswersChecks = true;
  std::string stamp = "2026-12-07 09:00:00";
};

TEST_F(RemoteFileListTest, ConnectsAsksShareInfoAndPagesTheRoot) {
  browse();
  ASSERT_EQ(host->clientInits.size(), 1);
  EXPECT_EQ(host->clientInits[0], Json::parse(R"({"Id_user":"TOK","Hostname":"alice","Hosttag":"pics","Hostpassword":""})"));
  EXPECT_EQ(Env::RemoteFileListShared, browser.get());
  EXPECT_EQ(browser->conStatus(), ConStatus::csConnected);

  const auto info = host->requestsOf(QStringLiteral("getShareInfo"));
  ASSERT_EQ(info.size(), 1);
  EXPECT_EQ(info[0].payload(), Json::parse(R"({"tag":"pics","pass":"secret","isweb":0})"));
  EXPECT_EQ(info[0].envelope["IsProcessOnBridge"], "NO");
  EXPECT_EQ(browser->pathRoot(), QStringLiteral("/srv/share"));
  EXPECT_EQ(browser->pathTag(), QStringLiteral("/"));
  EXPECT_TRUE(browser->isfiledel());
  EXPECT_TRUE(browser->isdownload());
  EXPECT_FALSE(browser->isupload());

  // A probe for the count, then page 1 of 100 rows: 150 entries make 2 pages.
  const auto lists = host->requestsOf(QStringLiteral("getFileList"));
  ASSERT_EQ(lists.size(), 2);
  EXPECT_EQ(lists[0].payload(), Json::parse(R"({"dir":"/srv/share","search":"","filters":"","orderBy":"",
      "iIconLoadSize":"","iPageIndex":1,"iPageSize":50,"iProbeCount":1,"iPreFetchIcon":0})"));
  EXPECT_EQ(lists[1].payload()["iPageSize"], 100);
  EXPECT_EQ(lists[1].payload()["iProbeCount"], 0);
  EXPECT_EQ(browser->totalCount(), 150);
  EXPECT_EQ(browser->totalCountInfo(), QStringLiteral("(150)"));
  EXPECT_EQ(browser->pageCount(), 2);
  EXPECT_EQ(browser->pageLinkList(), (QStringList{QStringLiteral("1"), QStringLiteral("2")}));
  EXPECT_TRUE(browser->isShowPageLinkBar());
  ASSERT_EQ(browser->fileList().size(), 100);
  ASSERT_EQ(browser->iconList().size(), 100);
  EXPECT_FALSE(browser->isParentRow(0));  // the root has no ".." row
  EXPECT_EQ(browser->fileList()[0].name, QStringLiteral("photos"));
  EXPECT_EQ(browser->fileList()[0].extendInfo, QStringLiteral("Folder"));
  EXPECT_EQ(browser->iconList()[0].imageName, QStringLiteral("folder"));
  EXPECT_EQ(browser->fileList()[1].extendInfo, QStringLiteral("TXT"));
  EXPECT_EQ(browser->iconList()[1].imageName, QStringLiteral("file"));

  browser->pageLinkAction(QStringLiteral("..."));  // does nothing
  browser->pageLinkAction(QStringLiteral("2"));
  ASSERT_TRUE(testutil::waitUntil([this] { return browser->pageIndex() == 2 && !browser->isLoading.value(); }));
  EXPECT_EQ(browser->fileList().size(), 50);
  EXPECT_EQ(browser->fileList()[0].name, QStringLiteral("f99.txt"));
  EXPECT_EQ(host->requestsOf(QStringLiteral("getFileList")).size(), 3);

  // Into a folder: its first row leads back up; a double click on it opens the root again.
  browser->pageLinkAction(QStringLiteral("1"));
  ASSERT_TRUE(testutil::waitUntil([this] { return browser->pageIndex() == 1 && !browser->isLoading.value(); }));
  browser->openRow(0);
  ASSERT_TRUE(testutil::waitUntil([this] { return browser->fileList().size() == 5 && !browser->isLoading.value(); }));
  EXPECT_EQ(browser->pathCurrent(), QStringLiteral("/srv/share/photos"));
  EXPECT_TRUE(browser->isParentRow(0));
  EXPECT_EQ(browser->fileList()[0].fullPath, QStringLiteral("/srv/share"));
  EXPECT_EQ(browser->fileList()[0].extendInfo, QStringLiteral("Go to parent folder"));
  EXPECT_EQ(browser->iconList()[0].imageName, QStringLiteral("folder_up"));
  EXPECT_FALSE(browser->isShowPageLinkBar());
  browser->openRow(0);
  ASSERT_TRUE(testutil::waitUntil([this] { return browser->fileList().size() == 100 && !browser->isLoading.value(); }));
  EXPECT_EQ(browser->pathCurrent(), QStringLiteral("/srv/share"));
  EXPECT_TRUE(toasts.toasts.isEmpty());
}

TEST_F(RemoteFileListTest, ConnectionOutcomesEndInTheirNotices) {
  // The host is full.
  host->sc = 5;
  browser->onAppearFileList();
  ASSERT_TRUE(idle());
  ASSERT_TRUE(testutil::waitUntil([this] { return !toasts.toasts.isEmpty(); }));
  EXPECT_EQ(browser->hostInvalidInfo(), QStringLiteral("Max Connection Limits Reached!"));
  EXPECT_EQ(browser->conStatus(), ConStatus::csInvalid);
  EXPECT_FALSE(linkattempts::waiting(LinkOwner::browser));
  EXPECT_EQ(browser->iCheckHostDiscon(), -1);  // checks are off
  EXPECT_TRUE(host->requestsOf(QStringLiteral("getShareInfo")).isEmpty());

  // The link fails.
  host->sc = 1;
  host->linkUp = false;
  browser->ConnectRemoteHost();
  ASSERT_TRUE(testutil::waitUntil([this] { return toasts.toasts.size() == 2; }));
  EXPECT_EQ(browser->hostInvalidInfo(), L("RS_Host_NotAvialableAndCheck"));
  EXPECT_FALSE(browser->isLoading.value());

  // Up, but the access code is wrong.
  host->linkUp = true;
  browser->setActiveHost([&] {
    RemoteSharing h = *browser->rhActive();
    h.password = QStringLiteral("wrong");
    return h;
  }());
  browser->ConnectRemoteHost();
  ASSERT_TRUE(testutil::waitUntil([this] { return toasts.toasts.size() == 3; }));
  EXPECT_EQ(browser->hostInvalidInfo(), L("RS_Host_NotAvialableAndCheckPassword"));

  // The one share is disabled; with two records the first is used regardless.
  RemoteSharing h = *browser->rhActive();
  h.password = QStringLiteral("secret");
  browser->setActiveHost(h);
  share["isenabled"] = 0;
  browser->ConnectRemoteHost();
  ASSERT_TRUE(testutil::waitUntil([this] { return toasts.toasts.size() == 4; }));
  EXPECT_EQ(browser->hostInvalidInfo(), L("RS_Host_NotEnabled"));
  host->handlers[QStringLiteral("getShareInfo")] = [this](const Json&) -> std::optional<Json> {
    Json other = share;
    other["path"] = "D:\\data";
    return Json{{"data", Json::array({other, share})}};
  };
  browser->ConnectRemoteHost();
  ASSERT_TRUE(testutil::waitUntil([this] { return browser->pathRoot() == QStringLiteral("D:\\data") && idle(); }));
  EXPECT_EQ(browser->pathTag(), QStringLiteral("\\"));
  EXPECT_EQ(browser->conStatus(), ConStatus::csConnected);
  EXPECT_EQ(toasts.toasts.size(), 4);

  // A result after the browser gave up is not routed here.
  browser->hostInvalid(QStringLiteral("gone"));
  P2PClientMsg::SetP2PConnectResult(ConStatus::csConnected);
  EXPECT_EQ(browser->conStatus(), ConStatus::csInvalid);

  // No host at all: connecting only clears the rows.
  browser->setActiveHost(std::nullopt);
  const auto inits = host->clientInits.size();
  browser->ConnectRemoteHost();
  EXPECT_EQ(host->clientInits.size(), inits);
  EXPECT_FALSE(browser->isLoading.value());
}

TEST_F(RemoteFileListTest, ANewBrowserGivesUpAfterFourTicks) {
  // No host at all: the notice comes once, on the fourth tick, and counting stops.
  browser->setActiveHost(std::nullopt);
  for (int k = 0; k < 3; ++k) browser->onCheckHostTick();
  EXPECT_TRUE(toasts.toasts.isEmpty());
  EXPECT_EQ(browser->hostInvalidInfo(), L("RS_Host_NotAvialable"));
  browser->onCheckHostTick();
  EXPECT_EQ(toasts.toasts, QStringList{L("RS_Host_NotAvialable")});
  for (int k = 0; k < 6; ++k) browser->onCheckHostTick();
  EXPECT_EQ(toasts.toasts.size(), 1);

  // A connection result after that is dropped; Reconnect connects without the bound.
  RemoteSharing saved;
  saved.hostname = QStringLiteral("alice");
  saved.hosttag = QStringLiteral("pics");
  saved.password = QStringLiteral("secret");
  browser->setActiveHost(saved);
  P2PClientMsg::SetP2PConnectResult(ConStatus::csConnected);
  EXPECT_EQ(browser->conStatus(), ConStatus::csInvalid);
  browser->onAppearFileList();
  for (int k = 0; k < 8; ++k) browser->onCheckHostTick();
  ASSERT_TRUE(testutil::waitUntil([this] { return browser->fileList().size() == 100 && idle(); }));
  EXPECT_EQ(toasts.toasts.size(), 1);
}

TEST_F(RemoteFileListTest, ConnectWhileLoadingOnlyClearsRows) {
  browse();
  host->handlers.remove(QStringLiteral("getFileList"));  // the next folder never answers
  browser->getFileList(QStringLiteral("/srv/share/photos"));
  ASSERT_TRUE(browser->isLoading.value());
  browser->ConnectRemoteHost();
  EXPECT_TRUE(browser->fileList().isEmpty());
  EXPECT_EQ(host->clientInits.size(), 1);
}

TEST_F(RemoteFileListTest, LivenessChecksAndTheirFailures) {
  // Before the share information, ticks count towards giving up.
  browser->onCheckHostTick();
  EXPECT_EQ(browser->iCheckHostDiscon(), 1);
  browse();
  EXPECT_FALSE(browser->iCheckHostWorking());
  EXPECT_EQ(browser->iCheckHostDiscon(), 0);

  browser->onCheckHostTick();
  ASSERT_TRUE(testutil::waitUntil([this] { return !browser->iCheckHostWorking(); }));
  const auto checks = host->requestsOf(QStringLiteral("CheckHost"));
  ASSERT_EQ(checks.size(), 1);
  EXPECT_EQ(checks[0].payload(), Json::parse(R"({"tag":"pics"})"));
  EXPECT_EQ(browser->sCheckHostCTime(), QStringLiteral("2026-12-07 09:00:00"));

  // A send to a contact made its own link current: the browser keeps to its host's.
  Env::RemoteSession = QStringLiteral("ME|CAROL");
  Env::RemoteClientID2 = QStringLiteral("CAROL");
  browser->onCheckHostTick();
  ASSERT_TRUE(testutil::waitUntil([this] { return !browser->iCheckHostWorking(); }));
  EXPECT_EQ(host->requestsOf(QStringLiteral("CheckHost")).last().envelope["Session"], "ME|HOST");

  // A transfer sheet freezes the checks.
  browser->openRow(1);  // a file: the download sheet
  ASSERT_TRUE(browser->ctlDownload().isShowView);
  EXPECT_EQ(browser->ctlDownload().session, QStringLiteral("ME|HOST"));
  EXPECT_EQ(browser->ctlDownload().fileItems.size(), 1);
  EXPECT_EQ(browser->ctlDownload().pathRemote, QStringLiteral("/srv/share"));
  browser->onCheckHostTick();
  EXPECT_EQ(host->requestsOf(QStringLiteral("CheckHost")).size(), 2);
  browser->isShowDownload.set(false);
  EXPECT_FALSE(browser->ctlDownload().isShowView);

  // The host saves the share again: a new stamp has the share asked anew. New
  // rights keep the visit; a changed access code ends it, saying so.
  share["isupload"] = 1;
  stamp = "2026-12-07 09:05:00";
  browser->onCheckHostTick();
  ASSERT_TRUE(testutil::waitUntil([this] { return !browser->iCheckHostWorking(); }));
  EXPECT_TRUE(browser->isupload());
  EXPECT_EQ(browser->sCheckHostCTime(), QStringLiteral("2026-12-07 09:05:00"));
  EXPECT_EQ(browser->conStatus(), ConStatus::csConnected);
  const auto shareInfo = host->handlers[QStringLiteral("getShareInfo")];
  host->handlers[QStringLiteral("getShareInfo")] = [](const Json&) -> std::optional<Json> {
    return Json{{"data", Json::array()}};
  };
  stamp = "2026-12-07 09:06:00";
  browser->onCheckHostTick();
  ASSERT_TRUE(testutil::waitUntil([this] { return !toasts.toasts.isEmpty(); }));
  EXPECT_EQ(browser->hostInvalidInfo(), L("RS_Host_NotAvialableAndCheckPassword"));
  EXPECT_TRUE(browser->iCheckHostWorking());
  host->handlers[QStringLiteral("getShareInfo")] = shareInfo;

  // Reconnected; then the host stops answering: the fourth tick gives up.
  browser->ConnectRemoteHost();
  ASSERT_TRUE(testutil::waitUntil([this] { return !browser->isLoading.value() && !browser->iCheckHostWorking(); }));
  hostAnswersChecks = false;
  for (int k = 0; k < 4; ++k) browser->onCheckHostTick();
  EXPECT_EQ(browser->iCheckHostDiscon(), 3);
  EXPECT_EQ(toasts.toasts.size(), 1);
  browser->onCheckHostTick();
  EXPECT_EQ(toasts.toasts.size(), 2);
  EXPECT_EQ(browser->conStatus(), ConStatus::csInvalid);
  EXPECT_EQ(browser->iCheckHostDiscon(), -1);
  browser->onCheckHostTick();
  EXPECT_EQ(toasts.toasts.size(), 2);  // counting stopped
  // Checks answered after that neither report the host gone again nor restart the checking.
  browser->onCheckHostReply(Json{{"data", "2026-12-07 10:00:00"}});
  browser->onCheckHostReply(std::nullopt);
  EXPECT_EQ(toasts.toasts.size(), 2);
  EXPECT_TRUE(browser->iCheckHostWorking());
}

TEST_F(RemoteFileListTest, PreviewsLandOnTheRowsThatAskedForThem) {
  browse();
  host->handlers[QStringLiteral("buildIcon2")] = [](const Json&) { return std::nullopt; };  // answered by hand
  browser->openRow(0);
  ASSERT_TRUE(testutil::waitUntil([this] { return browser->fileList().size() == 5 && !browser->isLoading.value(); }));
  // Rows: .., a.png, b.jpeg, notes.TXT, c.png. Folders and text never queue; jpeg queues.
  for (int i = 0; i < 5; ++i) browser->enqueueThumbTask(i);
  EXPECT_EQ(browser->thumbTaskList(), (QList<int>{1, 2, 4}));

  browser->onThumbnailTick();  // the last queued first
  ASSERT_TRUE(testutil::waitUntil([this] { return host->requestsOf(QStringLiteral("buildIcon2")).size() == 1; }));
  auto asked = host->requestsOf(QStringLiteral("buildIcon2"));
  EXPECT_EQ(asked[0].payload(), Json::parse(R"({"size":48,"fileList":["/srv/share/photos/c.png|4|1|-1"]})"));
  browser->onThumbnailTick();  // one at a time
  EXPECT_EQ(host->requestsOf(QStringLiteral("buildIcon2")).size(), 1);
  Json record = {{"fullPath", "/srv/share/photos/c.png"}, {"iconBase64", pngBase64(Qt::red).toStdString()}, {"index", 4}};
  host->reply(asked[0], {{"data", Json::array({record}).dump()}});
  ASSERT_TRUE(testutil::waitUntil([this] { return browser->iconList()[4].isPreview(); }));
  EXPECT_EQ(browser->iconList()[4].picture.pixelColor(1, 1), QColor(Qt::red));
  EXPECT_FALSE(browser->isThumbWorking());
  browser->enqueueThumbTask(4);  // asked once per listing
  EXPECT_EQ(browser->thumbTaskList(), (QList<int>{1, 2}));

  // "jpeg" is queued but never asked for; the step ends at once.
  browser->onThumbnailTick();
  EXPECT_FALSE(browser->isThumbWorking());
  EXPECT_EQ(host->requestsOf(QStringLiteral("buildIcon2")).size(), 1);

  // a.png: the rows change while its request is out; the answer must not land on the new row 1.
  browser->onThumbnailTick();
  ASSERT_TRUE(testutil::waitUntil([this] { return host->requestsOf(QStringLiteral("buildIcon2")).size() == 2; }));
  asked = host->requestsOf(QStringLiteral("buildIcon2"));
  folders["/srv/share/photos"][0] = entry("z.png", 10, false, "/srv/share/photos");
  browser->getFileList(QStringLiteral("/srv/share/photos"));
  ASSERT_TRUE(idle());
  ASSERT_EQ(browser->fileList()[1].name, QStringLiteral("z.png"));
  record = {{"fullPath", "/srv/share/photos/a.png"}, {"iconBase64", pngBase64(Qt::blue).toStdString()}, {"index", 1}};
  host->reply(asked[1], {{"data", Json::array({record}).dump()}});
  ASSERT_TRUE(testutil::waitUntil([this] { return !browser->isThumbWorking(); }));
  EXPECT_FALSE(browser->iconList()[1].isPreview());

  // "[]", text that is not JSON, bytes that are no picture, base64 that does not decode; then
  // pictures refused before decoding: a 20000 x 20000 PNG header, a real 2000 x 1000 PNG, a
  // 5 MiB picture (a small PNG with trailing bytes) and a BMP.
  QImage wide(2000, 1000, QImage::Format_RGB32);
  wide.fill(Qt::green);
  QImage small(8, 8, QImage::Format_RGB32);
  small.fill(Qt::green);
  const QByteArray padded = encoded(small, "PNG") + QByteArray(5 * 1024 * 1024, '\0');
  const std::vector<Json> answers = {
      {{"data", "[]"}},
      {{"data", "not json"}},
      {{"data", Json::array({{{"iconBase64", "data:image/jpg;base64,aGVsbG8="}}}).dump()}},
      {{"data", Json::array({{{"iconBase64", "data:image/jpg;base64,@@@@"}}}).dump()}},
      Json(""),
      {{"data", Json::array({{{"iconBase64", iconText(pngHeaderOnly(20000, 20000))}}}).dump()}},
      {{"data", Json::array({{{"iconBase64", iconText(encoded(wide, "PNG"))}}}).dump()}},
      {{"data", Json::array({{{"iconBase64", iconText(padded)}}}).dump()}},
      {{"data", Json::array({{{"iconBase64", iconText(encoded(small, "BMP"))}}}).dump()}}};
  ASSERT_FALSE(QImage::fromData(padded).isNull());  // decodable: only its size refuses it
  LogCapture log;
  for (size_t k = 0; k < answers.size(); ++k) {
    browser->getFileList(QStringLiteral("/srv/share/photos"));  // fresh rows ask again
    ASSERT_TRUE(idle());
    browser->enqueueThumbTask(1);
    browser->onThumbnailTick();
    ASSERT_TRUE(testutil::waitUntil([&] { return host->requestsOf(QStringLiteral("buildIcon2")).size() == 3 + int(k); }));
    host->reply(host->requestsOf(QStringLiteral("buildIcon2")).last(), answers[k]);
    ASSERT_TRUE(testutil::waitUntil([this] { return !browser->isThumbWorking(); }));
    if (k == 2 || k >= 5) {
      EXPECT_EQ(browser->iconList()[1].imageName, QStringLiteral("file")) << k;  // no picture: the file image
      EXPECT_FALSE(browser->iconList()[1].isPreview()) << k;
    } else {
      EXPECT_FALSE(browser->iconList()[1].isPreview());
    }
  }
  EXPECT_TRUE(log.contains(QStringLiteral("Json error : not json")));

  // A request that is never answered is given up, and later rows get their turn.
  browser->getFileList(QStringLiteral("/srv/share/photos"));
  ASSERT_TRUE(idle());
  browser->enqueueThumbTask(4);
  browser->onThumbnailTick();
  ASSERT_TRUE(browser->isThumbWorking());
  for (int k = 0; k < RemoteFileListController::kThumbGiveUpTicks; ++k) browser->onThumbnailTick();
  EXPECT_FALSE(browser->isThumbWorking());
}

TEST_F(RemoteFileListTest, RepliesWithoutAMessageChangeNothing) {
  host->handlers[QStringLiteral("getShareInfo")] = [](const Json&) { return std::nullopt; };
  browser->onAppearFileList();
  ASSERT_TRUE(testutil::waitUntil([this] { return host->requestsOf(QStringLiteral("getShareInfo")).size() == 1; }));
  host->replyWithoutMessage(host->requestsOf(QStringLiteral("getShareInfo"))[0]);
  testutil::idleFor(std::chrono::milliseconds(50));
  EXPECT_TRUE(browser->isLoading.value());  // only the loading dialog's limit ends this
  EXPECT_EQ(browser->timeoutCheckCounter(), 0);
  EXPECT_TRUE(toasts.toasts.isEmpty());

  // The same for the entry count, and for a liveness check: it frees the next check only.
  browser->isLoading.set(false);
  host->handlers[QStringLiteral("getFileList")] = [](const Json&) { return std::nullopt; };
  browser->getFileList(QStringLiteral("/srv/share"));
  ASSERT_TRUE(testutil::waitUntil([this] { return host->requestsOf(QStringLiteral("getFileList")).size() == 1; }));
  host->replyWithoutMessage(host->requestsOf(QStringLiteral("getFileList"))[0]);
  testutil::idleFor(std::chrono::milliseconds(50));
  EXPECT_EQ(host->requestsOf(QStringLiteral("getFileList")).size(), 1);
  EXPECT_EQ(browser->totalCountInfo(), QString());
  browser->resetCheckHost();
  hostAnswersChecks = false;
  browser->onCheckHostTick();
  browser->onCheckHostTick();
  EXPECT_EQ(browser->iCheckHostDiscon(), 1);
  LogCapture log;
  ASSERT_TRUE(testutil::waitUntil([this] { return host->requestsOf(QStringLiteral("CheckHost")).size() == 1; }));
  host->replyWithoutMessage(host->requestsOf(QStringLiteral("CheckHost"))[0]);
  ASSERT_TRUE(testutil::waitUntil([this] { return !browser->iCheckHostWorking(); }));
  EXPECT_EQ(browser->iCheckHostDiscon(), 1);  // not reset
  EXPECT_TRUE(log.contains(QStringLiteral("CheckHost Failed.")));
}

TEST_F(RemoteFileListTest, MalformedRepliesFailWithANotice) {
  // Share information whose "data" is no list.
  host->handlers[QStringLiteral("getShareInfo")] = [](const Json&) -> std::optional<Json> {
    return Json{{"data", {{"path", "/x"}}}};
  };
  browser->onAppearFileList();
  ASSERT_TRUE(testutil::waitUntil([this] { return toasts.toasts.size() == 1; }));
  EXPECT_EQ(browser->hostInvalidInfo(), L("RS_Host_BadReply"));
  EXPECT_FALSE(browser->isLoading.value());

  // A list of something else, and a share without a root.
  for (const Json& data : {Json::array({"text"}), Json::array({{{"isenabled", 1}}})}) {
    host->handlers[QStringLiteral("getShareInfo")] = [data](const Json&) -> std::optional<Json> {
      return Json{{"data", data}};
    };
    const auto before = toasts.toasts.size();
    browser->ConnectRemoteHost();
    ASSERT_TRUE(testutil::waitUntil([&] { return toasts.toasts.size() == before + 1; }));
    EXPECT_EQ(browser->hostInvalidInfo(), L("RS_Host_BadReply"));
  }

  // An entry count that is no count: loading ends with a notice, nothing else changes.
  host->handlers[QStringLiteral("getShareInfo")] = [this](const Json&) -> std::optional<Json> {
    return Json{{"data", Json::array({share})}};
  };
  for (const Json& index : {Json("12|3"), Json("-4"), Json(-4), Json::array()}) {
    host->handlers[QStringLiteral("getFileList")] = [index](const Json&) -> std::optional<Json> {
      return Json{{"index", index}};
    };
    const auto before = toasts.toasts.size();
    browser->ConnectRemoteHost();
    ASSERT_TRUE(testutil::waitUntil([&] { return toasts.toasts.size() == before + 1; })) << index.dump();
    EXPECT_EQ(toasts.toasts.last(), L("RS_Host_BadReply"));
    EXPECT_FALSE(browser->isLoading.value());
    EXPECT_EQ(host->requestsOf(QStringLiteral("getFileList")).last().payload()["iProbeCount"], 1);  // no page asked
  }

  // Pages with entries that are not records, or "data" that is no list.
  host->handlers[QStringLiteral("getFileList")] = [](const Json& p) -> std::optional<Json> {
    if (p.value("iProbeCount", 0) == 1) return Json{{"index", 3}};
    return Json{{"data", Json::array({7, entry("ok.txt", 1, false, "/srv/share"), nullptr})}};
  };
  browser->ConnectRemoteHost();
  ASSERT_TRUE(testutil::waitUntil([this] { return browser->fileList().size() == 1 && idle(); }));
  EXPECT_EQ(browser->fileList()[0].name, QStringLiteral("ok.txt"));
  host->handlers[QStringLiteral("getFileList")] = [](const Json& p) -> std::optional<Json> {
    if (p.value("iProbeCount", 0) == 1) return Json{{"index", "3"}};
    return Json{{"data", "rows"}};
  };
  browser->getFileList(QStringLiteral("/srv/share"));
  ASSERT_TRUE(idle());
  EXPECT_TRUE(browser->fileList().isEmpty());
  EXPECT_EQ(toasts.toasts.last(), L("RS_Host_BadReply"));
}

// A folder the host could not list is answered with its reason instead of a
// count or a page: the reason shows (in the user's language where we know it,
// else the host's words, clipped) with the way back up, never as an empty folder.
TEST_F(RemoteFileListTest, AFolderTheHostCannotListShowsTheHostsReason) {
  browse();
  std::string failure = "Error: Permission denied";
  bool pageFails = false;
  bool refused = false;  // answered as a refusal, {"Result": 0, "Info": …}
  host->handlers[QStringLiteral("getFileList")] = [&](const Json& p) -> std::optional<Json> {
    const bool fails = (p.value("iProbeCount", 0) == 1) != pageFails;
    if (fails && refused) return Json{{"Result", 0}, {"Info", failure}};
    if (p.value("iProbeCount", 0) == 1 && !pageFails) return Json{{"index", ""}, {"sResult", failure}};
    if (p.value("iProbeCount", 0) == 1) return Json{{"index", "4"}, {"sResult", "OK"}};
    return Json{{"data", Json::array()}, {"sResult", failure}, {"sPageInfo", ""}};
  };
  const auto opened = [&](const std::string& reason, const QString& shown) {
    failure = reason;
    const auto before = toasts.alerts.size();
    browser->getFileList(QStringLiteral("/srv/share/photos"));
    ASSERT_TRUE(idle());
    ASSERT_EQ(browser->fileList().size(), 1);
    EXPECT_TRUE(browser->isParentRow(0));
    EXPECT_EQ(browser->listingNotice(), L("RS_Folder_NotOpened") + QLatin1Char('\n') + shown);
    EXPECT_FALSE(browser->isShowPageLinkBar());
    ASSERT_EQ(toasts.alerts.size(), before + 1);  // no page on screen: a toast says it
    EXPECT_EQ(toasts.alerts.last().title, L("RS_Folder_NotOpened"));
    EXPECT_EQ(toasts.alerts.last().subTitle.value_or(QString()), shown);
  };
  opened("Error: Permission denied", L("Host_Reason_Permission"));
  opened("Error: Too many open files", L("Host_Reason_Resources"));
  const std::string odd = "Error: " + std::string(500, 'x');
  opened(odd, UtilSystem::clipText(QString::fromStdString(odd), 200));
  pageFails = true;  // the count came, the page did not
  opened("Error: Cannot allocate memory", L("Host_Reason_Resources"));
  // A host too busy to list (or its bridge) says so at the page or the count.
  refused = true;
  opened("busy", L("Host_Reason_Busy"));
  pageFails = false;
  opened("busy", L("Host_Reason_Busy"));

  // The folder that lists again shows its rows and no reason.
  host->handlers[QStringLiteral("getFileList")] = [](const Json& p) -> std::optional<Json> {
    if (p.value("iProbeCount", 0) == 1) return Json{{"index", "1"}, {"sResult", "OK"}};
    return Json{{"data", Json::array({entry("a.png", 10, false, "/srv/share/photos")})}, {"sResult", "OK"}};
  };
  browser->getFileList(QStringLiteral("/srv/share/photos"));
  ASSERT_TRUE(idle());
  EXPECT_EQ(browser->fileList().size(), 2);
  EXPECT_TRUE(browser->listingNotice().isEmpty());
}

TEST_F(RemoteFileListTest, LateRepliesOfAnEarlierFolderAreDropped) {
  browse();
  QList<SentRequest> held;
  host->handlers[QStringLiteral("getFileList")] = [](const Json&) { return std::nullopt; };
  browser->getFileList(QStringLiteral("/srv/share/photos"));
  browser->getFileList(QStringLiteral("/srv/share"));
  ASSERT_TRUE(testutil::waitUntil([this] { return host->requestsOf(QStringLiteral("getFileList")).size() == 4; }));
  const auto lists = host->requestsOf(QStringLiteral("getFileList"));
  host->reply(lists[3], {{"index", "2"}});
  ASSERT_TRUE(testutil::waitUntil([this] { return host->requestsOf(QStringLiteral("getFileList")).size() == 5; }));
  host->reply(host->requestsOf(QStringLiteral("getFileList")).last(),
              {{"data", Json::array({entry("x.txt", 1, false, "/srv/share"), entry("y.txt", 1, false, "/srv/share")})}});
  ASSERT_TRUE(testutil::waitUntil([this] { return browser->fileList().size() == 2; }));
  // The photos folder answers last: nothing changes.
  host->reply(lists[2], {{"index", "4"}});
  testutil::idleFor(std::chrono::milliseconds(50));
  EXPECT_EQ(host->requestsOf(QStringLiteral("getFileList")).size(), 5);
  EXPECT_EQ(browser->pathCurrent(), QStringLiteral("/srv/share"));
  EXPECT_EQ(browser->totalCount(), 2);
}

TEST_F(RemoteFileListTest, MarksDeleteDownloadUploadAndDrops) {
  browse();
  host->handlers[QStringLiteral("opFileList")] = [](const Json&) { return Json{{"data", "OK"}}; };
  browser->toggleChecked(1);
  browser->toggleChecked(5);
  EXPECT_EQ(browser->checkedItems().size(), 2);
  browser->selectOnly(3);
  ASSERT_EQ(browser->checkedItems().size(), 1);
  EXPECT_EQ(browser->checkedItems()[0].name, QStringLiteral("f2.txt"));
  EXPECT_EQ(browser->iHotFileIndex(), 3);

  browser->toggleChecked(4);
  browser->askDeleteChecked();
  EXPECT_TRUE(browser->isShowingDialog.value());
  browser->deleteCheckedFiles();
  ASSERT_TRUE(testutil::waitUntil([this] { return host->requestsOf(QStringLiteral("getFileList")).size() == 4; }));
  const auto ops = host->requestsOf(QStringLiteral("opFileList"));
  ASSERT_EQ(ops.size(), 1);
  EXPECT_EQ(ops[0].payload(), Json::parse(R"({"path":"","cmd":"delete","extInfo":"","fileList":"/srv/share/f2.txt|/srv/share/f3.txt"})"));
  ASSERT_TRUE(idle());

  // Nothing marked: no dialog, no sheet.
  browser->isShowingDialog.set(false);
  browser->askDeleteChecked();
  EXPECT_FALSE(browser->isShowingDialog.value());
  browser->openDownloadForChecked();
  EXPECT_FALSE(browser->isShowDownload.value());
  browser->selectOnly(2);
  browser->openDownloadForChecked();
  EXPECT_TRUE(browser->isShowDownload.value());
  EXPECT_EQ(browser->ctlDownload().fileItems[0].name, QStringLiteral("f1.txt"));
  browser->isShowDownload.set(false);

  // Upload: the button opens an empty sheet; closing after a finished upload reloads.
  browser->openUploadSheet();
  EXPECT_TRUE(browser->ctlUpload().isShowView);
  EXPECT_TRUE(browser->ctlUpload().target.isEmpty());
  EXPECT_EQ(browser->ctlUpload().pathRemote, QStringLiteral("/srv/share"));
  browser->isShowUpload.set(false);  // cancelled: no reload
  EXPECT_FALSE(browser->isLoading.value());
  browser->openUploadSheet();
  browser->ctlUpload().isUploadSucc = true;
  browser->isShowUpload.set(false);
  EXPECT_TRUE(browser->isLoading.value());
  ASSERT_TRUE(idle());

  // A drop of two local files and a web link opens the sheet 1 s later with the two paths.
  QTemporaryDir dir;
  const QString a = dir.filePath(QStringLiteral("a b.txt"));
  const QString b = dir.filePath(QStringLiteral("b.txt"));
  for (const QString& p : {a, b}) {
    QFile f(p);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
  }
  browser->onDropFiles({QUrl::fromLocalFile(a).toEncoded(), QByteArray("https://example.org/x"), std::nullopt,
                        QUrl::fromLocalFile(b).toEncoded(), QByteArray("file")});
  EXPECT_FALSE(browser->isShowUpload.value());
  ASSERT_TRUE(testutil::waitUntil([this] { return browser->isShowUpload.value(); }, std::chrono::milliseconds(2000)));
  EXPECT_EQ(browser->ctlUpload().target, a + QLatin1Char('|') + b);
}

}  // namespace
