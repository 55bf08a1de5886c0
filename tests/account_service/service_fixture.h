// A service running in this test process on a free loopback port, with its
// own temporary data folder, and an HTTPS client that trusts only the
// service's local authority (plus the system's); no certificate error is ignored.
#pragma once

#include "common/net/http_head.h"
#include "kelvor_server.h"
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

struct HttpResult {
  int status = 0;
  QByteArray body;
  QNetworkReply::NetworkError error = QNetworkReply::NoError;
  nlohmann::json json() const { return nlohmann::json::parse(body.toStdString(), nullptr, false); }
};

// Raw bytes over a TLS connection of its own, from a loopback address of its
// choice (all of 127.0.0.0/8 is this machine): the service tells callers
// apart by their address.
class RawClient {
 public:
  RawClient(const QSslConfiguration& tls, quint16 port, const QString& from, const QByteArray& bytes) {
    socket_.setSslConfiguration(tls);
    EXPECT_TRUE(socket_.bind(QHostAddress(from), 0)) << from.toStdString();
    QObject::connect(&socket_, &QSslSocket::encrypted, [this, bytes] { socket_.write(bytes); });
    QObject::connect(&socket_, &QSslSocket::readyRead, [this] {
      received_ += socket_.readAll();
      takeAnswers();
    });
    QObject::connect(&socket_, &QSslSocket::disconnected, [this] { closed_ = true; });
    socket_.connectToHostEncrypted(QStringLiteral("127.0.0.1"), port);
  }
  // The answers whole so far, in order.
  const std::vector<HttpResult>& answers() const { return answers_; }
  bool closed() const { return closed_; }
  const QByteArray& received() const { return received_; }

 private:
  void takeAnswers() {
    for (;;) {
      znet::Head head;
      const qsizetype used = znet::parseResponseHead(received_.mid(parsed_), &head);
      const qint64 length = head.field("content-length").toLongLong();
      if (used <= 0 || received_.size() - parsed_ - used < length) return;
      answers_.push_back({head.status, received_.mid(parsed_ + used, length)});
      parsed_ += used + length;
    }
  }

  QSslSocket socket_;
  QByteArray received_;
  qsizetype parsed_ = 0;
  std::vector<HttpResult> answers_;
  bool closed_ = false;
};

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

  std::unique_ptr<RawClient> raw(const QString& from, const QByteArray& bytes) {
    return std::make_unique<RawClient>(tls, quint16(QUrl(server->siteBase()).port()), from, bytes);
  }
  // A sign-in request's bytes, for raw().
  QByteArray signInRequest(const nlohmann::json& body) const {
    const QByteArray json = QByteArray::fromStdString(body.dump());
    return "POST /api2/bridge/login HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: application/json\r\n"
           "Content-Length: " + QByteArray::number(json.size()) + "\r\n\r\n" + json;
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
