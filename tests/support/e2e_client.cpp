#include "e2e_client.h"

#include "bridge/bridge_link.h"
#include "bridge/env.h"
#include "bridge/login.h"
#include "bridge/p2p_client_msg.h"
#include "bridge/user_info.h"
#include "core/util_db.h"
#include "local_sharing/share_account.h"
#include "local_sharing/share_store.h"

#include <QDateTime>
#include <QDir>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QFile>
#include <QImage>
#include <QRegularExpression>
#include <QSslConfiguration>
#include <QUrlQuery>

#include <unistd.h>

using namespace vantreltest;

namespace e2eclient {

void configureClient(Child& client, const Service& service, const BridgeProcess& bridge, const QString& secret) {
  service.configure(client.env());
  client.env().insert(QStringLiteral("ZARKELO_ENV_MODE"), QStringLiteral("1"));
  client.env().insert(QStringLiteral("ZARKELO_BRIDGE_PORT"), QString::number(bridge.port()));
  client.env().insert(QStringLiteral("ZARKELO_BRIDGE_SECRET"), secret);
  client.env().insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
  client.env().insert(QStringLiteral("ZARKELO_TEST_LOGIN_PAGE_FILE"), loginPageFile(client.home()));
}

QString configureClientWithOwnBridge(Child& client, const Service& service, const QString& fromBin) {
  service.configure(client.env());
  client.env().insert(QStringLiteral("ZARKELO_ENV_MODE"), QStringLiteral("2"));
  client.env().insert(QStringLiteral("ZARKELO_BRIDGE_PORT"), QString::number(freePort()));
  client.env().remove(QStringLiteral("ZARKELO_BRIDGE_SECRET"));
  client.env().insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
  client.env().insert(QStringLiteral("ZARKELO_TEST_LOGIN_PAGE_FILE"), loginPageFile(client.home()));
  const QString folder = client.home() + QStringLiteral("/bin");
  QDir().mkpath(folder);
  for (const QString& name :
       {QStringLiteral("zarkelo"), QStringLiteral("Vantrel_amd"), QStringLiteral("zarkelo-thumbnailer")}) {
    const QString source = (fromBin.isEmpty() ? binDir() : fromBin) + QLatin1Char('/') + name;
    const QString target = folder + QLatin1Char('/') + name;
    QFile::remove(target);
    if (::link(QFile::encodeName(source).constData(), QFile::encodeName(target).constData()) != 0 &&
        !QFile::copy(source, target))
      return {};
  }
  return folder + QStringLiteral("/zarkelo");
}

QString openShareSession(ClientLink& peer, const QString& token, const QString& tag, const QString& code) {
  for (int attempt = 0; attempt < 40; ++attempt) {
    peer.send(QStringLiteral("ClientInit"), {{"Id_user", token.toStdString()},
                                             {"Hostname", "ann-host"},
                                             {"Hosttag", tag.toStdString()},
                                             {"Hostpassword", code.toStdString()}});
    const auto opened = peer.waitForCode(QStringLiteral("P2PCLIENT"), 10s);
    if (opened && vantrel::textOf(opened->data, "Type") == QLatin1String("GetShareHost6Client")) {
      const Json link = vantrel::valueOf(opened->data, "Msg");
      return vantrel::textOf(link, "ClientID1") + QLatin1Char('|') + vantrel::textOf(link, "ClientID2");
    }
    if (!opened) return {};
    idleFor(500ms);
  }
  return {};
}

QString loginPageFile(const QString& home) { return home + QStringLiteral("/login-pages.txt"); }

QString latestLoginPage(const QString& home) {
  QFile file(loginPageFile(home));
  if (!file.open(QIODevice::ReadOnly)) return {};
  const QList<QByteArray> lines = file.readAll().trimmed().split('\n');
  return QString::fromUtf8(lines.last());
}

bool confirmQrPage(Child& client, const Service& service, const QString& email, const QString& password) {
  const QRegularExpression page(QStringLiteral("/wx/login/\\?mid=([^&\\s]+)&token=([^&\\s]+)"));
  QRegularExpressionMatch match;
  if (!spinUntil([&] { return (match = page.match(latestLoginPage(client.home()))).hasMatch(); }, 30s))
    return false;
  QUrlQuery form;
  form.addQueryItem(QStringLiteral("token"), QUrl::fromPercentEncoding(match.captured(2).toUtf8()));
  form.addQueryItem(QStringLiteral("mid"), QUrl::fromPercentEncoding(match.captured(1).toUtf8()));
  form.addQueryItem(QStringLiteral("email"), email);
  form.addQueryItem(QStringLiteral("password"), password);
  QNetworkRequest request(QUrl(service.siteBase() + QStringLiteral("/wx/login/confirm")));
  QSslConfiguration tls = QSslConfiguration::defaultConfiguration();
  tls.addCaCertificates(QSslCertificate::fromPath(service.caFile()));
  request.setSslConfiguration(tls);
  request.setHeader(QNetworkRequest::ContentTypeHeader, QStringLiteral("application/x-www-form-urlencoded"));
  QNetworkAccessManager network;
  QNetworkReply* reply = network.post(request, form.toString(QUrl::FullyEncoded).toUtf8());
  // Confirmed only by a page served without error (a refused one comes as 403).
  const bool confirmed = spinUntil([reply] { return reply->isFinished(); }, 30s) &&
                         reply->error() == QNetworkReply::NoError &&
                         reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt() == 200;
  reply->deleteLater();
  return confirmed;
}

bool startSignedInClient(Child& client, const Service& service, const BridgeProcess& bridge, const QString& secret) {
  configureClient(client, service, bridge, secret);
  return client.start(binDir() + QStringLiteral("/zarkelo"), {}) &&
         confirmQrPage(client, service, QStringLiteral("ann@example.com"), QStringLiteral("ann-pass")) &&
         spinUntil([&] { return client.output().contains("Host Login Succeeded"); }, 30s);
}

bool writeNumberedFiles(const QString& pattern, int count) {
  for (int i = 0; i < count; ++i) {
    QFile file(pattern.arg(i, 3, 10, QLatin1Char('0')));
    if (!file.open(QIODevice::WriteOnly) || file.write(QByteArray(i, 'x')) != i) return false;
  }
  return true;
}

bool savePictures(const QSize& size, Qt::GlobalColor color, const QStringList& paths) {
  QImage picture(size, QImage::Format_RGB32);
  picture.fill(color);
  for (const QString& path : paths)
    if (!picture.save(path)) return false;
  return true;
}

SharingObj passOneShare(const QString& tag, const QString& path) {
  SharingObj share;
  share.tag = tag;
  share.path = path;
  share.setSharePassword(QStringLiteral("Pass1"));
  return share;
}

namespace {

// Runs `work` on the database of the client whose home is `home`, as account `accountId`.
bool withClientDatabase(const QString& home, qint64 accountId, const QString& hostname,
                        const std::function<bool()>& work) {
  const QString db = home + QStringLiteral("/Documents/Kelvor/db");
  QDir().mkpath(db);
  if (!UtilDB::openAt(db + QStringLiteral("/kelvor.dat"))) return false;
  shareaccount::setForTesting(accountId, hostname);
  const bool done = work();
  UtilDB::reset();
  return done;
}

}  // namespace

bool seedShare(const QString& home, qint64 accountId, const QString& hostname, const SharingObj& share) {
  return withClientDatabase(home, accountId, hostname, [&] { return insertShare(share); });
}

bool editShare(const QString& home, qint64 accountId, const QString& hostname, const QString& tag,
               const std::function<void(SharingObj&)>& edit) {
  return withClientDatabase(home, accountId, hostname, [&] {
    const QList<SharingObjPtr> shares = loadShares(tag, false, false);
    if (shares.isEmpty()) return false;
    SharingObj share = *shares.first();
    const QString before = share.ctime;
    edit(share);
    // The stamp is the local time in seconds: save once the second has moved on.
    spinUntil([&] { return QDateTime::currentDateTime().toString(QStringLiteral("yyyy-MM-dd HH:mm:ss")) > before; }, 3s);
    return saveShare(share) && share.ctime != before;
  });
}

bool connectThisProcess(quint16 port, const QString& secret) {
  Env::EnvMode = 1;
  Env::BridgePort = port;
  Env::BridgeSecret = secret;
  ConnectBridge();
  return spinUntil([] { return Env::BridgeConnected; }, 10s);
}

bool signInThisProcessAsBob(quint16 port, const QString& secret) {
  if (!connectThisProcess(port, secret)) return false;
  SendLogin(QStringLiteral("bob@example.com"), QStringLiteral("bob-pass"));
  return spinUntil([] { return !UserInfo::shared()->Token.isEmpty(); }, 10s);
}

void disconnectThisProcess() {
  Env::RemoteFileListShared = nullptr;
  linkattempts::reset();
  Env::RemoteConnected = false;
  P2PClientMsg::dropPendingTasks();
  bridgelink::dropSocket();
  Env::BridgeConnected = false;
  UserInfo::setShared(std::make_shared<UserInfo>());  // the next sign-in waits for a token of its own
}

}  // namespace e2eclient
