#include "shell/service_urls.h"
#include "shell/web_fetch.h"

#include "support/test_util.h"

#include <QHttpServer>
#include <QHttpServerRequest>
#include <QTcpServer>
#include <QUrlQuery>

#include <gtest/gtest.h>

namespace {

const QString kAwkward = QStringLiteral("a&b=c+d#e f/%é中");

TEST(ServiceUrls, QueryValuesArriveUnchangedAtTheService) {
  qputenv("ZARKELO_SERVICE_HOST", "svc.test:8443");
  for (const QUrl& url : {serviceurls::accountHostnameUrl(kAwkward), serviceurls::qrTokenCheckUrl(kAwkward),
                          serviceurls::ownAccessCodeUrl(kAwkward)}) {
    const QString wire = serviceurls::wireText(url);
    EXPECT_TRUE(wire.startsWith(QStringLiteral("https://svc.test:8443/api2/account/"))) << wire.toStdString();
    const QString query = wire.section(QLatin1Char('?'), 1);
    // One item only: the value's own "&", "=", "+", "#" are all escaped.
    EXPECT_EQ(query.count(QLatin1Char('&')), 0);
    EXPECT_EQ(query.count(QLatin1Char('=')), 1);
    EXPECT_FALSE(query.contains(QLatin1Char('+')));
    EXPECT_FALSE(wire.contains(QLatin1Char('#')));
    const QUrlQuery parsed(QUrl(wire).query(QUrl::FullyEncoded));
    const auto items = parsed.queryItems(QUrl::FullyDecoded);
    ASSERT_EQ(items.size(), 1);
    EXPECT_EQ(items[0].second, kAwkward);
  }
  EXPECT_EQ(serviceurls::wireText(serviceurls::qrTokenCheckUrl(QStringLiteral("123"))),
            QStringLiteral("https://svc.test:8443/api2/account/token/check2/?t=123"));
  EXPECT_EQ(serviceurls::wireText(serviceurls::versionUrl()),
            QStringLiteral("https://svc.test:8443/api2/version/mac/index.php"));
  EXPECT_EQ(serviceurls::wireText(serviceurls::loginPageUrl(QStringLiteral("42"), QStringLiteral("77"))),
            QStringLiteral("https://svc.test:8443/wx/login/?mid=42&token=77"));
  EXPECT_EQ(serviceurls::wireText(serviceurls::settingsPageUrl(QString(), QString())),
            QStringLiteral("https://svc.test:8443/wx/settings/?mid=&token="));
  qunsetenv("ZARKELO_SERVICE_HOST");
}

TEST(NetworkWebFetcher, DeliversBodiesAndTransportErrorsOnTheMainThread) {
  QHttpServer server;
  QString seenToken;
  server.route(QStringLiteral("/api2/account/hostname/get/index.php"), [&](const QHttpServerRequest& request) {
    seenToken = request.query().queryItemValue(QStringLiteral("Token"), QUrl::FullyDecoded);
    return QStringLiteral("{\"Result\":\"1\"}");
  });
  server.route(QStringLiteral("/empty"), [] { return QString(); });
  const quint16 port = server.listen(QHostAddress::LocalHost);
  ASSERT_NE(port, 0);

  NetworkWebFetcher fetcher;
  std::optional<WebReply> got;
  const QUrl url = serviceurls::accountHostnameUrl(kAwkward);
  QUrl local = url;
  local.setScheme(QStringLiteral("http"));
  local.setHost(QStringLiteral("127.0.0.1"));
  local.setPort(port);
  fetcher.get(local, [&](const WebReply& r) { got = r; });
  ASSERT_TRUE(testutil::waitUntil([&] { return got.has_value(); }));
  EXPECT_FALSE(got->error);
  ASSERT_TRUE(got->body);
  EXPECT_EQ(*got->body, QByteArray("{\"Result\":\"1\"}"));
  EXPECT_EQ(seenToken, kAwkward);

  got.reset();
  fetcher.get(QUrl(QStringLiteral("http://127.0.0.1:%1/empty").arg(port)), [&](const WebReply& r) { got = r; });
  ASSERT_TRUE(testutil::waitUntil([&] { return got.has_value(); }));
  EXPECT_FALSE(got->error);
  EXPECT_FALSE(got->body);

  // A port nobody listens on: a transport error, no body.
  QTcpServer probe;
  ASSERT_TRUE(probe.listen(QHostAddress::LocalHost));
  const quint16 closed = probe.serverPort();
  probe.close();
  got.reset();
  fetcher.get(QUrl(QStringLiteral("http://127.0.0.1:%1/x").arg(closed)), [&](const WebReply& r) { got = r; });
  ASSERT_TRUE(testutil::waitUntil([&] { return got.has_value(); }));
  EXPECT_TRUE(got->error);
  EXPECT_FALSE(got->body);
}

}  // namespace
