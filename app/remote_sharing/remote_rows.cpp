#include "remote_sharing/remote_rows.h"

#include "core/json_read.h"
#include "core/util_system.h"

#include <limits>

namespace remoterows {

QString extOf(const QString& name) {
  const qsizetype dot = name.lastIndexOf(QLatin1Char('.'));
  return (dot < 0 ? name : name.mid(dot + 1)).toLower();
}

bool boolean(const vex::Json& value) {
  if (value.is_boolean()) return value.get<bool>();
  if (value.is_number()) return jsonread::integer(value) != 0 || (value.is_number_float() && value.get<double>() != 0);
  if (value.is_string()) {
    const QString text = jsonread::text(value).trimmed().toLower();
    return text == QStringLiteral("true") || text == QStringLiteral("1");
  }
  return false;
}

FileItem dataRow(const vex::Json& entry) {
  FileItem row;
  row.name = jsonread::text(entry, "name");
  row.size = jsonread::integer(entry, "size");
  row.fullPath = jsonread::text(entry, "fullPath");
  row.createdTime = jsonread::integer(entry, "createdTime");
  row.isDir = boolean(jsonread::member(entry, "isDir"));
  row.iPreview = 1;
  row.ext = extOf(row.name);
  row.extendInfo = row.size < 0 ? QStringLiteral("Folder") : row.ext.toUpper();
  return row;
}

FileItem parentRow(const QString& pathCurrent) {
  FileItem row;
  row.name = QStringLiteral("..");
  row.size = -2;
  row.fullPath = UtilSystem::parentPath(pathCurrent);
  row.isDir = true;
  row.iPreview = 0;
  row.extendInfo = QStringLiteral("Go to parent folder");
  return row;
}

RowIcon genericIcon(const FileItem& row, bool isParentRow) {
  if (isParentRow) return {QStringLiteral("folder_up"), {}};
  return {row.isDir ? QStringLiteral("folder") : QStringLiteral("file"), {}};
}

QStringList pageLinks(int64_t pageCount, int64_t pageIndex) {
  const int64_t P = pageCount;
  const int64_t I = pageIndex;
  QStringList links;
  if (P <= 1) return links;
  if (P < 10) {
    for (int64_t k = 1; k <= P; ++k) links << QString::number(k);
    return links;
  }
  const QString gap = QStringLiteral("...");
  links << QStringLiteral("1");
  if (I == 5)
    links << QStringLiteral("2");
  else if (I >= 6)
    links << gap;
  if (I - 2 >= 2) links << QString::number(I - 2);
  if (I - 1 >= 2) links << QString::number(I - 1);
  if (I >= 2 && I < P) links << QString::number(I);
  if (I + 1 < P) links << QString::number(I + 1);
  if (I + 2 < P) links << QString::number(I + 2);
  if (I + 3 == P - 1)
    links << QString::number(I + 3);
  else if (I + 3 < P)
    links << gap;
  links << QString::number(P);
  return links;
}

int64_t pageCountFor(int64_t total, int64_t pageSize) {
  if (total <= 0 || pageSize <= 0) return 0;
  return total / pageSize + (total % pageSize != 0 ? 1 : 0);
}

std::optional<int64_t> entryCount(const vex::Json& index) {
  if (index.is_number_unsigned()) {
    const auto n = index.get<uint64_t>();
    if (n > uint64_t(std::numeric_limits<int64_t>::max())) return std::nullopt;
    return int64_t(n);
  }
  if (index.is_number_integer()) {
    const auto n = index.get<int64_t>();
    return n >= 0 ? std::optional<int64_t>(n) : std::nullopt;
  }
  if (!index.is_string()) return std::nullopt;
  const QString text = jsonread::text(index).trimmed();
  if (text.isEmpty()) return std::nullopt;
  for (QChar c : text)
    if (c < QLatin1Char('0') || c > QLatin1Char('9')) return std::nullopt;
  bool ok = false;
  const qlonglong n = text.toLongLong(&ok);
  if (!ok) return std::nullopt;
  return int64_t(n);
}

bool isPreviewQueued(const QString& ext) {
  static const QStringList kinds = {QStringLiteral("png"), QStringLiteral("jpg"), QStringLiteral("jpeg"),
                                    QStringLiteral("gif"), QStringLiteral("bmp"), QStringLiteral("mp4")};
  return kinds.contains(ext);
}

bool isPreviewRequested(const QString& ext) {
  static const QStringList kinds = {QStringLiteral("png"), QStringLiteral("jpg"), QStringLiteral("gif"),
                                    QStringLiteral("bmp"), QStringLiteral("mp4")};
  return kinds.contains(ext);
}

}  // namespace remoterows
