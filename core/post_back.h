// Slow work on a thread pool whose result comes back to the thread of an
// object that may be gone by then. The worker never tests that object itself
// (it may be deleted between the test and the post, and a QFuture continuation
// with it as context asserts that it outlived the work): it posts to a mailbox,
// a plain object on the object's thread that lives as long as any job holding
// it, and the object is tested in the posted call, on its own thread.
#pragma once

#include <QMetaObject>
#include <QObject>
#include <QPointer>
#include <QThreadPool>

#include <memory>
#include <utility>

namespace postback {

// A mailbox on the calling thread (see above).
std::shared_ptr<QObject> mailbox();

// Runs `work` on `pool` (the global pool when null) and then `done(result)` on
// the calling thread, if `context` still exists then; otherwise the result is
// dropped. `work` and `done` are copyable; the result is moved into `done`.
template <class Work, class Done>
void run(QThreadPool* pool, QObject* context, Work work, Done done) {
  (pool ? pool : QThreadPool::globalInstance())
      ->start([box = mailbox(), guard = QPointer<QObject>(context), work = std::move(work),
               done = std::move(done)]() mutable {
        auto result = work();
        QMetaObject::invokeMethod(
            box.get(),
            [box, guard, done = std::move(done), result = std::move(result)]() mutable {
              if (guard) done(std::move(result));
            },
            Qt::QueuedConnection);
      });
}

}  // namespace postback
