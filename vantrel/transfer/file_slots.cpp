#include "file_slots.h"

#include "transfer_workers.h"

namespace vantrel {

struct FileSlots::Slot::State {
  int total = 0;
  int perTransfer = 0;
  std::atomic_int used = 0;
  std::atomic_bool wanted = false;  // someone waits: the next give-back wakes them
  std::shared_ptr<QObject> mailbox;
  QPointer<QObject> context;
  std::function<void()> freed;  // called on the context's thread only
};

FileSlots::FileSlots(int total, int perTransfer, QObject* context)
    : state_(std::make_shared<Slot::State>()) {
  state_->total = total;
  state_->perTransfer = perTransfer;
  state_->mailbox = WorkerMailbox::make();
  state_->context = context;
}

void FileSlots::setOnFreed(std::function<void()> freed) { state_->freed = std::move(freed); }

FileSlots::SlotPtr FileSlots::take(const Count& count) {
  const auto tryTake = [&]() -> SlotPtr {
    if (count->fetch_add(1) >= state_->perTransfer) {
      count->fetch_sub(1);
      return nullptr;
    }
    if (state_->used.fetch_add(1) >= state_->total) {
      state_->used.fetch_sub(1);
      count->fetch_sub(1);
      return nullptr;
    }
    return SlotPtr(new Slot(state_, count));
  };
  if (SlotPtr slot = tryTake()) return slot;
  // Asked for, then tried once more: a place given back in between is seen
  // either by this try or by the wake.
  state_->wanted = true;
  return tryTake();
}

FileSlots::Slot::~Slot() {
  count_->fetch_sub(1);
  state_->used.fetch_sub(1);
  if (!state_->wanted.exchange(false)) return;
  QMetaObject::invokeMethod(
      state_->mailbox.get(),
      [state = state_] {
        if (state->context && state->freed) state->freed();
      },
      Qt::QueuedConnection);
}

}  // namespace vantrel
