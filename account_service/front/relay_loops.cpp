#include "relay_loops.h"

#include <algorithm>

namespace kelvor {

RelayLoops::RelayLoops(int count) {
  if (count <= 0) count = QThread::idealThreadCount();
  count = std::max(count, 1);
  for (int i = 0; i < count; ++i) {
    Loop loop;
    loop.thread = std::make_unique<QThread>();
    loop.thread->setObjectName(QStringLiteral("relay-loop-%1").arg(i));
    loop.context = new QObject;
    loop.context->moveToThread(loop.thread.get());
    QObject::connect(loop.thread.get(), &QThread::finished, loop.context, &QObject::deleteLater);
    loop.thread->start();
    loops_.push_back(std::move(loop));
  }
}

RelayLoops::~RelayLoops() {
  for (auto& loop : loops_) loop.thread->quit();
  for (auto& loop : loops_) loop.thread->wait();
}

QThread* RelayLoops::next() {
  return loops_[next_.fetch_add(1, std::memory_order_relaxed) % loops_.size()].thread.get();
}

void RelayLoops::onEach(const std::function<void()>& work) {
  for (const auto& loop : loops_) QMetaObject::invokeMethod(loop.context, work, Qt::BlockingQueuedConnection);
}

QObject* RelayLoops::contextOf(const QThread* thread) const {
  for (const auto& loop : loops_)
    if (loop.thread.get() == thread) return loop.context;
  return nullptr;
}

}  // namespace kelvor
