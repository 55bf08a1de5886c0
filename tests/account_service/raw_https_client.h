// An HTTPS client of raw bytes for tests of the service, in process or not:
// one TLS connection from a loopback address of its choice, its answers read
// as they come.
#pragma once

#include "common/net/http_head.h"

#include <QHostAddress>
#include <QNetworkReply>
#include <QSslConfiguration>
#include <QSslSocket>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <vector>

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
  // `again`: the same bytes are sent anew after each answer, until stopped.
  RawClient(const QSslConfiguration& tls, quint16 port, const QString& from, const QByteArray& bytes,
            bool again = false)
      : bytes_(bytes), again_(again) {
    socket_.setSslConfiguration(tls);
    EXPECT_TRUE(socket_.bind(QHostAddress(from), 0)) << from.toStdString();
    QObject::connect(&socket_, &QSslSocket::encrypted, [this] { socket_.write(bytes_); });
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
  bool encrypted() const { return socket_.isEncrypted(); }
  // Sends `bytes` now (made with none, it waits for this), and again after each answer if so made.
  void send(const QByteArray& bytes) {
    bytes_ = bytes;
    socket_.write(bytes_);
  }
  const QByteArray& received() const { return received_; }
  void stop() { again_ = false; }

 private:
  void takeAnswers() {
    for (;;) {
      znet::Head head;
      const qsizetype used = znet::parseResponseHead(received_.mid(parsed_), &head);
      const qint64 length = head.field("content-length").toLongLong();
      if (used <= 0 || received_.size() - parsed_ - used < length) return;
      answers_.push_back({head.status, received_.mid(parsed_ + used, length)});
      parsed_ += used + length;
      if (!again_) continue;
      received_.remove(0, parsed_);  // a long exchange keeps only what is not yet read
      parsed_ = 0;
      socket_.write(bytes_);
    }
  }

  QSslSocket socket_;
  QByteArray bytes_;
  bool again_;
  QByteArray received_;
  qsizetype parsed_ = 0;
  std::vector<HttpResult> answers_;
  bool closed_ = false;
};

// A sign-in request's bytes, for RawClient.
inline QByteArray signInRequest(const nlohmann::json& body) {
  const QByteArray json = QByteArray::fromStdString(body.dump());
  return "POST /api2/bridge/login HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: application/json\r\n"
         "Content-Length: " + QByteArray::number(json.size()) + "\r\n\r\n" + json;
}

}  // namespace testsvc
