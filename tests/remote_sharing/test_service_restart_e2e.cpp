// The account service under faults, end to end on loopback with a real
// sharing client: another bridge that keeps sending sign-ins with small
// account ids while the owner confirms a QR code never gets in; a host is
// reachable again soon after the service is killed and started again, with
// or without the sign-ins it kept; and no secret reaches any log.
#include "ann_share_fixture.h"
#include "support/test_util.h"

#include "bridge/user_info.h"
#include "core/sql.h"
#include "remote_sharing/remote_file_list.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QRegularExpression>
#include <QTimer>

#include <gtest/gtest.h>

#include <algorithm>

using namespace vantreltest;

namespace {

class ServiceFaultsEndToEnd : public AnnShareFixture {
 protected:
  void seedClientHome(const QString& home) {
    const QString shared = home + QStringLiteral("/Shared");
    QDir().mkpath(shared);
    for (int i = 0; i < 3; ++i) testutil::writeFile(shared + QStringLiteral("/note_%1.txt").arg(i), "note");
    SharingObj share = e2eclient::passOneShare(QStringLiteral("Docs"), shared);
    share.isdownload = true;
    ASSERT_TRUE(e2eclient::seedShare(home, annId, QStringLiteral("ann-host"), share));
  }

  // Bob's browser opens Ann's share; true once its three files are listed.
  bool listsAnnsShare(std::chrono::milliseconds timeout) {
    RemoteFileListController browser;
    browser.stopTimers();
    browser.setActiveHost(annHost(QStringLiteral("docs")));
    browser.onAppearFileList();
    return spinUntil([&] { return browser.fileList().size() == 3 && !browser.isLoading.value(); }, timeout);
  }

  // Milliseconds until Bob lists Ann's share again, trying for at most `limitMs`.
  qint64 msUntilListed(qint64 limitMs) {
    QElapsedTimer clock;
    clock.start();
    while (clock.elapsed() < limitMs)
      if (listsAnnsShare(3s)) return clock.elapsed();
    return -1;
  }

  static QString credentialOf(const BridgeProcess& bridge) {
    QFile file(const_cast<BridgeProcess&>(bridge).child().home() +
               QStringLiteral("/Documents/Kelvor/bridge/credential.json"));
    if (!file.open(QIODevice::ReadOnly)) return {};
    return vantrel::textOf(vantrel::parseJson(file.readAll()).value_or(vantrel::Json()), "Credential");
  }

  // No password, login token, device credential or sign-in handle in the logs
  // of the service and the bridges, nor a token or handle in the client's.
  void expectNoSecretsLogged(const QStringList& secrets) {
    // Tokens and handles are 48 hex digits, credentials 64.
    static const QRegularExpression longHex(QStringLiteral("[0-9a-fA-F]{40,}"));
    const std::vector<std::pair<const char*, QByteArray>> logs{{"service", service.child().output()},
                                                               {"bridge A", bridgeA.child().output()},
                                                               {"bridge B", bridgeB.child().output()},
                                                               {"client A", clientA.output()}};
    for (const auto& [name, log] : logs) {
      const QString text = QString::fromUtf8(log);
      const auto hex = longHex.match(text);
      EXPECT_FALSE(hex.hasMatch()) << name << " logs " << hex.captured().toStdString();
      if (QLatin1String(name) == QLatin1String("client A")) continue;
      for (const QString& secret : secrets)
        if (!secret.isEmpty()) { EXPECT_FALSE(text.contains(secret)) << name << " logs a secret"; }
    }
  }
};

TEST_F(ServiceFaultsEndToEnd, SmallAccountIdsFromAnotherBridgeNeverRideOnTheOwnersQrConfirmation) {
  BridgeProcess attackerBridge;
  ASSERT_TRUE(attackerBridge.start(&service));
  ClientLink attacker;
  ASSERT_TRUE(attacker.open(attackerBridge.port()));
  int sent = 0;
  QTimer spam;
  QObject::connect(&spam, &QTimer::timeout, [&] {
    for (int id = 1; id <= 5; ++id) {
      const std::string text = std::to_string(id);
      attacker.send(QStringLiteral("Login"), {{"Id_acc", text}, {"Password", text}, {"Device", "IPhone"},
                                              {"isCheckAccOnly", "0"}, {"Relogin", false}, {"Version", "1.0.2"},
                                              {"Source", "IOS"}});
      ++sent;
    }
  });
  spam.start(40);

  ASSERT_TRUE(bridgeA.start(&service, "secret-a"));
  seedClientHome(clientA.home());
  ASSERT_TRUE(e2eclient::startSignedInClient(clientA, service, bridgeA, QStringLiteral("secret-a")))
      << clientA.output().toStdString();
  // The spam goes on after the owner's sign-in, and is answered.
  const int atSignIn = sent;
  auto answered = [&] {
    return std::count_if(attacker.inbox().begin(), attacker.inbox().end(),
                         [](const ClientLink::Frame& f) { return f.code == QLatin1String("LoginResult"); });
  };
  ASSERT_TRUE(spinUntil([&] { return sent >= atSignIn + 25 && answered() > 10; }, 30s))
      << "sent " << sent << ", answered " << answered();
  spam.stop();
  for (const auto& frame : attacker.inbox())
    if (frame.code == QLatin1String("LoginResult")) {
      EXPECT_NE(vantrel::intOf(frame.data, "Result"), 1) << frame.data.dump();
    }
  EXPECT_TRUE(credentialOf(attackerBridge).isEmpty());
  EXPECT_FALSE(credentialOf(bridgeA).isEmpty());
  // The owner's client keeps the account id, not the spent handle.
  EXPECT_TRUE(clientA.output().contains("Host Login Succeeded"));

  // And the owner's host serves its share.
  ASSERT_TRUE(bridgeB.start(&service, "secret-b"));
  ASSERT_TRUE(e2eclient::signInThisProcessAsBob(bridgeB.port(), QStringLiteral("secret-b")));
  EXPECT_TRUE(listsAnnsShare(30s)) << clientA.output().toStdString();
  expectNoSecretsLogged({QStringLiteral("ann-pass"), QStringLiteral("bob-pass"), credentialOf(bridgeA),
                         credentialOf(bridgeB), UserInfo::shared()->Token});
  QString attackerLog = QString::fromUtf8(attackerBridge.child().output());
  EXPECT_FALSE(attackerLog.contains(QStringLiteral("signed in, account")));
}

TEST_F(ServiceFaultsEndToEnd, AHostIsReachableAgainSoonAfterTheServiceIsKilledAndStartedAgain) {
  startBothClients([this](const QString& home) { seedClientHome(home); });
  if (HasFatalFailure()) return;
  ASSERT_TRUE(listsAnnsShare(30s)) << clientA.output().toStdString();
  const QString bobToken = UserInfo::shared()->Token;
  QStringList secrets{QStringLiteral("ann-pass"), QStringLiteral("bob-pass"), QStringLiteral("Pass1"), bobToken};

  // The service keeps its sign-ins: the bridges rejoin with their tokens.
  ASSERT_TRUE(service.restart()) << service.child().output().toStdString();
  const qint64 kept = msUntilListed(15000);
  EXPECT_GE(kept, 0) << "not listed within 15 s\n" << bridgeA.child().output().toStdString();
  EXPECT_EQ(UserInfo::shared()->Token, bobToken);
  std::cout << "[ figures ] listed again " << kept << " ms after a restart that kept the sign-ins\n";

  // The service lost them: each bridge signs in again with its device
  // credential and tells its client the new token.
  ASSERT_TRUE(service.restart([this] {
    auto db = sql::Database::open(service.dataDir() + QStringLiteral("/accounts.db"));
    ASSERT_TRUE(db);
    ASSERT_TRUE(db->execute(QStringLiteral("DELETE FROM login_tokens")));
  }));
  const qint64 lost = msUntilListed(15000);
  EXPECT_GE(lost, 0) << "not listed within 15 s\n" << bridgeA.child().output().toStdString();
  std::cout << "[ figures ] listed again " << lost << " ms after a restart that lost the sign-ins\n";
  EXPECT_NE(UserInfo::shared()->Token, bobToken);
  EXPECT_GE(clientA.output().count("Host Login Succeeded"), 2);
  EXPECT_TRUE(bridgeA.child().output().contains("signing in again with the device credential"));

  secrets << UserInfo::shared()->Token << credentialOf(bridgeA) << credentialOf(bridgeB);
  expectNoSecretsLogged(secrets);
}

}  // namespace
