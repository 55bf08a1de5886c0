// The account service as a real process, as a browser or a guesser meets it:
// its pages cannot be framed, its forms refuse posts from other sites, wrong
// passwords are paused, and TLS 1.2 offers no CBC suite.
#include "vantrel_harness.h"

#include <QElapsedTimer>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QSslCipher>
#include <QSslConfiguration>
#include <QSslSocket>
#include <QUrlQuery>

#include <gtest/gtest.h>

using namespace vantreltest;

namespace {

struct Answer {
  int status = 0;
  QByteArray body;
  QList<QNetworkReply::RawHeaderPair> headers;
  QByteArray header(const QByteArray& name) const {
    for (const auto& [key, value] : headers)
      if (key.compare(name, Qt::CaseInsensitive) == 0) return value;
    return {};
  }
};

class ServiceGuards : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(service.addAnnAndBob() && service.start()) << service.child().output().toStdString();
    tls = QSslConfiguration::defaultConfiguration();
    tls.addCaCertificates(QSslCertificate::fromPath(service.caFile()));
  }

  Answer call(const QString& path, const QByteArray& form = {}, const QList<QPair<QByteArray, QByteArray>>& headers = {}) {
    QNetworkRequest request(QUrl(service.siteBase() + path));
    request.setSslConfiguration(tls);
    for (const auto& [key, value] : headers) request.setRawHeader(key, value);
    QNetworkReply* reply;
    if (form.isNull()) {
      reply = network.get(request);
    } else {
      request.setHeader(QNetworkRequest::ContentTypeHeader, QStringLiteral("application/x-www-form-urlencoded"));
      reply = network.post(request, form);
    }
    EXPECT_TRUE(spinUntil([reply] { return reply->isFinished(); }, 10s)) << path.toStdString();
    Answer answer{reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt(), reply->readAll(),
                  reply->rawHeaderPairs()};
    reply->deleteLater();
    return answer;
  }

  static QByteArray confirmForm(const QString& token, const char* password) {
    QUrlQuery form;
    form.addQueryItem(QStringLiteral("token"), token);
    form.addQueryItem(QStringLiteral("mid"), QStringLiteral("77"));
    form.addQueryItem(QStringLiteral("email"), QStringLiteral("ann@example.com"));
    form.addQueryItem(QStringLiteral("password"), QString::fromLatin1(password));
    return form.toString(QUrl::FullyEncoded).toUtf8();
  }

  // A TLS 1.2 handshake offering only `cipher`; true when it completes.
  bool handshakeWith(const QString& cipher) {
    QSslSocket socket;
    QSslConfiguration config = tls;
    config.setProtocol(QSsl::TlsV1_2);
    const QSslCipher only(cipher);
    EXPECT_FALSE(only.isNull()) << cipher.toStdString();
    config.setCiphers({only});
    socket.setSslConfiguration(config);
    socket.connectToHostEncrypted(QStringLiteral("127.0.0.1"), QUrl(service.siteBase()).port(),
                                  QStringLiteral("127.0.0.1"));
    spinUntil([&] { return socket.isEncrypted() || socket.state() == QAbstractSocket::UnconnectedState; }, 10s);
    return socket.isEncrypted();
  }

  Service service;
  QSslConfiguration tls;
  QNetworkAccessManager network;
};

TEST_F(ServiceGuards, PagesCannotBeFramedAndFormsFromOtherSitesAreRefused) {
  for (const char* path : {"/wx/login/?mid=1&token=2", "/wx/settings/?mid=1&token=2"}) {
    const auto page = call(QString::fromLatin1(path));
    EXPECT_EQ(page.status, 200) << path;
    const QByteArray policy = page.header("Content-Security-Policy");
    EXPECT_TRUE(policy.contains("frame-ancestors 'none'")) << path << " " << policy.toStdString();
    EXPECT_TRUE(policy.contains("default-src 'none'")) << path;
    EXPECT_EQ(page.header("X-Frame-Options"), "DENY") << path;
  }

  const QByteArray own = service.siteBase().toLatin1();
  const auto foreign = call(QStringLiteral("/wx/login/confirm"), confirmForm(QStringLiteral("101"), "ann-pass"),
                            {{"Origin", "https://evil.example"}});
  EXPECT_EQ(foreign.status, 403);
  EXPECT_EQ(foreign.header("X-Frame-Options"), "DENY");
  EXPECT_EQ(call(QStringLiteral("/wx/login/confirm"), confirmForm(QStringLiteral("102"), "ann-pass"),
                 {{"Referer", "https://evil.example/page"}})
                .status,
            403);
  EXPECT_EQ(call(QStringLiteral("/wx/login/confirm"), confirmForm(QStringLiteral("103"), "ann-pass"),
                 {{"Origin", "null"}})
                .status,
            403);
  // None of them confirmed anything.
  for (const char* token : {"101", "102", "103"})
    EXPECT_FALSE(call(QStringLiteral("/api2/account/token/check2/?t=") + QLatin1String(token)).body.contains("\"1\""));

  // From its own page it goes through, with the same headers.
  const auto same = call(QStringLiteral("/wx/login/confirm"), confirmForm(QStringLiteral("104"), "ann-pass"),
                         {{"Origin", own}, {"Referer", own + "/wx/login/?mid=77&token=104"}});
  EXPECT_EQ(same.status, 200) << same.body.toStdString();
  EXPECT_TRUE(same.header("Content-Security-Policy").contains("frame-ancestors 'none'"));
  EXPECT_EQ(same.header("Cache-Control"), "no-store");
}

TEST_F(ServiceGuards, ABurstOfWrongPasswordsIsPausedAndTheRightOneWorksAfterThePause) {
  QElapsedTimer clock;
  clock.start();
  int wrong = 0, paused = 0;
  for (int i = 0; i < 30; ++i) {
    const auto answer = call(QStringLiteral("/wx/login/confirm"), confirmForm(QStringLiteral("2000"), "guess"));
    EXPECT_EQ(answer.status, 403);
    if (answer.body.contains("Too many wrong attempts")) ++paused;
    else if (answer.body.contains("Wrong e-mail or password")) ++wrong;
  }
  EXPECT_EQ(wrong, 5);
  EXPECT_EQ(paused + wrong, 30);
  // The right password during the pause is refused too, also on the sign-in.
  EXPECT_TRUE(call(QStringLiteral("/wx/login/confirm"), confirmForm(QStringLiteral("2000"), "ann-pass"))
                  .body.contains("Too many wrong attempts"));
  BridgeProcess bridge;
  ASSERT_TRUE(bridge.start(&service));
  ClientLink link;
  ASSERT_TRUE(link.open(bridge.port()));
  const auto refused = link.login(QStringLiteral("ann@example.com"), QStringLiteral("ann-pass"));
  ASSERT_TRUE(refused);
  EXPECT_NE(vantrel::intOf(*refused, "Result"), 1);
  // The client learns that it is paused, and for how long.
  EXPECT_GE(vantrel::intOf(*refused, "PausedSeconds"), 1) << refused->dump();
  EXPECT_LE(vantrel::intOf(*refused, "PausedSeconds"), 2);

  // Refused attempts do not count, so the pause is the first one, of 2 s;
  // after it the right password works again.
  Answer ok;
  spinUntil(
      [&] {
        ok = call(QStringLiteral("/wx/login/confirm"), confirmForm(QStringLiteral("2000"), "ann-pass"));
        if (ok.status == 200) return true;
        idleFor(250ms);
        return false;
      },
      8s);
  EXPECT_EQ(ok.status, 200) << ok.body.toStdString();
  EXPECT_GE(clock.elapsed(), 2000);
  const auto signedIn = link.login(QStringLiteral("ann@example.com"), QStringLiteral("ann-pass"));
  ASSERT_TRUE(signedIn);
  EXPECT_EQ(vantrel::intOf(*signedIn, "Result"), 1);
}

TEST_F(ServiceGuards, Tls12OffersOnlyAeadSuites) {
  EXPECT_TRUE(handshakeWith(QStringLiteral("ECDHE-ECDSA-AES128-GCM-SHA256")));
  EXPECT_TRUE(handshakeWith(QStringLiteral("ECDHE-ECDSA-CHACHA20-POLY1305")));
  EXPECT_FALSE(handshakeWith(QStringLiteral("ECDHE-ECDSA-AES128-SHA")));
  EXPECT_FALSE(handshakeWith(QStringLiteral("ECDHE-ECDSA-AES256-SHA384")));
}

}  // namespace
