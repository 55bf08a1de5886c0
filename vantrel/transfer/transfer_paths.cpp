#include "transfer_paths.h"

#include "core/file_names.h"

#include <QDir>
#include <QDirIterator>
#include <QElapsedTimer>
#include <QFileInfo>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <unistd.h>

namespace vantrel {

std::optional<QString> safeRelativePath(const QString& rel) {
  QString text = rel;
  text.replace(QLatin1Char('\\'), QLatin1Char('/'));
  if (text.isEmpty() || text.startsWith(QLatin1Char('/'))) return std::nullopt;
  // A drive letter ("C:") names an absolute place elsewhere.
  if (text.size() >= 2 && text[1] == QLatin1Char(':')) return std::nullopt;
  const QStringList parts = text.split(QLatin1Char('/'));
  for (const QString& part : parts)
    if (!isPlainFileName(part)) return std::nullopt;
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

int folderLevel(const QString& rel, bool isDir) {
  return std::max<int>(0, int(rel.count(QLatin1Char('/'))) - (isDir ? 0 : 1));
}

QString lastComponent(const QString& path) {
  QString p = path;
  p.replace(QLatin1Char('\\'), QLatin1Char('/'));
  while (p.size() > 1 && p.endsWith(QLatin1Char('/'))) p.chop(1);
  const qsizetype slash = p.lastIndexOf(QLatin1Char('/'));
  return slash < 0 ? p : p.mid(slash + 1);
}

QString WalkUnread::reason() const {
  if (count == 0) return QString();
  const char* text = ::strerrordesc_np(firstError);  // thread-safe, unlike strerror
  return QStringLiteral("Error: ") + (text ? QString::fromUtf8(text) : QString::number(firstError));
}

namespace {

// 0 when this process may open `path` (a folder when `folder`) for reading,
// else the error. Nothing is read, and a special file does not block.
int openError(const QString& path, bool folder) {
  const int flags = O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK | (folder ? O_DIRECTORY : 0);
  const int fd = ::open(QFile::encodeName(path).constData(), flags);
  if (fd < 0) return errno;
  ::close(fd);
  return 0;
}

// A path gone since it was listed is not counted as unread: it is not there.
void noteUnread(WalkUnread* unread, int error) {
  if (unread && error != ENOENT) unread->note(error);
}

QList<TransferEntry> walk(const QString& path, const QString& relBase, bool withFolders, const WalkLimits& limits,
                          QString* error, WalkUnread* unread, bool probeFiles) {
  QList<TransferEntry> entries;
  const QFileInfo top(path);
  if (!top.exists()) return entries;
  if (!top.isDir() || top.isSymLink()) {
    if (!top.isFile()) return entries;
    if (const int e = probeFiles ? openError(top.absoluteFilePath(), false) : 0) {
      noteUnread(unread, e);
      return entries;
    }
    entries.append(TransferEntry{relBase, top.size(), false, top.absoluteFilePath()});
    return entries;
  }
  QElapsedTimer clock;
  clock.start();
  qint64 met = 0;
  // Folders still to read: (absolute path, relative path, depth).
  struct Pending {
    QString path, rel;
    int depth;
  };
  QList<Pending> pending{{top.absoluteFilePath(), relBase, 0}};
  QList<TransferEntry> found;
  while (!pending.isEmpty()) {
    const Pending dir = pending.takeLast();
    // A folder that cannot be read is told, not taken as empty, and has no
    // entry: the receiver makes no empty copy of it. Parents are read before
    // their children, so every folder's entry comes before what it holds.
    if (const int e = openError(dir.path, true)) {
      noteUnread(unread, e);
      continue;
    }
    if (withFolders) (dir.depth == 0 ? entries : found).append(TransferEntry{dir.rel, 0, true, dir.path});
    QDirIterator it(dir.path, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot);
    while (it.hasNext()) {
      it.next();
      if (++met > limits.maxEntries) {
        *error = QStringLiteral("too many entries");
        return entries + found;
      }
      if ((met & 255) == 0 && ((limits.stop && limits.stop->load()) || clock.elapsed() > limits.maxMs)) {
        *error = QStringLiteral("the folder takes too long to read");
        return entries + found;
      }
      const QFileInfo info = it.fileInfo();
      const QString rel = dir.rel + QLatin1Char('/') + it.fileName();
      if (info.isDir() && !info.isSymLink()) {
        if (dir.depth + 1 > limits.maxDepth) {
          *error = QStringLiteral("the folder is nested too deeply");
          return entries + found;
        }
        pending.append(Pending{info.absoluteFilePath(), rel, dir.depth + 1});
      } else if (info.isFile()) {
        if (const int e = probeFiles ? openError(info.absoluteFilePath(), false) : 0) {
          noteUnread(unread, e);
          continue;
        }
        found.append(TransferEntry{rel, info.size(), false, info.absoluteFilePath()});
      }
    }
  }
  // Parents before children, in a stable order.
  std::sort(found.begin(), found.end(), [](const TransferEntry& a, const TransferEntry& b) { return a.rel < b.rel; });
  entries.append(found);
  return entries;
}

}  // namespace

QList<TransferEntry> walkBounded(const QString& path, const QString& relBase, bool withFolders,
                                 const WalkLimits& limits, QString* error, WalkUnread* unread) {
  return walk(path, relBase, withFolders, limits, error, unread, false);
}

QList<TransferEntry> walkLocal(const QString& path, const QString& relBase, bool withFolders, WalkUnread* unread) {
  QString unused;
  return walk(path, relBase, withFolders, WalkLimits{}, &unused, unread, true);
}

}  // namespace vantrel
