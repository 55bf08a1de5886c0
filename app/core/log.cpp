#include "core/log.h"

#include <QRegularExpression>

#include <cstdio>
#include <mutex>

namespace zlog {

void line(const QString& text) {
  static std::mutex mutex;
  const QByteArray bytes = text.toUtf8();
  std::lock_guard lock(mutex);
  std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stdout);
  std::fputc('\n', stdout);
  std::fflush(stdout);
}

QString redactSecret(const QString& secret) { return secret.isEmpty() ? QString() : QStringLiteral("<redacted>"); }

QString redactJsonText(const QString& text) {
  // "Key":"value" or "Key":value for the keys that carry secrets, any case.
  static const QRegularExpression secretMember(
      QStringLiteral("(\"(?:Token|Password|Credential|acode|Hostpassword|Id_user)\"\\s*:\\s*)"
                     "(\"(?:[^\"\\\\]|\\\\.)*\"|[^,}\\]\\s]+)"),
      QRegularExpression::CaseInsensitiveOption);
  QString out = text;
  out.replace(secretMember, QStringLiteral("\\1\"<redacted>\""));
  return out;
}

}  // namespace zlog
