// The walk of the folders a download's checks found, in slices: each step()
// reads on, folder by folder, for about the time it is given (a folder once
// begun is read to its end), and keeps between steps only what it found and
// the folders still to read, no open descriptor. Every folder is opened
// beneath its share (core/beneath.h); links to folders are not followed.
// Bounded as a host's walk is: entries, depth and the time it ran.
#pragma once

#include "transfer_paths.h"

#include <QElapsedTimer>
#include <QList>

#include <atomic>
#include <chrono>
#include <memory>

namespace vantrel {

class PullWalk {
 public:
  // `folders`: each with its share and the path beneath it, and `local`, the
  // path the host's checks know it by. At most `maxEntries` are met in all.
  PullWalk(QList<TransferEntry> folders, qint64 maxEntries, int maxDepth, qint64 maxMs,
           std::shared_ptr<std::atomic_bool> stop);

  // Reads on for about `slice`; true once the walk is complete or a limit
  // (or `stop`) ended it (`error` then says which).
  bool step(std::chrono::milliseconds slice);

  // The files found so far (once complete, sorted by `rel`); the folders it
  // could not open; the limit that ended it.
  QList<TransferEntry> found;
  WalkUnread unread;
  QString error;

 private:
  struct Pending {
    QString rel;  // beneath the top folder ("" for itself)
    int depth = 0;
  };
  // Reads one folder of the current top folder whole; false when a limit ended the walk.
  bool readFolder(int top, const Pending& dir);

  QList<TransferEntry> folders_;
  qsizetype nextFolder_ = 0;
  QString name_;  // the current top folder's name, the first component of its entries
  QList<Pending> pending_;
  qint64 met_ = 0;
  QElapsedTimer clock_;  // of the step under way
  qint64 ranMs_ = 0;
  const qint64 maxEntries_;
  const int maxDepth_;
  const qint64 maxMs_;
  std::shared_ptr<std::atomic_bool> stop_;
};

}  // namespace vantrel
