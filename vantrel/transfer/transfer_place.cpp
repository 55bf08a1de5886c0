#include "transfer_place.h"

#include <QFile>

#include <cerrno>

#include "core/beneath.h"

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
    *error = beneath::renameIn(dirfd, source, QFile::encodeName(name));
    return *error == 0 ? std::optional<QString>(name) : std::nullopt;
  }
  for (int n = 0; n <= kMaxNumbered; ++n) {
    const QString candidate = n == 0 ? name : numberedName(name, n);
    *error = beneath::renameNoReplace(dirfd, source, QFile::encodeName(candidate));
    if (*error == 0) return candidate;
    if (*error != EEXIST) return std::nullopt;
  }
  return std::nullopt;  // *error is EEXIST
}

}  // namespace vantrel
