#include "core/log.h"

#include <QRegularExpression>

#include <cstdio>
#include <mutex>

namespace zlog {

void line(const QString& text) {
  static std::mutex mutex;
  const QByteArray bytes = redactJsonText(text).toUtf8();
  std::lock_guard lock(mutex);
  std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stdout);
  std::fputc('\n', stdout);
  std::fflush(stdout);
}

QString redactSecret(const QString& secret) { return secret.isEmpty() ? QString() : QStringLiteral("<redacted>"); }

QString redactJsonText(const QString& text) {
  // Cheap test first: most lines carry none of the keys.
  static const QRegularExpression anyKey(
      QStringLiteral("token|pass|credential|acode|id_user|id_acc"), QRegularExpression::CaseInsensitiveOption);
  if (!text.contains(anyKey)) return text;
  static const QString keys = QStringLiteral("Token|Password|pass|Credential|acode|Hostpassword|Id_user|Id_acc");
  // "Key":"value" or "Key":value.
  static const QRegularExpression member(
      QStringLiteral("(\"(?:%1)\"\\s*:\\s*)(\"(?:[^\"\\\\]|\\\\.)*\"|[^,}\\]\\s]+)").arg(keys),
      QRegularExpression::CaseInsensitiveOption);
  // The same inside a JSON string: \"Key\":\"value\".
  static const QRegularExpression nested(
      QStringLiteral("(\\\\\"(?:%1)\\\\\"\\s*:\\s*)(\\\\\"(?:[^\\\\]|\\\\(?!\"))*\\\\\"|[^,}\\]\\s\\\\]+)").arg(keys),
      QRegularExpression::CaseInsensitiveOption);
  // key=value of an address or a form.
  static const QRegularExpression pair(QStringLiteral("\\b((?:password|pass|credential)=)[^&\\s\"]+"),
                                       QRegularExpression::CaseInsensitiveOption);
  QString out = text;
  out.replace(member, QStringLiteral("\\1\"<redacted>\""));
  out.replace(nested, QStringLiteral("\\1\\\"<redacted>\\\""));
  out.replace(pair, QStringLiteral("\\1<redacted>"));
  return out;
}

}  // namespace zlog
