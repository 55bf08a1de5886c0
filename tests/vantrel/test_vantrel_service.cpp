// The bridge against the real account service, both as processes on loopback:
// sign-in by e-mail and by confirmed QR token, web calls over HTTPS with the
// local authority, and the relay between two bridges.
#include "vantrel_harness.h"

#include "protocol/relay_limits.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QRegularExpression>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QSslConfiguration>
#include <QUrlQuery>
#include <QUuid>

#include <gtest/gtest.h>

using namespace vantreltest;
using vantrel::intOf;
using vantrel::textOf;
using vantrel::valueOf;

namespace {

const QByteArray kInstaller = QByteArray("installer bytes ").repeated(40000);  // 640 KB

class VantrelService : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    service = new Service;
    // Silent relay connections are found in seconds (2 s, dropped after 6 s).
    service->relayPingSeconds = 2;
    QDir data(service->dataDir());
    data.mkpath(QStringLiteral("installers"));
    QFile installer(data.filePath(QStringLiteral("installers/Kelvor1.0.3.dmg")));
    installer.open(QIODevice::WriteOnly);
    installer.write(kInstaller);
    installer.close();
    QFile version(data.filePath(QStringLiteral("version.json")));
    version.open(QIODevice::WriteOnly);
    version.write(R"({"number": "1.0.3", "file": "Kelvor1.0.3.dmg"})");
    version.close();
    ready = service->addAnnAndBob() && service->start();
  }
  static void TearDownTestSuite() {
    delete service;
    service = nullptr;
  }
  void SetUp() override { ASSERT_TRUE(ready) << service->child().output().toStdString(); }

  // A bridge process of this service with a client signed in as `email`.
  std::unique_ptr<Signed> signIn(const QString& email, const QString& password) {
    std::string why;
    auto s = vantreltest::signIn(service, email, password, &why);
    if (!s) ADD_FAILURE() << why;
    return s;
  }

  // `peer` asks its bridge for a session with the share `tag` of `hostname`
  // under the access code `code`; gives the bridge's "P2PCLIENT" answer.
  static std::optional<ClientLink::Frame> clientInit(Signed& peer, const char* hostname, const char* tag,
                                                     const char* code) {
    peer.link.send(QStringLiteral("ClientInit"), {{"Id_user", textOf(peer.result, "Token").toStdString()},
                                                 {"Hostname", hostname}, {"Hosttag", tag}, {"Hostpassword", code}});
    return peer.link.waitForCode(QStringLiteral("P2PCLIENT"));
  }
  // The session named by an opened session's "Msg": "ClientID1|ClientID2".
  static QString sessionOf(const Json& msg) {
    return textOf(msg, "ClientID1") + QLatin1Char('|') + textOf(msg, "ClientID2");
  }

  // HTTPS to the service, trusting its local authority.
  QByteArray https(const QString& path, const QByteArray& form = {}) {
    QNetworkRequest request(QUrl(service->siteBase() + path));
    QSslConfiguration tls = QSslConfiguration::defaultConfiguration();
    tls.addCaCertificates(QSslCertificate::fromPath(service->caFile()));
    request.setSslConfiguration(tls);
    QNetworkReply* reply;
    if (form.isEmpty()) {
      reply = network.get(request);
    } else {
      request.setHeader(QNetworkRequest::ContentTypeHeader, QStringLiteral("application/x-www-form-urlencoded"));
      reply = network.post(request, form);
    }
    spinUntil([reply] { return reply->isFinished(); }, 10s);
    const QByteArray body = reply->readAll();
    reply->deleteLater();
    return body;
  }

  // The sign-in handle that the QR check gives once the code is confirmed, or nothing.
  QString confirmQr(const QString& qrToken, const QString& email, const QString& password) {
    QUrlQuery form;
    form.addQueryItem(QStringLiteral("token"), qrToken);
    form.addQueryItem(QStringLiteral("mid"), QStringLiteral("MID-1"));
    form.addQueryItem(QStringLiteral("email"), email);
    form.addQueryItem(QStringLiteral("password"), password);
    https(QStringLiteral("/wx/login/confirm"), form.toString(QUrl::FullyEncoded).toUtf8());
    const auto check = vantrel::parseJson(https(QStringLiteral("/api2/account/token/check2/?t=") + qrToken));
    return check && textOf(*check, "Result") == QLatin1String("1") ? textOf(*check, "Info") : QString();
  }

  static inline Service* service = nullptr;
  static inline bool ready = false;
  QNetworkAccessManager network;
};

}  // namespace

TEST_F(VantrelService, SignsInByEmailAndKeepsTheDeviceCredential) {
  BridgeProcess bridge;
  ASSERT_TRUE(bridge.start(service));
  ClientLink link;
  ASSERT_TRUE(link.open(bridge.port()));

  auto refused = link.login(QStringLiteral("ann@example.com"), QStringLiteral("wrong"));
  ASSERT_TRUE(refused);
  EXPECT_NE(intOf(*refused, "Result"), 1);

  link.send(QStringLiteral("Login"), {{"Id_acc", "ann@example.com"}, {"Password", "ann-pass"}, {"Device", "IPhone"},
                                      {"isCheckAccOnly", "0"}, {"Relogin", false}, {"Version", "1.0.2"}, {"Source", "IOS"}});
  auto frame = link.waitForCode(QStringLiteral("LoginResult"), 10s);
  ASSERT_TRUE(frame);
  ASSERT_TRUE(frame->dataWasText);
  EXPECT_TRUE(QString::fromStdString(frame->data.dump()).contains(QStringLiteral("\"Result\":1,")));
  const Json& result = frame->data;
  EXPECT_GT(intOf(result, "ACC"), 0);
  EXPECT_EQ(textOf(result, "name_acc"), QStringLiteral("Ann"));
  EXPECT_EQ(textOf(result, "rooturl"), QStringLiteral("ann-host"));
  EXPECT_FALSE(textOf(result, "ClientID").isEmpty());
  EXPECT_FALSE(textOf(result, "Token").isEmpty());
  EXPECT_GE(intOf(valueOf(result, "limit"), "limit_dpc"), 1);
  EXPECT_FALSE(result.contains("Credential"));  // the credential stays with the bridge

  const QString stored = bridge.child().home() + QStringLiteral("/Documents/Kelvor/bridge/credential.json");
  ASSERT_TRUE(QFile::exists(stored));
  EXPECT_FALSE(QFileInfo(stored).permissions() & (QFileDevice::ReadGroup | QFileDevice::ReadOther));
}

TEST_F(VantrelService, SignsInByConfirmedQrTokenOnlyAndAgainAfterARestart) {
  BridgeProcess bridge;
  ASSERT_TRUE(bridge.start(service));
  ClientLink link;
  ASSERT_TRUE(link.open(bridge.port()));
  const auto ann = signIn(QStringLiteral("ann@example.com"), QStringLiteral("ann-pass"));
  ASSERT_TRUE(ann);
  const QString id = QString::number(intOf(ann->result, "ACC"));

  // Without a confirmed token (and no credential on this bridge): refused.
  auto unconfirmed = link.login(id, id);
  ASSERT_TRUE(unconfirmed);
  EXPECT_NE(intOf(*unconfirmed, "Result"), 1);

  const QString qrToken = QUuid::createUuid().toString(QUuid::Id128);
  EXPECT_TRUE(confirmQr(qrToken, QStringLiteral("ann@example.com"), QStringLiteral("wrong")).isEmpty());
  const QString handle = confirmQr(qrToken, QStringLiteral("ann@example.com"), QStringLiteral("ann-pass"));
  ASSERT_FALSE(handle.isEmpty());
  // The account id alone still does not sign in; the handle does.
  auto byId = link.login(id, id);
  ASSERT_TRUE(byId);
  EXPECT_NE(intOf(*byId, "Result"), 1);
  auto confirmed = link.login(handle, handle);
  ASSERT_TRUE(confirmed);
  EXPECT_EQ(intOf(*confirmed, "Result"), 1);
  EXPECT_EQ(textOf(*confirmed, "rooturl"), QStringLiteral("ann-host"));
  EXPECT_EQ(QString::number(intOf(*confirmed, "ACC")), id);

  // The client re-sends (id, id) after the bridge was killed and restarted:
  // the kept credential signs in without a new scan.
  const quint16 port = bridge.port();
  bridge.child().kill();
  Child& child = bridge.child();
  ASSERT_TRUE(child.start(bridgeExecutable(child.home()), {startupArgument()}));
  ASSERT_TRUE(spinUntil([&] { return child.output().count("listening on") >= 2; }, 10s));
  ClientLink again;
  ASSERT_TRUE(again.open(port));
  auto relogin = again.login(id, id);
  ASSERT_TRUE(relogin);
  EXPECT_EQ(intOf(*relogin, "Result"), 1);

  // A credential is good for its own account only.
  const auto bob = signIn(QStringLiteral("bob@example.com"), QStringLiteral("bob-pass"));
  ASSERT_TRUE(bob);
  const QString bobId = QString::number(intOf(bob->result, "ACC"));
  auto other = again.login(bobId, bobId);
  ASSERT_TRUE(other);
  EXPECT_NE(intOf(*other, "Result"), 1);
}

TEST_F(VantrelService, CallsAndDownloadsOverHttpsWithTheLocalAuthority) {
  const auto ann = signIn(QStringLiteral("ann@example.com"), QStringLiteral("ann-pass"));
  ASSERT_TRUE(ann);
  ClientLink& link = ann->link;
  const QString api = service->siteBase() + QStringLiteral("/api2/");

  const auto version = link.waitReply(
      link.control(QStringLiteral("CallHttp"), {{"URL", (api + QStringLiteral("version/mac/index.php")).toStdString()},
                                                {"Timeout", 5}}));
  ASSERT_TRUE(version);
  ASSERT_TRUE(version->is_string());  // the body as text, parsed by the caller
  const auto record = vantrel::parseJson(vantrel::asText(*version));
  ASSERT_TRUE(record);
  EXPECT_EQ(intOf(*record, "info"), 1);
  EXPECT_EQ(textOf(*record, "number"), QStringLiteral("1.0.3"));

  const auto acode = link.waitReply(link.control(
      QStringLiteral("CallHttp"),
      {{"URL", (api + QStringLiteral("account/acode/get/index.php?Token=") + textOf(ann->result, "Token")).toStdString()},
       {"Timeout", 5}}));
  ASSERT_TRUE(acode);
  EXPECT_EQ(intOf(*vantrel::parseJson(vantrel::asText(*acode)), "Result"), 1);

  QTemporaryDir folder;
  const QString tmp = folder.path() + QStringLiteral("/Kelvor1.0.3.tmp");
  const auto saved = link.waitReply(
      link.control(QStringLiteral("CallHttpDownload"), {{"URL", textOf(*record, "url").toStdString()},
                                                        {"SaveAt", tmp.toStdString()}}),
      15s);
  ASSERT_TRUE(saved);
  EXPECT_TRUE(valueOf(*saved, "IsSucc").get<bool>());
  QFile file(tmp);
  ASSERT_TRUE(file.open(QIODevice::ReadOnly));
  EXPECT_EQ(file.readAll(), kInstaller);
  EXPECT_EQ(QDir(folder.path()).entryList(QDir::Files | QDir::Hidden).size(), 1);

  // A missing file: no success, and nothing left in the folder but the first.
  const auto missing = link.waitReply(link.control(
      QStringLiteral("CallHttpDownload"),
      {{"URL", (api + QStringLiteral("version/download/Kelvor9.9.9.dmg")).toStdString()},
       {"SaveAt", (folder.path() + QStringLiteral("/Kelvor9.9.9.tmp")).toStdString()}}));
  ASSERT_TRUE(missing);
  EXPECT_FALSE(valueOf(*missing, "IsSucc").get<bool>());
  EXPECT_EQ(QDir(folder.path()).entryList(QDir::Files | QDir::Hidden).size(), 1);
}

TEST_F(VantrelService, RelaysRequestsAndRepliesBetweenTheTwoClientsOfASession) {
  const auto host = signIn(QStringLiteral("ann@example.com"), QStringLiteral("ann-pass"));
  const auto peer = signIn(QStringLiteral("bob@example.com"), QStringLiteral("bob-pass"));
  ASSERT_TRUE(host && peer);

  // A host name that nobody serves fails plainly.
  auto failed = clientInit(*peer, "nobody-host", "x", "");
  ASSERT_TRUE(failed);
  EXPECT_EQ(textOf(failed->data, "Type"), QStringLiteral("P2PConFailed"));

  // Opening a session: the bridge may still be joining the relay; the link waits for it.
  auto opened = clientInit(*peer, "ann-host", "docs", "");
  ASSERT_TRUE(opened);
  ASSERT_EQ(textOf(opened->data, "Type"), QStringLiteral("GetShareHost6Client"));
  const Json msg = valueOf(opened->data, "Msg");
  EXPECT_EQ(intOf(msg, "Result"), 1);
  EXPECT_EQ(textOf(msg, "ClientID1"), textOf(peer->result, "ClientID"));
  EXPECT_EQ(textOf(msg, "ClientID2"), textOf(host->result, "ClientID"));
  const QString session = sessionOf(msg);

  // A peer request reaches the host's client with its payload under "Msg".
  const QString token = peer->link.request(session, QStringLiteral("getShareInfo"), {{"tag", "docs"}, {"pass", ""}, {"isweb", 0}});
  auto request = host->link.waitForCode(QStringLiteral("WSDC"));
  ASSERT_TRUE(request);
  EXPECT_TRUE(request->dataWasText);
  EXPECT_EQ(textOf(request->data, "Token"), token);
  EXPECT_EQ(textOf(request->data, "Session"), session);
  EXPECT_EQ(textOf(request->data, "Code"), QStringLiteral("getShareInfo"));
  EXPECT_EQ(textOf(valueOf(request->data, "Msg"), "tag"), QStringLiteral("docs"));

  // The host's reply comes back under the same token, its value under "Msg".
  const QStringList ids = session.split(QLatin1Char('|'));
  host->link.send(QStringLiteral("WSDC"),
                  {{"Data", {{"data", Json::array({{{"tag", "docs"}, {"path", "/srv/docs"}}})}}},
                   {"Token", token.toStdString()}, {"ClientID1", ids[0].toStdString()},
                   {"ClientID2", ids[1].toStdString()}, {"ClientIDRemote", ids[0].toStdString()},
                   {"Session", session.toStdString()}, {"Code", "getShareInfo"}});
  auto reply = peer->link.waitFor([&](const ClientLink::Frame& f) {
    return f.code == QLatin1String("WSDC") && textOf(f.data, "Token") == token;
  });
  ASSERT_TRUE(reply);
  EXPECT_EQ(textOf(valueOf(valueOf(reply->data, "Msg"), "data")[0], "path"), QStringLiteral("/srv/docs"));

  // Thumbnails go to the host as a host function call and come back by callback.
  host->link.serve([](const QString& code, const Json& payload) -> Json {
    if (code == QLatin1String("buildIcon2")) return {{"data", "[\"" + std::to_string(payload.value("size", 0)) + "\"]"}};
    return {{"data", "PONG"}};
  });
  const QString thumbs = peer->link.request(session, QStringLiteral("buildIcon2"), {{"size", 48}, {"fileList", {"/a|0|1|-1"}}});
  auto icons = peer->link.waitFor([&](const ClientLink::Frame& f) { return textOf(f.data, "Token") == thumbs; });
  ASSERT_TRUE(icons);
  EXPECT_EQ(textOf(valueOf(icons->data, "Msg"), "data"), QStringLiteral("[\"48\"]"));

  // Requests answered by the bridge itself come from its transfer state: with
  // no upload in this session, one it does not know.
  peer->link.send(QStringLiteral("WSDC"), {{"Session", session.toStdString()}, {"Code", "RemoteUploadTaskInfo"},
                                           {"Token", "ClientWSDCTest-yes"}, {"IsProcessOnBridge", "YES"},
                                           {"Data", {{"Session", session.toStdString()}, {"IsProcessOnBridge", "YES"}}}},
                  false);
  auto local = peer->link.waitFor([&](const ClientLink::Frame& f) { return textOf(f.data, "Token") == QLatin1String("ClientWSDCTest-yes"); });
  ASSERT_TRUE(local);
  EXPECT_EQ(intOf(valueOf(local->data, "Msg"), "TaskStatus"), 0);
  EXPECT_EQ(intOf(valueOf(local->data, "Msg"), "ForceCancel"), 1);
  EXPECT_EQ(textOf(valueOf(local->data, "Msg"), "Reason"), QStringLiteral("unknown"));
  EXPECT_TRUE(valueOf(local->data, "Msg").contains("TotalTaskCount"));

  // Nothing crosses outside the session: a request naming a session that is
  // not open reaches nobody (its asker hears at once that no host answers),
  // and a reply names the session of its request.
  host->link.serve(nullptr);
  const auto stray =
      peer->link.ask(textOf(msg, "ClientID1") + QStringLiteral("|someone-else"), QStringLiteral("PING"), {{"m", ""}}, 5s);
  ASSERT_TRUE(stray);
  EXPECT_EQ(intOf(*stray, "Result"), 0);
  EXPECT_EQ(textOf(*stray, "Info"), QLatin1String(vantrel::kHostUnreachable));
  const QString check = peer->link.request(session, QStringLiteral("PING"), {{"m", ""}});
  auto ping = host->link.waitForCode(QStringLiteral("WSDC"));
  ASSERT_TRUE(ping);
  EXPECT_EQ(textOf(ping->data, "Token"), check);  // the stray request never arrived
  host->link.send(QStringLiteral("WSDC"), {{"Data", {{"data", "PONG"}}}, {"Token", check.toStdString()},
                                           {"Session", "other|session"}, {"Code", "PING"}});
  EXPECT_FALSE(peer->link.waitFor([&](const ClientLink::Frame& f) { return textOf(f.data, "Token") == check; }, 300ms));
  EXPECT_TRUE(host->link.inbox().empty());

  // Tokens near what the relay carries, whose answers could never fit: dropped
  // on arrival, and the session goes on being answered.
  host->link.serve([](const QString&, const Json&) -> Json { return {{"data", "PONG"}}; });
  for (int cut = 96; cut <= 256; cut += 8)
    peer->link.send(QStringLiteral("WSDC"),
                    {{"Session", session.toStdString()}, {"Code", "PING"},
                     {"Token", std::string(size_t(protocol::kMaxRelayControlMessage - cut), 'T')}, {"Data", {{"m", ""}}}},
                    false);
  const auto after = peer->link.ask(session, QStringLiteral("PING"), {{"m", ""}}, 30s);
  ASSERT_TRUE(after);
  EXPECT_EQ(textOf(*after, "data"), QStringLiteral("PONG"));
}

// The host's client learns what it needs to decide per session: the access
// code given with "ClientInit" (as a "checkAccessCode" request ahead of the
// peer's own, whose answer stays with the bridge), the asking account and its
// name with every request, and the session's end.
TEST_F(VantrelService, TellsTheHostTheLinksCodeTheAskingAccountAndTheSessionsEnd) {
  const auto host = signIn(QStringLiteral("ann@example.com"), QStringLiteral("ann-pass"));
  const auto peer = signIn(QStringLiteral("bob@example.com"), QStringLiteral("bob-pass"));
  ASSERT_TRUE(host && peer);
  auto opened = clientInit(*peer, "ann-host", "docs", "Code9");
  ASSERT_TRUE(opened && textOf(opened->data, "Type") == QLatin1String("GetShareHost6Client"));
  const Json msg = valueOf(opened->data, "Msg");
  const QString session = sessionOf(msg);

  auto presented = host->link.waitForCode(QStringLiteral("WSDC"));
  ASSERT_TRUE(presented);
  EXPECT_EQ(textOf(presented->data, "Code"), QStringLiteral("checkAccessCode"));
  EXPECT_EQ(textOf(presented->data, "Session"), session);
  EXPECT_EQ(valueOf(presented->data, "Msg"), (Json{{"tag", "docs"}, {"password", "Code9"}}));
  EXPECT_EQ(textOf(presented->data, "PeerACC"), QString::number(intOf(peer->result, "ACC")));
  const QString initToken = textOf(presented->data, "Token");
  host->link.send(QStringLiteral("WSDC"), {{"Data", {{"data", true}}}, {"Token", initToken.toStdString()},
                                           {"Session", session.toStdString()}, {"Code", "checkAccessCode"}});
  EXPECT_FALSE(peer->link.waitFor([&](const ClientLink::Frame& f) { return textOf(f.data, "Token") == initToken; }, 500ms));

  peer->link.request(session, QStringLiteral("PING"), {{"m", ""}});
  auto ping = host->link.waitForCode(QStringLiteral("WSDC"));
  ASSERT_TRUE(ping);
  EXPECT_EQ(textOf(ping->data, "PeerACC"), QString::number(intOf(peer->result, "ACC")));
  EXPECT_EQ(textOf(ping->data, "PeerName"), QStringLiteral("Bob"));  // the account's name, as the relay gives it

  peer->bridge.child().stop();
  auto closed = host->link.waitFor([](const ClientLink::Frame& f) {
    return f.code == QLatin1String("WSDC") && textOf(f.data, "Code") == QLatin1String("SessionClosed");
  }, 10s);
  ASSERT_TRUE(closed);
  EXPECT_EQ(textOf(closed->data, "Session"), session);
}

// Exited, or only waiting to be reaped.
bool ended(qint64 pid) {
  QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
  if (!stat.open(QIODevice::ReadOnly)) return true;
  const QByteArray text = stat.readAll();
  const qsizetype close = text.lastIndexOf(')');
  return close < 0 || close + 2 >= text.size() || text.at(close + 2) == 'Z' || text.at(close + 2) == 'X';
}

// A host bridge without its client is no host any more: when the client
// process that started it is killed, and when its client's connection closed
// and none came back, a peer's next request is answered with a failure, and
// the bridge signs out and exits.
TEST_F(VantrelService, AHostWithoutItsClientEndsItsSessionsSignsOutAndExits) {
  const auto peer = signIn(QStringLiteral("bob@example.com"), QStringLiteral("bob-pass"));
  ASSERT_TRUE(peer);
  const Json info{{"tag", "docs"}, {"pass", ""}, {"isweb", 0}};
  const auto share = [](const QString&, const Json&) -> Json { return {{"data", Json::array({{{"tag", "docs"}}})}}; };
  const auto openSession = [&]() -> QString {
    auto opened = clientInit(*peer, "ann-host", "docs", "");
    if (!opened || textOf(opened->data, "Type") != QLatin1String("GetShareHost6Client")) return {};
    return sessionOf(valueOf(opened->data, "Msg"));
  };
  const auto refusedInTime = [&](const QString& session) {
    QElapsedTimer clock;
    clock.start();
    const auto reply = peer->link.ask(session, QStringLiteral("getShareInfo"), info, 10s);
    EXPECT_LT(clock.elapsed(), 10000);
    return reply && intOf(*reply, "Result") == 0 && textOf(*reply, "Info") == QLatin1String(vantrel::kHostUnreachable);
  };

  {
    // The client stands in as a shell that starts the bridge as the client
    // does (naming itself in VANTREL_CLIENT_PID) and is then killed.
    Child client;
    service->configure(client.env());
    client.env().insert(QStringLiteral("VANTREL_PORT"), QStringLiteral("0"));
    client.env().insert(QStringLiteral("VANTREL_LAN_ADDRESS"), QStringLiteral("127.0.0.1"));
    ASSERT_TRUE(client.start(QStringLiteral("/bin/sh"),
                             {QStringLiteral("-c"),
                              QStringLiteral("VANTREL_CLIENT_PID=$$ \"$0\" \"$@\" >\"$HOME/bridge.out\" 2>&1 & "
                                             "echo \"bridge=$!\"; wait"),
                              bridgeExecutable(client.home()), startupArgument()}));
    const auto bridgeLog = [&] {
      QFile file(client.home() + QStringLiteral("/bridge.out"));
      return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    };
    quint16 port = 0;
    ASSERT_TRUE(spinUntil([&] { return (port = reportedPort(bridgeLog(), "listening on")) != 0; }));
    const qint64 bridgePid =
        QRegularExpression(QStringLiteral("bridge=(\\d+)")).match(QString::fromUtf8(client.output())).captured(1).toLongLong();
    ASSERT_GT(bridgePid, 0);
    ClientLink host;
    ASSERT_TRUE(host.open(port));
    const auto signedIn = host.login(QStringLiteral("ann@example.com"), QStringLiteral("ann-pass"), 20s);
    ASSERT_TRUE(signedIn && intOf(*signedIn, "Result") == 1);
    host.serve(share);
    // A host is found once its relay is up.
    ASSERT_TRUE(spinUntil([&] { return bridgeLog().contains("relay ready as"); }));
    const QString session = openSession();
    ASSERT_FALSE(session.isEmpty());
    ASSERT_TRUE(peer->link.ask(session, QStringLiteral("getShareInfo"), info, 10s));

    // Its connection stays open here: the client's end alone tells the bridge.
    client.kill();
    EXPECT_TRUE(refusedInTime(session));
    EXPECT_TRUE(spinUntil([&] { return ended(bridgePid); }, 15s));
    EXPECT_TRUE(bridgeLog().contains("Vantrel - signed out")) << bridgeLog().toStdString();
    EXPECT_TRUE(spinUntil([&] { return !host.isOpen(); }, 5s));
  }

  // The client's connection closes and no client comes back.
  std::string why;
  const auto host = vantreltest::signIn(service, QStringLiteral("ann@example.com"), QStringLiteral("ann-pass"), &why);
  ASSERT_TRUE(host) << why;
  host->link.serve(share);
  ASSERT_TRUE(spinUntil([&] { return host->bridge.child().output().contains("relay ready as"); }));
  const QString session = openSession();
  ASSERT_FALSE(session.isEmpty());
  ASSERT_TRUE(peer->link.ask(session, QStringLiteral("getShareInfo"), info, 10s));
  host->link.close();
  EXPECT_TRUE(refusedInTime(session));
  QProcess& bridge = host->bridge.child().process();
  EXPECT_TRUE(spinUntil([&] { return bridge.state() == QProcess::NotRunning; }, 15s));
  EXPECT_EQ(bridge.exitStatus(), QProcess::NormalExit);
  EXPECT_EQ(bridge.exitCode(), 0);
  EXPECT_TRUE(host->bridge.child().output().contains("Vantrel - signed out"));
  // The peer asks in vain no more: the session is gone on its side too.
  EXPECT_TRUE(refusedInTime(session));
}

// The relay connection is taken away, the host is frozen (a machine asleep
// with its connections open), the service is frozen: each time the host comes
// back on its own. A frozen host is offline for its peers within seconds.
TEST_F(VantrelService, RejoinsTheRelayWhenItsConnectionIsTakenAwayOrSilent) {
  const auto host = signIn(QStringLiteral("ann@example.com"), QStringLiteral("ann-pass"));
  const auto peer = signIn(QStringLiteral("bob@example.com"), QStringLiteral("bob-pass"));
  ASSERT_TRUE(host && peer);

  // Another connection with the host's token displaces the bridge's relay.
  QWebSocket intruder;
  QSslConfiguration tls = QSslConfiguration::defaultConfiguration();
  tls.addCaCertificates(QSslCertificate::fromPath(service->caFile()));
  intruder.setSslConfiguration(tls);
  bool displaced = false;
  QObject::connect(&intruder, &QWebSocket::disconnected, &intruder, [&] { displaced = true; });
  intruder.open(QUrl(QStringLiteral("wss://") + service->host() + QStringLiteral("/relay")));
  ASSERT_TRUE(spinUntil([&] { return intruder.state() == QAbstractSocket::ConnectedState; }));
  intruder.sendTextMessage(QStringLiteral("{\"op\":\"hello\",\"Token\":\"%1\"}").arg(textOf(host->result, "Token")));

  // The bridge comes back within its first retry and takes its place again.
  ASSERT_TRUE(spinUntil([&] { return displaced; }, 5s));
  auto opened = clientInit(*peer, "ann-host", "docs", "");
  ASSERT_TRUE(opened);
  ASSERT_EQ(textOf(opened->data, "Type"), QStringLiteral("GetShareHost6Client"));
  const Json msg = valueOf(opened->data, "Msg");
  const QString session = sessionOf(msg);
  host->link.serve([](const QString&, const Json&) -> Json { return {{"data", "PONG"}}; });
  const QString token = peer->link.request(session, QStringLiteral("PING"), {{"m", ""}});
  auto reply = peer->link.waitFor([&](const ClientLink::Frame& f) { return textOf(f.data, "Token") == token; });
  ASSERT_TRUE(reply);
  EXPECT_EQ(textOf(valueOf(reply->data, "Msg"), "data"), QStringLiteral("PONG"));

  const auto readyCount = [](Signed& s) { return s.bridge.child().output().count("relay ready as"); };
  const auto pingWorks = [&] {
    auto opened = clientInit(*peer, "ann-host", "docs", "");
    if (!opened || textOf(opened->data, "Type") != QLatin1String("GetShareHost6Client")) return false;
    const auto pong = peer->link.ask(sessionOf(valueOf(opened->data, "Msg")), QStringLiteral("PING"), {{"m", ""}}, 10s);
    return pong && textOf(*pong, "data") == QLatin1String("PONG");
  };

  // The host freezes with a request of the peer on its way: the service drops
  // its silent connection, the request is answered as unreachable, the session
  // ends and a new one finds no host.
  const qsizetype hostReady = readyCount(*host);
  ASSERT_TRUE(host->bridge.child().pause());
  QElapsedTimer frozen;
  frozen.start();
  const QString asked = peer->link.request(session, QStringLiteral("PING"), {{"m", ""}});
  auto unanswered = peer->link.waitFor([&](const ClientLink::Frame& f) { return textOf(f.data, "Token") == asked; }, 60s);
  ASSERT_TRUE(unanswered);
  EXPECT_EQ(textOf(valueOf(unanswered->data, "Msg"), "Info"), QLatin1String(vantrel::kHostUnreachable));
  std::printf("frozen host offline for its peer after %lld ms\n", static_cast<long long>(frozen.elapsed()));
  EXPECT_LT(frozen.elapsed(), 20000);
  EXPECT_TRUE(peer->link.waitFor([&](const ClientLink::Frame& f) {
    return textOf(f.data, "Code") == QLatin1String("SessionClosed") && textOf(f.data, "Session") == session;
  }, 5s));
  auto refused = clientInit(*peer, "ann-host", "docs", "");
  ASSERT_TRUE(refused);
  EXPECT_EQ(textOf(refused->data, "Type"), QStringLiteral("P2PConFailed"));
  EXPECT_TRUE(service->child().output().contains("no answer for"));

  // Continued, it finds its connection gone and joins again.
  ASSERT_TRUE(host->bridge.child().resume());
  ASSERT_TRUE(spinUntil([&] { return readyCount(*host) > hostReady; }, 30s));
  EXPECT_TRUE(pingWorks());

  // The service freezes: the bridges give up its silent connections and join
  // again once it goes on.
  const qsizetype peerReady = readyCount(*peer);
  const auto givenUp = [](Signed& s) { return s.bridge.child().output().count("no answer from the relay"); };
  const qsizetype hostGaveUp = givenUp(*host), peerGaveUp = givenUp(*peer);
  ASSERT_TRUE(service->child().pause());
  const bool gaveUp = spinUntil([&] { return givenUp(*host) > hostGaveUp && givenUp(*peer) > peerGaveUp; }, 30s);
  ASSERT_TRUE(service->child().resume());
  EXPECT_TRUE(gaveUp);
  ASSERT_TRUE(spinUntil([&] { return readyCount(*host) > hostReady + 1 && readyCount(*peer) > peerReady; }, 30s))
      << host->bridge.child().output().toStdString() << "\n----\n" << service->child().output().right(3000).toStdString();
  EXPECT_TRUE(pingWorks());
}
