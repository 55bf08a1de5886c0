// Transfers end to end on loopback: the account service, bridge A with the
// client A (offscreen, its own home with a share), and bridge B with this test process as
// client B, whose download and upload sheets move files to and from A's share
// while client A's own path gate decides what may be served and written.
#include "ann_share_fixture.h"

#include "remote_sharing/download_sheet.h"
#include "remote_sharing/remote_file_list.h"
#include "remote_sharing/upload_sheet.h"
#include "support/test_util.h"

#include <QDir>
#include <QTemporaryDir>

#include <gtest/gtest.h>

using namespace vantreltest;
using testutil::filesBelow;
using testutil::randomBytes;
using testutil::readFile;
using testutil::writeFile;

namespace {

class TransferEndToEnd : public AnnShareFixture {
 protected:
  // Client A's home: a shared folder that takes uploads, and a private file
  // beside it.
  void seedClientHome(const QString& home) {
    shared = home + QStringLiteral("/Shared");
    writeFile(shared + QStringLiteral("/report.txt"), "quarterly");
    writeFile(shared + QStringLiteral("/album/one.bin"), album);
    writeFile(shared + QStringLiteral("/album/deeper/two.txt"), "two");
    writeFile(home + QStringLiteral("/private.txt"), "not shared");
    SharingObj share = e2eclient::passOneShare(QStringLiteral("Box"), shared);
    share.isdownload = true;
    share.isupload = true;
    ASSERT_TRUE(e2eclient::seedShare(home, annId, QStringLiteral("ann-host"), share));
  }

  // Ticks a sheet's one-second poll (faster) until `done`.
  template <class Sheet>
  bool tickUntil(Sheet& sheet, const std::function<bool()>& done) {
    for (int i = 0; i < 300 && !done(); ++i) {
      sheet.onTick();
      spinUntil(done, 100ms);
    }
    return done();
  }

  // Opens `sheet`, lets `start` begin its transfer, waits until it runs and
  // ticks it until it has run to its end; false when either never happens.
  template <class Sheet>
  bool runTransfer(Sheet& sheet, RemoteSharingDownloadStatus (Sheet::*status)() const,
                   const std::function<void()>& start) {
    sheet.stopTimer();
    sheet.onAppear();
    start();
    const auto running = [&] { return (sheet.*status)() == RemoteSharingDownloadStatus::dsRunning; };
    return spinUntil(running, 10s) && tickUntil(sheet, [&] { return !running(); });
  }

  QString shared;
  QByteArray album = randomBytes(2 * 1024 * 1024 + 8);
};

TEST_F(TransferEndToEnd, DownloadsAndUploadsThroughTheBrowsersSheets) {
  startBothClients([this](const QString& home) { seedClientHome(home); });
  if (HasFatalFailure()) return;

  RemoteFileListController browser;
  browser.stopTimers();
  browser.setActiveHost(annHost(QStringLiteral("box")));
  browser.onAppearFileList();
  // Client A's bridge may still be joining the relay: connect again until it answers.
  for (int attempt = 0; attempt < 20 && browser.fileList().size() != 2; ++attempt) {
    if (spinUntil([&] { return browser.fileList().size() == 2 && !browser.isLoading.value(); }, 1s)) break;
    browser.ConnectRemoteHost();
  }
  ASSERT_TRUE(spinUntil([&] { return browser.fileList().size() == 2 && !browser.isLoading.value(); }, 10s))
      << browser.hostInvalidInfo().toStdString() << clientA.output().toStdString();

  // Download the folder and the file, marked in the browser, through the sheet.
  for (int i = 0; i < browser.fileList().size(); ++i) browser.toggleChecked(i);
  browser.openDownloadForChecked();
  ASSERT_TRUE(browser.isShowDownload.value());
  QTemporaryDir local;
  {
    RemoteDownloadController sheet(browser.ctlDownload(), browser.isShowDownload);
    ASSERT_TRUE(runTransfer(sheet, &RemoteDownloadController::downloadStatus, [&] {
      sheet.setDownloadSaveAt(local.path() + QStringLiteral("/Downloads"));
      sheet.ok();
    }));
    EXPECT_EQ(sheet.downloadStatus(), RemoteSharingDownloadStatus::dsFinished) << clientA.output().toStdString();
    EXPECT_EQ(sheet.status().TotalTaskDoneCount, 3);
    sheet.ok();
    EXPECT_FALSE(browser.isShowDownload.value());
  }
  const QString downloads = local.path() + QStringLiteral("/Downloads");
  EXPECT_EQ(filesBelow(downloads), (QStringList{QStringLiteral("album/deeper/two.txt"), QStringLiteral("album/one.bin"),
                                                QStringLiteral("report.txt")}));
  EXPECT_EQ(readFile(downloads + QStringLiteral("/album/one.bin")), album);

  // A path beside the share, named by hand: client A's gate refuses it.
  browser.ctlDownload() = CTLDownload{};
  browser.ctlDownload().session = browser.link().session;
  FileItem outside;
  outside.name = QStringLiteral("private.txt");
  outside.fullPath = clientA.home() + QStringLiteral("/private.txt");
  browser.ctlDownload().fileItems = {outside};
  browser.isShowDownload.set(true);
  {
    RemoteDownloadController sheet(browser.ctlDownload(), browser.isShowDownload);
    ASSERT_TRUE(runTransfer(sheet, &RemoteDownloadController::downloadStatus, [&] {
      sheet.setDownloadSaveAt(local.path() + QStringLiteral("/Refused"));
      sheet.ok();
    }));
    EXPECT_EQ(sheet.downloadStatus(), RemoteSharingDownloadStatus::dsCanceld);
    EXPECT_FALSE(browser.isShowDownload.value());
  }
  EXPECT_TRUE(filesBelow(local.path() + QStringLiteral("/Refused")).isEmpty());

  // Upload a local folder into the share's root.
  const QByteArray photo = randomBytes(1024 * 1024 + 4);
  writeFile(local.path() + QStringLiteral("/trip/photo.jpg"), photo);
  writeFile(local.path() + QStringLiteral("/trip/notes.txt"), "notes");
  browser.openUploadSheet();
  {
    RemoteUploadController sheet(browser.ctlUpload(), browser.isShowUpload);
    ASSERT_TRUE(runTransfer(sheet, &RemoteUploadController::uploadStatus, [&] {
      sheet.setUploadTarget(local.path() + QStringLiteral("/trip"));
      sheet.ok();
    }));
    EXPECT_EQ(sheet.uploadStatus(), RemoteSharingDownloadStatus::dsFinished);
    EXPECT_EQ(sheet.status().TotalTaskDoneCount, 2);
    sheet.ok();
  }
  EXPECT_TRUE(browser.ctlUpload().isUploadSucc);
  EXPECT_EQ(readFile(shared + QStringLiteral("/trip/photo.jpg")), photo);
  EXPECT_EQ(readFile(shared + QStringLiteral("/trip/notes.txt")), QByteArray("notes"));
  // The browser reloads the folder after a finished upload.
  ASSERT_TRUE(spinUntil([&] { return browser.fileList().size() == 3 && !browser.isLoading.value(); }, 10s));

  // Into a folder outside the share: refused by client A, nothing written.
  browser.ctlUpload() = CTLUpload{};
  browser.ctlUpload().session = browser.link().session;
  browser.ctlUpload().pathRemote = clientA.home();
  browser.ctlUpload().target = local.path() + QStringLiteral("/trip/notes.txt");
  browser.isShowUpload.set(true);
  {
    RemoteUploadController sheet(browser.ctlUpload(), browser.isShowUpload);
    ASSERT_TRUE(runTransfer(sheet, &RemoteUploadController::uploadStatus, [] {}));
    EXPECT_EQ(sheet.uploadStatus(), RemoteSharingDownloadStatus::dsCanceld);
  }
  EXPECT_FALSE(QFile::exists(clientA.home() + QStringLiteral("/notes.txt")));

  // Client B's bridge restarts under a running download: the new one does not
  // know it, and the sheet ends with that reason instead of running for ever.
  browser.ctlDownload() = CTLDownload{};
  browser.ctlDownload().session = browser.link().session;
  FileItem report;
  report.name = QStringLiteral("report.txt");
  report.fullPath = shared + QStringLiteral("/report.txt");
  browser.ctlDownload().fileItems = {report};
  browser.isShowDownload.set(true);
  {
    RemoteDownloadController sheet(browser.ctlDownload(), browser.isShowDownload);
    sheet.stopTimer();
    sheet.onAppear();
    sheet.setDownloadSaveAt(local.path() + QStringLiteral("/Again"));
    sheet.ok();
    ASSERT_TRUE(spinUntil([&] { return sheet.downloadStatus() == RemoteSharingDownloadStatus::dsRunning; }, 10s));
    bridgeB.child().kill();
    e2eclient::disconnectThisProcess();
    ASSERT_TRUE(bridgeB.start(&service, "secret-b", bridgeB.port()));
    bool connected = false;
    for (int attempt = 0; attempt < 20 && !connected; ++attempt) {
      connected = e2eclient::connectThisProcess(bridgeB.port(), QStringLiteral("secret-b"));
      if (!connected) e2eclient::disconnectThisProcess();
    }
    ASSERT_TRUE(connected) << bridgeB.child().output().toStdString();
    ASSERT_TRUE(tickUntil(sheet, [&] { return sheet.downloadStatus() != RemoteSharingDownloadStatus::dsRunning; }));
    EXPECT_EQ(sheet.downloadStatus(), RemoteSharingDownloadStatus::dsCanceld);
    EXPECT_EQ(sheet.status().Reason, QStringLiteral("unknown"));
    EXPECT_FALSE(browser.isShowDownload.value());
  }
}

}  // namespace
