#include "shell/service_urls.h"

#include "core/service_config.h"

namespace serviceurls {

QByteArray encodeQueryPart(const QString& text) { return QUrl::toPercentEncoding(text); }

namespace {

QUrl withQuery(const QString& base, const QueryItems& query) {
  QByteArray encoded = base.toUtf8();
  for (qsizetype i = 0; i < query.size(); ++i) {
    encoded += i == 0 ? '?' : '&';
    encoded += encodeQueryPart(query[i].first);
    encoded += '=';
    encoded += encodeQueryPart(query[i].second);
  }
  return QUrl::fromEncoded(encoded, QUrl::StrictMode);
}

}  // namespace

QUrl apiUrl(const QString& path, const QueryItems& query) {
  return withQuery(serviceconfig::apiBase() + path, query);
}

QUrl siteUrl(const QString& path, const QueryItems& query) {
  return withQuery(serviceconfig::siteBase() + path, query);
}

QUrl loginPageUrl(const QString& machineId, const QString& token) {
  return siteUrl(QStringLiteral("/wx/login/"),
                 {{QStringLiteral("mid"), machineId}, {QStringLiteral("token"), token}});
}

QUrl settingsPageUrl(const QString& machineId, const QString& token) {
  return siteUrl(QStringLiteral("/wx/settings/"),
                 {{QStringLiteral("mid"), machineId}, {QStringLiteral("token"), token}});
}

QUrl accountHostnameUrl(const QString& token) {
  return apiUrl(QStringLiteral("account/hostname/get/index.php"), {{QStringLiteral("Token"), token}});
}

QUrl qrTokenCheckUrl(const QString& qrToken) {
  return apiUrl(QStringLiteral("account/token/check2/"), {{QStringLiteral("t"), qrToken}});
}

QUrl ownAccessCodeUrl(const QString& token) {
  return apiUrl(QStringLiteral("account/acode/get/index.php"), {{QStringLiteral("Token"), token}});
}

QUrl versionUrl() { return apiUrl(QStringLiteral("version/mac/index.php")); }

QString wireText(const QUrl& url) { return QString::fromUtf8(url.toEncoded(QUrl::FullyEncoded)); }

}  // namespace serviceurls
