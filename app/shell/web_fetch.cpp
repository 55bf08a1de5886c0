#include "shell/web_fetch.h"

#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>

namespace {
constexpr int kTransferTimeoutMs = 15000;
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
