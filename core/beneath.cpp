#include "core/beneath.h"

#include <QFile>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <deque>
#include <dirent.h>
#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>
#include <vector>

namespace beneath {

namespace {

// Whether the kernel resolves by openat2 here: a kernel before 5.6 lacks it
// (ENOSYS), and some sandboxes refuse the call itself (EPERM).
bool kernelHasOpenat2() {
  struct open_how how {};
  how.flags = O_PATH | O_CLOEXEC;
  how.resolve = RESOLVE_BENEATH | RESOLVE_NO_MAGICLINKS;
  const long fd = ::syscall(SYS_openat2, AT_FDCWD, ".", &how, sizeof how);
  if (fd >= 0) ::close(int(fd));
  return fd >= 0 || (errno != ENOSYS && errno != EPERM);
}

std::atomic_bool useOpenat2{kernelHasOpenat2()};

// Symbolic links followed in one resolution, as the kernel allows.
constexpr int kMaxLinks = 40;
// Retries when an entry turns into a link between looking and opening.
constexpr int kMaxRaces = 8;
// Folder depth removeEntry descends to.
constexpr int kMaxRemoveDepth = 256;

Fd failWith(int code, int* error) {
  if (error) *error = code;
  return Fd();
}

std::deque<QByteArray> componentsOf(const QByteArray& path) {
  std::deque<QByteArray> parts;
  for (const QByteArray& part : path.split('/'))
    if (!part.isEmpty() && part != ".") parts.push_back(part);
  return parts;
}

std::optional<QByteArray> readLink(int dirFd, const QByteArray& name) {
  QByteArray target(PATH_MAX, Qt::Uninitialized);
  const ssize_t n = ::readlinkat(dirFd, name.constData(), target.data(), size_t(target.size()));
  if (n < 0 || n >= target.size()) return std::nullopt;
  target.truncate(n);
  return target;
}

bool isLink(int dirFd, const QByteArray& name) {
  struct stat st {};
  return ::fstatat(dirFd, name.constData(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(st.st_mode);
}

// Where the folder `dirFd` is now, as the kernel names it.
QByteArray folderPath(int dirFd) {
  const QByteArray link = "/proc/self/fd/" + QByteArray::number(dirFd);
  QByteArray target(PATH_MAX, Qt::Uninitialized);
  const ssize_t n = ::readlink(link.constData(), target.data(), size_t(target.size()));
  if (n <= 0 || n >= target.size() || target[0] != '/') return {};
  target.truncate(n);
  return target;
}

// The part of an absolute link target below `base`, or nothing when the
// target is not `base` or below it.
std::optional<QByteArray> below(const QByteArray& target, const QByteArray& base) {
  if (base.isEmpty()) return std::nullopt;
  if (base == "/") return target.mid(1);
  if (target == base) return QByteArray();
  if (target.startsWith(base) && target.at(base.size()) == '/') return target.mid(base.size() + 1);
  return std::nullopt;
}

// The component-wise resolution: one descriptor per folder walked, so that
// ".." steps back to the folder actually walked through, and never past the
// first. An absolute link is followed only when it names the first folder or
// something below it (by that folder's present path); the walk then goes on
// from the first folder's descriptor.
Fd walk(int dirFd, const QByteArray& path, int flags, int* error) {
  std::vector<Fd> stack;
  stack.emplace_back(::openat(dirFd, ".", O_PATH | O_DIRECTORY | O_CLOEXEC));
  if (!stack.back()) return failWith(errno, error);
  std::deque<QByteArray> parts = componentsOf(path);
  int links = 0;
  int races = 0;
  QByteArray base;  // the first folder's path, once an absolute link needs it
  while (!parts.empty()) {
    const QByteArray part = parts.front();
    parts.pop_front();
    const int cur = stack.back().get();
    if (part == "..") {
      if (stack.size() == 1) return failWith(EXDEV, error);
      stack.pop_back();
      continue;
    }
    if (isLink(cur, part)) {
      if (++links > kMaxLinks) return failWith(ELOOP, error);
      const auto target = readLink(cur, part);
      if (!target || target->isEmpty()) return failWith(ENOENT, error);
      QByteArray relTarget = *target;
      if (target->startsWith('/')) {
        if (base.isEmpty()) base = folderPath(stack.front().get());
        const auto inside = below(*target, base);
        if (!inside) return failWith(EXDEV, error);
        stack.resize(1);
        relTarget = *inside;
      }
      const std::deque<QByteArray> more = componentsOf(relTarget);
      parts.insert(parts.begin(), more.begin(), more.end());
      continue;
    }
    const bool last = parts.empty();
    const int fd = ::openat(cur, part.constData(),
                            last ? (flags | O_NOFOLLOW | O_CLOEXEC) : (O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (fd < 0) {
      // Turned into a link since it was looked at: resolve it as one.
      if ((errno == ELOOP || errno == ENOTDIR) && ++races <= kMaxRaces && isLink(cur, part)) {
        parts.push_front(part);
        continue;
      }
      return failWith(errno, error);
    }
    Fd opened(fd);
    struct stat st {};
    if ((flags & O_PATH) && ::fstat(fd, &st) == 0 && S_ISLNK(st.st_mode)) {
      if (++races > kMaxRaces) return failWith(ELOOP, error);
      parts.push_front(part);
      continue;
    }
    if (last) return opened;
    stack.push_back(std::move(opened));
  }
  // The path ends at a folder walked to ("", ".", "a/..").
  const int fd = ::openat(stack.back().get(), ".", flags | O_CLOEXEC);
  if (fd < 0) return failWith(errno, error);
  return Fd(fd);
}

}  // namespace

Fd::~Fd() {
  if (fd_ >= 0) ::close(fd_);
}

Fd& Fd::operator=(Fd&& other) noexcept {
  if (this != &other) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = other.release();
  }
  return *this;
}

Fd Fd::duplicate() const { return Fd(fd_ >= 0 ? ::fcntl(fd_, F_DUPFD_CLOEXEC, 0) : -1); }

Fd openRoot(const QString& path, int* error) {
  if (path.isEmpty()) return failWith(ENOENT, error);
  const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return failWith(errno, error);
  return Fd(fd);
}

Fd open(int dirFd, const QString& rel, int flags, int* error) {
  if (flags & O_CREAT) return failWith(EINVAL, error);
  const QByteArray path = QFile::encodeName(rel);
  if (path.startsWith('/')) return failWith(EXDEV, error);
  if (path.contains('\0')) return failWith(EINVAL, error);
  const QByteArray text = path.isEmpty() ? QByteArrayLiteral(".") : path;
  if (useOpenat2.load(std::memory_order_relaxed)) {
    struct open_how how {};
    how.flags = uint64_t(flags | O_CLOEXEC);
    how.resolve = RESOLVE_BENEATH | RESOLVE_NO_MAGICLINKS;
    for (int attempt = 0; attempt < kMaxRaces; ++attempt) {
      const long fd = ::syscall(SYS_openat2, dirFd, text.constData(), &how, sizeof how);
      if (fd >= 0) return Fd(int(fd));
      if (errno == EAGAIN || errno == EINTR) continue;  // a rename raced with ".."
      // Refused as leaving the folder: an absolute link may still point
      // inside it, which the walk tells apart.
      if (errno == EXDEV) break;
      if (errno != ENOSYS) return failWith(errno, error);
      useOpenat2.store(false);
      break;
    }
    if (useOpenat2.load() && errno != EXDEV) return failWith(EAGAIN, error);
  }
  return walk(dirFd, text, flags, error);
}

std::optional<Entry> openParent(int dirFd, const QString& rel, int* error) {
  QByteArray path = QFile::encodeName(rel);
  while (path.endsWith('/')) path.chop(1);
  const qsizetype slash = path.lastIndexOf('/');
  Entry entry;
  entry.name = slash < 0 ? path : path.mid(slash + 1);
  if (entry.name.isEmpty() || entry.name == "." || entry.name == "..") {
    if (error) *error = EINVAL;
    return std::nullopt;
  }
  entry.folder = open(dirFd, slash < 0 ? QString() : QFile::decodeName(path.left(slash)), O_RDONLY | O_DIRECTORY,
                      error);
  if (!entry.folder) return std::nullopt;
  return entry;
}

Fd createExclusive(int folderFd, const QByteArray& name, mode_t mode, int* error) {
  const int fd = ::openat(folderFd, name.constData(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
  if (fd < 0) return failWith(errno, error);
  return Fd(fd);
}

int makeFolder(int folderFd, const QByteArray& name) {
  if (::mkdirat(folderFd, name.constData(), 0777) == 0) return 0;
  if (errno != EEXIST) return errno;
  struct stat st {};
  if (::fstatat(folderFd, name.constData(), &st, AT_SYMLINK_NOFOLLOW) != 0) return errno;
  return S_ISDIR(st.st_mode) ? 0 : ENOTDIR;
}

int renameIn(int folderFd, const QByteArray& from, const QByteArray& to) {
  return ::renameat(folderFd, from.constData(), folderFd, to.constData()) == 0 ? 0 : errno;
}

int renameNoReplace(int folderFd, const QByteArray& from, const QByteArray& to) {
  if (::renameat2(folderFd, from.constData(), folderFd, to.constData(), RENAME_NOREPLACE) == 0) return 0;
  if (errno != EINVAL) return errno;
  // A file system without RENAME_NOREPLACE: a hard link is just as exclusive.
  if (::linkat(folderFd, from.constData(), folderFd, to.constData(), 0) != 0) return errno;
  ::unlinkat(folderFd, from.constData(), 0);
  return 0;
}

namespace {

int removeAt(int folderFd, const QByteArray& name, int depth) {
  if (::unlinkat(folderFd, name.constData(), 0) == 0) return 0;
  if (errno != EISDIR && errno != EPERM) return errno;
  if (depth >= kMaxRemoveDepth) return ELOOP;
  const Fd folder(::openat(folderFd, name.constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (!folder) return errno;
  std::vector<QByteArray> names;
  {
    DIR* dir = ::fdopendir(folder.duplicate().release());
    if (!dir) return errno;
    while (const dirent* e = ::readdir(dir)) {
      const QByteArray child(e->d_name);
      if (child != "." && child != "..") names.push_back(child);
    }
    ::closedir(dir);
  }
  int first = 0;
  for (const QByteArray& child : names)
    if (const int r = removeAt(folder.get(), child, depth + 1); r != 0 && first == 0) first = r;
  if (first != 0) return first;
  return ::unlinkat(folderFd, name.constData(), AT_REMOVEDIR) == 0 ? 0 : errno;
}

}  // namespace

int removeEntry(int folderFd, const QByteArray& name) {
  if (name.isEmpty() || name == "." || name == ".." || name.contains('/')) return EINVAL;
  return removeAt(folderFd, name, 0);
}

bool usesOpenat2() { return useOpenat2.load(); }

void forceWalkForTesting(bool walkOnly) { useOpenat2.store(!walkOnly && kernelHasOpenat2()); }

}  // namespace beneath
