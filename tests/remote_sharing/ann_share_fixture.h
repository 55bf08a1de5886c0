// The setting of the browser's end-to-end tests: the account service with Ann
// and Bob, Ann's client A (offscreen, its own home with a share) signed in on
// bridge A, and this test process as Bob's client B on bridge B.
#pragma once

#include "e2e_client.h"

#include "remote_sharing/saved_hosts.h"

#include <gtest/gtest.h>

#include <functional>

class AnnShareFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(service.start()) << service.child().output().toStdString();
    ASSERT_TRUE(service.addAnnAndBob(&annId));
  }
  void TearDown() override { e2eclient::disconnectThisProcess(); }

  // Seeds client A's home, starts both bridges and both clients, signed in.
  void startBothClients(const std::function<void(const QString& home)>& seedHome) {
    ASSERT_TRUE(bridgeA.start(&service, "secret-a"));
    seedHome(clientA.home());
    // The client's login sheet logs its QR page address; confirming that page,
    // as the phone would, signs the client in.
    ASSERT_TRUE(e2eclient::startSignedInClient(clientA, service, bridgeA, QStringLiteral("secret-a")))
        << clientA.output().toStdString();
    ASSERT_TRUE(bridgeB.start(&service, "secret-b"));
    ASSERT_TRUE(e2eclient::signInThisProcessAsBob(bridgeB.port(), QStringLiteral("secret-b")));
  }

  // Ann's share `tag` as a saved host; access codes are compared without letter case.
  static RemoteSharing annHost(const QString& tag) {
    RemoteSharing host;
    host.hostid = QStringLiteral("A");
    host.hostname = QStringLiteral("ann-host");
    host.hosttag = tag;
    host.password = QStringLiteral("pass1");
    return host;
  }

  vantreltest::Service service;
  qint64 annId = 0;
  vantreltest::BridgeProcess bridgeA;
  vantreltest::Child clientA;
  vantreltest::BridgeProcess bridgeB;
};
