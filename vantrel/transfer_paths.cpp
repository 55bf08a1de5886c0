#include "transfer_paths.h"

#include <QDir>
#include <QDirIterator>
#include <QFileInfo>

namespace vantrel {

bool isSafeComponent(const QString& name) {
  if (name.isEmpty() || name == QLatin1String(".") || name == QLatin1String("..")) return false;
  for (const QChar c : name) {
    if (c == QLatin1Char('/') || c == QLatin1Char('\\') || c.unicode() < 0x20 || c.unicode() == 0x7f) return false;
  }
  return name.size() <= 255;
}

std::optional<QString> safeRelativePath(const QString& rel) {
  QString text = rel;
  text.replace(QLatin1Char('\\'), QLatin1Char('/'));
  if (text.isEmpty() || text.startsWith(QLatin1Char('/'))) return std::nullopt;
  // A drive letter ("C:") names an absolute place elsewhere.
  if (text.size() >= 2 && text[1] == QLatin1Char(':')) return std::nullopt;
  const QStringList parts = text.split(QLatin1Char('/'));
  for (const QString& part : parts)
    if (!isSafeComponent(part)) return std::nullopt;
  return parts.join(QLatin1Char('/'));
}

std::optional<QString> relativeInside(const QString& folder, const QString& path) {
  QString f = folder;
  QString p = path;
  f.replace(QLatin1Char('\\'), QLatin1Char('/'));
  p.replace(QLatin1Char('\\'), QLatin1Char('/'));
  if (f.isEmpty() || p.isEmpty()) return std::nullopt;
  // Climbing components are refused before cleaning could fold them away.
  for (const QString& part : p.split(QLatin1Char('/')))
    if (part == QLatin1String("..")) return std::nullopt;
  f = QDir::cleanPath(f);
  p = QDir::cleanPath(p);
  const QString prefix = f.endsWith(QLatin1Char('/')) ? f : f + QLatin1Char('/');
  if (!p.startsWith(prefix) || p.size() == prefix.size()) return std::nullopt;
  return safeRelativePath(p.mid(prefix.size()));
}

bool resolvesInside(const QString& root, const QString& dir) {
  const QString r = QFileInfo(root).canonicalFilePath();
  const QString d = QFileInfo(dir).canonicalFilePath();
  if (r.isEmpty() || d.isEmpty()) return false;
  return d == r || d.startsWith(r.endsWith(QLatin1Char('/')) ? r : r + QLatin1Char('/'));
}

QString lastComponent(const QString& path) {
  QString p = path;
  p.replace(QLatin1Char('\\'), QLatin1Char('/'));
  while (p.size() > 1 && p.endsWith(QLatin1Char('/'))) p.chop(1);
  const qsizetype slash = p.lastIndexOf(QLatin1Char('/'));
  return slash < 0 ? p : p.mid(slash + 1);
}

QList<TransferEntry> walkLocal(const QString& path, const QString& relBase, bool withFolders) {
  QList<TransferEntry> entries;
  const QFileInfo top(path);
  if (!top.exists()) return entries;
  if (!top.isDir() || top.isSymLink()) {
    if (top.isFile()) entries.append(TransferEntry{relBase, top.size(), false, top.absoluteFilePath()});
    return entries;
  }
  if (withFolders) entries.append(TransferEntry{relBase, 0, true, top.absoluteFilePath()});
  const QString base = top.absoluteFilePath();
  QDirIterator it(base, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                  QDirIterator::Subdirectories);
  QList<TransferEntry> found;
  while (it.hasNext()) {
    it.next();
    const QFileInfo info = it.fileInfo();
    const QString sub = info.absoluteFilePath().mid(base.size() + 1);
    if (info.isDir() && !info.isSymLink()) {
      if (withFolders) found.append(TransferEntry{relBase + QLatin1Char('/') + sub, 0, true, info.absoluteFilePath()});
    } else if (info.isFile()) {
      found.append(TransferEntry{relBase + QLatin1Char('/') + sub, info.size(), false, info.absoluteFilePath()});
    }
  }
  // Parents before children, in a stable order.
  std::sort(found.begin(), found.end(), [](const TransferEntry& a, const TransferEntry& b) { return a.rel < b.rel; });
  entries.append(found);
  return entries;
}

qint64 totalSize(const QString& path) {
  qint64 total = 0;
  for (const TransferEntry& e : walkLocal(path, QStringLiteral("x"), false)) total += e.size;
  return total;
}

}  // namespace vantrel
