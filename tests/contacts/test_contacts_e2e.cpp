// End to end on loopback: the account service, bridge A with this process as
// Ann's client (its request layer, host side, send and receive logic), and
// bridge B with a test peer as Bob. Files go from Ann to her contact Bob, and
// from Bob to Ann through her receive panel; the bridges move the data.
#include "e2e_client.h"

#include "bridge/env.h"
#include "host_side/install_host_side.h"
#include "bridge/login.h"
#include "bridge/user_info.h"
#include "contacts/contact_send.h"
#include "contacts/receive_file.h"
#include "core/localized.h"
#include "core/util_db.h"
#include "shell/main_view_state.h"
#include "support/test_util.h"

#include <QDir>
#include <QFileInfo>
#include <QTemporaryDir>

#include <gtest/gtest.h>

using namespace vantreltest;
using testutil::filesBelow;
using testutil::readFile;
using testutil::writeFile;

namespace {

QByteArray pattern(int size) {
  QByteArray bytes(size, '\0');
  for (int i = 0; i < size; ++i) bytes[i] = char((i * 7 + 3) % 251);
  return bytes;
}

class ContactEndToEnd : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(service.start()) << service.child().output().toStdString();
    ASSERT_TRUE(service.addAnnAndBob());
    ASSERT_TRUE(bridgeA.start(&service, "secret-a"));
    ASSERT_TRUE(bridgeB.start(&service));
    ASSERT_TRUE(UtilDB::openAt(folder.filePath(QStringLiteral("kelvor.dat"))));

    // This process as Ann's client, on bridge A.
    installHostSide();
    Env::MainViewShared = &window;
    ASSERT_TRUE(e2eclient::connectThisProcess(bridgeA.port(), QStringLiteral("secret-a")));
    SendLogin(QStringLiteral("ann@example.com"), QStringLiteral("ann-pass"));
    ASSERT_TRUE(spinUntil([] { return UserInfo::shared()->id_acc != 0; }, 30s))
        << bridgeA.child().output().toStdString();

    // Bob, the test peer on bridge B.
    ASSERT_TRUE(bob.open(bridgeB.port()));
    const auto login = bob.login(QStringLiteral("bob@example.com"), QStringLiteral("bob-pass"), 20s);
    ASSERT_TRUE(login && vantrel::intOf(*login, "Result") == 1);
    bobToken = vantrel::textOf(*login, "Token");
  }
  void TearDown() override {
    Env::MainViewShared = nullptr;
    e2eclient::disconnectThisProcess();
    UtilDB::reset();
  }

  std::optional<Json> control(ClientLink& link, const QString& code, const Json& payload) {
    return link.waitReply(link.control(code, payload), 30s);
  }

  QTemporaryDir folder;
  Service service;
  BridgeProcess bridgeA;
  BridgeProcess bridgeB;
  MainViewState window;
  ClientLink bob;
  QString bobToken;
};

}  // namespace

TEST_F(ContactEndToEnd, AnnSendsFilesToHerContactBob) {
  const QString outbox = folder.filePath(QStringLiteral("outbox"));
  writeFile(outbox + QStringLiteral("/report.pdf"), pattern(300 * 1024));
  writeFile(outbox + QStringLiteral("/set/a.txt"), "a");
  writeFile(outbox + QStringLiteral("/set/b.txt"), "bb");
  const QString inbox = folder.filePath(QStringLiteral("bob-inbox"));
  QDir().mkpath(inbox);

  // Bob's application: undecided for two polls, then the folder.
  QString session;
  int polls = 0;
  QList<Json> syncs;
  bob.serve([&](const QString& code, const Json& msg) -> Json {
    if (code == QLatin1String("ClientTouch")) return {{"data", {{"UPC", 5}, {"SC", 0}, {"OS", "IOS"}}}};
    if (code == QLatin1String("WaitRemoteReceiveFiles")) {
      session = vantrel::textOf(msg, "Session");
      return {{"data", "1"}};
    }
    if (code == QLatin1String("WaitRemoteReceiveFilesPressButton"))
      return {{"data", ++polls > 2 ? inbox.toStdString() : std::string("0")}};
    if (code == QLatin1String("SyncTransState")) syncs << msg;
    return {{"data", "PONG"}};
  });

  ContactSend send(liveContactsPort());
  QStringList toasts;
  QObject::connect(&send, &ContactSend::toastRequested, [&](const QString& text) { toasts << text; });
  send.cpSelected.cpmail = QStringLiteral("bob@example.com");
  send.setUploadTarget(outbox + QStringLiteral("/report.pdf|") + outbox + QStringLiteral("/set"));
  ASSERT_TRUE(spinUntil([&] { return send.listTargetItems.has_value(); }, 30s));
  EXPECT_EQ(send.listTargetItems->size(), 2u);
  send.startTimer();

  // The relay may need a moment for Bob's sign-in: retry a refused link.
  for (int attempt = 0; attempt < 20 && session.isEmpty(); ++attempt) {
    send.sendNowPressed();
    spinUntil([&] { return !session.isEmpty() || send.vcsState == ViewContactState::vcsStopped; }, 10s);
    if (session.isEmpty()) idleFor(500ms);
  }
  ASSERT_FALSE(session.isEmpty()) << toasts.join(QLatin1Char('|')).toStdString();
  control(bob, QStringLiteral("ResetRemoteUploadStatus_FromLocal"), {{"Session", session.toStdString()}});

  ASSERT_TRUE(spinUntil([&] { return toasts.contains(QStringLiteral("Send file finished successfully!")); }, 40s))
      << toasts.join(QLatin1Char('|')).toStdString() << bridgeA.child().output().toStdString();
  EXPECT_GE(polls, 3);
  EXPECT_EQ(send.vcsState, ViewContactState::vcsStopped);
  EXPECT_TRUE(send.uploadTarget.isEmpty());
  EXPECT_EQ(filesBelow(inbox), (QStringList{QStringLiteral("report.pdf"), QStringLiteral("set/a.txt"),
                                            QStringLiteral("set/b.txt")}));
  EXPECT_EQ(readFile(inbox + QStringLiteral("/report.pdf")), pattern(300 * 1024));
  EXPECT_EQ(readFile(inbox + QStringLiteral("/set/b.txt")), QByteArray("bb"));
  ASSERT_TRUE(spinUntil([&] { return !syncs.isEmpty() && syncs.last().value("IsFinished", false); }, 30s));

  const auto status = control(bob, QStringLiteral("RefreshRemoteUploadStatus_FromLocal"), {{"Session", session.toStdString()}});
  ASSERT_TRUE(status);
  EXPECT_TRUE(status->value("IsFinished", false)) << status->dump();
}

TEST_F(ContactEndToEnd, BobSendsToAnnWhoAcceptsInHerReceivePanel) {
  const QString outbox = folder.filePath(QStringLiteral("bob-outbox"));
  writeFile(outbox + QStringLiteral("/photo.jpg"), pattern(200 * 1024));
  writeFile(outbox + QStringLiteral("/.zkpart-a.txt"), "zz");  // a name Ann's side keeps for partial files
  const QString inbox = folder.filePath(QStringLiteral("ann-inbox"));
  writeFile(inbox + QStringLiteral("/photo.jpg"), "Ann's own photo");
  bob.serve([](const QString&, const Json&) -> Json { return {{"data", "PONG"}}; });

  // Bob opens a link to Ann, named by her e-mail, and offers the file.
  std::optional<ClientLink::Frame> opened;
  for (int attempt = 0; attempt < 40; ++attempt) {
    bob.send(QStringLiteral("ClientInit"), {{"Id_user", bobToken.toStdString()}, {"Hostname", "ann@example.com"},
                                            {"Hosttag", "KELVORSENDFILE"}, {"Hostpassword", ""}});
    opened = bob.waitForCode(QStringLiteral("P2PCLIENT"), 10s);
    if (!opened || vantrel::textOf(opened->data, "Type") == QLatin1String("GetShareHost6Client")) break;
    idleFor(500ms);
  }
  ASSERT_TRUE(opened);
  ASSERT_EQ(vantrel::textOf(opened->data, "Type"), QStringLiteral("GetShareHost6Client"));
  const Json link = vantrel::valueOf(opened->data, "Msg");
  const QString session = vantrel::textOf(link, "ClientID1") + QLatin1Char('|') + vantrel::textOf(link, "ClientID2");
  // A peer request and its reply; no reply ends the test.
  auto ask = [&](const QString& code, const Json& payload) { return bob.answer(session, code, payload); };

  // Before any offer the answer is "undecided".
  EXPECT_EQ(ask(QStringLiteral("WaitRemoteReceiveFilesPressButton"), {{"UUID", "u0"}}), (Json{{"data", "0"}}));
  EXPECT_EQ(ask(QStringLiteral("WaitRemoteReceiveFiles"),
                {{"Session", session.toStdString()}, {"Summary", "photo.jpg 200 KB"},
                 {"FromUser", "<h1 style='color:red'>Your bank</h1>"}, {"UUID", "u1"}}),
            (Json{{"data", "1"}}));
  ASSERT_TRUE(window.ctlViewReceiveFile().isShowView);
  // The panel names the sender as the relay names Bob's account, whatever he calls himself.
  EXPECT_EQ(window.ctlViewReceiveFile().FromUser, QStringLiteral("Bob"));

  // Ann's panel: she picks her folder and accepts.
  ReceiveFile panel(window, liveContactsPort());
  panel.onAppear();
  EXPECT_EQ(ask(QStringLiteral("WaitRemoteReceiveFilesPressButton"), {{"UUID", "u1"}}), (Json{{"data", "0"}}));
  panel.folderChosen(inbox);
  panel.isOverwrite = false;  // her switch off: her own photo.jpg stays
  panel.accept();
  EXPECT_EQ(ask(QStringLiteral("WaitRemoteReceiveFilesPressButton"), {{"UUID", "u1"}}),
            (Json{{"data", inbox.toStdString()}, {"Overwrite", false}}));

  // Bob's bridge sends; Ann's panel follows the receive until it ends.
  const auto prepared = control(bob, QStringLiteral("PreparingUpload"),
                                {{"Targets", (outbox + QStringLiteral("/photo.jpg")).toStdString()},
                                 {"LocalRootPath", outbox.toStdString()}, {"RemoteSaveRootPath", "Z:\\"}});
  ASSERT_TRUE(prepared && prepared->size() == 1);
  ASSERT_TRUE(control(bob, QStringLiteral("StartRemoteUpload"),
                      {{"Session", session.toStdString()},
                       {"ClientID1", vantrel::textOf(link, "ClientID1").toStdString()},
                       {"ClientID2", vantrel::textOf(link, "ClientID2").toStdString()},
                       {"FileList", Json::array({{{"Size", 200 * 1024}, {"IsDir", false},
                                                  {"Path", (outbox + QStringLiteral("/photo.jpg")).toStdString()},
                                                  {"PathSave", (inbox + QStringLiteral("/photo.jpg")).toStdString()}},
                                                 {{"Size", 2}, {"IsDir", false},
                                                  {"Path", (outbox + QStringLiteral("/.zkpart-a.txt")).toStdString()},
                                                  {"PathSave", (inbox + QStringLiteral("/.zkpart-a.txt")).toStdString()}}})}}));
  QList<AlertToast> toasts;
  QObject::connect(&window.toast, &ToastState::toastChanged, [&] { toasts << window.toast.toast(); });
  panel.startTimer();
  ASSERT_TRUE(spinUntil([&] { return !toasts.isEmpty(); }, 30s)) << bridgeA.child().output().toStdString();
  // The refused name ends the receive as partial, with the failure symbol, never as a success.
  EXPECT_EQ(toasts.first().title, QStringLiteral("1 of 2 objects received. 1 refused by this computer."));
  EXPECT_EQ(toasts.first().type, AlertToast::Type::error);
  EXPECT_EQ(toasts.first().subTitle.value_or(QString()),
            L("Transfer_Refusal_Why") + QLatin1Char('\n') + L("Transfer_Renamed").arg(1));
  EXPECT_FALSE(QFileInfo::exists(inbox + QStringLiteral("/.zkpart-a.txt")));
  EXPECT_FALSE(window.ctlViewReceiveFile().isShowView);
  EXPECT_EQ(window.ctlViewReceiveFile().vrsState, ViewReceiveState::vrsStopped);
  EXPECT_EQ(readFile(inbox + QStringLiteral("/photo.jpg")), QByteArray("Ann's own photo"));
  EXPECT_EQ(readFile(inbox + QStringLiteral("/photo (1).jpg")), pattern(200 * 1024));
}
