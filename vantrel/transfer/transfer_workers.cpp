#include "transfer_workers.h"

#include "core/post_back.h"

#include <QPointer>
#include <QThread>
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

// Made on the context's thread, where the owner also destroys the context.
std::shared_ptr<QObject> WorkerMailbox::make() { return postback::mailbox(); }

SourceReader::SourceReader(std::unique_ptr<SourceFile> file, qint64 chunkBytes, QObject* context,
                           std::function<void()> ready)
    : chunkBytes_(chunkBytes), context_(context), mailbox_(WorkerMailbox::make()), onReady_(std::move(ready)) {
  open_->file = std::move(file);
  readAhead();
}

SourceReader::SourceReader(const TransferEntry& entry, SumKind sum, qint64 chunkBytes, QObject* context,
                           std::function<void()> ready, FileSlots::SlotPtr slot)
    : chunkBytes_(chunkBytes), context_(context), mailbox_(WorkerMailbox::make()), onReady_(std::move(ready)) {
  open_->entry = entry;
  open_->sum = sum;
  open_->slot = std::move(slot);
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
  filePool().start([this, alive = std::weak_ptr<int>(alive_), open = open_, max = chunkBytes_, mailbox = mailbox_,
                    context = QPointer<QObject>(context_)] {
    Chunk chunk;
    if (open->entry) {
      open->file = SourceFile::open(*open->entry, open->sum, &chunk.why, &chunk.changed, &chunk.unread);
      open->entry.reset();
      if (!open->file && chunk.why.isEmpty()) chunk.why = QStringLiteral("the file cannot be opened");
    }
    if (SourceFile* file = open->file.get()) {
      chunk.offset = file->offset();
      if (!file->atEnd()) {
        auto bytes = file->read(max, &chunk.why);
        if (bytes) {
          chunk.bytes = std::move(*bytes);
        } else {
          chunk.changed = file->changed();
          chunk.unread = !chunk.changed;  // a read that failed
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
    }
    // Nothing more is read from a file that ended or failed: it closes now.
    if (chunk.last || !chunk.why.isEmpty()) {
      open->file.reset();
      open->slot.reset();
    }
    QMetaObject::invokeMethod(
        mailbox.get(), [this, alive, context, chunk = std::move(chunk)]() mutable {
          if (!context || !alive.lock()) return;
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

SerialJobs::~SerialJobs() {
  const std::lock_guard<std::mutex> guard(queue_->lock);
  queue_->dropped = true;
  queue_->jobs.clear();
}

void SerialJobs::post(std::function<bool()> job, std::function<void(bool ok)> then) {
  const std::lock_guard<std::mutex> guard(queue_->lock);
  queue_->jobs.push_back(Job{std::move(job), std::move(then)});
  if (queue_->running) return;
  queue_->running = true;
  filePool().start([queue = queue_, mailbox = mailbox_, context = QPointer<QObject>(context_)] {
    drain(queue, mailbox, context);
  });
}

void SerialJobs::drain(const std::shared_ptr<Queue>& queue, const std::shared_ptr<QObject>& mailbox,
                       const QPointer<QObject>& context) {
  while (true) {
    Job job;
    {
      const std::lock_guard<std::mutex> guard(queue->lock);
      if (queue->jobs.empty() || queue->dropped) {
        queue->running = false;
        return;
      }
      job = std::move(queue->jobs.front());
      queue->jobs.pop_front();
    }
    const bool ok = job.work();
    // Queued calls from one thread arrive in the order they were made.
    QMetaObject::invokeMethod(
        mailbox.get(), [queue, ok, context, then = std::move(job.then)] {
          if (context && !queue->dropped) then(ok);  // may drop the SerialJobs
        },
        Qt::QueuedConnection);
  }
}

}  // namespace vantrel
