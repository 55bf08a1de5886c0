#include "transfer_workers.h"

#include <QPointer>
#include <QThreadPool>

namespace vantrel {

namespace {
// Chunks read ahead of the sender per file.
constexpr size_t kReadAhead = 3;

// File reads and writes have a pool of their own, so that long folder walks
// never hold them up.
QThreadPool& filePool() {
  static QThreadPool pool;
  pool.setMaxThreadCount(4);
  return pool;
}
}  // namespace

SourceReader::SourceReader(std::unique_ptr<SourceFile> file, qint64 chunkBytes, QObject* context,
                           std::function<void()> ready)
    : file_(std::move(file)), chunkBytes_(chunkBytes), context_(context), onReady_(std::move(ready)) {
  readAhead();
}

SourceReader::Chunk SourceReader::take() {
  Chunk chunk = std::move(ready_.front());
  ready_.pop_front();
  readAhead();
  return chunk;
}

// Results always come back as a queued call, never inside the call that
// started the job, so that the sender sees its chunks strictly in order.
void SourceReader::readAhead() {
  if (reading_ || ended_ || ready_.size() >= kReadAhead) return;
  reading_ = true;
  filePool().start([this, alive = std::weak_ptr<int>(alive_), file = file_, max = chunkBytes_,
                    context = QPointer<QObject>(context_)] {
    Chunk chunk;
    chunk.offset = file->offset();
    if (!file->atEnd()) {
      auto bytes = file->read(max, &chunk.why);
      if (bytes) {
        chunk.bytes = std::move(*bytes);
      } else {
        chunk.changed = file->changed();
      }
    }
    if (chunk.why.isEmpty() && file->atEnd()) {
      chunk.last = true;
      if (const auto sum = file->finish(&chunk.why)) {
        chunk.sum = *sum;
      } else {
        chunk.bytes.clear();
        chunk.changed = true;
      }
    }
    QMetaObject::invokeMethod(
        context, [this, alive, chunk = std::move(chunk)]() mutable {
          if (!alive.lock()) return;
          reading_ = false;
          ended_ = chunk.last || !chunk.why.isEmpty();
          ready_.push_back(std::move(chunk));
          readAhead();
          const auto ready = onReady_;  // the call may end this reader
          ready();
        },
        Qt::QueuedConnection);
  });
}

void SerialJobs::post(std::function<bool()> job, std::function<void(bool ok)> then) {
  queue_.push_back(Job{std::move(job), std::move(then)});
  next();
}

void SerialJobs::next() {
  if (running_ || queue_.empty()) return;
  running_ = true;
  Job job = std::move(queue_.front());
  queue_.pop_front();
  filePool().start([this, alive = std::weak_ptr<int>(alive_), context = QPointer<QObject>(context_),
                    work = std::move(job.work), then = std::move(job.then)] {
    const bool ok = work();
    QMetaObject::invokeMethod(
        context, [this, alive, ok, then] {
          if (!alive.lock()) return;
          running_ = false;
          next();
          then(ok);  // may drop this object: the last thing done here
        },
        Qt::QueuedConnection);
  });
}

}  // namespace vantrel
