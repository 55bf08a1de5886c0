#include "relay_loops.h"

#include <algorithm>

#include <sched.h>

namespace kelvor {

namespace {

// The cores this process may run on (fewer than the machine's when it is
// confined to some), so that there are not more loops than cores.
int usableCores() {
  cpu_set_t set;
  CPU_ZERO(&set);
  if (::sched_getaffinity(0, sizeof set, &set) == 0 && CPU_COUNT(&set) > 0) return CPU_COUNT(&set);
  return QThread::idealThreadCount();
}

}  // namespace

RelayLoops::RelayLoops(int count) {
  if (count <= 0) count = usableCores();
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

}  // namespace kelvor
