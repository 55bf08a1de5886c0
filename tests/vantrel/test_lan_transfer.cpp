// Transfers over the local-network route, in-process: two engines joined like
// the relay, the host's engine with a listener on 127.0.0.1. The relay link
// towards the host carries no file data, so an upload that arrives went over
// the route.
#include "share_spot_answer.h"
#include "engine_pair.h"
#include "host_checks.h"

#include "common/tls/tls_identity.h"
#include "support/test_util.h"

#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QSslKey>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <csignal>

#include <sys/resource.h>

using namespace vantrel;
using testutil::filesBelow;
using testutil::randomBytes;
using testutil::readFile;
using testutil::waitUntil;
using testutil::writeFile;

namespace {

const QString kSession = QStringLiteral("C-1|C-2");

struct LanPair : Pair {
  std::unique_ptr<LanListener> listener;
  QString lanFlag = QStringLiteral("1");  // the share's "TransLAN" as the host's checks report it
  QStringList codes;

  LanPair() {
    QString error;
    const auto identity =
        ztls::makeSelfSigned({QStringLiteral("host"), {QStringLiteral("127.0.0.1")}, 30, false}, &error);
    QSslConfiguration tls = QSslConfiguration::defaultConfiguration();
    tls.setLocalCertificate(QSslCertificate(identity->certificatePem, QSsl::Pem));
    tls.setPrivateKey(QSslKey(identity->keyPem, QSsl::Ec, QSsl::Pem, QSsl::PrivateKey));
    listener = std::make_unique<LanListener>(tls);
    EXPECT_TRUE(listener->start(QHostAddress::LocalHost, 0, &error)) << error.toStdString();
    a->setLanListener(listener.get());
    b->setLanFollowing(true, true);  // as a bridge whose own route serves on loopback
    host = [this](const QString& code, const Json& msg) -> Json {
      codes.append(code);
      if (code == QLatin1String("fileUploadCheck"))
        return {{"data", vantreltest::withShareSpot({{"dir", msg.value("dir", "")}, {"valid", 1}, {"TransLAN", lanFlag.toStdString()}},
                                       QStringLiteral("/"), textOf(msg, "dir"))}};
      return answerDownloadCheck(msg, [this](const QString& path) -> Json {
        const QFileInfo info(path);
        return vantreltest::withShareSpot({{"path", path.toStdString()}, {"valid", info.isFile() ? 1 : 0},
                                           {"size", info.size()}, {"TransLAN", lanFlag.toStdString()}},
                                          QStringLiteral("/"), path);
      });
    };
  }
  ~LanPair() { a->setLanListener(nullptr); }

  Json download(const QString& targets, const QString& save) {
    b->startDownload({{"Session", kSession.toStdString()}, {"Targets", targets.toStdString()},
                      {"SaveAtLocalFolder", save.toStdString()}});
    Json last;
    waitUntil(
        [&] {
          last = b->downloadProgress(kSession);
          return intOf(last, "TaskStatus") == 1 || intOf(last, "ForceCancel") == 1;
        },
        std::chrono::seconds(20));
    return last;
  }

  // Starts an upload of `targets` into `into` and waits for its end; the
  // answer to the start goes to `answer`.
  Json upload(const QString& targets, const QString& into, Json* answer = nullptr) {
    b->startUpload({{"Session", kSession.toStdString()}, {"Targets", targets.toStdString()},
                    {"RemotePathRoot", into.toStdString()}},
                   [answer](const Json& a) {
                     if (answer) *answer = a;
                   });
    Json last;
    waitUntil(
        [&] {
          last = b->uploadProgress(kSession);
          return intOf(last, "TaskStatus") == 1 || intOf(last, "ForceCancel") == 1;
        },
        std::chrono::seconds(20));
    return last;
  }
};

// A share with a small tree: docs/a.txt, docs/empty, docs/sub/big.bin.
QByteArray makeTree(const QString& share) {
  const QByteArray big = randomBytes(3 * 1024 * 1024 + 17);
  writeFile(share + QStringLiteral("/docs/a.txt"), "alpha");
  writeFile(share + QStringLiteral("/docs/sub/big.bin"), big);
  writeFile(share + QStringLiteral("/docs/empty"), QByteArray());
  return big;
}

const QStringList kTree{QStringLiteral("docs/a.txt"), QStringLiteral("docs/empty"), QStringLiteral("docs/sub/big.bin")};

TEST(LanTransfer, DownloadsAndUploadsTakeTheRouteWhenTheShareAllowsIt) {
  QTemporaryDir dir;
  const QString share = dir.path() + QStringLiteral("/share");
  const QByteArray big = makeTree(share);
  LanPair pair;
  // The host's "done" is lost on the relay, which then goes: every file is in
  // place, so the download has succeeded all the same.
  pair.dropTo = [](const QString& op) { return op == QLatin1String("done"); };
  const QString save = dir.path() + QStringLiteral("/save");
  const Json done = pair.download(share + QStringLiteral("/docs"), save);
  pair.b->allSessionsGone();
  EXPECT_EQ(intOf(pair.b->downloadProgress(kSession), "TaskStatus"), 1);
  pair.dropTo = nullptr;
  EXPECT_EQ(intOf(done, "TaskStatus"), 1) << done.dump();
  EXPECT_EQ(intOf(done, "TotalTaskDoneCount"), 3);
  EXPECT_EQ(filesBelow(save), kTree);
  EXPECT_EQ(readFile(save + QStringLiteral("/docs/sub/big.bin")), big);
  EXPECT_EQ(readFile(save + QStringLiteral("/docs/a.txt")), QByteArray("alpha"));
  EXPECT_EQ(pair.dataFrames, 0);  // not a byte through the relay
  // The source heard the end, and its grant is gone with it.
  EXPECT_TRUE(waitUntil([&] { return pair.a->activeCount() == 0; }));
  EXPECT_EQ(pair.listener->capabilities().size(), 0);

  // An upload: b's relay link carries no data at all, so only the route can
  // bring these files.
  const QString mine = dir.path() + QStringLiteral("/mine");
  const QByteArray photo = randomBytes(2 * 1024 * 1024 + 5);
  writeFile(mine + QStringLiteral("/album/photo.jpg"), photo);
  writeFile(mine + QStringLiteral("/album/notes/n.txt"), "note");
  writeFile(mine + QStringLiteral("/single.txt"), "one");
  QDir().mkpath(share + QStringLiteral("/inbox"));
  Json answer;
  const Json up = pair.upload(mine + QStringLiteral("/album|") + mine + QStringLiteral("/single.txt"),
                              share + QStringLiteral("/inbox"), &answer);
  EXPECT_EQ(intOf(answer, "ValidInfo"), 1);
  EXPECT_EQ(intOf(up, "TaskStatus"), 1) << up.dump();
  EXPECT_EQ(intOf(up, "TotalTaskDoneCount"), 3);
  EXPECT_EQ(filesBelow(share + QStringLiteral("/inbox")),
            (QStringList{QStringLiteral("album/notes/n.txt"), QStringLiteral("album/photo.jpg"),
                         QStringLiteral("single.txt")}));
  EXPECT_EQ(readFile(share + QStringLiteral("/inbox/album/photo.jpg")), photo);
  EXPECT_TRUE(waitUntil([&] { return pair.a->activeCount() == 0; }));
  EXPECT_EQ(pair.listener->capabilities().size(), 0);
}

TEST(LanTransfer, TheRelayCarriesTheFilesWhenTheRouteIsNotAllowedOrNotReachable) {
  QTemporaryDir dir;
  const QString share = dir.path() + QStringLiteral("/share");
  const QByteArray big = makeTree(share);

  // The share's "TransLAN" is "0": no grant is even made.
  {
    LanPair pair;
    pair.lanFlag = QStringLiteral("0");
    bool granted = false;
    pair.tamper = [&](const QString& op, Json& msg) { granted |= op == QLatin1String("manifest") && msg.contains("lan"); };
    const QString save = dir.path() + QStringLiteral("/off");
    EXPECT_EQ(intOf(pair.download(share + QStringLiteral("/docs"), save), "TaskStatus"), 1);
    EXPECT_FALSE(granted);
    EXPECT_GT(pair.dataFrames, 0);
    EXPECT_EQ(readFile(save + QStringLiteral("/docs/sub/big.bin")), big);
  }
  // The announced address does not answer (a closed loopback port), or
  // answers with another certificate: the relay, after a short wait.
  QTcpServer probe;
  ASSERT_TRUE(probe.listen(QHostAddress::LocalHost, 0));
  const quint16 closed = probe.serverPort();
  probe.close();
  for (const char* change : {"url", "fp"}) {
    LanPair pair;
    pair.tamper = [&](const QString& op, Json& msg) {
      if (op != QLatin1String("manifest") || !msg.contains("lan")) return;
      const std::string dead = QStringLiteral("https://127.0.0.1:%1").arg(closed).toStdString();
      if (QByteArray(change) == "url") msg["lan"]["url"] = dead, msg["lan"]["urls"] = {dead};
      else msg["lan"]["fp"] = std::string(64, 'a');
    };
    QElapsedTimer timer;
    timer.start();
    const QString save = dir.path() + QStringLiteral("/fallback-") + QLatin1String(change);
    const Json done = pair.download(share + QStringLiteral("/docs"), save);
    EXPECT_EQ(intOf(done, "TaskStatus"), 1) << change << done.dump();
    EXPECT_EQ(intOf(done, "TotalTaskDoneCount"), 3);
    EXPECT_GT(pair.dataFrames, 0);
    EXPECT_EQ(filesBelow(save), kTree);
    EXPECT_EQ(readFile(save + QStringLiteral("/docs/sub/big.bin")), big);
    EXPECT_LT(timer.elapsed(), 10000);
  }

  // A grant naming another service's loopback port and an address outside
  // the peer's networks (decided before any connection, so nothing leaves
  // this machine), or loopback to a peer whose own route is not there: none
  // of it is dialed; the relay carries the files.
  QTcpServer other;
  ASSERT_TRUE(other.listen(QHostAddress::LocalHost, 0));
  int dialed = 0;
  QObject::connect(&other, &QTcpServer::newConnection, [&] {
    while (QTcpSocket* s = other.nextPendingConnection()) ++dialed, s->deleteLater();
  });
  const std::string otherUrl = QStringLiteral("https://127.0.0.1:%1").arg(other.serverPort()).toStdString();
  for (const bool peerOnLoopback : {true, false}) {
    LanPair pair;
    pair.b->setLanFollowing(true, peerOnLoopback);
    const std::string outside = QStringLiteral("https://192.0.2.1:%1").arg(pair.listener->serverPort()).toStdString();
    pair.tamper = [&](const QString& op, Json& msg) {
      if (op != QLatin1String("manifest") || !msg.contains("lan")) return;
      if (peerOnLoopback) msg["lan"]["url"] = outside, msg["lan"]["urls"] = {outside, otherUrl};
      else msg["lan"]["url"] = otherUrl, msg["lan"]["urls"] = {otherUrl};
    };
    const QString save = dir.path() + QStringLiteral("/undialed-%1").arg(peerOnLoopback);
    const Json done = pair.download(share + QStringLiteral("/docs"), save);
    EXPECT_EQ(intOf(done, "TaskStatus"), 1) << done.dump();
    EXPECT_GT(pair.dataFrames, 0);
    EXPECT_EQ(filesBelow(save), kTree);
  }
  EXPECT_FALSE(other.waitForNewConnection(0));
  EXPECT_EQ(dialed, 0);
}

TEST(LanTransfer, ThePeerTriesTheAnnouncedAddressesInOrderWithinTheHandshakeTime) {
  QTemporaryDir dir;
  const QString share = dir.path() + QStringLiteral("/share");
  const QByteArray big = makeTree(share);
  LanPair pair;
  // The host listens on two addresses (both loopback here), on one port.
  QString error;
  ASSERT_TRUE(pair.listener->listenOn({QHostAddress(QStringLiteral("127.0.0.1")), QHostAddress(QStringLiteral("127.0.0.2"))},
                                      0, &error))
      << error.toStdString();
  const quint16 port = pair.listener->serverPort();
  EXPECT_EQ(pair.listener->urls(), (QStringList{QStringLiteral("https://127.0.0.1:%1").arg(port),
                                                QStringLiteral("https://127.0.0.2:%1").arg(port)}));
  // Ahead of the host's second address, all on the route's port: one not to
  // be followed, one where nothing listens, and one that takes the
  // connection but never answers the handshake.
  auto at = [port](const char* address) {
    return QStringLiteral("https://%1:%2").arg(QLatin1String(address)).arg(port).toStdString();
  };
  QTcpServer silent;
  ASSERT_TRUE(silent.listen(QHostAddress(QStringLiteral("127.0.0.4")), port));
  QStringList announced;
  pair.tamper = [&](const QString& op, Json& msg) {
    if (op != QLatin1String("manifest") || !msg.contains("lan")) return;
    for (const Json& url : msg["lan"]["urls"]) announced.append(asText(url));
    msg["lan"]["urls"] = {at("198.51.100.1"), at("127.0.0.3"), at("127.0.0.4"), announced.value(1).toStdString()};
  };
  const QString save = dir.path() + QStringLiteral("/save");
  const Json done = pair.download(share + QStringLiteral("/docs"), save);
  EXPECT_EQ(announced, pair.listener->urls());
  EXPECT_EQ(intOf(done, "TaskStatus"), 1) << done.dump();
  EXPECT_EQ(readFile(save + QStringLiteral("/docs/sub/big.bin")), big);
  EXPECT_EQ(pair.dataFrames, 0);  // the third address carried everything

  // Interfaces changed: the host serves the one address left, on its port.
  ASSERT_TRUE(pair.listener->listenOn({QHostAddress(QStringLiteral("127.0.0.2"))}, 0, &error));
  EXPECT_EQ(pair.listener->urls(), QStringList{QStringLiteral("https://127.0.0.2:%1").arg(port)});
  // None of the addresses answers within the handshake time: the relay.
  QTcpServer silent2;
  ASSERT_TRUE(silent2.listen(QHostAddress(QStringLiteral("127.0.0.5")), port));
  pair.tamper = [&](const QString& op, Json& msg) {
    if (op != QLatin1String("manifest") || !msg.contains("lan")) return;
    msg["lan"]["url"] = at("127.0.0.4");
    msg["lan"]["urls"] = {at("127.0.0.4"), at("127.0.0.5")};
  };
  const QString other = dir.path() + QStringLiteral("/relayed");
  const Json relayed = pair.download(share + QStringLiteral("/docs"), other);
  EXPECT_EQ(intOf(relayed, "TaskStatus"), 1) << relayed.dump();
  EXPECT_GT(pair.dataFrames, 0);
  EXPECT_EQ(readFile(other + QStringLiteral("/docs/sub/big.bin")), big);
}

TEST(LanTransfer, AFileChangedBeforeItsFetchFailsTheTransferAndLeavesNothing) {
  QTemporaryDir dir;
  const QString share = dir.path() + QStringLiteral("/share");
  makeTree(share);
  LanPair pair;
  // Between the host's check and the fetch, the big file grows.
  pair.tamper = [&](const QString& op, Json&) {
    if (op != QLatin1String("manifest")) return;
    QFile file(share + QStringLiteral("/docs/sub/big.bin"));
    ASSERT_TRUE(file.open(QIODevice::Append));
    file.write("more");
  };
  const QString save = dir.path() + QStringLiteral("/save");
  const Json done = pair.download(share + QStringLiteral("/docs"), save);
  EXPECT_EQ(intOf(done, "ForceCancel"), 1) << done.dump();
  EXPECT_EQ(intOf(done, "TaskStatus"), 0);
  EXPECT_EQ(textOf(done, "Reason"), QStringLiteral("source"));
  EXPECT_FALSE(QFile::exists(save + QStringLiteral("/docs/sub/big.bin")));
  // Only the files completed before it stay; no partial file is left.
  for (const QString& name : filesBelow(save)) EXPECT_FALSE(name.contains(QStringLiteral(".zkpart"))) << name.toStdString();
  EXPECT_EQ(pair.dataFrames, 0);
}

// Uploads go several at a time: a file that changed after the offer fails the
// transfer only once the files before it are in place; it and those after it
// are absent, and nothing partial is left. A host whose disk fills up with
// uploads on their way says so over the route itself: with its "cancel" lost
// on the relay, the upload still ends with "disk", never "gone".
TEST(LanTransfer, AnUploadStopsAtAChangedFileOrAFullDiskWithItsReason) {
  QTemporaryDir dir;
  const QString share = dir.path() + QStringLiteral("/share");
  const QString inbox = share + QStringLiteral("/inbox");
  QDir().mkpath(inbox);
  const QString mine = dir.path() + QStringLiteral("/mine/batch");
  QList<QByteArray> bytes;
  QStringList before;
  for (int i = 0; i < 20; ++i) {
    const QString name = QStringLiteral("f%1").arg(i, 2, 10, QLatin1Char('0'));
    bytes.append(randomBytes(256 * 1024 + i));
    writeFile(mine + QLatin1Char('/') + name, bytes.last());
    if (i < 12) before.append(QStringLiteral("batch/") + name);
  }
  {
    LanPair pair;
    pair.tamper = [&](const QString& op, Json&) {
      if (op != QLatin1String("accept")) return;
      QFile file(mine + QStringLiteral("/f12"));
      ASSERT_TRUE(file.open(QIODevice::Append));
      file.write("more");
    };
    const Json up = pair.upload(mine, inbox);
    EXPECT_EQ(intOf(up, "ForceCancel"), 1) << up.dump();
    EXPECT_EQ(textOf(up, "Reason"), QStringLiteral("source"));
    EXPECT_TRUE(textOf(up, "WorkingSpeed").startsWith(QStringLiteral("batch/f12: "))) << up.dump();
    EXPECT_TRUE(waitUntil([&] { return pair.a->activeCount() == 0; }));
    EXPECT_EQ(filesBelow(inbox), before);
    for (int i = 0; i < before.size(); ++i)
      EXPECT_EQ(readFile(inbox + QLatin1Char('/') + before[i]), bytes[i]) << before[i].toStdString();
  }

  // This process may write files of at most 1 MiB while the host takes them
  // (the peer only reads); f12 is larger.
  writeFile(mine + QStringLiteral("/f12"), randomBytes(3 * 1024 * 1024));
  const QString full = share + QStringLiteral("/full");
  QDir().mkpath(full);
  LanPair pair;
  pair.dropTo = [](const QString& op) { return op == QLatin1String("cancel"); };
  std::signal(SIGXFSZ, SIG_IGN);
  rlimit saved{};
  ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &saved), 0);
  rlimit small = saved;
  small.rlim_cur = 1024 * 1024;
  if (saved.rlim_max != RLIM_INFINITY && saved.rlim_max < small.rlim_cur) small.rlim_cur = saved.rlim_max;
  ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
  const Json up = pair.upload(mine, full);
  ::setrlimit(RLIMIT_FSIZE, &saved);
  EXPECT_EQ(intOf(up, "ForceCancel"), 1) << up.dump();
  EXPECT_EQ(textOf(up, "Reason"), QStringLiteral("disk")) << up.dump();
  EXPECT_TRUE(waitUntil([&] { return pair.a->activeCount() == 0; }));
  for (const QString& name : filesBelow(full)) {
    EXPECT_FALSE(name.contains(QStringLiteral(".zkpart"))) << name.toStdString();
    EXPECT_NE(name, QStringLiteral("batch/f12"));
  }
  EXPECT_EQ(pair.dataFrames, 0);
}

}  // namespace
