// File-system operations of UtilSystem.
#include "core/log.h"
#include "core/util_system.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTimeZone>

#include <filesystem>

QStringList UtilSystem::listDirectory(const QString& path, int mode, const QString& filter) {
  const QFileInfo info(path);
  if (!info.isDir()) return {};
  if (!info.isReadable()) {
    zlog::line(QStringLiteral("Permission denied: ") + path);
    return {};
  }
  // Hidden entries are left out (no QDir::Hidden); the file system's order is kept.
  QDir::Filters kinds = QDir::AllEntries | QDir::System;
  if (mode == 1)
    kinds = QDir::Dirs;
  else if (mode != 0)
    kinds = QDir::Files | QDir::System;
  QStringList names = QDir(path).entryList(kinds | QDir::NoDotAndDotDot, QDir::Unsorted);
  if (mode != 0 && mode != 1) {
    // QDir::System may bring in special entries; files-only means no folders at all.
    const QDir dir(path);
    names.removeIf([&dir](const QString& name) { return QFileInfo(dir.filePath(name)).isDir(); });
  }
  return filter.isEmpty() ? names : filterByName(names, filter);
}

QStringList UtilSystem::filterByName(const QStringList& names, const QString& filter) {
  const QString needle = filter.toLower();
  QStringList kept;
  for (const QString& name : names)
    if (name.toLower().contains(needle)) kept << name;
  return kept;
}

bool UtilSystem::isExistingFile(const QString& path) {
  const QFileInfo info(path);
  return info.exists() && !info.isDir();
}

qint64 UtilSystem::getFileSize(const QString& path) {
  const QFileInfo info(path);
  return info.exists() ? info.size() : 0;
}

QDateTime UtilSystem::getFileCreationDate(const QString& path) {
  const QDateTime now = QDateTime::currentDateTimeUtc();
  const QFileInfo info(path);
  if (!info.exists() && !info.isSymLink()) {
    zlog::line(QStringLiteral("Get attributes errer: ") + QStringLiteral("No such file or directory: ") + path);
    return now;
  }
  const QDateTime created = info.birthTime();
  if (!created.isValid()) return now;
  const int offset = QTimeZone::systemTimeZone().offsetFromUtc(now);
  return created.toUTC().addSecs(offset);
}

bool UtilSystem::removeFile(const QString& path) {
  const QFileInfo info(path);
  bool removed = false;
  // A link is removed itself; only a real folder is removed with its contents.
  if (info.isDir() && !info.isSymLink())
    removed = QDir(path).removeRecursively();
  else if (info.exists() || info.isSymLink())
    removed = QFile::remove(path);
  if (!removed) zlog::line(QStringLiteral("Failed to remove file."));
  return removed;
}

void UtilSystem::removeFiles(const QString& operation, const QString& paths) {
  const QStringList list = paths.split(QLatin1Char('|'));
  if (operation != QLatin1String("delete")) return;
  for (const QString& path : list) removeFile(path);
}

bool UtilSystem::replaceFile(const QString& source, const QString& target) {
  std::error_code error;
  std::filesystem::rename(QFile::encodeName(source).toStdString(), QFile::encodeName(target).toStdString(), error);
  if (error) zlog::parts(QStringLiteral("RenameFile Failed:"), source, target);
  return !error;
}

void UtilSystem::renameFile(const QString& source, const QString& target) {
  if (!isExistingFile(source)) {
    zlog::parts(QStringLiteral("RenameFile Failed, not exist:"), source);
    return;
  }
  if (isExistingFile(target)) removeFile(target);
  if (!QFile::rename(source, target)) zlog::parts(QStringLiteral("RenameFile Failed:"), source, target);
}
