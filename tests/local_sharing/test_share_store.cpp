#include <gtest/gtest.h>

#include <QDir>
#include <QRegularExpression>
#include <QTemporaryDir>

#include "core/util_db.h"
#include "host_side/path_guard.h"
#include "host_side/share_access.h"
#include "local_sharing/share_account.h"
#include "local_sharing/share_store.h"
#include "local_sharing/sharing_obj.h"

namespace {

class ShareStoreTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(tmp.isValid());
    ASSERT_TRUE(UtilDB::openAt(tmp.filePath(QStringLiteral("kelvor.dat"))));
    shareaccount::setForTesting(7, QStringLiteral("myhost"));
    QDir().mkpath(tmp.filePath(QStringLiteral("folder")));
  }
  void TearDown() override {
    UtilDB::reset();
    shareaccount::setForTesting(0, QStringLiteral("*"));
  }

  // Stores a share with the given tag and returns it as stored.
  SharingObjPtr add(const QString& tag, const QString& path, const QString& password = {}) {
    auto share = std::make_shared<SharingObj>();
    share->tag = tag;
    share->path = path;
    share->setSharePassword(password);
    EXPECT_TRUE(insertShare(*share));
    return share;
  }

  int rows(const QString& table) {
    return UtilDB::queryString(QStringLiteral("select count(*) from ") + table).value_or(QString()).toInt();
  }

  QTemporaryDir tmp;
};

TEST_F(ShareStoreTest, RoundTripKeepsQuotesAndEveryField) {
  auto share = std::make_shared<SharingObj>();
  share->tag = QStringLiteral("it's");
  share->path = tmp.filePath(QStringLiteral("O'Brien's \"files\""));
  share->setSharePassword(QStringLiteral("a'b\"c"));
  share->isupload = true;
  share->isdir = false;
  share->isfilenew = true;
  share->isfiledel = true;
  share->isanonyaccess = false;
  share->isTranLAN = false;
  share->downlimits = -3;
  share->days = 12;
  share->daysctime = 1234567;
  share->DefaultView = 2;
  share->UploadAutoChangeName = QStringLiteral("x'); drop table localshare; --");
  ASSERT_TRUE(insertShare(*share));
  EXPECT_EQ(rows(QStringLiteral("localshare_ext")), 12);

  const auto loaded = loadShares(QStringLiteral("IT'S"), false, false);
  ASSERT_EQ(loaded.size(), 1);
  const SharingObj& s = *loaded[0];
  EXPECT_EQ(s.tag, share->tag);
  EXPECT_EQ(s.path, share->path);
  EXPECT_EQ(s.password, QStringLiteral("a'b\"c"));
  EXPECT_EQ(s.passwordShowing, QStringLiteral("??????"));
  EXPECT_TRUE(s.isupload);
  EXPECT_FALSE(s.isdir);
  EXPECT_TRUE(s.isfilenew);
  EXPECT_FALSE(s.isfilerename);
  EXPECT_TRUE(s.isfiledel);
  EXPECT_FALSE(s.isanonyaccess);
  EXPECT_FALSE(s.isTranLAN);
  EXPECT_TRUE(s.isTranP2P);
  EXPECT_EQ(s.downlimits, -3);
  EXPECT_EQ(s.days, 12u);
  EXPECT_EQ(s.daysctime, 1234567u);
  EXPECT_EQ(s.DefaultView, 2);
  EXPECT_EQ(s.UploadAutoChangeName, share->UploadAutoChangeName);
  EXPECT_EQ(s.ctime.size(), 19);
  EXPECT_TRUE(s.iExpired);  // 12 days from a start in 1970

  EXPECT_TRUE(checkSharePassword(QStringLiteral("It's"), QStringLiteral("A'B\"C")));
  EXPECT_FALSE(checkSharePassword(QStringLiteral("It's"), QStringLiteral("' or '1'='1")));
  EXPECT_FALSE(checkSharePassword(QStringLiteral("x' or '1'='1"), QStringLiteral("a'b\"c")));
  EXPECT_TRUE(shareExists(QStringLiteral("IT'S")));
  EXPECT_FALSE(shareExists(QStringLiteral("' or 1=1 --")));
}

TEST_F(ShareStoreTest, EveryStatementIsLimitedToTheAccount) {
  add(QStringLiteral("MINE"), tmp.filePath(QStringLiteral("folder")), QStringLiteral("pw"));
  shareaccount::setForTesting(8, QStringLiteral("other"));
  add(QStringLiteral("THEIRS"), tmp.filePath(QStringLiteral("folder")));
  EXPECT_EQ(loadShares(QString(), false, false).size(), 1);
  EXPECT_FALSE(shareExists(QStringLiteral("MINE")));
  EXPECT_FALSE(checkSharePassword(QStringLiteral("MINE"), QStringLiteral("pw")));
  EXPECT_TRUE(getShareCTime(QStringLiteral("MINE")).isEmpty());
  EXPECT_TRUE(deleteShare(QStringLiteral("MINE")));
  EXPECT_TRUE(setDefaultShareInDB(QStringLiteral("THEIRS")));
  shareaccount::setForTesting(7, QStringLiteral("myhost"));
  const auto mine = loadShares(QString(), false, false);
  ASSERT_EQ(mine.size(), 1);
  EXPECT_FALSE(mine[0]->isDefault);
  EXPECT_TRUE(defaultShareTag().isEmpty());
}

TEST_F(ShareStoreTest, DefaultShareAndWebLoads) {
  const QString folder = tmp.filePath(QStringLiteral("folder"));
  add(QStringLiteral("AAAA"), folder + QStringLiteral("/b"), QStringLiteral("secret"));
  add(QStringLiteral("BBBB"), folder + QStringLiteral("/a"));
  // Without a default share.
  EXPECT_TRUE(getShareCTime(QString()).isEmpty());
  EXPECT_FALSE(checkSharePassword(QString(), QString()));
  EXPECT_TRUE(loadShares(QString(), true, true).isEmpty());
  EXPECT_EQ(loadShares(QString(), false, true).size(), 2);
  // Ordered by folder first, then path.
  EXPECT_EQ(loadShares(QString(), false, false).value(0)->tag, QStringLiteral("BBBB"));

  SharingObjList list;
  list.setItems(loadShares(QString(), false, false));
  EXPECT_FALSE(list.setDefaultShare(QStringLiteral("aaaa")));  // the list compares exactly
  EXPECT_TRUE(list.setDefaultShare(QStringLiteral("AAAA")));
  EXPECT_TRUE(list.items()[1]->isDefault);
  EXPECT_FALSE(list.items()[0]->isDefault);
  EXPECT_EQ(defaultShareTag(), QStringLiteral("AAAA"));

  const auto web = loadShares(QString(), true, true);
  ASSERT_EQ(web.size(), 1);
  EXPECT_EQ(web[0]->tag, QStringLiteral("AAAA"));
  EXPECT_EQ(web[0]->password, QStringLiteral("????????"));
  EXPECT_EQ(loadShares(QStringLiteral("index.php"), false, true).value(0)->password, QStringLiteral("secret"));
  EXPECT_TRUE(loadShares(QStringLiteral("INDEX.PHP"), false, true).isEmpty());
  EXPECT_FALSE(getShareCTime(QStringLiteral("index.php")).isEmpty());
  EXPECT_TRUE(checkSharePassword(QStringLiteral("index.php"), QStringLiteral("SECRET")));
  EXPECT_FALSE(checkSharePassword(QStringLiteral("BBBB"), QStringLiteral("x")));
  EXPECT_TRUE(checkSharePassword(QStringLiteral("bbbb"), QString()));

  // Moving the default leaves exactly one.
  EXPECT_TRUE(list.setDefaultShare(QStringLiteral("BBBB")));
  EXPECT_EQ(
      UtilDB::queryString(QStringLiteral("select count(*) from localshare_ext where key='IsDefault' and value='1'"))
          .value_or(QString()),
      QStringLiteral("1"));

  // Disabled shares are not offered to the web.
  list.items()[0]->isenabled = false;
  ASSERT_TRUE(saveShare(*list.items()[0]));
  EXPECT_TRUE(loadShares(QStringLiteral("BBBB"), true, false).isEmpty());

  // URLs: the default share's ends at "/".
  SharingObj& def = *list.items()[0];
  def.refreshTagURL();
  EXPECT_TRUE(def.tagURL.startsWith(QStringLiteral("https://myhost.")));
  EXPECT_TRUE(def.tagURL.endsWith(QLatin1Char('/')));
  EXPECT_TRUE(def.buildShareURL().endsWith(QStringLiteral("/BBBB")));
}

TEST_F(ShareStoreTest, MissingSettingsLoadWithTheirDefaults) {
  ASSERT_TRUE(
      UtilDB::execute(QStringLiteral("insert into localshare values (7, 'RAW', '/x', '', 1, 0, 1, 1, "
                                     "datetime('now','localtime'))")));
  const auto loaded = loadShares(QStringLiteral("raw"), false, false);
  ASSERT_EQ(loaded.size(), 1);
  const SharingObj& s = *loaded[0];
  EXPECT_EQ(s.days, 31u);
  EXPECT_EQ(s.daysctime, 0u);
  EXPECT_TRUE(s.isanonyaccess);
  EXPECT_EQ(s.DefaultView, 5);
  EXPECT_FALSE(s.isTranLAN);
  EXPECT_FALSE(s.isTranP2P);
  EXPECT_FALSE(s.isDefault);
  EXPECT_FALSE(s.iExpired);
  EXPECT_TRUE(s.passwordShowing.isEmpty());
}

TEST_F(ShareStoreTest, CreateRenameAndRemove) {
  const QString folder = tmp.filePath(QStringLiteral("folder"));
  ASSERT_TRUE(createShare(folder));
  ASSERT_TRUE(createShare(folder));
  auto shares = loadShares(QString(), false, false);
  ASSERT_EQ(shares.size(), 2);
  EXPECT_NE(shares[0]->tag, shares[1]->tag);
  EXPECT_TRUE(QRegularExpression(QStringLiteral("^[0-9A-Z]{4}$")).match(shares[0]->tag).hasMatch());
  EXPECT_TRUE(shares[0]->isdir);
  EXPECT_TRUE(shares[0]->isTranLAN);

  // Renaming onto the other share's tag is refused and changes nothing.
  SharingObj& first = *shares[0];
  const QString firstTag = first.tag;
  first.tagOld = firstTag;
  first.tag = shares[1]->tag.toLower();
  EXPECT_FALSE(saveShare(first));
  EXPECT_TRUE(shareExists(firstTag));
  EXPECT_EQ(loadShares(QString(), false, false).size(), 2);

  first.tag = QStringLiteral("NEW'TAG");
  ASSERT_TRUE(saveShare(first));
  EXPECT_TRUE(first.tagOld.isEmpty());
  EXPECT_FALSE(shareExists(firstTag));
  EXPECT_EQ(UtilDB::queryString(QStringLiteral("select count(*) from localshare_ext where tag=?"), {first.tag})
                .value_or(QString()),
            QStringLiteral("12"));
  EXPECT_EQ(rows(QStringLiteral("localshare_ext")), 24);

  SharingObjList list;
  list.setItems(loadShares(QString(), false, false));
  EXPECT_FALSE(list.removeShare(QStringLiteral("new'tag")));
  EXPECT_TRUE(list.removeShare(QStringLiteral("NEW'TAG")));
  EXPECT_EQ(list.items().size(), 1);
  EXPECT_EQ(rows(QStringLiteral("localshare")), 1);
  EXPECT_EQ(rows(QStringLiteral("localshare_ext")), 12);

  // A file share.
  ASSERT_TRUE(createShare(tmp.filePath(QStringLiteral("kelvor.dat"))));
  EXPECT_FALSE(loadShares(QString(), false, false).back()->isdir);
}

TEST_F(ShareStoreTest, FailedSaveLosesNothingAndReportsFailure) {
  auto share = add(QStringLiteral("KEEP"), tmp.filePath(QStringLiteral("folder")), QStringLiteral("pw"));
  const QString before = getShareCTime(QStringLiteral("KEEP"));
  // Any insert of one setting fails from now on, half way through a save.
  ASSERT_TRUE(
      UtilDB::execute(QStringLiteral("create trigger fail_p2p before insert on localshare_ext when new.key='TransP2P' "
                                     "begin select raise(abort, 'refused'); end")));

  share->path = QStringLiteral("/changed");
  share->isupload = true;
  EXPECT_FALSE(saveShare(*share));
  auto after = loadShares(QStringLiteral("KEEP"), false, false);
  ASSERT_EQ(after.size(), 1);
  EXPECT_EQ(after[0]->path, tmp.filePath(QStringLiteral("folder")));
  EXPECT_FALSE(after[0]->isupload);
  EXPECT_EQ(after[0]->password, QStringLiteral("pw"));
  EXPECT_EQ(rows(QStringLiteral("localshare_ext")), 12);
  EXPECT_EQ(getShareCTime(QStringLiteral("KEEP")), before);

  // A failed rename keeps the old tag and the pending rename.
  share->tagOld = QStringLiteral("KEEP");
  share->tag = QStringLiteral("MOVED");
  EXPECT_FALSE(saveShare(*share));
  EXPECT_EQ(share->tagOld, QStringLiteral("KEEP"));
  EXPECT_TRUE(shareExists(QStringLiteral("KEEP")));
  EXPECT_FALSE(shareExists(QStringLiteral("MOVED")));

  // A new share is all or nothing too.
  EXPECT_FALSE(createShare(tmp.filePath(QStringLiteral("folder"))));
  EXPECT_EQ(rows(QStringLiteral("localshare")), 1);
  EXPECT_EQ(rows(QStringLiteral("localshare_ext")), 12);
}

TEST_F(ShareStoreTest, FailedDefaultUpdateKeepsTheOldDefault) {
  const QString folder = tmp.filePath(QStringLiteral("folder"));
  add(QStringLiteral("ONE"), folder);
  add(QStringLiteral("TWO"), folder);
  ASSERT_TRUE(setDefaultShareInDB(QStringLiteral("ONE")));
  ASSERT_TRUE(
      UtilDB::execute(QStringLiteral("create trigger fail_default before update on localshare_ext when new.value='1' "
                                     "begin select raise(abort, 'refused'); end")));
  SharingObjList list;
  list.setItems(loadShares(QString(), false, false));
  EXPECT_FALSE(list.setDefaultShare(QStringLiteral("TWO")));
  EXPECT_EQ(defaultShareTag(), QStringLiteral("ONE"));
  for (const auto& item : list.items()) EXPECT_EQ(item->isDefault, item->tag == QStringLiteral("ONE"));
}

TEST_F(ShareStoreTest, GateServesEnabledSharesOfTheAccountOnly) {
  const QString folder = tmp.filePath(QStringLiteral("folder"));
  QDir().mkpath(folder + QStringLiteral("/on"));
  QDir().mkpath(folder + QStringLiteral("/off"));
  QDir().mkpath(folder + QStringLiteral("/theirs"));
  add(QStringLiteral("ON"), folder + QStringLiteral("/on"));
  auto off = add(QStringLiteral("OFF"), folder + QStringLiteral("/off"));
  off->isenabled = false;
  ASSERT_TRUE(saveShare(*off));
  shareaccount::setForTesting(9, QStringLiteral("x"));
  add(QStringLiteral("THEIRS"), folder + QStringLiteral("/theirs"));
  shareaccount::setForTesting(7, QStringLiteral("myhost"));
  const PathGuard guard = PathGuard::forSession(QStringLiteral("C1|C2"));
  EXPECT_TRUE(guard.resolve(folder + QStringLiteral("/on")).has_value());
  EXPECT_FALSE(guard.resolve(folder + QStringLiteral("/off")).has_value());
  EXPECT_FALSE(guard.resolve(folder + QStringLiteral("/theirs")).has_value());
}

// The sessions' access on a clock of the test's own.
class ShareAccessTest : public ShareStoreTest {
 protected:
  void SetUp() override {
    ShareStoreTest::SetUp();
    access.forgetAll();
    access.setClock([this] { return now; });
  }
  void TearDown() override {
    access.setClock({});
    access.forgetAll();
    ShareStoreTest::TearDown();
  }
  qint64 now = 1'000'000;
  ShareAccess& access = ShareAccess::shared();
};

// A share with an access code opens to the one session that proved it (letter
// case aside), for that share only, until the session closes or the code
// changes; a share without a code is open to all.
TEST_F(ShareAccessTest, GateOpensACodeShareOnlyToTheSessionThatProvedItsCode) {
  const QString folder = tmp.filePath(QStringLiteral("folder"));
  for (const char* sub : {"/open", "/x", "/y"}) QDir().mkpath(folder + QLatin1String(sub));
  add(QStringLiteral("OPEN"), folder + QStringLiteral("/open"));
  auto x = add(QStringLiteral("ShareX"), folder + QStringLiteral("/x"), QStringLiteral("CodeX"));
  add(QStringLiteral("ShareY"), folder + QStringLiteral("/y"), QStringLiteral("CodeY"));
  const QString s1 = QStringLiteral("P1|H"), s2 = QStringLiteral("P2|H");
  auto reaches = [&](const QString& session, const char* sub) {
    return PathGuard::forSession(session).resolve(folder + QLatin1String(sub)).has_value();
  };
  EXPECT_TRUE(reaches(s1, "/open"));
  EXPECT_FALSE(reaches(s1, "/x"));
  EXPECT_FALSE(access.tryCode(s1, QStringLiteral("acc:9"), QStringLiteral("sharex"), QStringLiteral("codey")));
  EXPECT_FALSE(reaches(s1, "/x"));
  EXPECT_TRUE(access.tryCode(s1, QStringLiteral("acc:9"), QStringLiteral("sharex"), QStringLiteral("CODEX")));
  EXPECT_TRUE(reaches(s1, "/x"));
  EXPECT_FALSE(reaches(s1, "/y"));  // another share of the same host
  EXPECT_FALSE(reaches(s2, "/x"));  // another session of the same peer
  EXPECT_TRUE(reaches(s2, "/open"));

  // The owner changes the code: the session must prove it again.
  x->setSharePassword(QStringLiteral("NewCode"));
  ASSERT_TRUE(saveShare(*x));
  EXPECT_FALSE(reaches(s1, "/x"));
  EXPECT_TRUE(access.tryCode(s1, QStringLiteral("acc:9"), QStringLiteral("ShareX"), QStringLiteral("newcode")));
  EXPECT_TRUE(reaches(s1, "/x"));

  // Closed, or silent too long: forgotten.
  access.forgetSession(s1);
  EXPECT_FALSE(reaches(s1, "/x"));
  EXPECT_TRUE(access.tryCode(s2, QStringLiteral("acc:9"), QStringLiteral("ShareX"), QStringLiteral("newcode")));
  now += ShareAccess::kIdleMs + 1;
  EXPECT_FALSE(reaches(s2, "/x"));
}

// Five wrong codes in a row pause the peer account and the session; a right
// code in the pause is refused too; each further wrong code doubles the pause
// up to the cap; a right code after the pause works and clears the count. A
// code the peer knows for another share never clears the count.
TEST_F(ShareAccessTest, WrongAccessCodesPauseThePeerAndTheSession) {
  const QString folder = tmp.filePath(QStringLiteral("folder"));
  QDir().mkpath(folder + QStringLiteral("/x"));
  QDir().mkpath(folder + QStringLiteral("/k"));
  add(QStringLiteral("X"), folder + QStringLiteral("/x"), QStringLiteral("right"));
  add(QStringLiteral("K"), folder + QStringLiteral("/k"), QStringLiteral("known"));
  const QString peer = QStringLiteral("acc:5");
  auto attempt = [&](const QString& session, const char* code) {
    return access.tryCode(session, peer, QStringLiteral("X"), QLatin1String(code));
  };
  for (int i = 0; i < 4; ++i) {
    EXPECT_FALSE(attempt(QStringLiteral("A|H"), "wrong"));
    EXPECT_TRUE(access.tryCode(QStringLiteral("A|H"), peer, QStringLiteral("K"), QStringLiteral("known")));
  }
  EXPECT_FALSE(attempt(QStringLiteral("A|H"), "wrong"));  // the fifth in a row
  EXPECT_FALSE(attempt(QStringLiteral("A|H"), "right"));
  // Another session of the same account is paused as well.
  EXPECT_FALSE(attempt(QStringLiteral("B|H"), "right"));
  EXPECT_FALSE(PathGuard::forSession(QStringLiteral("B|H")).resolve(folder + QStringLiteral("/x")).has_value());
  now += CodeThrottle::kFirstPauseMs;
  EXPECT_FALSE(attempt(QStringLiteral("A|H"), "wrong"));  // the pause doubles
  now += CodeThrottle::kFirstPauseMs;
  EXPECT_FALSE(attempt(QStringLiteral("A|H"), "right"));
  now += CodeThrottle::kFirstPauseMs;
  EXPECT_FALSE(attempt(QStringLiteral("A|H"), "wrong"));  // 4 s now
  qint64 pause = 4 * CodeThrottle::kFirstPauseMs;
  for (int i = 0; i < 12; ++i) {
    now += pause;
    EXPECT_FALSE(attempt(QStringLiteral("A|H"), "wrong"));
    pause = std::min(pause * 2, CodeThrottle::kMaxPauseMs);
  }
  now += CodeThrottle::kMaxPauseMs - 1;
  EXPECT_FALSE(attempt(QStringLiteral("A|H"), "right"));  // capped, but not over yet
  now += 1;
  EXPECT_TRUE(attempt(QStringLiteral("A|H"), "right"));
  EXPECT_TRUE(PathGuard::forSession(QStringLiteral("A|H")).resolve(folder + QStringLiteral("/x")).has_value());
  EXPECT_FALSE(attempt(QStringLiteral("A|H"), "wrong"));  // counting starts over
  EXPECT_TRUE(attempt(QStringLiteral("A|H"), "right"));
}

}  // namespace
