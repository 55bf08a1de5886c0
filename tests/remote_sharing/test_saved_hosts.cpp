#include <gtest/gtest.h>

#include <QTemporaryDir>

#include "remote_sharing/saved_hosts.h"
#include "bridge/user_info.h"
#include "core/util_db.h"
#include "local_sharing/sharing_obj.h"

namespace {

void signIn(int64_t id) {
  auto user = std::make_shared<UserInfo>();
  user->id_acc = id;
  UserInfo::setShared(user);
}

RemoteSharing host(const char* id, const char* name, const char* alias = "") {
  RemoteSharing h;
  h.hostid = QString::fromUtf8(id);
  h.hostname = QString::fromUtf8(name);
  h.hosttag = QStringLiteral("T'1");
  h.password = QStringLiteral("p'w\"");
  h.aliasname = QString::fromUtf8(alias);
  return h;
}

class RemoteSharingTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(tmp.isValid());
    ASSERT_TRUE(UtilDB::openAt(tmp.filePath(QStringLiteral("kelvor.dat"))));
    signIn(1);
  }
  void TearDown() override { UtilDB::reset(); }
  QTemporaryDir tmp;
};

TEST_F(RemoteSharingTest, SavedHostsBelongToTheirAccount) {
  using namespace HelperRemoteSharing;
  ASSERT_TRUE(insertRemoteSharing(host("h1", "zed", "O'Neil")));
  ASSERT_TRUE(insertRemoteSharing(host("h2", "amy")));
  signIn(2);
  ASSERT_TRUE(insertRemoteSharing(host("h1", "other")));
  // Another account's update and delete never reach account 1's rows.
  RemoteSharing changed = host("h1", "changed");
  ASSERT_TRUE(updateRemoteSharing(changed));
  ASSERT_TRUE(deleteRemoteSharing(QStringLiteral("h2")));
  EXPECT_EQ(loadRemoteSharings().size(), 1);
  EXPECT_EQ(loadRemoteSharings()[0].hostname, QStringLiteral("changed"));

  signIn(1);
  const QList<RemoteSharing> mine = loadRemoteSharings();
  ASSERT_EQ(mine.size(), 2);
  EXPECT_EQ(mine[0].hostname, QStringLiteral("amy"));  // by host name
  EXPECT_EQ(mine[1].hostname, QStringLiteral("zed"));
  EXPECT_EQ(mine[1].aliasname, QStringLiteral("O'Neil"));
  EXPECT_EQ(mine[1].password, QStringLiteral("p'w\""));
  EXPECT_EQ(mine[1].hosttag, QStringLiteral("T'1"));
  EXPECT_NE(mine[0].id, loadRemoteSharings()[0].id);  // identities are new on each load

  RemoteSharing edit = mine[1];
  edit.aliasname = QStringLiteral("x' where 1=1 --");
  ASSERT_TRUE(updateRemoteSharing(edit));
  ASSERT_TRUE(deleteRemoteSharing(QStringLiteral("h2")));
  const QList<RemoteSharing> after = loadRemoteSharings();
  ASSERT_EQ(after.size(), 1);
  EXPECT_EQ(after[0].aliasname, edit.aliasname);
  signIn(2);
  EXPECT_EQ(loadRemoteSharings().value(0).aliasname, QString());
}

TEST_F(RemoteSharingTest, DisplayName) {
  const QString domain = shareWebDomain();
  RemoteSharing h = host("h", "box");
  h.hosttag = QStringLiteral("AB12");
  EXPECT_EQ(HelperRemoteSharing::hostDisplayName(h), QStringLiteral("https://box.") + domain + QStringLiteral("/AB12"));
  h.aliasname = QStringLiteral("Office");
  EXPECT_EQ(HelperRemoteSharing::hostDisplayName(h), QStringLiteral("Office(box.") + domain + QStringLiteral("/AB12)"));
}

}  // namespace
