#include "host_side/dir_scan.h"

#include "core/beneath.h"

#include <dirent.h>
#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QDateTime>
#include <algorithm>
#include <cmath>
#include <cstring>

namespace {

char lowerAscii(char c) { return (c >= 'A' && c <= 'Z') ? char(c + 32) : c; }

// A descriptor of its own for the scanned folder, read from its start; -1
// for no folder, and with `error` set when it could not be opened.
int openFolder(const ScanFolder& dir, int* error) {
  if (dir.fd < 0) return -1;
  const int fd = ::openat(dir.fd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0 && error) *error = errno;
  return fd;
}

QString childRel(const QString& rel, std::string_view name) {
  const QString child = QString::fromUtf8(name.data(), qsizetype(name.size()));
  return rel.isEmpty() ? child : rel + QLatin1Char('/') + child;
}

// Looks at `name` in the open folder `fd`: an entry as itself, a symbolic
// link by what it leads to beneath the share's root. False when there is
// nothing to look at (gone, or a link that leaves the share).
bool lookAt(int fd, int rootFd, const QString& rel, const char* name, unsigned mask, struct statx& st) {
  if (statx(fd, name, AT_STATX_SYNC_AS_STAT | AT_SYMLINK_NOFOLLOW, mask | STATX_TYPE, &st) != 0) return false;
  if (!S_ISLNK(st.stx_mode)) return true;
  if (rootFd < 0) return false;
  const beneath::Fd target = beneath::open(rootFd, childRel(rel, name), O_PATH);
  return target && statx(target.get(), "", AT_STATX_SYNC_AS_STAT | AT_EMPTY_PATH, mask | STATX_TYPE, &st) == 0;
}

constexpr size_t kBatchBytes = 64 * 1024;

// Reads the next batch of directory entries of the open folder `fd` into
// `batch` (kBatchBytes); 0 at the end or when the folder can no longer be
// read (then with `error` set).
size_t readBatch(int fd, char* batch, int* error) {
  const ssize_t got = ::getdents64(fd, batch, kBatchBytes);
  if (got < 0 && error) *error = errno;
  return got > 0 ? size_t(got) : 0;
}

// Calls `visit(name, d_type)` for each visible entry of a batch, in the order
// the file system gives them, until it returns false (then returns false).
template <class Visit>
bool visitBatch(const char* batch, size_t bytes, Visit&& visit) {
  for (size_t pos = 0; pos < bytes;) {
    const auto* e = reinterpret_cast<const dirent64*>(batch + pos);
    pos += e->d_reclen;
    if (e->d_name[0] == '.') continue;  // hidden, and "." and ".."
    if (!visit(std::string_view(e->d_name), e->d_type)) return false;
  }
  return true;
}

// Every visible entry of the open folder `fd`, straight from the kernel in
// large batches; `name` lives until `visit` returns.
template <class Visit>
void forEachVisible(int fd, Visit visit, int* error = nullptr) {
  const std::unique_ptr<char[]> batch(new char[kBatchBytes]);
  while (const size_t bytes = readBatch(fd, batch.get(), error))
    if (!visitBatch(batch.get(), bytes, visit)) return;
}

struct FdCloser {
  int fd;
  ~FdCloser() {
    if (fd >= 0) ::close(fd);
  }
};

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

// Size and date of `name` in the open folder `fd`, links followed. With
// `setKind` the kind is taken from the same read; an entry that cannot be
// read is a file of size 0 created now.
void statEntry(int fd, int rootFd, const QString& rel, const char* name, ScanEntry& entry, int64_t offset,
               bool setKind) {
  struct statx st {};
  if (lookAt(fd, rootFd, rel, name, kStatMask, st)) {
    if (setKind) entry.isDir = S_ISDIR(st.stx_mode);
    entry.size = entry.isDir ? 0 : int64_t(st.stx_size);
    entry.createdMs = statMillis(st, offset);
  } else {
    if (setKind) entry.isDir = false;
    entry.size = 0;
    entry.createdMs = nowMillis(offset);  // gone, or a link to nothing
  }
}

}  // namespace

bool isAscii(std::string_view text) {
  // Eight bytes at a time: names are read by the hundred thousand.
  uint64_t seen = 0;
  size_t i = 0;
  for (; i + 8 <= text.size(); i += 8) {
    uint64_t word;
    std::memcpy(&word, text.data() + i, 8);
    seen |= word;
  }
  for (; i < text.size(); ++i) seen |= uint8_t(text[i]);
  return (seen & 0x8080808080808080ull) == 0;
}

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

FolderNames::FolderNames(const ScanFolder& dir, const NameFilter& filter)
    : fd_(openFolder(dir, &error_)), rootFd_(dir.rootFd), rel_(dir.rel) {
  if (fd_ < 0) return;
  // A batch that holds a kept name is kept as read: the names are used where
  // the kernel put them (each ends in a NUL there).
  std::unique_ptr<char[]> batch;
  while (true) {
    if (!batch) batch.reset(new char[kBatchBytes]);
    const size_t bytes = readBatch(fd_, batch.get(), &error_);
    if (bytes == 0) break;
    const size_t keptBefore = folders_.size() + files_.size();
    visitBatch(batch.get(), bytes, [&](std::string_view name, unsigned char type) {
      if (!filter.keeps(name)) return true;
      bool isDir = type == DT_DIR;
      if (type == DT_LNK || type == DT_UNKNOWN) {
        struct statx st {};
        isDir = lookAt(fd_, rootFd_, rel_, name.data(), STATX_TYPE, st) && S_ISDIR(st.stx_mode);
      }
      (isDir ? folders_ : files_).push_back(name);
      return true;
    });
    if (folders_.size() + files_.size() > keptBefore) batches_.push_back(std::move(batch));
  }
}

FolderNames::~FolderNames() {
  if (fd_ >= 0) ::close(fd_);
}

void FolderNames::readAttributes(ScanEntry& entry) const {
  // The kind stays the one the entry was sorted by.
  statEntry(fd_, rootFd_, rel_, entry.name.c_str(), entry, localOffsetSeconds(), false);
}

int64_t countNames(const ScanFolder& dir, const NameFilter& filter, int* error) {
  const FdCloser folder{openFolder(dir, error)};
  if (folder.fd < 0) return 0;
  int64_t count = 0;
  forEachVisible(folder.fd, [&](std::string_view name, unsigned char) {
    if (filter.keeps(name)) ++count;
    return true;
  }, error);
  return count;
}

std::vector<ScanEntry> scanEntries(const ScanFolder& dir, const NameFilter& filter, int* error) {
  std::vector<ScanEntry> entries;
  const FdCloser folder{openFolder(dir, error)};
  if (folder.fd < 0) return entries;
  const int64_t offset = localOffsetSeconds();
  forEachVisible(folder.fd, [&](std::string_view name, unsigned char) {
    if (!filter.keeps(name)) return true;
    ScanEntry entry;
    entry.name = name;
    statEntry(folder.fd, dir.rootFd, dir.rel, entry.name.c_str(), entry, offset, true);
    entries.push_back(std::move(entry));
    return true;
  }, error);
  return entries;
}

bool hasVisibleEntry(const ScanFolder& dir, const QString& name) {
  const QString rel = dir.rel.isEmpty() ? name : dir.rel + QLatin1Char('/') + name;
  const FdCloser folder{dir.rootFd >= 0 ? beneath::open(dir.rootFd, rel, O_RDONLY | O_DIRECTORY).release() : -1};
  if (folder.fd < 0) return false;
  bool found = false;
  forEachVisible(folder.fd, [&](std::string_view, unsigned char) {
    found = true;
    return false;
  });
  return found;
}
