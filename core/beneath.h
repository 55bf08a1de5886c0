// Files and folders reached beneath an open folder, never above it: the one
// path resolution for everything the host side and the bridge do on a peer's
// behalf. A relative path is resolved by the kernel from the folder's
// descriptor (openat2 with RESOLVE_BENEATH | RESOLVE_NO_MAGICLINKS), or, where
// openat2 is missing, component by component with O_NOFOLLOW, each symbolic
// link read and resolved by the same rules. A link that stays beneath is
// followed, an absolute one too when it names the folder (by the folder's
// present path) or something below it; a link that leads elsewhere, or a ".."
// that would climb above the folder, is refused with EXDEV. Nothing here re-resolves a path text later: callers keep
// the descriptors they were given.
#pragma once

#include <QByteArray>
#include <QString>

#include <optional>
#include <sys/types.h>

namespace beneath {

// Owns one descriptor; -1 when empty.
class Fd {
 public:
  Fd() = default;
  explicit Fd(int fd) : fd_(fd) {}
  ~Fd();
  Fd(Fd&& other) noexcept : fd_(other.release()) {}
  Fd& operator=(Fd&& other) noexcept;
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;

  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }
  explicit operator bool() const { return valid(); }
  int release() {
    const int fd = fd_;
    fd_ = -1;
    return fd;
  }
  // A second descriptor of the same open file (close-on-exec).
  Fd duplicate() const;

 private:
  int fd_ = -1;
};

// Opens a folder or file that this machine's user chose (a share's root, a
// download folder) to resolve beneath; its own path is followed as given.
Fd openRoot(const QString& path, int* error = nullptr);

// Opens `rel` beneath the folder `dirFd`. `rel` is "/"-separated, relative
// ("" or "." is the folder itself); `flags` are open(2) flags without O_CREAT
// (O_CLOEXEC is added). On failure the result is empty and `error` holds the
// errno value (EXDEV: it would leave the folder).
Fd open(int dirFd, const QString& rel, int flags, int* error = nullptr);

// The folder holding the last component of `rel`, opened beneath `dirFd`
// (O_RDONLY | O_DIRECTORY), and that component, which is never followed. An
// empty last component, "." or ".." is refused (EINVAL): the folder itself is
// never its own entry.
struct Entry {
  Fd folder;
  QByteArray name;
};
std::optional<Entry> openParent(int dirFd, const QString& rel, int* error = nullptr);

// A new file `name` in the folder `folderFd`, opened for writing: never an
// existing name and never through a link (EEXIST).
Fd createExclusive(int folderFd, const QByteArray& name, mode_t mode = 0666, int* error = nullptr);

// The folder `name` in `folderFd` made when missing. 0 when a real folder is
// there afterwards, else the errno value (ENOTDIR for a file or a link).
int makeFolder(int folderFd, const QByteArray& name);

// `from` renamed to `to` in the one folder `folderFd`, replacing `to`.
// 0 or the errno value.
int renameIn(int folderFd, const QByteArray& from, const QByteArray& to);
// The same, never replacing: EEXIST when `to` is there.
int renameNoReplace(int folderFd, const QByteArray& from, const QByteArray& to);

// Removes the entry `name` of `folderFd`: a file or a link as itself, a folder
// with everything in it, every sub-folder reached by descriptor and no link
// ever followed. 0 or the errno value of the first failure.
int removeEntry(int folderFd, const QByteArray& name);

// Whether paths are resolved by openat2 (false where the kernel lacks it, or
// after forceWalkForTesting(true)).
bool usesOpenat2();
void forceWalkForTesting(bool walk);

}  // namespace beneath
