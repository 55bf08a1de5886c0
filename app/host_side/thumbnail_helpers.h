// The client's pool of thumbnail helper processes (zarkelo-thumbnailer): started
// on demand, at most one per core (at least two), each answering one request
// at a time over a Unix socket pair that is its standard input and output.
// Two stay; the others end after a minute without work.
// A helper that crashes, breaks the protocol or outlasts the time limit is
// killed and forgotten; the next request starts a fresh one. A helper ends
// with the process that started it (a parent-death signal, set before it runs
// the helper program). Thread-safe: requests block, so they are made from
// worker threads.
#pragma once

#include <QByteArray>
#include <QList>
#include <QString>

#include <chrono>
#include <condition_variable>
#include <list>
#include <memory>
#include <mutex>
#include <thread>

#include "media/thumbnail_wire.h"

class ThumbnailHelpers {
 public:
  // The client's pool: the helper beside the running executable.
  static ThumbnailHelpers& shared();
  // How many helpers the client's pool runs at most: one per core, at least two.
  static int sharedCount();
  // The application is ending: the client's pool (when there is one) kills its
  // helpers and starts no more; requests from then on fail.
  static void endShared();

  static constexpr int kKeptHelpers = 2;
  static constexpr std::chrono::seconds kIdleEnd{60};

  ThumbnailHelpers(QString program, int maxHelpers, std::chrono::milliseconds idleEnd = kIdleEnd);
  ~ThumbnailHelpers();  // kills the helpers still running
  ThumbnailHelpers(const ThumbnailHelpers&) = delete;
  ThumbnailHelpers& operator=(const ThumbnailHelpers&) = delete;

  enum class Outcome { picture, text, none, failed };
  struct Result {
    Outcome outcome = Outcome::failed;
    QByteArray bytes;  // the PNG, or a probe's text
    // The helper's processor time for this request (also when it failed),
    // which the host counts against whoever asked.
    std::chrono::microseconds spent{0};
  };
  // Sends the request with `fd` (-1: none; the descriptor stays the caller's)
  // to an idle helper and waits at most `limit` for its reply. `failed` when
  // the helper could not be started or did not answer properly in time.
  Result request(const thumbwire::Request& request, int fd, std::chrono::milliseconds limit);

  int maxHelpers() const { return max_; }
  // Process ids of the running helpers (tests signal them).
  QList<qint64> pids() const;

 private:
  struct Helper {
    qint64 pid = -1;
    int socket = -1;
    bool busy = false;
    std::chrono::steady_clock::time_point idleSince;
  };
  // Starts one helper on the keeper thread, which lives as long as the pool:
  // the parent-death signal follows the thread that started the helper.
  struct Launch {
    bool done = false;
    Helper helper;
  };
  Helper* acquire();
  void end();
  void release(Helper* helper);
  void discard(Helper* helper, const char* reason);
  Helper start();
  static void stop(const Helper& helper, const char* reason);
  void keep();

  const QString program_;
  const int max_;
  mutable std::mutex mutex_;
  std::condition_variable freed_;
  std::list<Helper> helpers_;  // stable addresses while in use
  int starting_ = 0;
  const std::chrono::milliseconds idleEnd_;
  bool ending_ = false;
  std::list<std::shared_ptr<Launch>> launches_;  // helpers to start, oldest first
  std::condition_variable launched_;
  std::condition_variable wake_;
  std::thread keeper_;
};
