#include "walk_turns.h"

#include "core/post_back.h"

#include <algorithm>
#include <ctime>

namespace vantrel {

namespace {
constexpr qint64 kBurstUs = std::chrono::microseconds(WalkTurns::kBurst).count();

qint64 threadCpuUs() {
  timespec ts{};
  ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return qint64(ts.tv_sec) * 1000000 + ts.tv_nsec / 1000;
}

struct Ran {
  bool complete = false;
  qint64 cpuUs = 0;
};
}  // namespace

WalkTurns::WalkTurns(QObject* context) : context_(context), creditUs_(kBurstUs) {
  pool_.setMaxThreadCount(kThreads);
  refilled_.start();
  wake_.setSingleShot(true);
  QObject::connect(&wake_, &QTimer::timeout, context_, [this] { pump(); });
}

WalkTurns::~WalkTurns() {
  wake_.stop();
  pool_.clear();
  pool_.waitForDone();
}

int WalkTurns::size() const {
  int n = running_;
  for (const Account& account : accounts_) n += int(account.ready.size());
  return n;
}

void WalkTurns::queue(const QString& account, std::shared_ptr<std::atomic_bool> stop, Slice slice, After after) {
  auto it = accounts_.find(account);
  if (it == accounts_.end()) it = accounts_.insert(account, Account{});
  // Starting to wait: no credit for the time it did not.
  if (it->ready.empty() && it->running == 0) it->spentUs = std::max(it->spentUs, lastServedUs_);
  it->ready.push_back(std::make_shared<Walk>(Walk{account, std::move(stop), std::move(slice), std::move(after)}));
  pump();
}

qint64 WalkTurns::creditUs() {
  const qint64 elapsedUs = refilled_.nsecsElapsed() / 1000;
  refilled_.restart();
  creditUs_ = std::min(kBurstUs, creditUs_ + elapsedUs * kSharePercent / 100);
  return creditUs_;
}

void WalkTurns::pump() {
  // Walks whose pull ended go unrun, with what they hold.
  for (auto it = accounts_.begin(); it != accounts_.end();) {
    std::erase_if(it->ready, [](const WalkPtr& w) { return w->stop && w->stop->load(); });
    if (it->ready.empty() && it->running == 0) it = accounts_.erase(it);
    else ++it;
  }
  while (running_ < kThreads) {
    auto next = accounts_.end();
    for (auto it = accounts_.begin(); it != accounts_.end(); ++it)
      if (!it->ready.empty() && it->running == 0 && (next == accounts_.end() || it->spentUs < next->spentUs))
        next = it;
    if (next == accounts_.end()) return;
    if (const qint64 credit = creditUs(); credit <= 0) {
      // Back once the share has paid for what was spent beyond it.
      if (!wake_.isActive()) wake_.start(int(-credit * 100 / kSharePercent / 1000) + 1);
      return;
    }
    const WalkPtr walk = next->ready.front();
    next->ready.pop_front();
    ++next->running;
    ++running_;
    lastServedUs_ = next->spentUs;
    postback::run(
        &pool_, context_,
        [walk] {
          const qint64 start = threadCpuUs();
          const bool complete = walk->slice(kSliceMs);
          return Ran{complete, threadCpuUs() - start};
        },
        [this, walk](const Ran& ran) { this->ran(walk, ran.complete, ran.cpuUs); });
  }
}

void WalkTurns::ran(const WalkPtr& walk, bool complete, qint64 cpuUs) {
  spentUs_ += cpuUs;
  creditUs_ -= cpuUs;
  accounts_[walk->account].spentUs += cpuUs;
  // The account stays while `after` runs (it may queue or end other walks).
  const bool goOn = !(walk->stop && walk->stop->load()) && walk->after(complete) && !complete;
  --running_;
  Account& account = accounts_[walk->account];
  --account.running;
  // An account's walks go one after another, each to its end.
  if (goOn) account.ready.push_front(walk);
  pump();
}

}  // namespace vantrel
