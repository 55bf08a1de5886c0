// The small HTML pages a person opens from the client's QR codes: the sign-in
// confirmation and the account settings. Every echoed value is HTML-escaped.
#pragma once

#include <QByteArray>
#include <QString>
#include <QUrlQuery>

namespace kelvor::pages {

QByteArray loginForm(const QString& mid, const QString& token, const QString& message = {});
QByteArray loginDone();
QByteArray settingsForm(const QString& mid, const QString& token, const QString& message = {});
QByteArray settingsDone();
QByteArray notice(const QString& title, const QString& text);

// An application/x-www-form-urlencoded body ('+' stands for a blank).
QUrlQuery parseForm(const QByteArray& body);
QString formValue(const QUrlQuery& form, const QString& key);

}  // namespace kelvor::pages
