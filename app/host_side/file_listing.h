// The host file listing: one folder of this machine, filtered by a search
// text, folders and files each sorted on their own, folders first, cut into
// pages. A probe only counts the entries.
#pragma once

#include <QList>
#include <QString>
#include <functional>
#include <memory>
#include <vector>

#include "core/beneath.h"
#include "host_side/dir_scan.h"
#include "host_side/file_records.h"

// Kinds of entries to list (a bit set).
inline constexpr int kListFolders = 0x1;
inline constexpr int kListFiles = 0x100;

struct FileListRequest {
  QString dir;       // the folder as the client named it: the base of every fullPath
  // The folder actually read, opened through the gate, and its share's root
  // with the folder's path beneath it; no folder lists nothing.
  std::shared_ptr<const beneath::Fd> folder;
  std::shared_ptr<const beneath::Fd> root;
  QString rel;
  int failure = 0;  // the errno of a folder the gate found but could not open

  QString search;
  QString orderBy;
  qint64 pageIndex = 0;
  qint64 pageSize = 0;
  qint64 probeCount = 0;
  int kinds = kListFolders | kListFiles;

  ScanFolder scanFolder() const;
  // Reads the folder `path` of this machine, as its own root.
  void setLocalFolder(const QString& path);
};

struct FileListResult {
  QString index;  // the entry count for a probe, else empty
  // "OK", or why the folder could not be opened or read (failureReason); a
  // failure has no count, no pages and no entries.
  QString result = QStringLiteral("OK");
  QString pageInfo;  // "count|pages" for a page, else empty
  QList<FileItem> items;
};

// The sort asked for by an orderBy text ("field,direction").
struct FileOrder {
  enum class Key { none, name, createdTime, ext, size };
  Key key = Key::none;
  bool ascending = false;  // direction exactly "1"
  static FileOrder parse(const QString& orderBy);
};

// Sorts entries of one kind. Ascending is a stable sort by the key; any other
// direction gives the exact reverse of that; no key gives the reverse of the
// listing order. Names and extensions compare by code point after canonical
// normalisation. The comparison is a strict weak ordering.
void sortEntries(std::vector<ScanEntry>& entries, const FileOrder& order);

// The record of one entry, as the listing builds it.
FileItem fileItemFor(const QString& dir, const ScanFolder& folder, const ScanEntry& entry, qint64 assetIndex);

// The text after the last "." of a name, or empty.
QString extensionOf(const QString& name);

// Lists and pages; safe on any thread. A missing or refused folder lists as
// an empty one; one that could not be opened or read is a failure.
FileListResult listFolder(const FileListRequest& request);

// True when a folder is big enough that listing it belongs off the main thread.
bool isLargeFolder(const FileListRequest& request);
