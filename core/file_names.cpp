#include "core/file_names.h"

bool isPlainFileName(const QString& name) {
  if (name.isEmpty() || name == QLatin1String(".") || name == QLatin1String("..")) return false;
  for (const QChar c : name) {
    if (c == QLatin1Char('/') || c == QLatin1Char('\\') || c.category() == QChar::Other_Control) return false;
  }
  return name.toUtf8().size() <= 255;
}

bool looksLikePartialFile(const QString& name) {
  return name.startsWith(QLatin1String(kPartialFilePrefix), Qt::CaseInsensitive);
}
