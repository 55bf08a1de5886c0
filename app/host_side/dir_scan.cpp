#include "host_side/dir_scan.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>

#include <QDateTime>
#include <algorithm>
#include <cmath>
#include <memory>

namespace {

bool isAscii(const std::string& text) {
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

bool NameFilter::keeps(const std::string& name) const {
  if (lower_.isEmpty()) return true;
  if (ascii_ && isAscii(name)) {
    if (lowerAscii_.size() > name.size()) return false;
    auto it = std::search(name.begin(), name.end(), lowerAscii_.begin(), lowerAscii_.end(),
                          [](char a, char b) { return lowerAscii(a) == b; });
    return it != name.end();
  }
  return QString::fromStdString(name).toLower().contains(lower_);
}

std::vector<std::string> scanNames(const QString& dir, const NameFilter& filter) {
  std::vector<std::string> names;
  DirHandle d = openFolder(dir);
  if (!d) return names;
  while (const dirent* e = readdir(d.get())) {
    if (isHidden(e->d_name)) continue;
    std::string name(e->d_name);
    if (filter.keeps(name)) names.push_back(std::move(name));
  }
  return names;
}

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
    struct statx st {};
    if (statx(fd, e->d_name, AT_STATX_SYNC_AS_STAT, kStatMask, &st) == 0) {
      entry.isDir = S_ISDIR(st.stx_mode);
      entry.size = entry.isDir ? 0 : int64_t(st.stx_size);
      entry.createdMs = statMillis(st, offset);
    } else {
      entry.createdMs = nowMillis(offset);  // gone, or a link to nothing
    }
    entries.push_back(std::move(entry));
  }
  return entries;
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
