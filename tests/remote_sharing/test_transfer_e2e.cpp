// Transfers end to end on loopback: the account service, bridge A with the
// client A (offscreen, its own home with a share), and bridge B with this test process as
// client B, whose download and upload sheets move files to and from A's share
// while client A's own path gate decides what may be served and written.
#include "vantrel_harness.h"

#include "bridge/bridge_link.h"
#include "bridge/env.h"
#include "bridge/login.h"
#include "bridge/p2p_client_msg.h"
#include "bridge/user_info.h"
#include "core/util_db.h"
#include "local_sharing/share_account.h"
#include "local_sharing/share_store.h"
#include "remote_sharing/download_sheet.h"
#include "remote_sharing/remote_file_list.h"
#include "remote_sharing/upload_sheet.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QSslConfiguration>
#include <QUrlQuery>

#include <gtest/gtest.h>

using namespace vantreltest;

namespace {

QByteArray randomBytes(qsizetype n) {
  QByteArray bytes(n, Qt::Uninitialized);
  QRandomGenerator::global()->fillRange(reinterpret_cast<quint32*>(bytes.data()), n / 4);
  return bytes;
}

void writeFile(const QString& path, const QByteArray& bytes) {
  QDir().mkpath(QFileInfo(path).absolutePath());
  QFile f(path);
  ASSERT_TRUE(f.open(QIODevice::WriteOnly));
  f.write(bytes);
}

QByteArray readFile(const QString& path) {
  QFile f(path);
  return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<missing>");
}

QStringList filesBelow(const QString& dir) {
  QStringList found;
  QDirIterator it(dir, QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
  while (it.hasNext()) found.append(QDir(dir).relativeFilePath(it.next()));
  found.sort();
  return found;
}

class TransferEndToEnd : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(service.start()) << service.child().output().toStdString();
    QByteArray id;
    ASSERT_EQ(service.child().run(binDir() + QStringLiteral("/kelvor-service"),
                                  {QStringLiteral("add-account"), QStringLiteral("--data"), service.dataDir(),
                                   QStringLiteral("--email"), QStringLiteral("ann@example.com"),
                                   QStringLiteral("--password"), QStringLiteral("ann-pass"), QStringLiteral("--name"),
                                   QStringLiteral("Ann"), QStringLiteral("--hostname"), QStringLiteral("ann-host")},
                                  &id),
              0);
    annId = id.trimmed().toLongLong();
    ASSERT_GT(annId, 0) << id.toStdString();
    ASSERT_TRUE(service.addAccount(QStringLiteral("bob@example.com"), QStringLiteral("bob-pass"),
                                   QStringLiteral("Bob"), QStringLiteral("bob-host")));
  }
  void TearDown() override {
    Env::RemoteFileListShared = nullptr;
    Env::P2PConnectOwner = 0;
    Env::RemoteConnected = false;
    P2PClientMsg::dropPendingTasks();
    bridgelink::dropSocket();
    Env::BridgeConnected = false;
  }

  // Client A's home: a shared folder that takes uploads, and a private file
  // beside it.
  void seedClientHome(const QString& home) {
    shared = home + QStringLiteral("/Shared");
    writeFile(shared + QStringLiteral("/report.txt"), "quarterly");
    writeFile(shared + QStringLiteral("/album/one.bin"), album);
    writeFile(shared + QStringLiteral("/album/deeper/two.txt"), "two");
    writeFile(home + QStringLiteral("/private.txt"), "not shared");
    const QString db = home + QStringLiteral("/Documents/Kelvor/db");
    QDir().mkpath(db);
    ASSERT_TRUE(UtilDB::openAt(db + QStringLiteral("/kelvor.dat")));
    shareaccount::setForTesting(annId, QStringLiteral("ann-host"));
    SharingObj share;
    share.tag = QStringLiteral("Box");
    share.path = shared;
    share.isdownload = true;
    share.isupload = true;
    share.setSharePassword(QStringLiteral("Pass1"));
    ASSERT_TRUE(insertShare(share));
    UtilDB::reset();
  }

  // The client's login sheet logs its QR page address; confirming that page,
  // as the phone would, signs the client in.
  void signInByQrPage(Child& client) {
    const QRegularExpression page(QStringLiteral("/wx/login/\\?mid=([^&\\s]+)&token=([^&\\s]+)"));
    QRegularExpressionMatch match;
    ASSERT_TRUE(spinUntil([&] { return (match = page.match(QString::fromUtf8(client.output()))).hasMatch(); }, 20s))
        << client.output().toStdString();
    QUrlQuery form;
    form.addQueryItem(QStringLiteral("token"), QUrl::fromPercentEncoding(match.captured(2).toUtf8()));
    form.addQueryItem(QStringLiteral("mid"), QUrl::fromPercentEncoding(match.captured(1).toUtf8()));
    form.addQueryItem(QStringLiteral("email"), QStringLiteral("ann@example.com"));
    form.addQueryItem(QStringLiteral("password"), QStringLiteral("ann-pass"));
    QNetworkRequest request(QUrl(service.siteBase() + QStringLiteral("/wx/login/confirm")));
    QSslConfiguration tls = QSslConfiguration::defaultConfiguration();
    tls.addCaCertificates(QSslCertificate::fromPath(service.caFile()));
    request.setSslConfiguration(tls);
    request.setHeader(QNetworkRequest::ContentTypeHeader, QStringLiteral("application/x-www-form-urlencoded"));
    QNetworkAccessManager network;
    QNetworkReply* reply = network.post(request, form.toString(QUrl::FullyEncoded).toUtf8());
    ASSERT_TRUE(spinUntil([reply] { return reply->isFinished(); }, 10s));
    reply->deleteLater();
    ASSERT_TRUE(spinUntil([&] { return client.output().contains("Host Login Succeeded"); }, 30s))
        << client.output().toStdString();
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

  Service service;
  qint64 annId = 0;
  QString shared;
  QByteArray album = randomBytes(2 * 1024 * 1024 + 8);
};

TEST_F(TransferEndToEnd, DownloadsAndUploadsThroughTheBrowsersSheets) {
  BridgeProcess bridgeA;
  ASSERT_TRUE(bridgeA.start(&service, "secret-a"));
  Child clientA;
  seedClientHome(clientA.home());
  service.configure(clientA.env());
  clientA.env().insert(QStringLiteral("ZARKELO_ENV_MODE"), QStringLiteral("1"));
  clientA.env().insert(QStringLiteral("ZARKELO_BRIDGE_PORT"), QString::number(bridgeA.port()));
  clientA.env().insert(QStringLiteral("ZARKELO_BRIDGE_SECRET"), QStringLiteral("secret-a"));
  clientA.env().insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
  ASSERT_TRUE(clientA.start(binDir() + QStringLiteral("/zarkelo"), {}));
  signInByQrPage(clientA);

  BridgeProcess bridgeB;
  ASSERT_TRUE(bridgeB.start(&service, "secret-b"));
  Env::EnvMode = 1;
  Env::BridgePort = bridgeB.port();
  Env::BridgeSecret = QStringLiteral("secret-b");
  ConnectBridge();
  ASSERT_TRUE(spinUntil([] { return Env::BridgeConnected; }, 10s));
  SendLogin(QStringLiteral("bob@example.com"), QStringLiteral("bob-pass"));
  ASSERT_TRUE(spinUntil([] { return !UserInfo::shared()->Token.isEmpty(); }, 10s));

  RemoteFileListController browser;
  browser.stopTimers();
  RemoteSharing host;
  host.hostid = QStringLiteral("A");
  host.hostname = QStringLiteral("ann-host");
  host.hosttag = QStringLiteral("box");
  host.password = QStringLiteral("pass1");
  browser.setActiveHost(host);
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
    sheet.stopTimer();
    sheet.onAppear();
    sheet.setDownloadSaveAt(local.path() + QStringLiteral("/Downloads"));
    sheet.ok();
    ASSERT_TRUE(spinUntil([&] { return sheet.downloadStatus() == RemoteSharingDownloadStatus::dsRunning; }, 10s));
    ASSERT_TRUE(tickUntil(sheet, [&] { return sheet.downloadStatus() != RemoteSharingDownloadStatus::dsRunning; }));
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
  FileItem outside;
  outside.name = QStringLiteral("private.txt");
  outside.fullPath = clientA.home() + QStringLiteral("/private.txt");
  browser.ctlDownload().fileItems = {outside};
  browser.isShowDownload.set(true);
  {
    RemoteDownloadController sheet(browser.ctlDownload(), browser.isShowDownload);
    sheet.stopTimer();
    sheet.onAppear();
    sheet.setDownloadSaveAt(local.path() + QStringLiteral("/Refused"));
    sheet.ok();
    ASSERT_TRUE(spinUntil([&] { return sheet.downloadStatus() == RemoteSharingDownloadStatus::dsRunning; }, 10s));
    ASSERT_TRUE(tickUntil(sheet, [&] { return sheet.downloadStatus() != RemoteSharingDownloadStatus::dsRunning; }));
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
    sheet.stopTimer();
    sheet.onAppear();
    sheet.setUploadTarget(local.path() + QStringLiteral("/trip"));
    sheet.ok();
    ASSERT_TRUE(spinUntil([&] { return sheet.uploadStatus() == RemoteSharingDownloadStatus::dsRunning; }, 10s));
    ASSERT_TRUE(tickUntil(sheet, [&] { return sheet.uploadStatus() != RemoteSharingDownloadStatus::dsRunning; }));
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
  browser.ctlUpload().pathRemote = clientA.home();
  browser.ctlUpload().target = local.path() + QStringLiteral("/trip/notes.txt");
  browser.isShowUpload.set(true);
  {
    RemoteUploadController sheet(browser.ctlUpload(), browser.isShowUpload);
    sheet.stopTimer();
    sheet.onAppear();
    ASSERT_TRUE(spinUntil([&] { return sheet.uploadStatus() == RemoteSharingDownloadStatus::dsRunning; }, 10s));
    ASSERT_TRUE(tickUntil(sheet, [&] { return sheet.uploadStatus() != RemoteSharingDownloadStatus::dsRunning; }));
    EXPECT_EQ(sheet.uploadStatus(), RemoteSharingDownloadStatus::dsCanceld);
  }
  EXPECT_FALSE(QFile::exists(clientA.home() + QStringLiteral("/notes.txt")));
}

}  // namespace
