#include "transfer_place.h"

#include <QFile>

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <unistd.h>

namespace vantrel {

namespace {
// Numbers tried before giving up on a folder full of copies.
constexpr int kMaxNumbered = 9999;
}  // namespace

QString numberedName(const QString& name, int n) {
  const qsizetype dot = name.lastIndexOf(QLatin1Char('.'));
  const QString suffix = QStringLiteral(" (%1)").arg(n);
  if (dot <= 0) return name + suffix;
  return name.left(dot) + suffix + name.mid(dot);
}

std::optional<QString> placeFile(int dirfd, const QString& from, const QString& name, bool replace, int* error) {
  const QByteArray source = QFile::encodeName(from);
  if (replace) {
    if (::renameat(dirfd, source.constData(), dirfd, QFile::encodeName(name).constData()) == 0) return name;
    *error = errno;
    return std::nullopt;
  }
  for (int n = 0; n <= kMaxNumbered; ++n) {
    const QString candidate = n == 0 ? name : numberedName(name, n);
    const QByteArray target = QFile::encodeName(candidate);
    int result = ::renameat2(dirfd, source.constData(), dirfd, target.constData(), RENAME_NOREPLACE);
    if (result != 0 && errno == EINVAL) {
      // A file system without RENAME_NOREPLACE: a hard link is just as exclusive.
      result = ::linkat(dirfd, source.constData(), dirfd, target.constData(), 0);
      if (result == 0) ::unlinkat(dirfd, source.constData(), 0);
    }
    if (result == 0) return candidate;
    if (errno != EEXIST) {
      *error = errno;
      return std::nullopt;
    }
  }
  *error = EEXIST;
  return std::nullopt;
}

}  // namespace vantrel
