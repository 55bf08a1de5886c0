// End to end on loopback: the account service, bridge A with the client A
// (offscreen, its own home with a share), and bridge B with this test process as client B,
// whose file browser lists, pages and previews A's share and watches it.
#include "ann_share_fixture.h"
#include "support/test_util.h"

#include "bridge/env.h"
#include "contacts/contacts_port.h"
#include "contacts/receive_file.h"
#include "core/localized.h"
#include "host_side/install_host_side.h"
#include "remote_sharing/remote_file_list.h"
#include "shell/main_view_state.h"

#include <QDir>
#include <QFile>
#include <QImage>

#include <gtest/gtest.h>

using namespace vantreltest;

namespace {

class RemoteBrowserEndToEnd : public AnnShareFixture {
 protected:
  // Client A's home: a shared folder of 150 files and a folder with two pictures.
  void seedClientHome(const QString& home) {
    shared = home + QStringLiteral("/Shared");
    QDir().mkpath(shared + QStringLiteral("/pictures"));
    ASSERT_TRUE(e2eclient::writeNumberedFiles(shared + QStringLiteral("/file_%1.txt"), 150));
    ASSERT_TRUE(e2eclient::savePictures(QSize(320, 240), Qt::darkRed,
                                        {shared + QStringLiteral("/pictures/red.png"),
                                         shared + QStringLiteral("/pictures/red.jpg")}));

    SharingObj share = e2eclient::passOneShare(QStringLiteral("Pics"), shared);
    share.isdownload = true;
    ASSERT_TRUE(e2eclient::seedShare(home, annId, QStringLiteral("ann-host"), share));
  }

  // Opens Ann's share in `browser`, up to its first page of 100 rows.
  void browseAnnPictures(RemoteFileListController& browser) {
    browser.stopTimers();
    browser.setActiveHost(annHost(QStringLiteral("pics")));
    browser.onAppearFileList();
    ASSERT_TRUE(spinUntil([&] { return browser.fileList().size() == 100 && !browser.isLoading.value(); }, 20s))
        << browser.hostInvalidInfo().toStdString() << clientA.output().toStdString();
  }

  // One liveness check answered, or the browser gave the host up.
  static bool checkAnswered(RemoteFileListController& browser) {
    browser.onCheckHostTick();
    return spinUntil([&] { return !browser.iCheckHostWorking() || browser.conStatus() == ConStatus::csInvalid; }, 10s);
  }

  QString shared;
};

TEST_F(RemoteBrowserEndToEnd, BrowserListsPagesAndPreviewsTheShareOfAnotherClient) {
  startBothClients([this](const QString& home) { seedClientHome(home); });
  if (HasFatalFailure()) return;

  RemoteFileListController browser;
  browseAnnPictures(browser);
  if (HasFatalFailure()) return;
  EXPECT_EQ(browser.conStatus(), ConStatus::csConnected);
  // Once connected, the client asked its bridge for the host's local-network
  // address: A's (its share allows the route), not its own bridge's.
  ASSERT_TRUE(spinUntil([] { return !Env::RemoteLanHttp.isEmpty(); }, 10s));
  EXPECT_EQ(Env::RemoteLanHttp, bridgeA.lanUrl());
  EXPECT_NE(Env::RemoteLanHttp, bridgeB.lanUrl());
  EXPECT_EQ(browser.pathRoot(), shared);
  EXPECT_TRUE(browser.isdownload());
  EXPECT_EQ(browser.totalCount(), 151);
  EXPECT_EQ(browser.pageLinkList(), (QStringList{QStringLiteral("1"), QStringLiteral("2")}));
  EXPECT_EQ(browser.fileList()[0].name, QStringLiteral("pictures"));
  EXPECT_TRUE(browser.fileList()[0].isDir);
  EXPECT_EQ(browser.fileList()[1].name, QStringLiteral("file_000.txt"));

  browser.pageLinkAction(QStringLiteral("2"));
  ASSERT_TRUE(spinUntil([&] { return browser.pageIndex() == 2 && !browser.isLoading.value(); }, 10s));
  ASSERT_EQ(browser.fileList().size(), 51);
  EXPECT_EQ(browser.fileList().last().name, QStringLiteral("file_149.txt"));
  EXPECT_EQ(browser.fileList().last().size, 149);

  // The pictures folder: the way back up, then the two pictures with previews.
  browser.getFileList(shared + QStringLiteral("/pictures"));
  ASSERT_TRUE(spinUntil([&] { return browser.fileList().size() == 3 && !browser.isLoading.value(); }, 10s));
  EXPECT_TRUE(browser.isParentRow(0));
  EXPECT_EQ(browser.fileList()[0].fullPath, shared);
  for (int i = 0; i < 3; ++i) browser.enqueueThumbTask(i);
  // One tick each 0.2 s, as the page's timer gives them.
  for (int tick = 0; tick < 75 && !(browser.iconList()[1].isPreview() && browser.iconList()[2].isPreview()); ++tick) {
    browser.onThumbnailTick();
    idleFor(200ms);
  }
  ASSERT_TRUE(browser.iconList()[1].isPreview() && browser.iconList()[2].isPreview());
  EXPECT_EQ(browser.iconList()[1].picture.width(), 48);  // 320 x 240 fits in 48 x 48
  EXPECT_FALSE(browser.iconList()[0].isPreview());

  // Liveness: two answered checks with the same stamp keep the host.
  for (int k = 0; k < 2; ++k) {
    browser.onCheckHostTick();
    ASSERT_TRUE(spinUntil([&] { return !browser.iCheckHostWorking(); }, 10s));
  }
  EXPECT_FALSE(browser.sCheckHostCTime().isEmpty());
  EXPECT_EQ(browser.conStatus(), ConStatus::csConnected);

  // Client A goes away: four unanswered ticks declare the host gone.
  clientA.stop();
  browser.onCheckHostTick();
  for (int k = 0; k < 4; ++k) {
    idleFor(200ms);
    browser.onCheckHostTick();
  }
  EXPECT_EQ(browser.conStatus(), ConStatus::csInvalid);
  EXPECT_EQ(browser.iCheckHostDiscon(), -1);
}

// Bob browses Ann's share while Ann, from another device, offers him a file
// that he declines. His browsing is not the offer's session and goes on. A
// change of the share that leaves him his access keeps him browsing; one that
// takes it away ends the visit with its own reason.
TEST_F(RemoteBrowserEndToEnd, BrowsingOutlivesADeclinedSendAndEndsOnlyWithTheAccess) {
  startBothClients([this](const QString& home) { seedClientHome(home); });
  if (HasFatalFailure()) return;
  installHostSide();
  MainViewState window;
  Env::MainViewShared = &window;
  struct Unset {
    ~Unset() { Env::MainViewShared = nullptr; }
  } unset;

  RemoteFileListController browser;
  browseAnnPictures(browser);
  if (HasFatalFailure()) return;
  ASSERT_TRUE(checkAnswered(browser));

  // Ann's other device, on a bridge of its own, sends to Bob by his e-mail.
  BridgeProcess bridgeC;
  ASSERT_TRUE(bridgeC.start(&service));
  ClientLink ann;
  ASSERT_TRUE(ann.open(bridgeC.port()));
  const auto login = ann.login(QStringLiteral("ann@example.com"), QStringLiteral("ann-pass"), 20s);
  ASSERT_TRUE(login && vantrel::intOf(*login, "Result") == 1);
  std::optional<ClientLink::Frame> opened;
  for (int attempt = 0; attempt < 40; ++attempt) {
    ann.send(QStringLiteral("ClientInit"), {{"Id_user", vantrel::textOf(*login, "Token").toStdString()},
                                            {"Hostname", "bob@example.com"}, {"Hosttag", "KELVORSENDFILE"},
                                            {"Hostpassword", ""}});
    opened = ann.waitForCode(QStringLiteral("P2PCLIENT"), 10s);
    if (!opened || vantrel::textOf(opened->data, "Type") == QLatin1String("GetShareHost6Client")) break;
    idleFor(500ms);
  }
  ASSERT_TRUE(opened && vantrel::textOf(opened->data, "Type") == QLatin1String("GetShareHost6Client"));
  const Json link = vantrel::valueOf(opened->data, "Msg");
  const QString offer = vantrel::textOf(link, "ClientID1") + QLatin1Char('|') + vantrel::textOf(link, "ClientID2");
  EXPECT_EQ(ann.answer(offer, QStringLiteral("WaitRemoteReceiveFiles"),
                       {{"Session", offer.toStdString()}, {"Summary", "a.txt 1 B"}, {"FromUser", "Ann"}, {"UUID", "u1"}}),
            (Json{{"data", "1"}}));
  ASSERT_TRUE(window.ctlViewReceiveFile().isShowView);

  // While the offer waits, and once Bob has declined it, his browser lists and checks on.
  ASSERT_TRUE(checkAnswered(browser));
  EXPECT_EQ(browser.conStatus(), ConStatus::csConnected) << browser.hostInvalidInfo().toStdString();
  ReceiveFile panel(window, liveContactsPort());
  panel.cancelTapped();
  EXPECT_EQ(ann.answer(offer, QStringLiteral("WaitRemoteReceiveFilesPressButton"), {{"UUID", "u1"}}),
            (Json{{"data", "2"}}));
  browser.getFileList(shared + QStringLiteral("/pictures"));
  ASSERT_TRUE(spinUntil([&] { return browser.fileList().size() == 3 && !browser.isLoading.value(); }, 10s))
      << browser.hostInvalidInfo().toStdString();
  ASSERT_TRUE(checkAnswered(browser));
  EXPECT_EQ(browser.conStatus(), ConStatus::csConnected) << browser.hostInvalidInfo().toStdString();

  // Ann turns downloads off: Bob keeps browsing, without the download button.
  ASSERT_TRUE(e2eclient::editShare(clientA.home(), annId, QStringLiteral("ann-host"), QStringLiteral("Pics"),
                                   [](SharingObj& share) { share.isdownload = false; }));
  ASSERT_TRUE(spinUntil([&] { return checkAnswered(browser) && !browser.isdownload(); }, 20s));
  ASSERT_TRUE(checkAnswered(browser));
  EXPECT_EQ(browser.conStatus(), ConStatus::csConnected) << browser.hostInvalidInfo().toStdString();
  EXPECT_EQ(browser.pathCurrent(), shared + QStringLiteral("/pictures"));

  // Ann disables the share: the visit ends, saying so.
  ASSERT_TRUE(e2eclient::editShare(clientA.home(), annId, QStringLiteral("ann-host"), QStringLiteral("Pics"),
                                   [](SharingObj& share) { share.isenabled = false; }));
  ASSERT_TRUE(spinUntil([&] { return checkAnswered(browser) && browser.conStatus() == ConStatus::csInvalid; }, 20s));
  EXPECT_EQ(browser.hostInvalidInfo(), L("RS_Host_NotEnabled"));
}

}  // namespace
