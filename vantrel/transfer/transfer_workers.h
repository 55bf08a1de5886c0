// The slow file work of a transfer, off the main thread: reading and hashing
// ahead of the sender, writing and hashing behind the receiver.
#pragma once

#include "transfer_files.h"

#include <QObject>
#include <QPointer>

#include <atomic>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>

namespace vantrel {

// Where the worker jobs post their results: a plain object on the context's
// thread that lives as long as any job holding it. The jobs never test the
// context itself from their thread (it may be deleted between the test and the
// post); the context is tested in the posted call, on its own thread.
struct WorkerMailbox {
  static std::shared_ptr<QObject> make();
};

// Reads a source file ahead of the sender on a worker thread: chunks are read
// and hashed in order, one job at a time, into a short queue that the main
// thread takes from. The file's change checks run with each read. The file
// is closed as soon as its last chunk (or a failure) is read.
class SourceReader {
 public:
  struct Chunk {
    qint64 offset = 0;
    QByteArray bytes;
    bool last = false;     // the file's last chunk: `sum` holds its check (hex)
    QString sum;
    QString why;           // not empty: the read failed and `bytes` is empty
    bool changed = false;  // ... because the file changed under the reader
    bool unread = false;   // ... because this process may not open or read it (not gone, not changed)
  };

  // `ready` runs on `context`'s thread whenever a chunk has arrived.
  SourceReader(std::unique_ptr<SourceFile> file, qint64 chunkBytes, QObject* context, std::function<void()> ready);
  // The same for `entry`, opened (and checked with `sum`) by the first read
  // on the worker, so that a file read in one job (a small one) is open only
  // there. A file that cannot be opened gives a failed chunk: `changed` when
  // it no longer has its size. `slot`, the file's place among the open
  // files, is given back when the file is closed.
  SourceReader(const TransferEntry& entry, SumKind sum, qint64 chunkBytes, QObject* context,
               std::function<void()> ready, FileSlots::SlotPtr slot = {});
  SourceReader(const SourceReader&) = delete;
  SourceReader& operator=(const SourceReader&) = delete;

  bool hasChunk() const { return !ready_.empty(); }
  Chunk take();

 private:
  void readAhead();

  // Touched only by the one job in flight, or by nobody.
  struct Open {
    std::optional<TransferEntry> entry;  // still to be opened
    SumKind sum = SumKind::Sha256;
    std::unique_ptr<SourceFile> file;
    FileSlots::SlotPtr slot;
  };
  std::shared_ptr<Open> open_ = std::make_shared<Open>();
  qint64 chunkBytes_;
  QObject* context_;
  std::shared_ptr<QObject> mailbox_;
  std::function<void()> onReady_;
  std::deque<Chunk> ready_;
  bool reading_ = false;
  bool ended_ = false;  // the last chunk or a failure has been read
  // Lets a job that finishes after this reader is gone find that out.
  std::shared_ptr<int> alive_ = std::make_shared<int>(0);
};

// Runs jobs one after another on a worker thread in the order posted; each
// job's result goes to its `then` on the context's thread, in the same order.
// The worker takes the next job as soon as one is done, without waiting for
// the context's thread. Jobs not yet started are dropped with this object.
class SerialJobs {
 public:
  explicit SerialJobs(QObject* context) : context_(context), mailbox_(WorkerMailbox::make()) {}
  ~SerialJobs();
  SerialJobs(const SerialJobs&) = delete;
  SerialJobs& operator=(const SerialJobs&) = delete;
  void post(std::function<bool()> job, std::function<void(bool ok)> then);

 private:
  struct Job {
    std::function<bool()> work;
    std::function<void(bool)> then;
  };
  // Shared with the worker, which may outlive this object by one job.
  struct Queue {
    std::mutex lock;
    std::deque<Job> jobs;
    bool running = false;            // a worker drains the queue
    std::atomic_bool dropped = false;
  };
  static void drain(const std::shared_ptr<Queue>& queue, const std::shared_ptr<QObject>& mailbox,
                    const QPointer<QObject>& context);

  QObject* context_;
  std::shared_ptr<QObject> mailbox_;
  std::shared_ptr<Queue> queue_ = std::make_shared<Queue>();
};

}  // namespace vantrel
