// Addresses of the account service as the client builds them. Every query
// value is percent-encoded here, so a token or version text holding "&", "=",
// "+", "#" or non-ASCII characters reaches the service unchanged.
#pragma once

#include <QList>
#include <QPair>
#include <QString>
#include <QUrl>

namespace serviceurls {

using QueryItems = QList<QPair<QString, QString>>;

// Percent-encodes one query value or key (everything but A-Z a-z 0-9 - . _ ~).
QByteArray encodeQueryPart(const QString& text);

// The web API base + `path`, followed by the encoded query items in order.
QUrl apiUrl(const QString& path, const QueryItems& query = {});

// The site base + `path` (a page path such as "/wx/login/"), with its query.
QUrl siteUrl(const QString& path, const QueryItems& query = {});

// The QR-code pages: "/wx/login/?mid=..&token=.." and "/wx/settings/?mid=..&token=..".
QUrl loginPageUrl(const QString& machineId, const QString& token);
QUrl settingsPageUrl(const QString& machineId, const QString& token);

// Endpoints the client calls.
QUrl accountHostnameUrl(const QString& token);    // account/hostname/get/index.php?Token=
QUrl qrTokenCheckUrl(const QString& qrToken);     // account/token/check2/?t=
QUrl ownAccessCodeUrl(const QString& token);      // account/acode/get/index.php?Token=
QUrl versionUrl();                                // version/mac/index.php

// The address as sent on the wire (fully encoded text).
QString wireText(const QUrl& url);

}  // namespace serviceurls
