#include "core/util_db.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QThread>

#include <atomic>
#include <memory>
#include <vector>

#include <gtest/gtest.h>

namespace {

QStringList tableNames() {
  QStringList names;
  for (const auto& row : UtilDB::queryRows(QStringLiteral("select name from sqlite_master where type='table' order by name")))
    names << row.text(0);
  return names;
}

class UtilDBTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(dir.isValid());
    path = dir.filePath(QStringLiteral("kelvor.dat"));
    ASSERT_TRUE(UtilDB::openAt(path));
  }
  void TearDown() override { UtilDB::reset(); }

  QTemporaryDir dir;
  QString path;
};

}  // namespace

TEST(UtilDBOpen, FreshDocumentsFolderGetsFoldersFileAndAllTables) {
  UtilDB::reset();
  const QString documents = QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation);
  QDir(documents + QStringLiteral("/Kelvor")).removeRecursively();

  UtilDB::open();
  const QString file = documents + QStringLiteral("/Kelvor/db/kelvor.dat");
  EXPECT_EQ(UtilDB::databasePath(), file);
  EXPECT_TRUE(QFileInfo::exists(file));
  ASSERT_NE(UtilDB::db(), nullptr);
  EXPECT_TRUE(UtilDB::isTablesCreated());
  EXPECT_EQ(tableNames(), (QStringList{QStringLiteral("contactperson"), QStringLiteral("icons"), QStringLiteral("items"),
                                       QStringLiteral("localshare"), QStringLiteral("localshare_ext"),
                                       QStringLiteral("localshare_log"), QStringLiteral("remotesharing")}));
  // Index names are global: the second pair of statements creates nothing.
  EXPECT_FALSE(UtilDB::queryExists(
      QStringLiteral("select 1 from sqlite_master where type='index' and tbl_name=?"), {QStringLiteral("localshare_ext")}));

  // A second open in the same run keeps the connection.
  sql::Database* first = UtilDB::db();
  UtilDB::setValue(QStringLiteral("SysMID"), QStringLiteral("M1"));
  UtilDB::open();
  EXPECT_EQ(UtilDB::db(), first);

  // Reopening the existing file runs the schema again without changing anything.
  UtilDB::reset();
  UtilDB::open();
  EXPECT_EQ(UtilDB::getValue(QStringLiteral("SysMID")), QStringLiteral("M1"));
  EXPECT_EQ(tableNames().size(), 7);
  UtilDB::reset();
}

TEST_F(UtilDBTest, SettingsStoreRoundTrip) {
  EXPECT_EQ(UtilDB::getValue(QStringLiteral("SaveAtDir")), QString());
  EXPECT_TRUE(UtilDB::setValue(QStringLiteral("SaveAtDir"), QStringLiteral("/one")));
  EXPECT_TRUE(UtilDB::setValue(QStringLiteral("SaveAtDir"), QStringLiteral("/two")));
  EXPECT_EQ(UtilDB::getValue(QStringLiteral("SaveAtDir")), QStringLiteral("/two"));
  EXPECT_EQ(UtilDB::queryString(QStringLiteral("select count(*) from icons")), QStringLiteral("1"));

  EXPECT_TRUE(UtilDB::setValue(QStringLiteral("IsClipboard"), QString()));
  EXPECT_EQ(UtilDB::queryString(QStringLiteral("select typeof(value) from icons where key=?"), {QStringLiteral("IsClipboard")}),
            QStringLiteral("text"));
  EXPECT_EQ(UtilDB::getValue(QStringLiteral("IsClipboard")), QString());

  EXPECT_TRUE(UtilDB::deleteValue(QStringLiteral("SaveAtDir")));
  EXPECT_EQ(UtilDB::getValue(QStringLiteral("SaveAtDir")), QString());
  EXPECT_TRUE(UtilDB::deleteValue(QStringLiteral("NeverWritten")));
}

TEST_F(UtilDBTest, QuotesAndSqlInValuesAreStoredVerbatim) {
  ASSERT_TRUE(UtilDB::setValue(QStringLiteral("Other"), QStringLiteral("keep")));
  const QString tricky = QStringLiteral("/Users/o'brien/it's \"mine\"; x'); delete from icons; --");
  const QString key = QStringLiteral("k' or '1'='1");
  ASSERT_TRUE(UtilDB::setValue(key, tricky));
  EXPECT_EQ(UtilDB::getValue(key), tricky);
  ASSERT_TRUE(UtilDB::setValue(QStringLiteral("SaveAtDir"), tricky));
  EXPECT_EQ(UtilDB::getValue(QStringLiteral("SaveAtDir")), tricky);
  // Nothing else was touched or matched.
  EXPECT_EQ(UtilDB::getValue(QStringLiteral("Other")), QStringLiteral("keep"));
  EXPECT_EQ(UtilDB::queryString(QStringLiteral("select count(*) from icons")), QStringLiteral("3"));
  EXPECT_TRUE(UtilDB::deleteValue(key));
  EXPECT_EQ(UtilDB::getValue(QStringLiteral("Other")), QStringLiteral("keep"));
  EXPECT_EQ(UtilDB::getValue(QStringLiteral("SaveAtDir")), tricky);

  // Unicode survives too.
  ASSERT_TRUE(UtilDB::setValue(QStringLiteral("SaveAtDir"), QStringLiteral("/文档/下载")));
  EXPECT_EQ(UtilDB::getValue(QStringLiteral("SaveAtDir")), QStringLiteral("/文档/下载"));
}

TEST_F(UtilDBTest, FailedInsertKeepsTheOldValue) {
  ASSERT_TRUE(UtilDB::setValue(QStringLiteral("SaveAtDir"), QStringLiteral("/old")));
  ASSERT_TRUE(UtilDB::execute(QStringLiteral(
      "CREATE TRIGGER refuse BEFORE INSERT ON icons WHEN NEW.value = 'refused' BEGIN SELECT RAISE(ABORT, 'no'); END")));
  EXPECT_FALSE(UtilDB::setValue(QStringLiteral("SaveAtDir"), QStringLiteral("refused")));
  EXPECT_EQ(UtilDB::getValue(QStringLiteral("SaveAtDir")), QStringLiteral("/old"));
  // The connection is usable afterwards (no transaction left open).
  EXPECT_TRUE(UtilDB::setValue(QStringLiteral("SaveAtDir"), QStringLiteral("/new")));
  EXPECT_EQ(UtilDB::getValue(QStringLiteral("SaveAtDir")), QStringLiteral("/new"));
}

TEST_F(UtilDBTest, LockedFileFailsWritesWithoutLosingData) {
  ASSERT_TRUE(UtilDB::setValue(QStringLiteral("SaveAtDir"), QStringLiteral("/old")));
  auto other = sql::Database::open(path);
  ASSERT_TRUE(other);
  ASSERT_TRUE(other->execute(QStringLiteral("BEGIN EXCLUSIVE")));
  EXPECT_FALSE(UtilDB::setValue(QStringLiteral("SaveAtDir"), QStringLiteral("/new")));
  EXPECT_EQ(UtilDB::getValue(QStringLiteral("SaveAtDir")), QString());  // reads are locked out too
  ASSERT_TRUE(other->execute(QStringLiteral("ROLLBACK")));
  EXPECT_EQ(UtilDB::getValue(QStringLiteral("SaveAtDir")), QStringLiteral("/old"));
}

TEST_F(UtilDBTest, QueryHelpersBindAndReportFailureAsEmpty) {
  ASSERT_TRUE(UtilDB::execute(QStringLiteral("insert into contactperson (id_acc, uuid_cp, cpname) values (?, ?, ?)"),
                              {qint64(9007199254740993LL), QStringLiteral("u-1"), QStringLiteral("D'Arcy")}));
  EXPECT_TRUE(UtilDB::queryExists(QStringLiteral("select 1 from contactperson where cpname=?"), {QStringLiteral("D'Arcy")}));
  EXPECT_FALSE(UtilDB::queryExists(QStringLiteral("select 1 from contactperson where cpname=?"), {QStringLiteral("x")}));
  EXPECT_EQ(UtilDB::queryString(QStringLiteral("select id_acc from contactperson")), QStringLiteral("9007199254740993"));
  EXPECT_EQ(UtilDB::queryString(QStringLiteral("select cpmail from contactperson")), QString());  // NULL reads as ""
  EXPECT_EQ(UtilDB::queryString(QStringLiteral("select cpname from contactperson where 0")), std::nullopt);
  const auto rows = UtilDB::queryRows(QStringLiteral("select id_acc, cpname from contactperson"));
  ASSERT_EQ(rows.size(), 1);
  EXPECT_EQ(rows[0].integer(0), 9007199254740993LL);
  EXPECT_EQ(rows[0].text(1), QStringLiteral("D'Arcy"));

  // Malformed statements and wrong value counts fail quietly.
  EXPECT_FALSE(UtilDB::queryExists(QStringLiteral("select from where")));
  EXPECT_EQ(UtilDB::queryString(QStringLiteral("select nope from nowhere")), std::nullopt);
  EXPECT_FALSE(UtilDB::execute(QStringLiteral("delete from contactperson where cpname=?")));
  EXPECT_TRUE(UtilDB::queryRows(QStringLiteral("select * from missing_table")).isEmpty());
  EXPECT_EQ(UtilDB::queryRows(QStringLiteral("select 1 from contactperson")).size(), 1);
}

TEST_F(UtilDBTest, WritesFromSeveralThreadsDoNotInterleave) {
  std::atomic<int> failures{0};
  std::vector<std::unique_ptr<QThread>> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back(QThread::create([t, &failures] {
      for (int i = 0; i < 100; ++i) {
        const QString key = QStringLiteral("k%1_%2").arg(t).arg(i);
        if (!UtilDB::setValue(key, key) || UtilDB::getValue(key) != key) ++failures;
        if (!UtilDB::execute(QStringLiteral("insert into contactperson (id_acc, cpname) values (?, ?)"), {t, key}))
          ++failures;
      }
    }));
    threads.back()->start();
  }
  for (auto& thread : threads) thread->wait();
  EXPECT_EQ(failures.load(), 0);
  EXPECT_EQ(UtilDB::queryString(QStringLiteral("select count(*) from icons")), QStringLiteral("400"));
  EXPECT_EQ(UtilDB::queryString(QStringLiteral("select count(*) from contactperson")), QStringLiteral("400"));
}

TEST(UtilDBFailures, CorruptOrMissingDatabaseNeverCrashes) {
  QTemporaryDir dir;
  const QString path = dir.filePath(QStringLiteral("kelvor.dat"));
  QFile file(path);
  ASSERT_TRUE(file.open(QIODevice::WriteOnly));
  file.write(QByteArray(8192, 'x'));
  file.close();

  UtilDB::openAt(path);
  EXPECT_TRUE(UtilDB::isTablesCreated());  // attempted once, failed at the first statement
  EXPECT_EQ(UtilDB::getValue(QStringLiteral("SaveAtDir")), QString());
  EXPECT_FALSE(UtilDB::setValue(QStringLiteral("SaveAtDir"), QStringLiteral("/x")));
  EXPECT_FALSE(UtilDB::deleteValue(QStringLiteral("SaveAtDir")));
  EXPECT_FALSE(UtilDB::queryExists(QStringLiteral("select 1 from icons")));
  QFile check(path);
  ASSERT_TRUE(check.open(QIODevice::ReadOnly));
  EXPECT_EQ(check.readAll(), QByteArray(8192, 'x'));  // the file was left as it was

  // A path that can't be opened at all leaves no connection.
  EXPECT_FALSE(UtilDB::openAt(dir.filePath(QStringLiteral("no/such/folder/kelvor.dat"))));
  EXPECT_EQ(UtilDB::db(), nullptr);
  EXPECT_EQ(UtilDB::getValue(QStringLiteral("SaveAtDir")), QString());
  EXPECT_FALSE(UtilDB::setValue(QStringLiteral("SaveAtDir"), QStringLiteral("/x")));
  EXPECT_EQ(UtilDB::queryString(QStringLiteral("select 1")), std::nullopt);
  UtilDB::reset();
}
