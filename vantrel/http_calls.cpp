#include "http_calls.h"

#include <QDir>
#include <QFileInfo>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QSaveFile>
#include <QTimer>
#include <QUrl>

#include <memory>

namespace vantrel {

namespace {

bool isWebAddress(const QUrl& url) {
  return url.isValid() && !url.host().isEmpty() &&
         (url.scheme() == QLatin1String("https") || url.scheme() == QLatin1String("http"));
}

QString failureOf(QNetworkReply* reply) {
  const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
  if (reply->error() == QNetworkReply::NoError && (status < 200 || status >= 300))
    return QStringLiteral("HTTP status %1").arg(status);
  if (reply->error() != QNetworkReply::NoError) return reply->errorString();
  return QString();
}

}  // namespace

HttpCalls::HttpCalls(QObject* parent) : QObject(parent), network_(new QNetworkAccessManager(this)) {}

void HttpCalls::fetchText(const QString& address, qint64 timeoutSeconds, TextDone done) {
  const QUrl url(address);
  if (!isWebAddress(url)) {
    done(false, QStringLiteral("not an http(s) address"));
    return;
  }
  if (timeoutSeconds < 1 || timeoutSeconds > 120) timeoutSeconds = 5;
  QNetworkRequest request(url);
  QNetworkReply* reply = network_->get(request);
  auto* deadline = new QTimer(reply);
  deadline->setSingleShot(true);
  auto timedOut = std::make_shared<bool>(false);
  connect(deadline, &QTimer::timeout, reply, [reply, timedOut] {
    *timedOut = true;
    reply->abort();
  });
  deadline->start(int(timeoutSeconds * 1000));
  auto body = std::make_shared<QByteArray>();
  auto tooLarge = std::make_shared<bool>(false);
  connect(reply, &QNetworkReply::readyRead, reply, [reply, body, tooLarge] {
    if (body->size() + reply->bytesAvailable() > kMaxBodyBytes) {
      *tooLarge = true;
      reply->abort();
      return;
    }
    body->append(reply->readAll());
  });
  connect(reply, &QNetworkReply::finished, this, [reply, body, tooLarge, timedOut, done] {
    reply->deleteLater();
    if (*tooLarge) return done(false, QStringLiteral("the body is too large"));
    if (*timedOut) return done(false, QStringLiteral("timed out"));
    const QString failure = failureOf(reply);
    if (!failure.isEmpty()) return done(false, failure);
    body->append(reply->readAll());
    done(true, QString::fromUtf8(*body));
  });
}

void HttpCalls::download(const QString& address, const QString& saveAt, FileDone done) {
  const QUrl url(address);
  if (!isWebAddress(url)) {
    done(false, QStringLiteral("not an http(s) address"));
    return;
  }
  const QFileInfo target(saveAt);
  if (saveAt.isEmpty() || !target.isAbsolute() || target.isDir() || !target.dir().exists()) {
    done(false, QStringLiteral("the save path is not a file path in an existing folder"));
    return;
  }
  auto file = std::make_shared<QSaveFile>(saveAt);
  if (!file->open(QIODevice::WriteOnly)) {
    done(false, QStringLiteral("cannot write: ") + file->errorString());
    return;
  }
  QNetworkRequest request(url);
  request.setTransferTimeout(kDownloadStallMs);
  QNetworkReply* reply = network_->get(request);
  auto writeFailed = std::make_shared<bool>(false);
  connect(reply, &QNetworkReply::readyRead, reply, [reply, file, writeFailed] {
    const QByteArray chunk = reply->readAll();
    if (file->write(chunk) != chunk.size()) {
      *writeFailed = true;
      reply->abort();
    }
  });
  connect(reply, &QNetworkReply::finished, this, [reply, file, writeFailed, done] {
    reply->deleteLater();
    QString failure = *writeFailed ? QStringLiteral("cannot write: ") + file->errorString() : failureOf(reply);
    if (failure.isEmpty()) {
      const QByteArray rest = reply->readAll();
      if (file->write(rest) != rest.size()) failure = QStringLiteral("cannot write: ") + file->errorString();
    }
    if (!failure.isEmpty()) {
      file->cancelWriting();
      file->commit();  // only discards the temporary file
      return done(false, failure);
    }
    if (!file->commit()) return done(false, QStringLiteral("cannot save: ") + file->errorString());
    done(true, QString());
  });
}

}  // namespace vantrel
