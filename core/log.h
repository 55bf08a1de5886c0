// The log: standard output, one line per event, fixed English text. Values of
// a line are separated by one blank. Safe to call from any thread.
//
// No secret reaches the log: every line passes redactJsonText on its way out,
// and a secret logged as a plain value goes through redactSecret first.
#pragma once

#include <QByteArrayView>
#include <QString>
#include <QStringView>
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

// Text with the values of its secret keys masked: JSON members ("Token",
// "Password", "pass", "Credential", "acode", "Hostpassword", "Id_user",
// "Id_acc", any case, also inside JSON held in a JSON string) and the
// "password=", "pass=" and "credential=" pairs of an address or a form.
QString redactJsonText(const QString& text);

// A frame or a value from another process as a log line shows it on a refusal
// or an unknown code: its first kExcerptBytes bytes of UTF-8 (never half a
// character) and, when it is longer, its whole length in bytes. Every such
// line goes through it, so a peer cannot fill the disk with its frames.
inline constexpr qsizetype kExcerptBytes = 512;
QString excerpt(QStringView text);
QString excerpt(QByteArrayView utf8);

}  // namespace zlog
