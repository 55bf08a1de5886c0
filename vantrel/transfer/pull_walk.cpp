#include "pull_walk.h"

#include <QFile>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace vantrel {

PullWalk::PullWalk(QList<TransferEntry> folders, qint64 maxEntries, int maxDepth, qint64 maxMs,
                   std::shared_ptr<std::atomic_bool> stop)
    : folders_(std::move(folders)), maxEntries_(maxEntries), maxDepth_(maxDepth), maxMs_(maxMs), stop_(std::move(stop)) {}

bool PullWalk::step(std::chrono::milliseconds slice) {
  clock_.start();
  const auto finish = [this](bool complete) {
    ranMs_ += clock_.elapsed();
    return complete;
  };
  for (;;) {
    if (pending_.isEmpty()) {
      if (nextFolder_ >= folders_.size()) {
        // Parents before children, in a stable order.
        std::sort(found.begin(), found.end(),
                  [](const TransferEntry& a, const TransferEntry& b) { return a.rel < b.rel; });
        return finish(true);
      }
      name_ = lastComponent(folders_[nextFolder_].local);
      pending_.append(Pending{QString(), 0});
      ++nextFolder_;
    }
    // Read through the folder the check found, opened beneath its share;
    // every file found is checked (and opened beneath the share) again.
    const TransferEntry& folder = folders_[nextFolder_ - 1];
    int openError = 0;
    const beneath::Fd top = folder.share
                                ? beneath::open(folder.share->get(), folder.shareRel, O_RDONLY | O_DIRECTORY, &openError)
                                : beneath::Fd();
    if (!top) {
      unread.note(folder.share ? openError : ENOENT);
      pending_.clear();
      continue;
    }
    while (!pending_.isEmpty()) {
      if (!readFolder(top.get(), pending_.takeLast())) return finish(true);
      if (clock_.elapsed() >= slice.count()) return finish(false);
    }
  }
}

bool PullWalk::readFolder(int top, const Pending& dir) {
  int openError = 0;
  beneath::Fd fd = beneath::open(top, dir.rel, O_RDONLY | O_DIRECTORY, &openError);
  // A folder that cannot be read is told, not taken as empty; one gone since
  // it was listed is not there.
  if (!fd) {
    if (openError != ENOENT) unread.note(openError);
    return true;
  }
  DIR* const stream = ::fdopendir(fd.get());
  if (!stream) {
    unread.note(errno);
    return true;
  }
  fd.release();
  const std::unique_ptr<DIR, int (*)(DIR*)> closing(stream, ::closedir);
  const int folderFd = ::dirfd(stream);
  const QString rel = dir.rel.isEmpty() ? name_ : name_ + QLatin1Char('/') + dir.rel;
  const QString& base = folders_[nextFolder_ - 1].local;
  const QString local = dir.rel.isEmpty() ? base : base + QLatin1Char('/') + dir.rel;
  while (const dirent* e = ::readdir(stream)) {
    if (std::strcmp(e->d_name, ".") == 0 || std::strcmp(e->d_name, "..") == 0) continue;
    if (++met_ > maxEntries_) {
      error = QStringLiteral("too many entries");
      return false;
    }
    if ((met_ & 255) == 0 && ((stop_ && stop_->load()) || ranMs_ + clock_.elapsed() > maxMs_)) {
      error = QStringLiteral("the folder takes too long to read");
      return false;
    }
    bool isDir = e->d_type == DT_DIR, isFile = false;
    qint64 size = 0;
    if (!isDir) {
      struct stat st {};
      if (::fstatat(folderFd, e->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0) continue;
      // A link is taken for the file it names; a link to a folder is not followed.
      if (S_ISLNK(st.st_mode) && ::fstatat(folderFd, e->d_name, &st, 0) == 0 && S_ISDIR(st.st_mode)) continue;
      isDir = S_ISDIR(st.st_mode);
      isFile = S_ISREG(st.st_mode);
      size = st.st_size;
    }
    const QString name = QFile::decodeName(e->d_name);
    if (isDir) {
      if (dir.depth + 1 > maxDepth_) {
        error = QStringLiteral("the folder is nested too deeply");
        return false;
      }
      pending_.append(Pending{dir.rel.isEmpty() ? name : dir.rel + QLatin1Char('/') + name, dir.depth + 1});
    } else if (isFile) {
      found.append(TransferEntry{rel + QLatin1Char('/') + name, size, false, local + QLatin1Char('/') + name});
    }
  }
  return true;
}

}  // namespace vantrel
