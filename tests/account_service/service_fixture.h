// A service running in this test process on a free loopback port, with its
// own temporary data folder, and an HTTPS client that trusts only the
// service's local authority (plus the system's); no certificate error is ignored.
#pragma once

#include "kelvor_server.h"
#include "raw_https_client.h"
#include "support/test_util.h"

#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QSslSocket>
#include <QSslConfiguration>
#include <QTemporaryDir>
#include <QWebSocket>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <memory>

namespace testsvc {

class ServiceFixture : public ::testing::Test {
 protected:
  // Called before the server starts (accounts, version record).
  virtual void prepare() {}

  void SetUp() override {
    ASSERT_TRUE(dir.isValid());
    {
      kelvor::AccountStore store;
      QString error;
      ASSERT_TRUE(store.open(dir.path(), &error)) << error.toStdString();
      annId = *store.addAccount({QStringLiteral("ann@example.com"), QStringLiteral("ann-pass"), QStringLiteral("Ann"),
                                 QStringLiteral("ann-host"), QStringLiteral("ANN1234"), 2},
                                &error);
      bobId = *store.addAccount({QStringLiteral("bob@example.com"), QStringLiteral("bob-pass"), QStringLiteral("Bob"),
                                 QStringLiteral("bob-host"), QStringLiteral("BOB9876"), 3},
                                &error);
    }
    prepare();
    server = std::make_unique<kelvor::KelvorServer>();
    QString error;
    ASSERT_TRUE(server->start(dir.path(), QHostAddress::LocalHost, 0, &error)) << error.toStdString();
    tls = QSslConfiguration::defaultConfiguration();
    tls.addCaCertificates(QSslCertificate::fromPath(dir.filePath(QStringLiteral("ca.pem"))));
    ASSERT_FALSE(tls.caCertificates().isEmpty());
  }

  void TearDown() override { server.reset(); }

  QString api(const QString& path) const { return server->siteBase() + QStringLiteral("/api2/") + path; }

  HttpResult request(const QString& url, const QByteArray* body = nullptr,
                     const QByteArray& type = QByteArrayLiteral("application/json")) {
    QNetworkRequest req{QUrl(url)};
    req.setSslConfiguration(tls);
    QNetworkReply* reply;
    if (body) {
      req.setHeader(QNetworkRequest::ContentTypeHeader, type);
      reply = net.post(req, *body);
    } else {
      reply = net.get(req);
    }
    HttpResult result;
    const bool finished = testutil::waitUntil([reply] { return reply->isFinished(); }, std::chrono::seconds(30));
    EXPECT_TRUE(finished) << url.toStdString();
    result.status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    result.body = reply->readAll();
    result.error = reply->error();
    reply->deleteLater();
    return result;
  }
  HttpResult get(const QString& url) { return request(url); }
  HttpResult post(const QString& url, const QByteArray& body,
                  const QByteArray& type = QByteArrayLiteral("application/json")) {
    return request(url, &body, type);
  }

  std::unique_ptr<RawClient> raw(const QString& from, const QByteArray& bytes, bool again = false) {
    return std::make_unique<RawClient>(tls, quint16(QUrl(server->siteBase()).port()), from, bytes, again);
  }

  nlohmann::json login(const nlohmann::json& body) {
    return post(api(QStringLiteral("bridge/login")), QByteArray::fromStdString(body.dump())).json();
  }

  QTemporaryDir dir;
  std::unique_ptr<kelvor::KelvorServer> server;
  QSslConfiguration tls;
  QNetworkAccessManager net;
  qint64 annId = 0;
  qint64 bobId = 0;
};

}  // namespace testsvc
