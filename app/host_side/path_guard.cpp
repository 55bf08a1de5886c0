#include "host_side/path_guard.h"

#include <QDir>
#include <QFileInfo>

#include "core/file_names.h"
#include "host_side/share_access.h"
#include "local_sharing/share_store.h"

PathGuard::PathGuard(const QList<ShareRoot>& shares) {
  for (const ShareRoot& share : shares) {
    const auto cleaned = cleanAbsolute(share.path);
    if (!cleaned) continue;
    const QFileInfo info(*cleaned);
    if (!info.exists()) continue;
    const QString canonical = info.canonicalFilePath();
    if (canonical.isEmpty()) continue;
    // A share is a folder or one file by what is on disk now, not by its flag.
    roots_.append(Root{canonical, info.isDir(), share.canDelete, share.canCreate, share.canUpload,
                          share.canDownload, share.canLan});
  }
}

std::optional<QString> PathGuard::cleanAbsolute(const QString& path) {
  if (path.isEmpty() || path.size() > kMaxPathLength) return std::nullopt;
  if (!path.startsWith(QLatin1Char('/'))) return std::nullopt;  // relative, or "C:\..."
  if (path.contains(QChar(u'\0'))) return std::nullopt;
  return QDir::cleanPath(path);
}

// The canonical form of a cleaned absolute path that may not exist yet: the
// nearest existing ancestor is resolved and the missing rest appended.
QString PathGuard::canonicalOf(const QString& cleaned) {
  QString head = cleaned;
  QStringList missing;
  while (true) {
    const QFileInfo info(head);
    if (info.exists()) {
      const QString canonical = info.canonicalFilePath();
      if (canonical.isEmpty()) return {};
      if (missing.isEmpty()) return canonical;
      QString out = canonical == QStringLiteral("/") ? QString() : canonical;
      for (auto it = missing.crbegin(); it != missing.crend(); ++it) out += QLatin1Char('/') + *it;
      return out;
    }
    // A dangling symbolic link resolves to nothing we can check: refuse it.
    if (info.isSymLink()) return {};
    const int cut = head.lastIndexOf(QLatin1Char('/'));
    if (cut <= 0) {
      if (head == QStringLiteral("/")) return {};
      missing.append(head.mid(1));
      head = QStringLiteral("/");
      continue;
    }
    missing.append(head.mid(cut + 1));
    head.truncate(cut);
  }
}

const PathGuard::Root* PathGuard::containing(const QString& canonical, bool (*allowed)(const Root&)) const {
  if (canonical.isEmpty()) return nullptr;
  for (const Root& root : roots_) {
    if (allowed && !allowed(root)) continue;
    if (canonical == root.canonical) return &root;
    if (!root.isDir) continue;
    if (root.canonical == QStringLiteral("/") ||
        (canonical.startsWith(root.canonical) && canonical.at(root.canonical.size()) == QLatin1Char('/')))
      return &root;
  }
  return nullptr;
}

std::optional<QString> PathGuard::resolve(const QString& path) const {
  const auto cleaned = cleanAbsolute(path);
  if (!cleaned) return std::nullopt;
  const QString canonical = canonicalOf(*cleaned);
  if (!containing(canonical, nullptr)) return std::nullopt;
  return canonical;
}

std::optional<QString> PathGuard::resolveFolder(const QString& path) const {
  auto resolved = resolve(path);
  if (!resolved || !QFileInfo(*resolved).isDir()) return std::nullopt;
  return resolved;
}

std::optional<QString> PathGuard::resolveUploadFolder(const QString& path) const {
  auto folder = resolveFolder(path);
  if (!folder || !containing(*folder, [](const Root& r) { return r.canUpload; })) return std::nullopt;
  return folder;
}

std::optional<QString> PathGuard::resolveDownload(const QString& path) const {
  auto resolved = resolve(path);
  if (!resolved || !containing(*resolved, [](const Root& r) { return r.canDownload; })) return std::nullopt;
  return resolved;
}

bool PathGuard::allowsLan(const QString& resolved, bool upload) const {
  if (upload) return containing(resolved, [](const Root& r) { return r.canUpload && r.canLan; }) != nullptr;
  return containing(resolved, [](const Root& r) { return r.canDownload && r.canLan; }) != nullptr;
}

std::optional<QString> PathGuard::resolveForDelete(const QString& path) const {
  const auto cleaned = cleanAbsolute(path);
  if (!cleaned || *cleaned == QStringLiteral("/")) return std::nullopt;
  const int cut = cleaned->lastIndexOf(QLatin1Char('/'));
  const QString parent = cut == 0 ? QStringLiteral("/") : cleaned->left(cut);
  const QString name = cleaned->mid(cut + 1);
  const QString parentCanonical = canonicalOf(parent);
  if (parentCanonical.isEmpty()) return std::nullopt;
  // The entry itself, its last component not followed.
  const QString entry =
      (parentCanonical == QStringLiteral("/") ? QString() : parentCanonical) + QLatin1Char('/') + name;
  const QFileInfo info(entry);
  if (!info.exists() && !info.isSymLink()) return std::nullopt;
  // What the entry leads to must be served as well: a link out is refused.
  if (!resolve(entry)) return std::nullopt;
  for (const Root& root : roots_)
    if (root.canonical == entry || root.canonical == canonicalOf(entry)) return std::nullopt;
  if (!containing(entry, [](const Root& r) { return r.canDelete; })) return std::nullopt;
  return entry;
}

std::optional<QString> PathGuard::resolveNewFolder(const QString& dir, const QString& name) const {
  if (!isPlainFileName(name)) return std::nullopt;
  const auto folder = resolveFolder(dir);
  if (!folder) return std::nullopt;
  const QString target = (*folder == QStringLiteral("/") ? QString() : *folder) + QLatin1Char('/') + name;
  if (target.size() > kMaxPathLength) return std::nullopt;
  if (!containing(target, [](const Root& r) { return r.canCreate; })) return std::nullopt;
  return target;
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
