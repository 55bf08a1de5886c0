#include "host_side/dir_scan.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>

#include <QDateTime>
#include <algorithm>
#include <cmath>
#include <memory>

namespace {

bool isAscii(std::string_view text) {
  for (unsigned char c : text)
    if (c >= 0x80) return false;
  return true;
}

char lowerAscii(char c) { return (c >= 'A' && c <= 'Z') ? char(c + 32) : c; }

bool isHidden(const char* name) { return name[0] == '.'; }

struct DirCloser {
  void operator()(DIR* d) const { closedir(d); }
};
using DirHandle = std::unique_ptr<DIR, DirCloser>;

DirHandle openFolder(const QString& dir) {
  if (dir.isEmpty()) return nullptr;
  return DirHandle(opendir(dir.toUtf8().constData()));
}

// Local wall-clock offset from UTC, in seconds, at the moment of the call.
int64_t localOffsetSeconds() { return QDateTime::currentDateTime().offsetFromUtc(); }

int64_t toLocalMillis(int64_t sec, uint32_t nsec, int64_t offset) {
  const double seconds = double(sec + offset) + double(nsec) / 1e9;
  return int64_t(std::llround(seconds * 1000.0));
}

// Creation time when the file system keeps one, else the last modification.
int64_t statMillis(const struct statx& st, int64_t offset) {
  if (st.stx_mask & STATX_BTIME) return toLocalMillis(st.stx_btime.tv_sec, st.stx_btime.tv_nsec, offset);
  return toLocalMillis(st.stx_mtime.tv_sec, st.stx_mtime.tv_nsec, offset);
}

int64_t nowMillis(int64_t offset) { return (QDateTime::currentSecsSinceEpoch() + offset) * 1000; }

constexpr unsigned kStatMask = STATX_TYPE | STATX_SIZE | STATX_BTIME | STATX_MTIME;

}  // namespace

NameFilter::NameFilter(const QString& search) : lower_(search.toLower()) {
  const std::string utf8 = lower_.toStdString();
  ascii_ = isAscii(utf8);
  lowerAscii_ = utf8;
}

bool NameFilter::keeps(std::string_view name) const {
  if (lower_.isEmpty()) return true;
  if (ascii_ && isAscii(name)) {
    if (lowerAscii_.size() > name.size()) return false;
    auto it = std::search(name.begin(), name.end(), lowerAscii_.begin(), lowerAscii_.end(),
                          [](char a, char b) { return lowerAscii(a) == b; });
    return it != name.end();
  }
  return QString::fromUtf8(name.data(), qsizetype(name.size())).toLower().contains(lower_);
}

int64_t countNames(const QString& dir, const NameFilter& filter) {
  int64_t count = 0;
  DirHandle d = openFolder(dir);
  if (!d) return count;
  while (const dirent* e = readdir(d.get()))
    if (!isHidden(e->d_name) && filter.keeps(e->d_name)) ++count;
  return count;
}

namespace {

// Kind, size and date of one entry of the open folder `fd`, links followed.
void statEntry(int fd, ScanEntry& entry, int64_t offset) {
  struct statx st {};
  if (statx(fd, entry.name.c_str(), AT_STATX_SYNC_AS_STAT, kStatMask, &st) == 0) {
    entry.isDir = S_ISDIR(st.stx_mode);
    entry.size = entry.isDir ? 0 : int64_t(st.stx_size);
    entry.createdMs = statMillis(st, offset);
  } else {
    entry.isDir = false;
    entry.size = 0;
    entry.createdMs = nowMillis(offset);  // gone, or a link to nothing
  }
}

}  // namespace

std::vector<ScanEntry> scanEntries(const QString& dir, const NameFilter& filter) {
  std::vector<ScanEntry> entries;
  DirHandle d = openFolder(dir);
  if (!d) return entries;
  const int fd = dirfd(d.get());
  const int64_t offset = localOffsetSeconds();
  while (const dirent* e = readdir(d.get())) {
    if (isHidden(e->d_name)) continue;
    ScanEntry entry;
    entry.name = e->d_name;
    if (!filter.keeps(entry.name)) continue;
    statEntry(fd, entry, offset);
    entries.push_back(std::move(entry));
  }
  return entries;
}

std::vector<ScanEntry> scanKinds(const QString& dir, const NameFilter& filter) {
  std::vector<ScanEntry> entries;
  DirHandle d = openFolder(dir);
  if (!d) return entries;
  const int fd = dirfd(d.get());
  while (const dirent* e = readdir(d.get())) {
    if (isHidden(e->d_name)) continue;
    ScanEntry entry;
    entry.name = e->d_name;
    if (!filter.keeps(entry.name)) continue;
    if (e->d_type == DT_DIR) {
      entry.isDir = true;
    } else if (e->d_type == DT_LNK || e->d_type == DT_UNKNOWN) {
      struct statx st {};
      entry.isDir = statx(fd, e->d_name, AT_STATX_SYNC_AS_STAT, STATX_TYPE, &st) == 0 && S_ISDIR(st.stx_mode);
    }
    entries.push_back(std::move(entry));
  }
  return entries;
}

void readAttributes(const QString& dir, ScanEntry& entry) {
  const int64_t offset = localOffsetSeconds();
  const QByteArray path = dir.toUtf8() + '/' + QByteArray::fromStdString(entry.name);
  struct statx st {};
  if (statx(AT_FDCWD, path.constData(), AT_STATX_SYNC_AS_STAT, kStatMask, &st) != 0) {
    entry.size = 0;
    entry.createdMs = nowMillis(offset);  // gone, or a link to nothing
    return;
  }
  // The kind stays the one the entry was sorted by.
  entry.size = entry.isDir ? 0 : int64_t(st.stx_size);
  entry.createdMs = statMillis(st, offset);
}

bool hasVisibleEntry(const QString& dir) {
  DirHandle d = openFolder(dir);
  if (!d) return false;
  while (const dirent* e = readdir(d.get()))
    if (!isHidden(e->d_name)) return true;
  return false;
}

int64_t creationMillis(const QString& path) {
  const int64_t offset = localOffsetSeconds();
  struct statx st {};
  if (statx(AT_FDCWD, path.toUtf8().constData(), AT_STATX_SYNC_AS_STAT, kStatMask, &st) != 0) return nowMillis(offset);
  return statMillis(st, offset);
}
