// The log: standard output, one line per event, fixed English text. Values of
// a line are separated by one blank. Safe to call from any thread.
#pragma once

#include <QString>
#include <QStringList>

namespace zlog {

void line(const QString& text);

template <class... Parts>
void parts(const Parts&... values) {
  QStringList list{QString(values)...};
  line(list.join(QLatin1Char(' ')));
}

// A secret (token, password, credential, access code, sign-in handle) as it
// may appear in a line: masked, keeping only whether it was empty.
QString redactSecret(const QString& secret);

// JSON text with the values of its secret keys ("Token", "Password",
// "Credential", "acode", ...) masked, for logging a message whole.
QString redactJsonText(const QString& text);

}  // namespace zlog
