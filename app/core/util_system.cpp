#include "core/util_system.h"

#include "core/log.h"

#include <QDir>
#include <QFileInfo>
#include <QStandardPaths>

#include <filesystem>
#include <system_error>

QString documentsPath(const QString& name) {
  return QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation) + QLatin1Char('/') + name;
}

void ensureDirectory(const QString& path) {
  if (QFileInfo(path).isDir()) return;
  std::error_code error;
  std::filesystem::create_directories(std::filesystem::path(path.toStdString()), error);
  if (error) zlog::line(QStringLiteral("Error: ") + QString::fromStdString(error.message()));
}
