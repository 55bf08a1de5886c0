#include "session_queue.h"

#include <chrono>

namespace kelvor {

void SessionFlow::touch() {
  lastActive = std::chrono::duration_cast<std::chrono::milliseconds>(
                   std::chrono::steady_clock::now().time_since_epoch())
                   .count();
}

FlowTicket::FlowTicket(FlowPtr flow, int side, qint64 bytes, RelayBudget& budget)
    : flow_(std::move(flow)), side_(side), bytes_(bytes), budget_(budget) {
  AccountLoad& load = *flow_->load[side_];
  if (flow_->queued[side_].fetch_add(bytes_) == 0) ++load.busySessions;
  budget_.add(load, bytes_);
}

FlowTicket::~FlowTicket() {
  AccountLoad& load = *flow_->load[side_];
  if (flow_->queued[side_].fetch_sub(bytes_) == bytes_) --load.busySessions;
  budget_.add(load, -bytes_);
}

void SessionQueues::push(OutMessage message) {
  if (message.session.isEmpty()) {
    controlBytes_ += message.size;
    control_.push_back(std::move(message));
    return;
  }
  Lane& lane = lanes_[message.session];
  if (lane.messages.empty()) active_.push_back(message.session);
  lane.messages.push_back(std::move(message));
}

std::optional<OutMessage> SessionQueues::pop() {
  if (!control_.empty()) {
    OutMessage message = std::move(control_.front());
    control_.pop_front();
    controlBytes_ -= message.size;
    return message;
  }
  while (!active_.empty()) {
    const auto it = lanes_.find(active_.front());
    Lane& lane = *it;
    if (!lane.inTurn) {
      lane.deficit += kQuantum;
      lane.inTurn = true;
    }
    if (lane.messages.front().size > lane.deficit) {
      // Its turn ends: the next lane goes first; this one has more next time.
      lane.inTurn = false;
      active_.push_back(active_.front());
      active_.pop_front();
      continue;
    }
    OutMessage message = std::move(lane.messages.front());
    lane.messages.pop_front();
    lane.deficit -= message.size;
    if (lane.messages.empty()) {
      lanes_.erase(it);
      active_.pop_front();
    }
    return message;
  }
  return std::nullopt;
}

void SessionQueues::drop(const QByteArray& session, const FlowPtr& flow) {
  const auto it = lanes_.find(session);
  if (it == lanes_.end()) return;
  std::erase_if(it->messages, [&](const OutMessage& message) { return message.flow == flow; });
  if (!it->messages.empty()) return;
  lanes_.erase(it);
  std::erase(active_, session);
}

void SessionQueues::clear() {
  control_.clear();
  controlBytes_ = 0;
  lanes_.clear();
  active_.clear();
}

}  // namespace kelvor
