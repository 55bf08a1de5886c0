// Stored accounts, password records, device credentials and the command line.
#include "account_store.h"
#include "command_line.h"
#include "password_hash.h"
#include "core/sql.h"
#include "support/test_util.h"

#include <QDir>
#include <QProcess>
#include <QTcpServer>
#include <QTemporaryDir>

#include <gtest/gtest.h>

using namespace kelvor;

namespace {

NewAccount ann() {
  return {QStringLiteral("ann@example.com"), QStringLiteral("ann-pass"), QStringLiteral("Ann"),
          QStringLiteral("ann-host"), QString(), 2};
}

struct AdminRun {
  int code;
  QString out;
  QString err;
};

AdminRun admin(const QStringList& args) {
  QString out, err;
  QTextStream outStream(&out), errStream(&err);
  QString error;
  const auto line = parseCommandLine(args, &error);
  if (!line) return {2, {}, error};
  const int code = runAdminCommand(*line, outStream, errStream);
  outStream.flush();
  errStream.flush();
  return {code, out, err};
}

}  // namespace

TEST(PasswordHash, VerifiesOnlyTheRightPasswordAndSaltsEachRecord) {
  const QString record = hashPassword(QStringLiteral("pässword"), 1000);
  EXPECT_TRUE(record.startsWith(QLatin1String("pbkdf2-sha256$1000$")));
  EXPECT_FALSE(record.contains(QLatin1String("pässword")));
  EXPECT_TRUE(verifyPassword(QStringLiteral("pässword"), record));
  EXPECT_FALSE(verifyPassword(QStringLiteral("password"), record));
  EXPECT_FALSE(verifyPassword(QString(), record));
  EXPECT_NE(hashPassword(QStringLiteral("same"), 1000), hashPassword(QStringLiteral("same"), 1000));
  // A record made elsewhere (standard PBKDF2-HMAC-SHA256), as stored ones were.
  EXPECT_TRUE(verifyPassword(QStringLiteral("pässword"),
                             QStringLiteral("pbkdf2-sha256$1000$MDEyMzQ1Njc4OWFiY2RlZg==$"
                                            "rybsuBlIHCOEKCPpDvTVloYHkPEiKOiJqqYGLCHAfF0=")));
  for (const QString& broken : {QString(), QStringLiteral("plain"), QStringLiteral("pbkdf2-sha256$x$a$b"),
                                QStringLiteral("pbkdf2-sha256$0$YQ==$YQ=="), QStringLiteral("md5$1$YQ==$YQ==")})
    EXPECT_FALSE(verifyPassword(QStringLiteral("plain"), broken)) << broken.toStdString();
}

TEST(AccountStore, AddsFindsAndRemovesAccountsWithUniqueEmailAndHostName) {
  QTemporaryDir dir;
  AccountStore store;
  QString error;
  ASSERT_TRUE(store.open(dir.path(), &error));
  const auto id = store.addAccount(ann(), &error);
  ASSERT_TRUE(id) << error.toStdString();
  const auto found = store.findByHostname(QStringLiteral("ANN-HOST"));
  ASSERT_TRUE(found);
  EXPECT_EQ(found->id, *id);
  EXPECT_EQ(found->limitDpc, 2);
  EXPECT_EQ(checkAccessCode(found->acode), QString());  // a random code was given

  NewAccount twin = ann();
  twin.email = QStringLiteral("ANN@example.com");
  twin.hostname = QStringLiteral("other");
  EXPECT_FALSE(store.addAccount(twin, &error));
  twin.email = QStringLiteral("ann2@example.com");
  twin.hostname = QStringLiteral("Ann-Host");
  EXPECT_FALSE(store.addAccount(twin, &error));
  EXPECT_EQ(error, QStringLiteral("the host name is taken"));

  // The password is kept only as a PBKDF2 record.
  auto db = sql::Database::open(dir.filePath(QStringLiteral("accounts.db")));
  ASSERT_TRUE(db);
  QList<sql::Row> rows;
  ASSERT_TRUE(db->query(QStringLiteral("SELECT password FROM accounts"), {}, &rows));
  ASSERT_EQ(rows.size(), 1);
  EXPECT_TRUE(rows[0].text(0).startsWith(QLatin1String("pbkdf2-sha256$")));
  EXPECT_FALSE(rows[0].text(0).contains(QLatin1String("ann-pass")));

  EXPECT_TRUE(store.checkLogin(QStringLiteral("ann@example.com"), QStringLiteral("ann-pass")));
  EXPECT_FALSE(store.checkLogin(QStringLiteral("ann@example.com"), QStringLiteral("ann-pasS")));
  EXPECT_TRUE(store.removeAccount(QStringLiteral("ann@example.com"), &error));
  EXPECT_FALSE(store.removeAccount(QStringLiteral("ann@example.com"), &error));
  EXPECT_TRUE(store.listAccounts().isEmpty());
}

TEST(AccountStore, RefusesBadFields) {
  QTemporaryDir dir;
  AccountStore store;
  QString error;
  ASSERT_TRUE(store.open(dir.path(), &error));
  auto with = [](auto change) {
    NewAccount a = ann();
    change(a);
    return a;
  };
  const QList<NewAccount> bad{
      with([](NewAccount& a) { a.email = QStringLiteral("no-at-sign"); }),
      with([](NewAccount& a) { a.password.clear(); }),
      with([](NewAccount& a) { a.name = QStringLiteral("  "); }),
      with([](NewAccount& a) { a.hostname = QStringLiteral("-bad"); }),
      with([](NewAccount& a) { a.hostname = QStringLiteral("a b"); }),
      with([](NewAccount& a) { a.hostname = QStringLiteral("x.y"); }),
      with([](NewAccount& a) { a.acode = QStringLiteral("a'; DROP"); }),
      with([](NewAccount& a) { a.limitDpc = 0; }),
  };
  for (const NewAccount& account : bad) {
    error.clear();
    EXPECT_FALSE(store.addAccount(account, &error));
    EXPECT_FALSE(error.isEmpty());
  }
  EXPECT_TRUE(store.listAccounts().isEmpty());
}

TEST(AccountStore, KeepsTheNewestDeviceCredentialsOfEachAccount) {
  QTemporaryDir dir;
  AccountStore store;
  QString error;
  ASSERT_TRUE(store.open(dir.path(), &error));
  const qint64 a = *store.addAccount(ann(), &error);
  NewAccount other = ann();
  other.email = QStringLiteral("bob@example.com");
  other.hostname = QStringLiteral("bob");
  const qint64 b = *store.addAccount(other, &error);

  const QString first = store.issueCredential(a);
  EXPECT_TRUE(store.checkCredential(a, first));
  EXPECT_FALSE(store.checkCredential(b, first));
  EXPECT_FALSE(store.checkCredential(a, QString()));
  const QString bobs = store.issueCredential(b);
  for (int i = 0; i < AccountStore::kMaxCredentials; ++i) store.issueCredential(a);
  EXPECT_FALSE(store.checkCredential(a, first));  // pushed out
  EXPECT_TRUE(store.checkCredential(b, bobs));     // other accounts keep theirs
  // Removing the account takes its credentials with it.
  const QString last = store.issueCredential(a);
  ASSERT_TRUE(store.removeAccount(QStringLiteral("ann@example.com"), &error));
  EXPECT_FALSE(store.checkCredential(a, last));
}

TEST(CommandLine, AccountCommandsPrintTabSeparatedLines) {
  QTemporaryDir dir;
  const QString data = dir.filePath(QStringLiteral("data"));
  auto add = [&](const char* email, const char* host) {
    return admin({QStringLiteral("add-account"), QStringLiteral("--data"), data, QStringLiteral("--email"),
                  QString::fromLatin1(email), QStringLiteral("--password"), QStringLiteral("pw"),
                  QStringLiteral("--name"), QStringLiteral("N"), QStringLiteral("--hostname"),
                  QString::fromLatin1(host), QStringLiteral("--limit-dpc"), QStringLiteral("4")});
  };
  EXPECT_EQ(add("a@x.org", "ha").code, 0);
  EXPECT_EQ(add("b@x.org", "hb").code, 0);
  const AdminRun duplicate = add("a@x.org", "hc");
  EXPECT_NE(duplicate.code, 0);
  EXPECT_TRUE(duplicate.err.contains(QLatin1String("e-mail")));

  const AdminRun list = admin({QStringLiteral("list-accounts"), QStringLiteral("--data"), data});
  EXPECT_EQ(list.code, 0);
  // Each line ends with the account's contact code, the one its contacts add it by.
  QStringList lines = list.out.split(QLatin1Char('\n'), Qt::SkipEmptyParts);
  ASSERT_EQ(lines.size(), 2);
  const QString codeOfB = lines[1].section(QLatin1Char('\t'), 3);
  EXPECT_EQ(lines[0].section(QLatin1Char('\t'), 0, 2), QStringLiteral("1\ta@x.org\tha"));
  EXPECT_EQ(lines[1].section(QLatin1Char('\t'), 0, 2), QStringLiteral("2\tb@x.org\thb"));
  EXPECT_TRUE(checkAccessCode(codeOfB).isEmpty()) << codeOfB.toStdString();
  EXPECT_EQ(admin({QStringLiteral("remove-account"), QStringLiteral("--data"), data, QStringLiteral("--email"),
                   QStringLiteral("a@x.org")})
                .code,
            0);
  EXPECT_NE(admin({QStringLiteral("remove-account"), QStringLiteral("--data"), data, QStringLiteral("--email"),
                   QStringLiteral("a@x.org")})
                .code,
            0);
  EXPECT_EQ(admin({QStringLiteral("list-accounts"), QStringLiteral("--data"), data}).out,
            QStringLiteral("2\tb@x.org\thb\t") + codeOfB + QStringLiteral("\n"));
  const AdminRun badLimit = admin({QStringLiteral("add-account"), QStringLiteral("--data"), data, QStringLiteral("--email"),
                              QStringLiteral("c@x.org"), QStringLiteral("--password"), QStringLiteral("pw"),
                              QStringLiteral("--name"), QStringLiteral("N"), QStringLiteral("--hostname"),
                              QStringLiteral("hc"), QStringLiteral("--limit-dpc"), QStringLiteral("0")});
  EXPECT_NE(badLimit.code, 0);
}

TEST(CommandLine, RefusesMalformedLines) {
  QString error;
  const QList<QStringList> bad{
      {},
      {QStringLiteral("launch")},
      {QStringLiteral("list-accounts")},
      {QStringLiteral("list-accounts"), QStringLiteral("--data")},
      {QStringLiteral("list-accounts"), QStringLiteral("--data"), QStringLiteral("d"), QStringLiteral("--email"),
       QStringLiteral("e")},
      {QStringLiteral("list-accounts"), QStringLiteral("data"), QStringLiteral("d")},
      {QStringLiteral("list-accounts"), QStringLiteral("--data"), QStringLiteral("d"), QStringLiteral("--data"),
       QStringLiteral("e")},
      {QStringLiteral("serve"), QStringLiteral("--data"), QStringLiteral("d")},
      {QStringLiteral("serve"), QStringLiteral("--data"), QStringLiteral("d"), QStringLiteral("--listen"),
       QStringLiteral("19443")},
      {QStringLiteral("serve"), QStringLiteral("--data"), QStringLiteral("d"), QStringLiteral("--listen"),
       QStringLiteral("127.0.0.1:70000")},
      {QStringLiteral("serve"), QStringLiteral("--data"), QStringLiteral("d"), QStringLiteral("--listen"),
       QStringLiteral("127.0.0.1:1"), QStringLiteral("--relay-budget"), QStringLiteral("8")},
      {QStringLiteral("serve"), QStringLiteral("--data"), QStringLiteral("d"), QStringLiteral("--listen"),
       QStringLiteral("127.0.0.1:1"), QStringLiteral("--relay-budget"), QStringLiteral("256M")},
      {QStringLiteral("serve"), QStringLiteral("--data"), QStringLiteral("d"), QStringLiteral("--listen"),
       QStringLiteral("127.0.0.1:1"), QStringLiteral("--relay-ping"), QStringLiteral("0")},
  };
  for (const QStringList& args : bad) {
    error.clear();
    EXPECT_FALSE(parseCommandLine(args, &error)) << args.join(QLatin1Char(' ')).toStdString();
    EXPECT_FALSE(error.isEmpty());
  }
  const auto ipv6 = parseListen(QStringLiteral("[::1]:19443"));
  ASSERT_TRUE(ipv6);
  EXPECT_EQ(ipv6->first, QHostAddress(QHostAddress::LocalHostIPv6));
  EXPECT_EQ(ipv6->second, 19443);
}

TEST(CommandLine, TheExecutableExitsNonZeroOnBadInputAndABusyPort) {
  const QString exe = testutil::binDir() + QStringLiteral("/kelvor-service");
  QProcess bad;
  bad.start(exe, {QStringLiteral("add-account"), QStringLiteral("--email"), QStringLiteral("x@y.z")});
  ASSERT_TRUE(bad.waitForFinished(10000));
  EXPECT_NE(bad.exitCode(), 0);
  EXPECT_TRUE(bad.readAllStandardError().contains("missing --data"));

  QTcpServer busy;
  ASSERT_TRUE(busy.listen(QHostAddress::LocalHost, 0));
  QTemporaryDir dir;
  QProcess serve;
  serve.start(exe, {QStringLiteral("serve"), QStringLiteral("--data"), dir.path(), QStringLiteral("--listen"),
                    QStringLiteral("127.0.0.1:") + QString::number(busy.serverPort())});
  ASSERT_TRUE(serve.waitForFinished(20000));
  EXPECT_NE(serve.exitCode(), 0);
  EXPECT_TRUE(serve.readAllStandardError().contains("cannot listen"));
}
