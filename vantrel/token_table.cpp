#include "token_table.h"

namespace vantrel {

void TokenTable::insert(const QString& token, const QString& session) {
  sessions_.insert(token, session);
  order_.push_back(token);
  while (order_.size() > capacity_) {
    const QString oldest = order_.front();
    order_.pop_front();
    // A token inserted again later is still queued further back.
    if (std::find(order_.begin(), order_.end(), oldest) == order_.end()) sessions_.remove(oldest);
  }
}

bool TokenTable::take(const QString& token, const QString& session) {
  const auto it = sessions_.find(token);
  if (it == sessions_.end() || it.value() != session) return false;
  sessions_.erase(it);
  return true;
}

void TokenTable::forgetSession(const QString& session) {
  for (auto it = sessions_.begin(); it != sessions_.end();) {
    if (it.value() == session)
      it = sessions_.erase(it);
    else
      ++it;
  }
}

void TokenTable::clear() {
  sessions_.clear();
  order_.clear();
}

}  // namespace vantrel
