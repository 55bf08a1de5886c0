#include "shell/web_fetch.h"

#include "core/log.h"

#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>

namespace {
constexpr int kTransferTimeoutMs = 15000;
}

std::optional<vex::Json> successInfo(const WebReply& reply) {
  if (reply.error) {
    zlog::line(QStringLiteral("网络出错:") + *reply.error);
    return std::nullopt;
  }
  if (!reply.body) {
    zlog::line(QStringLiteral("数据为空："));
    return std::nullopt;
  }
  const auto json = vex::Json::parse(reply.body->constData(), reply.body->constData() + reply.body->size(), nullptr,
                                     false);
  if (json.is_discarded() || !json.is_object()) return std::nullopt;
  const auto result = json.find("Result");
  const auto info = json.find("Info");
  if (result == json.end() || !result->is_string() || result->get<std::string>() != "1") return std::nullopt;
  if (info == json.end()) return std::nullopt;
  return *info;
}

NetworkWebFetcher::NetworkWebFetcher(QObject* parent)
    : QObject(parent), manager_(new QNetworkAccessManager(this)) {}

void NetworkWebFetcher::get(const QUrl& url, std::function<void(const WebReply&)> done) {
  QNetworkRequest request(url);
  request.setTransferTimeout(kTransferTimeoutMs);
  QNetworkReply* reply = manager_->get(request);
  connect(reply, &QNetworkReply::finished, this, [reply, done = std::move(done)] {
    reply->deleteLater();
    WebReply result;
    // An HTTP answer (whatever its status) carries a body; anything else is a
    // transport failure: refused connection, time-out, TLS verification.
    const bool answered = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).isValid();
    if (reply->error() != QNetworkReply::NoError && !answered) {
      result.error = reply->errorString();
    } else {
      const QByteArray body = reply->readAll();
      if (!body.isEmpty()) result.body = body;
    }
    done(result);
  });
}
