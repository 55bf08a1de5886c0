// Path text operations and the application's folders.
#include "core/util_system.h"

#include "core/log.h"

#include <QFileInfo>
#include <QStandardPaths>

#include <filesystem>
#include <system_error>

namespace {

const QString kSlash = QStringLiteral("/");
const QString kBackslash = QStringLiteral("\\");

// Whole characters, not UTF-16 units.
qsizetype characterCount(const QString& text) { return text.toUcs4().size(); }

bool isDrive(const QString& text) { return characterCount(text) == 2; }

}  // namespace

QString documentsPath(const QString& name) {
  return QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation) + QLatin1Char('/') + name;
}

QString defaultDownloadFolder() { return documentsPath(QStringLiteral("Kelvor")) + QStringLiteral("/Downloads"); }

void ensureDirectory(const QString& path) {
  if (QFileInfo(path).isDir()) return;
  std::error_code error;
  std::filesystem::create_directories(std::filesystem::path(path.toStdString()), error);
  if (error) zlog::line(QStringLiteral("Error: ") + QString::fromStdString(error.message()));
}

QString lastComponent(const QString& separator, const QString& text) {
  if (separator.isEmpty()) return text;
  return text.split(separator).constLast();
}

QString UtilSystem::separatorOf(const QString& path) { return path.startsWith(kSlash) ? kSlash : kBackslash; }

QString UtilSystem::trimTrailingSeparator(const QString& path) {
  const QString separator = separatorOf(path);
  if (!path.endsWith(separator)) return path;
  const QString rest = path.chopped(1);
  if (separator == kSlash) return rest.isEmpty() ? kSlash : rest;
  return isDrive(rest) ? rest + kBackslash : rest;
}

QString UtilSystem::ensureTrailingSeparator(const QString& path) {
  if (path.isEmpty()) return path;
  const QString separator = separatorOf(path);
  return path.endsWith(separator) ? path : path + separator;
}

QString UtilSystem::joinPath(const QString& path, const QString& name, const QString& separator) {
  if (separator.isEmpty()) return path + separatorOf(path) + name;
  if (!path.isEmpty() && path.back() == separator.front()) return path + name;
  return path + separator + name;
}

QString UtilSystem::fileNameOfPath(const QString& path) {
  if (path.isEmpty()) return path;
  const QString trimmed = trimTrailingSeparator(path);
  return lastComponent(separatorOf(trimmed), trimmed);
}

QString UtilSystem::fileExtension(const QString& path) {
  if (path.isEmpty()) return path;
  const QStringList parts = fileNameOfPath(path).split(QLatin1Char('.'));
  return parts.size() >= 2 ? parts.constLast() : QString();
}

QString UtilSystem::parentPath(const QString& path) {
  if (path.isEmpty()) return path;
  const QString trimmed = trimTrailingSeparator(path);
  const QString separator = separatorOf(trimmed);
  QStringList parts = trimmed.split(separator);
  parts.removeLast();
  if (parts.isEmpty()) return separator;
  QString result = parts.join(separator);
  if (result.isEmpty()) return separator;
  if (separator == kBackslash && isDrive(result)) result += kBackslash;
  return result;
}

QString UtilSystem::mapPathToRoot(const QString& localRoot, const QString& remoteRoot, const QString& remotePath) {
  const QString localSeparator = separatorOf(localRoot);
  const QString remoteSeparator = separatorOf(remoteRoot);
  const QString local = ensureTrailingSeparator(localRoot);
  const QString root = ensureTrailingSeparator(remoteRoot);
  QString relative = trimTrailingSeparator(remotePath);
  // Only a leading root is stripped: the same text deeper in the path is a
  // folder name of its own.
  if (!root.isEmpty() && relative.startsWith(root))
    relative = relative.mid(root.size());
  else if (!root.isEmpty() && relative == trimTrailingSeparator(remoteRoot))
    relative.clear();
  // The path comes from a remote host: empty, "." and ".." components are
  // dropped so the result never leaves the local root.
  QStringList parts;
  for (const QString& part : relative.split(remoteSeparator))
    if (!part.isEmpty() && part != QLatin1String(".") && part != QLatin1String("..")) parts << part;
  return local + parts.join(localSeparator);
}
