// A fake host check's answer as the client's gate gives it to its own bridge:
// with where the checked path lies beneath the share folder.
#pragma once

#include "wire.h"

#include <QFile>
#include <QFileInfo>
#include <QString>

#include <sys/stat.h>

namespace vantreltest {

// `data` with "ShareRoot", "ShareRel" and "ShareId" for `path` beneath the
// share folder `root` (the test's own paths, taken lexically).
inline vex::Json withShareSpot(vex::Json data, const QString& root, const QString& path) {
  const QString canonical = QFileInfo(root).canonicalFilePath();
  struct stat st {};
  if (canonical.isEmpty() || ::stat(QFile::encodeName(canonical).constData(), &st) != 0) return data;
  const QString base = root.endsWith(QLatin1Char('/')) ? root : root + QLatin1Char('/');
  const QString rel = path.startsWith(base) ? path.mid(base.size()) : QString();
  data["ShareRoot"] = canonical.toStdString();
  data["ShareRel"] = rel.toStdString();
  data["ShareId"] = (QString::number(quint64(st.st_dev)) + QLatin1Char(':') + QString::number(quint64(st.st_ino))).toStdString();
  return data;
}

}  // namespace vantreltest
