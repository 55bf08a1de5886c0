#include "host_side/file_listing.h"

#include <sys/stat.h>

#include <QTextBoundaryFinder>
#include <algorithm>
#include <string_view>

#include "host_side/path_guard.h"

namespace {

const QString kFolderIcon = QStringLiteral("/resource/folder.png");
const QString kFolderIconSmall = QStringLiteral("/resource/folder16.png");
const QString kFileIcon = QStringLiteral("/resource/file.png");
const QString kFileIconSmall = QStringLiteral("/resource/file16.png");

bool isAscii(std::string_view text) {
  for (unsigned char c : text)
    if (c >= 0x80) return false;
  return true;
}

// Text sort key: UTF-8 bytes of the canonical (NFC) form, whose byte order is
// the code point order.
std::string_view textKey(std::string_view raw, std::vector<std::string>& storage) {
  if (isAscii(raw)) return raw;
  storage.push_back(
      QString::fromUtf8(raw.data(), qsizetype(raw.size())).normalized(QString::NormalizationForm_C).toStdString());
  return storage.back();
}

std::string_view extensionView(const std::string& name) {
  const auto dot = name.rfind('.');
  if (dot == std::string::npos) return {};
  return std::string_view(name).substr(dot + 1);
}

template <class Key>
std::vector<uint32_t> orderByKey(const std::vector<ScanEntry>& entries, Key keyOf) {
  using K = decltype(keyOf(entries.front()));
  std::vector<std::pair<K, uint32_t>> keyed;
  keyed.reserve(entries.size());
  for (uint32_t i = 0; i < entries.size(); ++i) keyed.emplace_back(keyOf(entries[i]), i);
  // Ties fall back to the listing position, which makes this the stable sort.
  std::sort(keyed.begin(), keyed.end());
  std::vector<uint32_t> order;
  order.reserve(keyed.size());
  for (const auto& k : keyed) order.push_back(k.second);
  return order;
}

std::vector<uint32_t> sortedOrder(const std::vector<ScanEntry>& entries, const FileOrder& order) {
  std::vector<uint32_t> result;
  if (entries.empty()) return result;
  std::vector<std::string> storage;
  storage.reserve(entries.size());  // keeps the views into it valid
  switch (order.key) {
    case FileOrder::Key::none:
      result.resize(entries.size());
      for (uint32_t i = 0; i < entries.size(); ++i) result[i] = i;
      break;
    case FileOrder::Key::name:
      result = orderByKey(entries, [&](const ScanEntry& e) { return textKey(e.name, storage); });
      break;
    case FileOrder::Key::ext:
      result = orderByKey(entries, [&](const ScanEntry& e) { return textKey(extensionView(e.name), storage); });
      break;
    case FileOrder::Key::createdTime:
      result = orderByKey(entries, [](const ScanEntry& e) { return e.createdMs; });
      break;
    case FileOrder::Key::size:
      result = orderByKey(entries, [](const ScanEntry& e) { return e.size; });
      break;
  }
  if (order.key == FileOrder::Key::none || !order.ascending) std::reverse(result.begin(), result.end());
  return result;
}

QString firstCharacter(const QString& name) {
  if (name.isEmpty()) return {};
  if (name.at(0).unicode() < 0x80) return name.left(1);
  QTextBoundaryFinder finder(QTextBoundaryFinder::Grapheme, name);
  const qsizetype next = finder.toNextBoundary();
  return name.left(next > 0 ? next : 1);
}

QString joinChild(const QString& dir, const QString& name) {
  const QChar sep = dir.startsWith(QLatin1Char('/')) ? QLatin1Char('/') : QLatin1Char('\\');
  return dir + sep + name;
}

}  // namespace

FileOrder FileOrder::parse(const QString& orderBy) {
  const QString text = orderBy.isEmpty() ? QStringLiteral("0,1") : orderBy;
  const QStringList parts = text.split(QLatin1Char(','));
  FileOrder order;
  if (parts.size() != 2 || parts[0].isEmpty() || parts[1].isEmpty()) return order;
  const QString& field = parts[0];
  if (field == QStringLiteral("0"))
    order.key = Key::name;
  else if (field == QStringLiteral("1"))
    order.key = Key::createdTime;
  else if (field == QStringLiteral("2"))
    order.key = Key::ext;
  else if (field == QStringLiteral("3"))
    order.key = Key::size;
  order.ascending = parts[1] == QStringLiteral("1");
  return order;
}

void sortEntries(std::vector<ScanEntry>& entries, const FileOrder& order) {
  const std::vector<uint32_t> positions = sortedOrder(entries, order);
  std::vector<ScanEntry> sorted;
  sorted.reserve(entries.size());
  for (uint32_t i : positions) sorted.push_back(std::move(entries[i]));
  entries = std::move(sorted);
}

QString extensionOf(const QString& name) {
  const qsizetype dot = name.lastIndexOf(QLatin1Char('.'));
  return dot < 0 ? QString() : name.mid(dot + 1);
}

FileItem fileItemFor(const QString& dir, const QString& actualPath, const ScanEntry& entry, qint64 assetIndex) {
  FileItem item;
  item.name = QString::fromStdString(entry.name);
  item.fullPath = joinChild(dir, item.name);
  item.assetIndex = assetIndex;
  if (entry.isDir) {
    item.isDir = true;
    item.size = 0;
    item.isEmpty = !hasVisibleEntry(joinChild(actualPath, item.name));
    item.iconData = kFolderIcon;
    item.iconDefault = kFolderIcon;
    item.iconDefaultSmall = kFolderIconSmall;
  } else {
    item.size = entry.size;
    item.isEmpty = entry.size == 0;
    item.iconData = kFileIcon;
    item.iconDefault = kFileIcon;
    item.iconDefaultSmall = kFileIconSmall;
    item.ext = extensionOf(item.name);
    item.typeDesection = item.ext;
    item.iPreview = 2;
  }
  item.createdTime = entry.createdMs;
  item.iChildDirCount = -1;
  item.iChildFileCount = -1;
  item.viewCount = 0;
  item.iValid = 1;
  item.tagPY = firstCharacter(item.name);
  return item;
}

FileListResult listFolder(const FileListRequest& request) {
  FileListResult out;
  const bool folders = request.kinds & kListFolders;
  const bool files = request.kinds & kListFiles;
  const NameFilter filter(request.search);

  if (request.probeCount == 1) {
    qint64 count = 0;
    if (folders && files) {
      count = countNames(request.listPath, filter);
    } else if (folders || files) {
      for (const ScanEntry& e : scanKinds(request.listPath, filter))
        if (e.isDir == folders) ++count;
    }
    out.index = QString::number(count);
    return out;
  }

  const FileOrder order = FileOrder::parse(request.orderBy);
  // Orders by name, by extension or by none need no sizes or dates: only the
  // entries of the page are looked at.
  const bool pageOnly = order.key != FileOrder::Key::createdTime && order.key != FileOrder::Key::size;
  std::vector<ScanEntry> dirs, plain;
  if (folders || files) {
    for (ScanEntry& e : pageOnly ? scanKinds(request.listPath, filter) : scanEntries(request.listPath, filter)) {
      if (e.isDir && folders)
        dirs.push_back(std::move(e));
      else if (!e.isDir && files)
        plain.push_back(std::move(e));
    }
  }
  const std::vector<uint32_t> dirOrder = sortedOrder(dirs, order);
  const std::vector<uint32_t> fileOrder = sortedOrder(plain, order);

  const qint64 count = qint64(dirs.size() + plain.size());
  const qint64 size = request.pageSize;
  const qint64 pages = size >= 1 ? count / size + (count % size != 0 ? 1 : 0) : 0;
  out.pageInfo = QString::number(count) + QLatin1Char('|') + QString::number(pages);
  // A page size below 1, a page before the first or past the last: no entries.
  if (size < 1 || request.pageIndex < 1 || request.pageIndex > pages) return out;
  const qint64 first = (request.pageIndex - 1) * size;  // pageIndex <= pages keeps this in range
  const qint64 last = std::min(first + size - 1, count - 1);
  for (qint64 pos = first; pos <= last; ++pos) {
    const bool isDir = pos < qint64(dirs.size());
    const uint32_t i = isDir ? dirOrder[size_t(pos)] : fileOrder[size_t(pos - qint64(dirs.size()))];
    ScanEntry& entry = isDir ? dirs[i] : plain[i];
    if (pageOnly) readAttributes(request.listPath, entry);
    out.items.append(fileItemFor(request.dir, request.listPath, entry, i));
  }
  return out;
}

bool isLargeFolder(const QString& path) {
  struct stat st {};
  if (stat(path.toUtf8().constData(), &st) != 0) return false;
  // A folder's own size grows with its entry count on the common file systems
  // (about 20-40 bytes per entry); 32 KiB is roughly a thousand entries.
  return st.st_size >= 32 * 1024;
}
