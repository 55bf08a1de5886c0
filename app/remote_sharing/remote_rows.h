// The file browser's rows and page links, built from host replies. Pure
// functions over untrusted JSON: wrong kinds read as empty values, never throw.
#pragma once

#include "core/vex_json.h"
#include "host_side/file_records.h"

#include <QImage>
#include <QString>
#include <QStringList>

#include <cstdint>
#include <optional>

// One row's icon: a bundled image by name ("folder", "file", "folder_up"), or
// a preview picture made by the host.
struct RowIcon {
  QString imageName;
  QImage picture;  // null unless a preview arrived

  bool isPreview() const { return !picture.isNull(); }
};

namespace remoterows {

// The text after the last "." of a name, lower-cased; the whole name
// lower-cased when it holds no ".".
QString extOf(const QString& name);

// A row of a page reply's "data" element (an object; anything else gives a row
// with empty values).
FileItem dataRow(const vex::Json& entry);
// The ".." row leading to the parent of `pathCurrent`.
FileItem parentRow(const QString& pathCurrent);
RowIcon genericIcon(const FileItem& row, bool isParentRow);

// Labels of the page-link bar for `pageCount` pages with `pageIndex` on show.
QStringList pageLinks(int64_t pageCount, int64_t pageIndex);
// Pages needed for `total` entries, rounded up; 0 entries give 0 pages.
int64_t pageCountFor(int64_t total, int64_t pageSize);

// The entry count of a probe reply's "index": a non-negative decimal integer,
// as text or as a number; nothing when it is anything else.
std::optional<int64_t> entryCount(const vex::Json& index);

// Extensions whose rows are queued for a preview, and those actually asked for.
bool isPreviewQueued(const QString& ext);
bool isPreviewRequested(const QString& ext);

// A JSON value read as a Boolean: true, a non-zero number, or the text "true" / "1".
bool boolean(const vex::Json& value);

}  // namespace remoterows
