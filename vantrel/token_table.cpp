#include "token_table.h"

namespace vantrel {

void TokenTable::insert(const QString& token, const QString& session) {
  const auto old = sessions_.constFind(token);
  if (old != sessions_.constEnd()) dropped(*old);
  sessions_.insert(token, session);
  ++perSession_[session];
  order_.push_back(token);
  while (order_.size() > capacity_) {
    const QString oldest = order_.front();
    order_.pop_front();
    // A token inserted again later is still queued further back.
    if (std::find(order_.begin(), order_.end(), oldest) != order_.end()) continue;
    const auto it = sessions_.constFind(oldest);
    if (it == sessions_.constEnd()) continue;
    dropped(*it);
    sessions_.erase(it);
  }
}

bool TokenTable::take(const QString& token, const QString& session) {
  const auto it = sessions_.find(token);
  if (it == sessions_.end() || it.value() != session) return false;
  sessions_.erase(it);
  dropped(session);
  compact();
  return true;
}

// The queue keeps the tokens already taken until it is trimmed; past twice
// those held it is rebuilt, so that what ended sessions asked does not stay.
void TokenTable::compact() {
  if (order_.size() <= 2 * size_t(sessions_.size()) + 64) return;
  std::erase_if(order_, [this](const QString& token) { return !sessions_.contains(token); });
}

void TokenTable::dropped(const QString& session) {
  const auto it = perSession_.find(session);
  if (it != perSession_.end() && --*it <= 0) perSession_.erase(it);
}

void TokenTable::forgetSession(const QString& session) {
  perSession_.remove(session);
  for (auto it = sessions_.begin(); it != sessions_.end();) {
    if (it.value() == session)
      it = sessions_.erase(it);
    else
      ++it;
  }
  compact();
}

void TokenTable::clear() {
  sessions_.clear();
  perSession_.clear();
  order_.clear();
}

}  // namespace vantrel
