#include "host_side/file_listing.h"

#include <sys/stat.h>

#include <QTextBoundaryFinder>
#include <QtEndian>
#include <algorithm>
#include <cstring>
#include <deque>
#include <numeric>
#include <string_view>

#include "host_side/host_replies.h"
#include "host_side/path_guard.h"

namespace {

const QString kFolderIcon = QStringLiteral("/resource/folder.png");
const QString kFolderIconSmall = QStringLiteral("/resource/folder16.png");
const QString kFileIcon = QStringLiteral("/resource/file.png");
const QString kFileIconSmall = QStringLiteral("/resource/file16.png");

// Text sort key: UTF-8 bytes of the canonical (NFC) form, whose byte order is
// the code point order. Most names are ASCII and are their own key; the
// others are kept in `storage`, whose elements never move.
std::string_view textKey(std::string_view raw, std::deque<std::string>& storage) {
  if (isAscii(raw)) return raw;
  storage.push_back(
      QString::fromUtf8(raw.data(), qsizetype(raw.size())).normalized(QString::NormalizationForm_C).toStdString());
  return storage.back();
}

std::string_view extensionView(std::string_view name) {
  const auto dot = name.rfind('.');
  if (dot == std::string_view::npos) return {};
  return name.substr(dot + 1);
}

// One entry in the selection: its listing position and a number that orders
// it as its key does, as far as the number can tell.
struct Rank {
  uint64_t head;
  uint32_t index;
};

// The listing positions of the ranked entries at sorted positions [from, to)
// of one kind. `tieBreak(a, b)` orders two listing positions whose heads are
// equal, by the rest of their keys and then by listing position. Only the
// slice asked for is put in order: a page of a big folder costs a linear
// selection, not a sort of the whole folder.
template <class TieBreak>
std::vector<uint32_t> rankSlice(std::vector<Rank>& ranks, bool ascending, size_t from, size_t to, TieBreak tieBreak) {
  const auto less = [ascending, &tieBreak](Rank a, Rank b) {
    if (!ascending) std::swap(a, b);
    if (a.head != b.head) return a.head < b.head;
    return tieBreak(a.index, b.index);
  };
  const auto begin = ranks.begin();
  if (from > 0) std::nth_element(begin, begin + ptrdiff_t(from), ranks.end(), less);
  if (to < ranks.size()) std::nth_element(begin + ptrdiff_t(from), begin + ptrdiff_t(to), ranks.end(), less);
  std::sort(begin + ptrdiff_t(from), begin + ptrdiff_t(to), less);
  std::vector<uint32_t> order;
  order.reserve(to - from);
  for (size_t pos = from; pos < to; ++pos) order.push_back(ranks[pos].index);
  return order;
}

// Ascending sorts by key with ties in listing order, which is what a stable
// sort gives; any other direction is the exact reverse of that.
std::vector<uint32_t> numberSlice(const std::vector<int64_t>& keys, bool ascending, size_t from, size_t to) {
  std::vector<Rank> ranks(keys.size());
  for (uint32_t i = 0; i < keys.size(); ++i)
    ranks[i] = {uint64_t(keys[i]) ^ (uint64_t(1) << 63), i};  // the signed order as unsigned
  return rankSlice(ranks, ascending, from, to, [](uint32_t a, uint32_t b) { return a < b; });
}

// The same for text keys, compared as bytes. The head holds the 8 bytes after
// the prefix every key shares, so that most comparisons are of numbers.
std::vector<uint32_t> textSlice(const std::vector<std::string_view>& keys, bool ascending, size_t from, size_t to) {
  size_t shared = keys.empty() ? 0 : keys.front().size();
  for (std::string_view key : keys) {
    // An empty view may hold no pointer at all: memcmp must not see it.
    if (key.size() >= shared && (shared == 0 || std::memcmp(key.data(), keys.front().data(), shared) == 0)) continue;
    shared = std::min(shared, key.size());
    shared = size_t(std::mismatch(key.begin(), key.begin() + ptrdiff_t(shared), keys.front().begin()).first -
                    key.begin());
  }
  const size_t headEnd = shared + 8;
  std::vector<Rank> ranks(keys.size());
  for (uint32_t i = 0; i < keys.size(); ++i) {
    // Big-endian and zero-padded: a key that ends comes first. Names hold no
    // NUL byte, so equal heads mean the same bytes up to headEnd.
    uchar bytes[8] = {};
    const size_t rest = keys[i].size() > shared ? keys[i].size() - shared : 0;
    if (rest >= 8)
      std::memcpy(bytes, keys[i].data() + shared, 8);
    else if (rest > 0)
      std::memcpy(bytes, keys[i].data() + shared, rest);
    ranks[i] = {qFromBigEndian<quint64>(bytes), i};
  }
  return rankSlice(ranks, ascending, from, to, [&keys, headEnd](uint32_t a, uint32_t b) {
    // Equal heads: both keys go on past the head, or both end
    // at the same place.
    const std::string_view restA = keys[a].substr(std::min(headEnd, keys[a].size()));
    const std::string_view restB = keys[b].substr(std::min(headEnd, keys[b].size()));
    const int c = restA.compare(restB);
    return c < 0 || (c == 0 && a < b);
  });
}

// No key: the reverse of the listing order.
std::vector<uint32_t> reversedSlice(size_t count, size_t from, size_t to) {
  std::vector<uint32_t> order;
  order.reserve(to - from);
  for (size_t pos = from; pos < to; ++pos) order.push_back(uint32_t(count - 1 - pos));
  return order;
}

// The slice [from, to) of entries known by name only: by name, by extension
// or in no order.
std::vector<uint32_t> nameSlice(const std::vector<std::string_view>& names, const FileOrder& order, size_t from,
                                size_t to) {
  if (order.key != FileOrder::Key::name && order.key != FileOrder::Key::ext)
    return reversedSlice(names.size(), from, to);
  std::deque<std::string> storage;
  std::vector<std::string_view> keys;
  keys.reserve(names.size());
  const bool byExt = order.key == FileOrder::Key::ext;
  for (std::string_view name : names) keys.push_back(textKey(byExt ? extensionView(name) : name, storage));
  return textSlice(keys, order.ascending, from, to);
}

// The slice [from, to) of entries with their attributes, in any order.
std::vector<uint32_t> entrySlice(const std::vector<ScanEntry>& entries, const FileOrder& order, size_t from,
                                 size_t to) {
  if (order.key == FileOrder::Key::createdTime || order.key == FileOrder::Key::size) {
    std::vector<int64_t> keys;
    keys.reserve(entries.size());
    for (const ScanEntry& e : entries) keys.push_back(order.key == FileOrder::Key::size ? e.size : e.createdMs);
    return numberSlice(keys, order.ascending, from, to);
  }
  std::vector<std::string_view> names;
  names.reserve(entries.size());
  for (const ScanEntry& e : entries) names.push_back(e.name);
  return nameSlice(names, order, from, to);
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
  const std::vector<uint32_t> positions = entrySlice(entries, order, 0, entries.size());
  std::vector<ScanEntry> sorted;
  sorted.reserve(entries.size());
  for (uint32_t i : positions) sorted.push_back(std::move(entries[i]));
  entries = std::move(sorted);
}

QString extensionOf(const QString& name) {
  const qsizetype dot = name.lastIndexOf(QLatin1Char('.'));
  return dot < 0 ? QString() : name.mid(dot + 1);
}

ScanFolder FileListRequest::scanFolder() const {
  return ScanFolder{folder ? folder->get() : -1, root ? root->get() : -1, rel};
}

void FileListRequest::setLocalFolder(const QString& path) {
  auto fd = std::make_shared<const beneath::Fd>(beneath::openRoot(path));
  folder = fd;
  root = fd;
  rel.clear();
}

FileItem fileItemFor(const QString& dir, const ScanFolder& folder, const ScanEntry& entry, qint64 assetIndex) {
  FileItem item;
  item.name = QString::fromStdString(entry.name);
  item.fullPath = joinChild(dir, item.name);
  item.assetIndex = assetIndex;
  if (entry.isDir) {
    item.isDir = true;
    item.size = 0;
    item.isEmpty = !hasVisibleEntry(folder, item.name);
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

namespace {

// Pages the sorted folders followed by the sorted files. `slice(isDir, from,
// to)` gives the listing positions of one kind's sorted positions [from, to);
// `entryAt(isDir, i)` the entry at listing position i, with its attributes.
template <class Slice, class EntryAt>
FileListResult pageOf(const FileListRequest& request, size_t folderCount, size_t fileCount, Slice slice,
                      EntryAt entryAt) {
  FileListResult out;
  const qint64 count = qint64(folderCount + fileCount);
  const qint64 size = request.pageSize;
  const qint64 pages = size >= 1 ? count / size + (count % size != 0 ? 1 : 0) : 0;
  out.pageInfo = QString::number(count) + QLatin1Char('|') + QString::number(pages);
  // A page size below 1, a page before the first or past the last: no entries.
  if (size < 1 || request.pageIndex < 1 || request.pageIndex > pages) return out;
  const qint64 first = (request.pageIndex - 1) * size;  // pageIndex <= pages keeps this in range
  const size_t from = size_t(first);
  const size_t to = size_t(std::min(first + size - 1, count - 1)) + 1;
  if (from < folderCount)
    for (uint32_t i : slice(true, from, std::min(to, folderCount)))
      out.items.append(fileItemFor(request.dir, request.scanFolder(), entryAt(true, i), i));
  if (to > folderCount)
    for (uint32_t i : slice(false, std::max(from, folderCount) - folderCount, to - folderCount))
      out.items.append(fileItemFor(request.dir, request.scanFolder(), entryAt(false, i), i));
  return out;
}

FileListResult failedListing(int error) {
  FileListResult out;
  out.result = failureReason(error);
  return out;
}

}  // namespace

FileListResult listFolder(const FileListRequest& request) {
  if (request.failure) return failedListing(request.failure);
  const bool folders = request.kinds & kListFolders;
  const bool files = request.kinds & kListFiles;
  const NameFilter filter(request.search);

  if (request.probeCount == 1) {
    FileListResult out;
    qint64 count = 0;
    int error = 0;
    if (folders && files) {
      count = countNames(request.scanFolder(), filter, &error);
    } else if (folders || files) {
      const FolderNames names(request.scanFolder(), filter);
      count = qint64(folders ? names.folders().size() : names.files().size());
      error = names.error();
    }
    if (error) return failedListing(error);
    out.index = QString::number(count);
    return out;
  }

  const FileOrder order = FileOrder::parse(request.orderBy);
  if (order.key == FileOrder::Key::createdTime || order.key == FileOrder::Key::size) {
    // These orders need every entry's attributes.
    std::vector<ScanEntry> dirs, plain;
    if (folders || files) {
      int error = 0;
      for (ScanEntry& e : scanEntries(request.scanFolder(), filter, &error)) {
        if (e.isDir && folders)
          dirs.push_back(std::move(e));
        else if (!e.isDir && files)
          plain.push_back(std::move(e));
      }
      if (error) return failedListing(error);
    }
    return pageOf(
        request, dirs.size(), plain.size(),
        [&](bool isDir, size_t from, size_t to) { return entrySlice(isDir ? dirs : plain, order, from, to); },
        [&](bool isDir, uint32_t i) -> const ScanEntry& { return isDir ? dirs[i] : plain[i]; });
  }

  // By name, by extension or in no order, the folder's own entries tell
  // everything the order needs: only the page's entries are looked at.
  const FolderNames names(folders || files ? request.scanFolder() : ScanFolder{}, filter);
  if (names.error()) return failedListing(names.error());
  static const std::vector<std::string_view> kNone;
  const std::vector<std::string_view>& dirs = folders ? names.folders() : kNone;
  const std::vector<std::string_view>& plain = files ? names.files() : kNone;
  return pageOf(
      request, dirs.size(), plain.size(),
      [&](bool isDir, size_t from, size_t to) { return nameSlice(isDir ? dirs : plain, order, from, to); },
      [&](bool isDir, uint32_t i) {
        ScanEntry entry;
        entry.name = isDir ? dirs[i] : plain[i];
        entry.isDir = isDir;
        names.readAttributes(entry);
        return entry;
      });
}

bool isLargeFolder(const FileListRequest& request) {
  struct stat st {};
  if (!request.folder || fstat(request.folder->get(), &st) != 0) return false;
  // A folder's own size grows with its entry count on the common file systems
  // (about 20-40 bytes per entry); 32 KiB is roughly a thousand entries.
  return st.st_size >= 32 * 1024;
}
