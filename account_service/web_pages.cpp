#include "web_pages.h"

namespace kelvor::pages {

namespace {

QString esc(const QString& text) { return text.toHtmlEscaped().replace(QLatin1Char('\''), QStringLiteral("&#39;")); }

QByteArray page(const QString& title, const QString& body) {
  return (QStringLiteral("<!DOCTYPE html>\n<html><head><meta charset=\"utf-8\">"
                         "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">"
                         "<title>") +
          esc(title) +
          QStringLiteral("</title><style>body{font-family:sans-serif;max-width:24em;margin:2em auto;padding:0 1em}"
                         "label{display:block;margin-top:.8em}input{width:100%;padding:.4em;box-sizing:border-box}"
                         "button{margin-top:1.2em;padding:.5em 1.5em}.msg{color:#b00}</style></head><body><h1>") +
          esc(title) + QStringLiteral("</h1>") + body + QStringLiteral("</body></html>\n"))
      .toUtf8();
}

QString hidden(const QString& name, const QString& value) {
  return QStringLiteral("<input type=\"hidden\" name=\"%1\" value=\"%2\">").arg(name, esc(value));
}

QString field(const QString& label, const QString& name, const QString& type) {
  return QStringLiteral("<label>%1<input type=\"%2\" name=\"%3\" required></label>").arg(label, type, name);
}

QString message(const QString& text) {
  return text.isEmpty() ? QString() : QStringLiteral("<p class=\"msg\">") + esc(text) + QStringLiteral("</p>");
}

}  // namespace

QByteArray loginForm(const QString& mid, const QString& token, const QString& text) {
  return page(QStringLiteral("Sign in to Zarkelo"),
              message(text) + QStringLiteral("<form method=\"post\" action=\"/wx/login/confirm\">") +
                  hidden(QStringLiteral("token"), token) + hidden(QStringLiteral("mid"), mid) +
                  field(QStringLiteral("E-mail"), QStringLiteral("email"), QStringLiteral("email")) +
                  field(QStringLiteral("Password"), QStringLiteral("password"), QStringLiteral("password")) +
                  QStringLiteral("<button type=\"submit\">Confirm sign-in</button></form>"));
}

QByteArray loginDone() {
  return notice(QStringLiteral("Signed in"), QStringLiteral("You can go back to Zarkelo now."));
}

QByteArray settingsForm(const QString& mid, const QString& token, const QString& text) {
  return page(QStringLiteral("Account settings"),
              message(text) + QStringLiteral("<form method=\"post\" action=\"/wx/settings/save\">") +
                  hidden(QStringLiteral("token"), token) + hidden(QStringLiteral("mid"), mid) +
                  field(QStringLiteral("E-mail"), QStringLiteral("email"), QStringLiteral("email")) +
                  field(QStringLiteral("Password"), QStringLiteral("password"), QStringLiteral("password")) +
                  field(QStringLiteral("Display name"), QStringLiteral("name"), QStringLiteral("text")) +
                  field(QStringLiteral("Host name"), QStringLiteral("hostname"), QStringLiteral("text")) +
                  field(QStringLiteral("Access code"), QStringLiteral("acode"), QStringLiteral("text")) +
                  QStringLiteral("<button type=\"submit\">Save</button></form>"));
}

QByteArray settingsDone() { return notice(QStringLiteral("Saved"), QStringLiteral("Your settings were saved.")); }

QByteArray notice(const QString& title, const QString& text) {
  return page(title, QStringLiteral("<p>") + esc(text) + QStringLiteral("</p>"));
}

QUrlQuery parseForm(const QByteArray& body) {
  QByteArray plain = body;
  plain.replace('+', "%20");
  return QUrlQuery(QString::fromLatin1(plain));
}

QString formValue(const QUrlQuery& form, const QString& key) {
  return form.queryItemValue(key, QUrl::FullyDecoded);
}

}  // namespace kelvor::pages
