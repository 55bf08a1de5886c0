// Display text, random text and validation patterns of UtilSystem.
#include "core/util_system.h"

#include <QRandomGenerator>
#include <QRegularExpression>
#include <QUrl>

#include <algorithm>
#include <array>

namespace {

bool matchesWhole(const QString& pattern, const QString& text) {
  // anchoredPattern: a trailing line feed can't slip past "$".
  const QRegularExpression expression(QRegularExpression::anchoredPattern(pattern));
  return expression.isValid() && expression.match(text).hasMatch();
}

}  // namespace

const QLocale& sharedDateFormatter() {
  static const QLocale formatter = QLocale::system();
  return formatter;
}

QString UtilSystem::formatSize(quint64 bytes) {
  static const std::array<const char*, 9> units = {"bytes", "KB", "MB", "GB", "TB", "PB", "EB", "ZB", "YB"};
  double value = double(bytes);
  std::size_t unit = 0;
  if (bytes >= 1025) {
    do {
      ++unit;
      value *= 0.0009765625;
    } while (value > 1024.0 && unit + 1 < units.size());
  }
  return QString::asprintf("%4.2f ", value) + QString::fromLatin1(units[unit]);
}

QString UtilSystem::formatTimestamp(qint64 timestamp) {
  const qsizetype digits = QString::number(timestamp).remove(QLatin1Char('-')).size();
  const qint64 seconds = (digits == 13 || digits == 14) ? timestamp / 1000 : timestamp;
  const QDateTime date = QDateTime::fromSecsSinceEpoch(seconds).toLocalTime();
  return sharedDateFormatter().toString(date, QLocale::ShortFormat);
}

QString UtilSystem::randomString(int n) {
  static const QString alphabet = QStringLiteral("0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZ");
  QString text;
  if (n < 0) return text;
  text.reserve(n + 1);
  for (int i = 0; i <= n; ++i) text += alphabet.at(QRandomGenerator::global()->generate() % 36);
  return text;
}

QString UtilSystem::clipText(const QString& text, qsizetype maxChars) {
  if (text.size() <= maxChars) return text;
  qsizetype end = std::max<qsizetype>(maxChars - 1, 0);
  if (end > 0 && text[end - 1].isHighSurrogate()) --end;
  return text.left(end) + QChar(0x2026);
}

bool UtilSystem::isValidEmail(const QString& text) {
  // Top-level parts of any length from two letters on (.online, .travel, .local).
  return !text.isEmpty() && matchesWhole(QStringLiteral("[A-Z0-9a-z._%+-]+@[A-Za-z0-9.-]+\\.[A-Za-z]{2,}"), text);
}

bool UtilSystem::isValidAccountName(const QString& text) {
  return matchesWhole(QStringLiteral("^[0-9A-Za-z]{1,30}$"), text);
}

bool UtilSystem::isAlnumInLengthRange(const QString& text, int minimum, int maximum) {
  return matchesWhole(QStringLiteral("^[0-9A-Za-z]{%1,%2}$").arg(minimum).arg(maximum), text);
}
