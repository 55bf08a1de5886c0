// Path rules of the transfer engine: names that come from a peer are relative
// paths of plain components and never leave the folder they are written into;
// local targets are walked into the entries a transfer carries.
#pragma once

#include <QList>
#include <QString>
#include <QStringList>

#include "core/beneath.h"

#include <atomic>
#include <memory>
#include <limits>
#include <optional>

namespace vantrel {

// One file or folder of a transfer. `rel` is the path under the receiving
// folder, components joined by "/"; `local` is the path the sender reads.
// A file served to a peer carries where the host's check found it: its
// share's root, opened once, and the path beneath it; it is opened there
// (core/beneath.h), never by `local`, which names only the local user's own
// files and what the checks are asked about.
struct TransferEntry {
  TransferEntry() = default;
  TransferEntry(QString rel, qint64 size, bool isDir, QString local)
      : rel(std::move(rel)), size(size), isDir(isDir), local(std::move(local)) {}
  QString rel;
  qint64 size = 0;
  bool isDir = false;
  QString local;
  std::shared_ptr<const beneath::Fd> share;
  QString shareRel;
};

// `rel` checked and normalised ("a/b/c"); nothing when it is absolute, empty,
// or has a component that is not safe. A backslash counts as a separator.
std::optional<QString> safeRelativePath(const QString& rel);

// `path` relative to `folder` when it lies strictly inside it (both cleaned;
// either separator), else nothing.
std::optional<QString> relativeInside(const QString& folder, const QString& path);

// The level of the folder that the checked relative path `rel` makes (a
// folder) or lies in (a file), its first component being level 0: what the
// walk of that folder would have met.
int folderLevel(const QString& rel, bool isDir);

// The last component of a path (either separator; a trailing one ignored).
QString lastComponent(const QString& path);

// Bounds of a walk: entries met, folder depth below the start, time, and a
// flag that stops it from another thread.
struct WalkLimits {
  qint64 maxEntries = std::numeric_limits<qint64>::max();
  int maxDepth = std::numeric_limits<int>::max();
  qint64 maxMs = std::numeric_limits<qint64>::max();
  const std::atomic_bool* stop = nullptr;
};

// What a walk could not open (no permission): the folders below its start,
// and for the sender's own walk also the start and the files; the first
// one's error.
struct WalkUnread {
  qint64 count = 0;
  int firstError = 0;
  void note(int error) {
    if (count++ == 0) firstError = error;
  }
  // As the host side words a failure: "Error: Permission denied".
  QString reason() const;
};

// Walks a file or folder within limits into entries under the name
// `relBase`: the folder itself, every folder and file below it (links to
// folders are not followed), folder by folder, never holding more than the
// limit. When a limit is reached the walk stops, `error` says which, and the
// entries are incomplete. A folder below the start that cannot be opened is
// left out (no entry of its own either) and counted in `unread`, when given.
// A missing path gives nothing.
QList<TransferEntry> walkBounded(const QString& path, const QString& relBase, bool withFolders,
                                 const WalkLimits& limits, QString* error, WalkUnread* unread = nullptr);

// The sender's walk of its own file or folder: as walkBounded without limits,
// and what this process may not read, the start itself and every file too
// (each is opened once), is left out and counted in `unread`.
QList<TransferEntry> walkLocal(const QString& path, const QString& relBase, bool withFolders, WalkUnread* unread);

}  // namespace vantrel
