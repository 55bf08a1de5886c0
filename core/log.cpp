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

namespace {

QString cutUtf8(QByteArrayView head, qsizetype total) {
  qsizetype end = kExcerptBytes;
  // Back to the start of the character that the cut would split.
  while (end > 0 && (uchar(head[end]) & 0xC0) == 0x80) --end;
  return QString::fromUtf8(head.first(end)) + QStringLiteral(" ... [%1 bytes]").arg(total);
}

}  // namespace

QString excerpt(QByteArrayView utf8) {
  if (utf8.size() <= kExcerptBytes) return QString::fromUtf8(utf8);
  return cutUtf8(utf8, utf8.size());
}

QString excerpt(QStringView text) {
  // A character takes at least one byte: a short text needs no counting.
  if (text.size() * 3 <= kExcerptBytes) return text.toString();
  qsizetype total = 0;
  for (qsizetype i = 0; i < text.size(); ++i) {
    const char16_t c = text[i].unicode();
    if (c < 0x80) total += 1;
    else if (c < 0x800) total += 2;
    else if (QChar::isHighSurrogate(c) && i + 1 < text.size() && QChar::isLowSurrogate(text[i + 1].unicode())) {
      total += 4;
      ++i;
    } else total += 3;
  }
  if (total <= kExcerptBytes) return text.toString();
  return cutUtf8(text.first(std::min(text.size(), kExcerptBytes + 1)).toUtf8(), total);
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
  // key=value of an address or a form; "t" is the QR token of the check address.
  static const QRegularExpression pair(
      QStringLiteral("((?:\\b(?:password|pass|credential|token|acode)|[?&]t)=)[^&\\s\"]+"),
                                       QRegularExpression::CaseInsensitiveOption);
  QString out = text;
  out.replace(member, QStringLiteral("\\1\"<redacted>\""));
  out.replace(nested, QStringLiteral("\\1\\\"<redacted>\\\""));
  out.replace(pair, QStringLiteral("\\1<redacted>"));
  return out;
}

}  // namespace zlog
