// How many files one side of the transfer engine holds open at once, in all
// and per transfer. A transfer that needs one more while none is free waits,
// holding no descriptor for the work it queued, until a place is given back.
#pragma once

#include <QObject>
#include <QPointer>

#include <atomic>
#include <functional>
#include <memory>

namespace vantrel {

class FileSlots {
 public:
  // A transfer's own count of the places it holds.
  using Count = std::shared_ptr<std::atomic_int>;

  // One open file's place, given back when destroyed (on any thread).
  class Slot {
   public:
    ~Slot();
    Slot(const Slot&) = delete;
    Slot& operator=(const Slot&) = delete;

   private:
    friend class FileSlots;
    struct State;
    Slot(std::shared_ptr<State> state, Count count) : state_(std::move(state)), count_(std::move(count)) {}
    std::shared_ptr<State> state_;
    Count count_;
  };
  using SlotPtr = std::unique_ptr<Slot>;

  // Made on `context`'s thread.
  FileSlots(int total, int perTransfer, QObject* context);
  // `freed` runs on the context's thread after a place is given back while a
  // transfer waits for one (see take()).
  void setOnFreed(std::function<void()> freed);

  // A place for one more file of the transfer counted by `count`, or nothing
  // when all are taken: then `freed` runs once one is given back.
  SlotPtr take(const Count& count);

 private:
  std::shared_ptr<Slot::State> state_;
};

}  // namespace vantrel
