// The one gate between a peer's path and this machine's file system. A path
// is served only when, cleaned and with its symbolic links resolved, it lies
// inside an enabled share of the signed-in account that the asking session may
// reach (ShareAccess). A refused path is treated by every caller exactly like
// a missing one.
#pragma once

#include <QList>
#include <QString>
#include <optional>

// One share as the gate sees it.
struct ShareRoot {
  QString path;  // the share's stored path (a folder or one file)
  bool isDir = true;
  bool canDelete = false;  // the share's delete permission
  bool canCreate = false;  // the share's new-file permission
  bool canUpload = true;   // the share's upload permission
  bool canDownload = true; // the share's download permission
  bool canLan = false;      // the share's "TransLAN": transfers may take the local-network route
};

class PathGuard {
 public:
  // Paths longer than this are refused before they reach the file system.
  static constexpr int kMaxPathLength = 4096;

  PathGuard() = default;
  explicit PathGuard(const QList<ShareRoot>& shares);

  // The enabled shares of the signed-in account that the peer session
  // `session` may reach: those without an access code and those whose code it
  // proved (reads the share store).
  static PathGuard forSession(const QString& session);

  // The resolved path to act on when `path` may be served, else nothing.
  std::optional<QString> resolve(const QString& path) const;
  // Like resolve(), and the path must name an existing folder.
  std::optional<QString> resolveFolder(const QString& path) const;
  // Like resolveFolder(), inside a share that takes uploads.
  std::optional<QString> resolveUploadFolder(const QString& path) const;
  // Like resolve(), in a share that allows downloads.
  std::optional<QString> resolveDownload(const QString& path) const;
  // The entry to remove: inside a share that allows deleting, never a share's
  // own root. A symbolic link itself is what gets removed, not its target.
  std::optional<QString> resolveForDelete(const QString& path) const;
  // The folder to create as `name` inside `dir`: the share must allow new
  // files, and the name must be one plain component.
  std::optional<QString> resolveNewFolder(const QString& dir, const QString& name) const;

  // Whether the resolved path lies in a share that allows the operation
  // (a download, or an upload into it) and the local-network route.
  bool allowsLan(const QString& resolved, bool upload) const;

  bool isEmpty() const { return roots_.isEmpty(); }

 private:
  struct Root {
    QString canonical;
    bool isDir;
    bool canDelete;
    bool canCreate;
    bool canUpload;
    bool canDownload;
    bool canLan;
  };
  // The first share holding the canonical path and allowing the operation.
  const Root* containing(const QString& canonical, bool (*allowed)(const Root&)) const;
  static std::optional<QString> cleanAbsolute(const QString& path);
  static QString canonicalOf(const QString& cleaned);

  QList<Root> roots_;
};
