#include "host_side/path_guard.h"

#include <fcntl.h>
#include <cerrno>
#include <sys/stat.h>

#include <QDir>
#include <QFileInfo>

#include "core/file_names.h"
#include "host_side/share_access.h"
#include "local_sharing/share_store.h"

namespace {

bool acceptable(const QString& path) {
  return !path.isEmpty() && path.size() <= PathGuard::kMaxPathLength && path.startsWith(QLatin1Char('/')) &&
         !path.contains(QChar(u'\0'));
}

}  // namespace

bool PathGuard::Root::grants(ShareRight right) const {
  switch (right) {
    case ShareRight::reach: return true;
    case ShareRight::download: return canDownload;
    case ShareRight::upload: return canUpload;
    case ShareRight::remove: return canDelete;
    case ShareRight::create: return canCreate;
  }
  return false;
}

PathGuard::PathGuard(const QList<ShareRoot>& shares) {
  for (const ShareRoot& share : shares) {
    if (!acceptable(share.path)) continue;
    // The owner's own path, followed as the owner gave it.
    const QString stored = QDir::cleanPath(share.path);
    const QFileInfo info(stored);
    const QString canonical = info.canonicalFilePath();
    if (canonical.isEmpty()) continue;
    Root root{};
    root.prefixes = {stored};
    if (canonical != stored) root.prefixes.append(canonical);
    // A share is a folder or one file by what is on disk now, not by its flag.
    const bool isDir = info.isDir();
    root.canonical = isDir ? canonical : QFileInfo(canonical).path();
    if (!isDir) root.fileName = QFileInfo(canonical).fileName();
    root.canDelete = share.canDelete;
    root.canCreate = share.canCreate;
    root.canUpload = share.canUpload;
    root.canDownload = share.canDownload;
    root.canLan = share.canLan;
    int error = 0;
    beneath::Fd fd = beneath::openRoot(root.canonical, &error);
    if (!fd && !leadsNowhere(error)) {
      root.error = error;
      unopened_.append(root);
    }
    struct stat st {};
    if (!fd || ::fstat(fd.get(), &st) != 0 || !S_ISDIR(st.st_mode)) continue;
    root.device = st.st_dev;
    root.inode = st.st_ino;
    root.fd = std::make_shared<const beneath::Fd>(std::move(fd));
    roots_.append(root);
  }
}

std::optional<QString> PathGuard::relativeTo(const Root& root, const QString& path) {
  for (const QString& prefix : root.prefixes) {
    QString rel;
    if (path == prefix) {
      rel = QString();
    } else if (prefix == QStringLiteral("/")) {
      rel = path.mid(1);
      while (rel.startsWith(QLatin1Char('/'))) rel.remove(0, 1);
    } else if (path.startsWith(prefix) && path.at(prefix.size()) == QLatin1Char('/')) {
      rel = path.mid(prefix.size() + 1);
      while (rel.startsWith(QLatin1Char('/'))) rel.remove(0, 1);
    } else {
      continue;
    }
    // A one-file share serves that file alone, by its own path.
    if (!root.fileName.isEmpty()) {
      if (path != prefix) return std::nullopt;
      return root.fileName;
    }
    return rel;
  }
  return std::nullopt;
}

bool PathGuard::leadsNowhere(int error) {
  switch (error) {
    case 0:
    case ENOENT:
    case ENOTDIR:
    case EXDEV:  // it would leave the share
    case ELOOP:
    case ENAMETOOLONG:
    case EINVAL:
    case ENXIO:  // a device or socket, never served
    case ENODEV:
      return true;
    default:
      return false;
  }
}

std::optional<ServedPath> PathGuard::open(const QString& path, int flags, ShareRight right, int* failure) const {
  if (failure) *failure = 0;
  if (!acceptable(path)) return std::nullopt;
  int failed = 0;
  for (const Root& root : roots_) {
    if (!root.grants(right)) continue;
    const auto rel = relativeTo(root, path);
    if (!rel) continue;
    int error = 0;
    beneath::Fd fd = beneath::open(root.fd->get(), *rel, flags, &error);
    if (!fd) {
      if (!failed && !leadsNowhere(error)) failed = error;
      continue;
    }
    return ServedPath{root.fd, root.canonical, root.device, root.inode, *rel, root.canLan, std::move(fd)};
  }
  for (const Root& root : unopened_)
    if (!failed && root.grants(right) && relativeTo(root, path)) failed = root.error;
  if (failure) *failure = failed;
  return std::nullopt;
}

std::optional<ServedPath> PathGuard::openFolder(const QString& path, ShareRight right, int* failure) const {
  return open(path, O_RDONLY | O_DIRECTORY, right, failure);
}

std::optional<ServedPath> PathGuard::openFile(const QString& path, ShareRight right, int* failure) const {
  // Never blocks on a pipe or a device: only a regular file is served.
  auto served = open(path, O_RDONLY | O_NONBLOCK, right, failure);
  struct stat st {};
  if (!served || ::fstat(served->fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) return std::nullopt;
  return served;
}

std::optional<ServedPath> PathGuard::resolve(const QString& path) const { return open(path, O_PATH); }

std::optional<beneath::Entry> PathGuard::openForDelete(const QString& path) const {
  if (!acceptable(path)) return std::nullopt;
  for (const Root& root : roots_) {
    if (!root.canDelete || !root.fileName.isEmpty()) continue;  // a one-file share is its own root
    const auto rel = relativeTo(root, path);
    if (!rel) continue;
    auto entry = beneath::openParent(root.fd->get(), *rel);
    if (!entry) continue;
    struct stat st {};
    if (::fstatat(entry->folder.get(), entry->name.constData(), &st, AT_SYMLINK_NOFOLLOW) != 0) continue;
    // What a link leads to must be inside as well: a link out is left alone.
    if (S_ISLNK(st.st_mode) && !beneath::open(root.fd->get(), *rel, O_PATH)) continue;
    if (quint64(st.st_dev) == root.device && quint64(st.st_ino) == root.inode) continue;
    return entry;
  }
  return std::nullopt;
}

std::optional<ServedPath> PathGuard::openForNewFolder(const QString& dir, const QString& name) const {
  if (!isPlainFileName(name) || looksLikePartialFile(name)) return std::nullopt;
  return openFolder(dir, ShareRight::create);
}

PathGuard PathGuard::forSession(const QString& session) {
  const ShareAccess& access = ShareAccess::shared();
  QList<ShareRoot> roots;
  // Not for the web: the stored codes are compared, not their masked form.
  for (const SharingObjPtr& share : loadShares(QString(), false, false)) {
    if (!share->isenabled || !access.mayReach(session, share->tag, share->password)) continue;
    roots.append(ShareRoot{share->path, share->isdir, share->isfiledel, share->isfilenew, share->isupload,
                            share->isdownload, share->isTranLAN});
  }
  return PathGuard(roots);
}
