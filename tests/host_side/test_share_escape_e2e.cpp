// End to end on loopback, as an attacker would try it: the account service,
// bridge A with client A (its home holding two shares without an access code,
// one whose transfers take the relay and one whose take the local-network
// route), bridge B with a stranger's peer. Each share holds a symbolic link out
// of it, links that stay inside, and decoys that make the escaping paths look
// like paths inside the share once ".." is folded away by text. On every route
// (listing, thumbnails, pull, push, delete, new folder; relay and local
// network) nothing outside the share is read or written, also when a folder or
// a file is swapped for a link between the check and the open, while the links
// that stay inside keep working.
#include <gtest/gtest.h>

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

#include "host_peer_fixture.h"
#include "support/test_util.h"

using namespace vantreltest;
using testutil::readFile;
using testutil::writeFile;

namespace {

const QByteArray kSecret = "TOPSECRET-of-the-owner";
const QByteArray kHome = "HOME-file-of-the-owner";

class ShareEscape : public hostpeer::PeerFixture {
 protected:
  // The owner's files beside the shares, and one share `name` at `home/name`.
  void seedHome(const QString& home) {
    this->home = home;
    QDir().mkpath(home + QStringLiteral("/Private"));
    writeFile(home + QStringLiteral("/Private/secret.txt"), kSecret);
    writeFile(home + QStringLiteral("/homefile.txt"), kHome);
    ASSERT_TRUE(e2eclient::savePictures(QSize(64, 48), Qt::red, {home + QStringLiteral("/Private/pic.png")}));
    for (const auto& [name, lan] : {std::pair{QStringLiteral("Relayed"), false}, std::pair{QStringLiteral("Local"), true}}) {
      const QString share = home + QLatin1Char('/') + name;
      QDir().mkpath(share + QStringLiteral("/sub"));
      QDir().mkpath(share + QStringLiteral("/Private"));
      writeFile(share + QStringLiteral("/sub/inside.txt"), "inside");
      ASSERT_TRUE(e2eclient::savePictures(QSize(64, 48), Qt::green, {share + QStringLiteral("/sub/pic.png")}));
      // Decoys: what "lnk/../x" means once ".." is folded away by text.
      writeFile(share + QStringLiteral("/Private/secret.txt"), "decoy");
      writeFile(share + QStringLiteral("/homefile.txt"), "decoy");
      ASSERT_TRUE(QFile::link(QStringLiteral("../Private"), share + QStringLiteral("/lnk")));
      ASSERT_TRUE(QFile::link(QStringLiteral("../Private/secret.txt"), share + QStringLiteral("/filelink")));
      ASSERT_TRUE(QFile::link(QStringLiteral("sub"), share + QStringLiteral("/inlink")));
      ASSERT_TRUE(QFile::link(share + QStringLiteral("/sub"), share + QStringLiteral("/absin")));
      SharingObj record;
      record.tag = name.left(4).toUpper();
      record.path = share;
      record.isupload = record.isdownload = record.isfiledel = record.isfilenew = true;
      record.isTranLAN = lan;
      ASSERT_TRUE(e2eclient::seedShare(home, annId, QStringLiteral("ann-host"), record));
    }
  }

  std::string listed(const QString& dir) {
    const auto list = ask(QStringLiteral("getFileList"), {{"dir", dir.toStdString()}, {"search", ""}, {"orderBy", ""},
                                                         {"iPageIndex", 1}, {"iPageSize", 100}, {"iProbeCount", 0}});
    return list["sPageInfo"].get<std::string>();
  }
  size_t icons(const QStringList& paths) {
    Json list = Json::array();
    for (const QString& p : paths) list.push_back((p + QStringLiteral("|0|1|-1")).toStdString());
    auto reply = ask(QStringLiteral("buildIcon2"), {{"size", 48}, {"fileList", list}});
    return Json::parse(reply["data"].get<std::string>()).size();
  }

  // Every route against one share.
  void attack(const QString& share, const QString& local) {
    SCOPED_TRACE(share.toStdString());
    const QString save = local + QStringLiteral("/save-") + QFileInfo(share).fileName();

    // Listing: out through the link, and ".." after it, are not there; the
    // links that stay inside list the folder they lead to.
    EXPECT_EQ(listed(share + QStringLiteral("/lnk")), "0|0");
    EXPECT_EQ(listed(share + QStringLiteral("/lnk/..")), "0|0");
    EXPECT_EQ(listed(share + QStringLiteral("/lnk/../Private")), "0|0");
    EXPECT_EQ(listed(share + QStringLiteral("/inlink")), "2|1");
    EXPECT_EQ(listed(share + QStringLiteral("/absin")), "2|1");

    // Thumbnails.
    EXPECT_EQ(icons({share + QStringLiteral("/lnk/pic.png"), share + QStringLiteral("/lnk/../Private/pic.png")}), 0u);
    EXPECT_EQ(icons({share + QStringLiteral("/inlink/pic.png")}), 1u);

    // Pull: the private file, the link to it, the folder behind the link.
    for (const QString& target : {share + QStringLiteral("/lnk/../Private/secret.txt"), share + QStringLiteral("/filelink"),
                                  share + QStringLiteral("/lnk"), share + QStringLiteral("/lnk/..")}) {
      startDownload(target, save);
      const Json refused = downloadPoll(ended);
      EXPECT_EQ(vantrel::intOf(refused, "ForceCancel"), 1) << target.toStdString() << refused.dump();
    }
    startDownload(share + QStringLiteral("/inlink/inside.txt|") + share + QStringLiteral("/absin"), save);
    const Json pulled = downloadPoll(ended);
    EXPECT_EQ(vantrel::intOf(pulled, "TaskStatus"), 1) << pulled.dump();
    EXPECT_EQ(readFile(save + QStringLiteral("/inside.txt")), "inside");
    EXPECT_EQ(readFile(save + QStringLiteral("/absin/inside.txt")), "inside");

    // Push: into the folder behind the link, and into ".." after it.
    writeFile(local + QStringLiteral("/homefile.txt"), "EVIL");
    for (const QString& root : {share + QStringLiteral("/lnk/.."), share + QStringLiteral("/lnk")}) {
      startUpload(local + QStringLiteral("/homefile.txt"), root);
      const Json refused = uploadPoll(ended);
      EXPECT_EQ(vantrel::intOf(refused, "ForceCancel"), 1) << root.toStdString() << refused.dump();
    }
    startUpload(local + QStringLiteral("/homefile.txt"), share + QStringLiteral("/inlink"));
    const Json pushed = uploadPoll(ended);
    EXPECT_EQ(vantrel::intOf(pushed, "TaskStatus"), 1) << pushed.dump();
    EXPECT_EQ(readFile(share + QStringLiteral("/sub/homefile.txt")), "EVIL");

    // Delete and new folder, out and in.
    ask(QStringLiteral("opFileList"),
        {{"cmd", "delete"},
         {"fileList", (share + QStringLiteral("/lnk/../Private/secret.txt|") + share + QStringLiteral("/lnk/../homefile.txt|") +
                       share + QStringLiteral("/lnk/secret.txt|") + share + QStringLiteral("/filelink|") + share +
                       QStringLiteral("/lnk/..|") + share + QStringLiteral("/inlink/homefile.txt"))
                          .toStdString()}});
    EXPECT_TRUE(QFileInfo(share + QStringLiteral("/filelink")).isSymLink());
    EXPECT_FALSE(QFile::exists(share + QStringLiteral("/sub/homefile.txt")));
    ask(QStringLiteral("newFile_create"), {{"dir", (share + QStringLiteral("/lnk")).toStdString()}, {"name", "made"}});
    ask(QStringLiteral("newFile_create"), {{"dir", (share + QStringLiteral("/lnk/..")).toStdString()}, {"name", "made"}});
    ask(QStringLiteral("newFile_create"), {{"dir", (share + QStringLiteral("/inlink")).toStdString()}, {"name", "made"}});
    EXPECT_TRUE(QFileInfo(share + QStringLiteral("/sub/made")).isDir());

    // A folder swapped for a link out after the check, while the file
    // before it arrives: the next file is never written behind the link.
    const QString tree = local + QStringLiteral("/up");
    QDir().mkpath(tree + QStringLiteral("/a"));
    QDir().mkpath(tree + QStringLiteral("/b"));
    {
      QFile big(tree + QStringLiteral("/a/first.bin"));
      ASSERT_TRUE(big.open(QIODevice::WriteOnly));
      ASSERT_TRUE(big.resize(qint64(128) << 20));
    }
    writeFile(tree + QStringLiteral("/b/second.txt"), "EVIL");
    startUpload(tree, share);
    ASSERT_EQ(vantrel::intOf(uploadPoll(moving), "TaskStatus"), 0) << "finished before the folder could be swapped";
    ASSERT_TRUE(QDir(share).rename(QStringLiteral("up/b"), QStringLiteral("up/b-was")));
    ASSERT_TRUE(QFile::link(QStringLiteral("../../Private"), share + QStringLiteral("/up/b")));
    const Json swappedUp = uploadPoll(ended);
    EXPECT_EQ(vantrel::intOf(swappedUp, "TaskStatus"), 0) << swappedUp.dump();

    // A file swapped for a link out after its check, while the file before it
    // is sent: it is never read.
    {
      QFile big(share + QStringLiteral("/big.bin"));
      ASSERT_TRUE(big.open(QIODevice::WriteOnly));
      ASSERT_TRUE(big.resize(qint64(128) << 20));
    }
    writeFile(share + QStringLiteral("/later.txt"), "later");
    startDownload(share + QStringLiteral("/big.bin|") + share + QStringLiteral("/later.txt"), save + QStringLiteral("-swap"));
    ASSERT_EQ(vantrel::intOf(downloadPoll(moving), "TaskStatus"), 0) << "finished before the file could be swapped";
    ASSERT_TRUE(QFile::remove(share + QStringLiteral("/later.txt")));
    ASSERT_TRUE(QFile::link(QStringLiteral("Private/../../Private/secret.txt"), share + QStringLiteral("/later.txt")));
    downloadPoll(ended);
    EXPECT_NE(readFile(save + QStringLiteral("-swap/later.txt")), kSecret);
    QFile::remove(share + QStringLiteral("/big.bin"));
  }

  QString home;
};

TEST_F(ShareEscape, APeerNeitherReadsNorWritesOutsideTheShareOnAnyRoute) {
  BridgeProcess bridgeA;
  ASSERT_TRUE(bridgeA.start(&service, "secret-c"));
  Child clientA;
  seedHome(clientA.home());
  ASSERT_TRUE(e2eclient::startSignedInClient(clientA, service, bridgeA, QStringLiteral("secret-c")))
      << clientA.output().toStdString();

  // A stranger: a share without a code is open to any session.
  BridgeProcess bridgeB;
  openBobsSession(bridgeB, clientA, "RELA", "");
  if (HasFatalFailure()) return;

  QTemporaryDir local;
  const QByteArray lanRoute = "Vantrel - transfer over the local network:";
  attack(home + QStringLiteral("/Relayed"), local.path());
  EXPECT_FALSE(bridgeB.child().output().contains(lanRoute));
  attack(home + QStringLiteral("/Local"), local.path());
  EXPECT_TRUE(bridgeB.child().output().contains(lanRoute));

  // Nothing of the owner's outside the shares was read, changed or added.
  EXPECT_EQ(readFile(home + QStringLiteral("/homefile.txt")), kHome);
  EXPECT_EQ(readFile(home + QStringLiteral("/Private/secret.txt")), kSecret);
  EXPECT_EQ(QDir(home + QStringLiteral("/Private")).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden),
            (QStringList{QStringLiteral("pic.png"), QStringLiteral("secret.txt")}));
  EXPECT_FALSE(QFileInfo::exists(home + QStringLiteral("/made")));
  QDirIterator received(local.path(), QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
  while (received.hasNext()) {
    const QString path = received.next();
    if (QFileInfo(path).size() < (1 << 20)) {
      EXPECT_FALSE(readFile(path).contains(kSecret)) << path.toStdString();
    }
  }
  clientA.stop();
}

}  // namespace
