// The one gate between a peer's path and this machine's file system. A peer's
// path is turned once into a share and a path beneath that share's root (the
// share's own path a prefix of it, component by component, nothing cleaned),
// and that path is opened beneath the share's open root descriptor
// (core/beneath.h): a symbolic link that stays inside the share is followed,
// one that leaves it, or a ".." that climbs out, is refused by the kernel's
// own resolution, the same one the bridge uses when it opens the file. Only
// enabled shares of the signed-in account that the asking session may reach
// (ShareAccess) count. A refused path is treated by every caller exactly like
// a missing one; a path the gate would serve but could not open (no
// descriptors or memory left, no permission, a broken disk) is a failure,
// told apart by its errno.
#pragma once

#include <QList>
#include <QString>
#include <memory>
#include <optional>

#include "core/beneath.h"

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

// What a peer may do with a path; each needs the share's permission.
enum class ShareRight { reach, download, upload, remove, create };

// A peer's path as the gate found it: the share's root (opened once), the
// path beneath it, and what that path led to, opened.
struct ServedPath {
  std::shared_ptr<const beneath::Fd> root;  // the share's root folder
  QString rootPath;                         // its canonical path, for the bridge to open again
  quint64 rootDevice = 0, rootInode = 0;    // and to check that it opened the same folder
  QString rel;                              // beneath the root, as the peer gave it
  bool lan = false;                         // the share allows the local-network route
  beneath::Fd fd;                           // what `rel` led to
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

  // Opens what `path` leads to with open(2) `flags`, beneath the first share
  // holding it that grants `right`; nothing when it is refused or missing, or
  // could not be opened: then `failure` (when given) holds the errno of that
  // failure, and 0 for a refused or missing path.
  std::optional<ServedPath> open(const QString& path, int flags, ShareRight right = ShareRight::reach,
                                 int* failure = nullptr) const;
  // Like open(), and it must be a folder (opened for reading its entries).
  std::optional<ServedPath> openFolder(const QString& path, ShareRight right = ShareRight::reach,
                                       int* failure = nullptr) const;
  // An existing regular file, opened for reading.
  std::optional<ServedPath> openFile(const QString& path, ShareRight right = ShareRight::reach,
                                     int* failure = nullptr) const;
  // Whether `path` leads to something the gate serves (looked at, not read).
  std::optional<ServedPath> resolve(const QString& path) const;

  // Whether `error` (an errno value) says that a path leads nowhere, as opposed
  // to a failure to open what is there.
  static bool leadsNowhere(int error);

  // The entry to remove: its folder opened beneath a share that allows
  // deleting, and its name, never followed. Never a share's own root; a
  // symbolic link that leads out of the share is refused.
  std::optional<beneath::Entry> openForDelete(const QString& path) const;
  // The folder to create `name` in: `dir` in a share that allows new files,
  // and the name one plain component that is no partial file's.
  std::optional<ServedPath> openForNewFolder(const QString& dir, const QString& name) const;

  bool isEmpty() const { return roots_.isEmpty(); }

 private:
  struct Root {
    QStringList prefixes;  // the stored path cleaned, and its canonical form
    QString canonical;
    std::shared_ptr<const beneath::Fd> fd;  // the folder (for a one-file share, its folder)
    QString fileName;                       // a one-file share: the file's name in that folder
    quint64 device = 0, inode = 0;
    bool canDelete, canCreate, canUpload, canDownload, canLan;
    int error = 0;  // why its folder could not be opened (an unopened root)
    bool grants(ShareRight right) const;
  };
  // The path beneath `root` that `path` names, when the root holds it.
  static std::optional<QString> relativeTo(const Root& root, const QString& path);

  QList<Root> roots_;
  QList<Root> unopened_;  // shares whose folder is there but could not be opened: their paths fail
};
