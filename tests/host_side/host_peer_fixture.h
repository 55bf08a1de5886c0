// The end-to-end setting of the host-side tests: the account service with Ann
// and Bob, and this process as Bob's peer on a bridge of its own, in a session
// to Ann's host; helpers for the peer's requests and for the transfers it
// starts and polls.
#pragma once

#include <gtest/gtest.h>

#include <functional>

#include "e2e_client.h"

namespace hostpeer {

using vantreltest::Json;
using namespace std::chrono_literals;

class PeerFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(service.start()) << service.child().output().toStdString();
    ASSERT_TRUE(service.addAnnAndBob(&annId));
  }

  // Starts bridge B, signs Bob in and opens a session to Ann's share `tag`
  // with `code`; `session` holds it. Bob's token in `token`.
  void openBobsSession(vantreltest::BridgeProcess& bridgeB, vantreltest::Child& host, const char* tag,
                       const char* code, QString* token = nullptr) {
    ASSERT_TRUE(bridgeB.start(&service));
    ASSERT_TRUE(peer.open(bridgeB.port()));
    const auto login = peer.login(QStringLiteral("bob@example.com"), QStringLiteral("bob-pass"));
    ASSERT_TRUE(login && vantrel::intOf(*login, "Result") == 1);
    bobToken_ = vantrel::textOf(*login, "Token");
    if (token) *token = bobToken_;
    connectBob(host, tag, code);
  }

  // Opens Bob's session to Ann's share `tag` with `code` (Bob signed in),
  // asking again while Ann's host is not online yet; `session` holds it.
  void connectBob(vantreltest::Child& host, const char* tag, const char* code) {
    std::optional<vantreltest::ClientLink::Frame> opened;
    for (int attempt = 0; attempt < 40; ++attempt) {
      peer.send(QStringLiteral("ClientInit"), {{"Id_user", bobToken_.toStdString()},
                                               {"Hostname", "ann-host"},
                                               {"Hosttag", tag},
                                               {"Hostpassword", code}});
      opened = peer.waitForCode(QStringLiteral("P2PCLIENT"), 10s);
      if (!opened || vantrel::textOf(opened->data, "Type") == QLatin1String("GetShareHost6Client")) break;
      vantreltest::idleFor(500ms);
    }
    ASSERT_TRUE(opened && vantrel::textOf(opened->data, "Type") == QLatin1String("GetShareHost6Client"))
        << host.output().toStdString();
    const Json link = vantrel::valueOf(opened->data, "Msg");
    session = vantrel::textOf(link, "ClientID1") + QLatin1Char('|') + vantrel::textOf(link, "ClientID2");
  }

  // A peer request in the session and its reply's "Msg"; no reply ends the test.
  Json ask(const QString& code, const Json& payload) { return peer.answer(session, code, payload); }
  // A request to Bob's own bridge and its answer.
  std::optional<Json> control(const QString& code, const Json& payload) {
    return peer.waitReply(peer.control(code, payload), 10s);
  }
  // A request that Bob's bridge answers from its own transfer state.
  std::optional<Json> onBridge(const QString& code) {
    const QString token = QStringLiteral("ClientWSDCTest-") + QString::number(++tokens_);
    peer.send(QStringLiteral("WSDC"),
              {{"Session", session.toStdString()}, {"Code", code.toStdString()}, {"Token", token.toStdString()},
               {"IsProcessOnBridge", "YES"}, {"Data", {{"Session", session.toStdString()}}}},
              false);
    auto frame = peer.waitFor([&](const vantreltest::ClientLink::Frame& f) {
      return vantrel::textOf(f.data, "Token") == token;
    });
    if (!frame) return std::nullopt;
    return vantrel::valueOf(frame->data, "Msg");
  }

  static bool ended(const Json& p) {
    return vantrel::intOf(p, "TaskStatus") == 1 || vantrel::intOf(p, "ForceCancel") == 1;
  }
  static bool moving(const Json& p) { return p.value("CurrentTaskPercent", 0.0) > 0 || ended(p); }
  // The last record `poll` gave once `done` holds (or after `timeout`).
  static Json pollUntil(const std::function<std::optional<Json>()>& poll, bool (*done)(const Json&),
                        std::chrono::milliseconds timeout = 60s) {
    Json last;
    vantreltest::spinUntil([&] {
      if (auto r = poll()) last = *r;
      return done(last);
    }, timeout);
    return last;
  }
  Json downloadPoll(bool (*done)(const Json&) = ended, std::chrono::milliseconds timeout = 60s) {
    return pollUntil(
        [&] { return control(QStringLiteral("Trans3_FC_TransTaskInfo"), {{"Session", session.toStdString()}}); }, done,
        timeout);
  }
  Json uploadPoll(bool (*done)(const Json&) = ended, std::chrono::milliseconds timeout = 60s) {
    return pollUntil([&] { return onBridge(QStringLiteral("RemoteUploadTaskInfo")); }, done, timeout);
  }
  // Starts a download of the "|"-joined `targets` into `save`.
  void startDownload(const QString& targets, const QString& save) {
    control(QStringLiteral("Trans3_FC_00_CallStart"),
            {{"Session", session.toStdString()}, {"Targets", targets.toStdString()}, {"SaveAtLocalFolder", save.toStdString()}});
  }
  // Starts an upload of the local `targets` into the host's folder `root`.
  void startUpload(const QString& targets, const QString& root) {
    control(QStringLiteral("Trans2_FS_00_CallStart"),
            {{"Session", session.toStdString()}, {"Targets", targets.toStdString()}, {"RemotePathRoot", root.toStdString()}});
  }

  vantreltest::Service service;
  qint64 annId = 0;
  vantreltest::ClientLink peer;
  QString session;

 private:
  int tokens_ = 0;
  QString bobToken_;
};

}  // namespace hostpeer
