// The client against a real account service and its own real bridge: sign-in
// by e-mail and by a confirmed QR token, recovery from a killed bridge, and
// settings that outlive the client.
#include "shell_e2e_support.h"

#include "core/service_config.h"
#include "shell/service_urls.h"
#include "shell/web_fetch.h"
#include "support/process_signal.h"
#include "support/test_util.h"

#include <QElapsedTimer>
#include <QFile>
#include <QRegularExpression>
#include <QTcpServer>

#include <gtest/gtest.h>

#include <csignal>
#include <cstdio>

namespace {

using namespace std::chrono_literals;

const QString kEmail = QStringLiteral("ann@example.com");
const QString kPassword = QStringLiteral("ann pass&=+#é");
const QString kSignedIn = QStringLiteral("Host Login Succeeded");
const QString kLoginPage = QStringLiteral("/wx/login/?mid=");

QProcessEnvironment emailLogin() { return e2e::emailLogin(kEmail, kPassword); }

// mid and token of the newest login page address the client showed (its log
// masks the token; the test-only page file holds the whole address).
std::pair<QString, QString> loginPageIds(e2e::Client& client) {
  static const QRegularExpression ids(QStringLiteral("/wx/login/\\?mid=([0-9]+)&token=([0-9]+)"));
  QFile file(client.home() + QStringLiteral("/login-pages.txt"));
  if (!file.open(QIODevice::ReadOnly)) return {};
  const auto match = ids.match(QString::fromUtf8(file.readAll().trimmed().split('\n').last()));
  return {match.captured(1), match.captured(2)};
}

class ShellEndToEnd : public ::testing::Test {
 protected:
  virtual void prepare() {}
  void SetUp() override {
    prepare();
    ASSERT_TRUE(service.start(kEmail, kPassword, QStringLiteral("Ann"), QStringLiteral("ann-host")))
        << service.process().dump().toStdString();
  }

  // Kills the client's bridge and waits until the client has restarted it and
  // signed in again; gives the time that took.
  qint64 killBridgeAndAwaitSignIn(e2e::Client& client) {
    const qint64 bridge = client.bridgePid();
    EXPECT_NE(bridge, 0);
    const int signedIn = client.process().countLines(kSignedIn);
    const int from = client.process().lines().size();
    QElapsedTimer clock;
    clock.start();
    testsupport::signalProcess(bridge, SIGKILL);
    EXPECT_GE(client.process().waitForLine(QStringLiteral("ActiveBridgeTime Timeout"), 12s, from), 0);
    const bool again = testutil_wait(client, signedIn + 1, 15s);
    EXPECT_TRUE(again) << client.process().dump().toStdString();
    const qint64 elapsed = clock.elapsed();
    EXPECT_NE(client.bridgePid(), bridge);
    RecordProperty("bridge_recovery_ms", int(elapsed));
    std::printf("bridge killed, signed in again after %lld ms\n", static_cast<long long>(elapsed));
    return elapsed;
  }

  static bool testutil_wait(e2e::Client& client, int count, std::chrono::milliseconds timeout) {
    QElapsedTimer clock;
    clock.start();
    while (clock.elapsed() < timeout.count()) {
      if (client.process().countLines(kSignedIn) >= count) return true;
      client.process().waitForLine(QStringLiteral("\x01never"), 100ms);
    }
    return client.process().countLines(kSignedIn) >= count;
  }

  e2e::Service service;
};

TEST_F(ShellEndToEnd, SignsInByEmailRecoversFromAKilledBridgeAndKeepsItsSettings) {
  e2e::Client client(service);
  ASSERT_TRUE(client.start(emailLogin()));
  const int page = client.process().waitForLine(kLoginPage, 10s);
  ASSERT_GE(page, 0) << client.process().dump().toStdString();
  const QString mid = loginPageIds(client).first;
  ASSERT_FALSE(mid.isEmpty());
  ASSERT_GE(client.process().waitForLine(kSignedIn, 15s), 0) << client.process().dump().toStdString();
  ASSERT_GE(client.process().waitForLine(QStringLiteral("ReloadSharingList"), 5s), 0);

  const qint64 recovery = killBridgeAndAwaitSignIn(client);
  EXPECT_LT(recovery, 12000) << client.process().dump().toStdString();
  EXPECT_GE(client.process().countLines(QStringLiteral("Host Try To Relogin...")), 1);

  client.stop();
  // The e-mail is remembered; the password never reaches the disk.
  EXPECT_EQ(e2e::storedSetting(client.databaseFile(), QStringLiteral("Login_Email")), kEmail);
  bool present = false;
  EXPECT_EQ(e2e::storedSetting(client.databaseFile(), QStringLiteral("Login_Password"), &present), QString());
  EXPECT_TRUE(present);

  // A restarted client keeps its machine id and signs in again.
  ASSERT_TRUE(client.start(emailLogin()));
  const int again = client.process().waitForLine(kLoginPage, 10s);
  ASSERT_GE(again, 0);
  EXPECT_EQ(loginPageIds(client).first, mid);
  EXPECT_EQ(e2e::storedSetting(client.databaseFile(), QStringLiteral("SysMID")), mid);
  EXPECT_GE(client.process().waitForLine(kSignedIn, 15s), 0) << client.process().dump().toStdString();
}

TEST_F(ShellEndToEnd, SignsInWithAConfirmedQrTokenAndAgainAfterTheBridgeDies) {
  e2e::Client client(service);
  ASSERT_TRUE(client.start());
  const int page = client.process().waitForLine(kLoginPage, 10s);
  ASSERT_GE(page, 0) << client.process().dump().toStdString();
  const auto [mid, token] = loginPageIds(client);
  ASSERT_FALSE(token.isEmpty());

  // Nothing happens before the phone confirms.
  EXPECT_LT(client.process().waitForLine(kSignedIn, 4s), 0);
  EXPECT_EQ(service.confirmQr(mid, token, kEmail, QStringLiteral("wrong")), 403);
  EXPECT_EQ(service.confirmQr(mid, token, kEmail, kPassword), 200);
  ASSERT_GE(client.process().waitForLine(QStringLiteral("id_acc:"), 10s), 0) << client.process().dump().toStdString();
  ASSERT_GE(client.process().waitForLine(kSignedIn, 15s), 0) << client.process().dump().toStdString();

  const qint64 recovery = killBridgeAndAwaitSignIn(client);
  EXPECT_LT(recovery, 12000) << client.process().dump().toStdString();
  client.stop();
  // After a QR sign-in the account id stands in for the e-mail; no password is kept.
  EXPECT_FALSE(e2e::storedSetting(client.databaseFile(), QStringLiteral("Login_Email")).isEmpty());
  EXPECT_EQ(e2e::storedSetting(client.databaseFile(), QStringLiteral("Login_Password")), QString());
}

TEST_F(ShellEndToEnd, StartsABridgeThatCouldNotBeLaunchedAtFirst) {
  e2e::Client client(service, /*withBridge=*/false);
  ASSERT_TRUE(client.start(emailLogin()));
  ASSERT_GE(client.process().waitForLine(QStringLiteral("Vantrel cannot be launched"), 5s), 0)
      << client.process().dump().toStdString();
  ASSERT_TRUE(client.installBridge());
  // The reconnect counter wraps on the 7th tick: no bridge of ours runs, so it is started again.
  ASSERT_GE(client.process().waitForLine(QStringLiteral("Vantrel Not Running, Restarting..."), 12s), 0)
      << client.process().dump().toStdString();
  EXPECT_GE(client.process().waitForLine(kSignedIn, 15s), 0) << client.process().dump().toStdString();
  EXPECT_NE(client.bridgePid(), 0);
}

// Another program holds the bridge's port: the login window says which port
// and how to move it, within 10 s, rather than spinning; once the port is free
// the bridge started again connects.
TEST_F(ShellEndToEnd, ABridgePortTakenByAnotherProgramIsToldInTheWindow) {
  e2e::Client client(service);
  QTcpServer other;
  ASSERT_TRUE(other.listen(QHostAddress::LocalHost, client.bridgePort()));
  QElapsedTimer clock;
  clock.start();
  ASSERT_TRUE(client.start(emailLogin()));
  const QString told = QStringLiteral("Vantrel cannot run: Port %1 is taken by another program; set ZARKELO_BRIDGE_PORT")
                           .arg(client.bridgePort());
  ASSERT_GE(client.process().waitForLine(told, 10s), 0) << client.process().dump().toStdString();
  EXPECT_LT(clock.elapsed(), 10000);
  EXPECT_EQ(client.process().countLines(QStringLiteral("Vantrel cannot run:")), 1);  // told once
  other.close();
  EXPECT_GE(client.process().waitForLine(QStringLiteral("Vantrel Is Connected!"), 20s), 0)
      << client.process().dump().toStdString();
}

TEST_F(ShellEndToEnd, DirectRequestsTrustOnlyTheInstalledAuthority) {
  qputenv("ZARKELO_SERVICE_HOST", service.host().toUtf8());
  NetworkWebFetcher fetcher;
  const QUrl url = serviceurls::qrTokenCheckUrl(QStringLiteral("123"));
  std::optional<WebReply> reply;
  fetcher.get(url, [&](const WebReply& r) { reply = r; });
  ASSERT_TRUE(testutil::waitUntil([&] { return reply.has_value(); }, 10s));
  EXPECT_TRUE(reply->error);  // the service's certificate is not trusted yet
  EXPECT_FALSE(reply->body);

  qputenv("ZARKELO_CA_FILE", service.caFile().toUtf8());
  ASSERT_TRUE(serviceconfig::installTrustedAuthority());  // as at start-up, before any request
  NetworkWebFetcher trusting;
  reply.reset();
  trusting.get(url, [&](const WebReply& r) { reply = r; });
  ASSERT_TRUE(testutil::waitUntil([&] { return reply.has_value(); }, 10s));
  EXPECT_FALSE(reply->error) << reply->error->toStdString();
  ASSERT_TRUE(reply->body);
  EXPECT_TRUE(reply->body->contains("Result"));
}

class ShellUpgradeEndToEnd : public ShellEndToEnd {
 protected:
  void prepare() override { ASSERT_TRUE(service.offerInstaller(QStringLiteral("1.0.3"), installer)); }
  const QByteArray installer = QByteArray(300 * 1024, 'k') + QByteArrayLiteral("end");
};

TEST_F(ShellUpgradeEndToEnd, FetchesTheNewerInstallerThroughTheBridgeAndOffersItOnceVerified) {
  e2e::Client client(service);
  ASSERT_TRUE(client.start());
  ASSERT_GE(client.process().waitForLine(QStringLiteral("Installer verified:"), 20s), 0)
      << client.process().dump().toStdString();
  const QString versions = client.home() + QStringLiteral("/Documents/Kelvor/versions/");
  QFile saved(versions + QStringLiteral("Kelvor1.0.3.dmg"));
  ASSERT_TRUE(saved.open(QIODevice::ReadOnly));
  EXPECT_EQ(saved.readAll(), installer);
  EXPECT_FALSE(QFile::exists(versions + QStringLiteral("Kelvor1.0.3.tmp")));
  EXPECT_EQ(client.process().countLines(QStringLiteral("Got New Version -")), 1);
}

}  // namespace
