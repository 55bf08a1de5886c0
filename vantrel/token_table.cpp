#include "token_table.h"

#include <algorithm>

namespace vantrel {

bool TokenTable::insert(const QString& token, const QString& session) {
  if (held_.contains(token)) return false;
  held_.insert(token, Held{session, ++serial_});
  ++perSession_[session];
  order_.emplace_back(token, serial_);
  while (size_t(held_.size()) > capacity_ && !order_.empty()) {
    const auto [oldest, serial] = order_.front();
    order_.pop_front();
    // An entry of a token taken (and maybe held again later) since: not this holding's.
    const auto it = held_.constFind(oldest);
    if (it == held_.constEnd() || it->serial != serial) continue;
    dropped(it->session);
    held_.erase(it);
  }
  return true;
}

bool TokenTable::take(const QString& token, const QString& session) {
  const auto it = held_.find(token);
  if (it == held_.end() || it->session != session) return false;
  held_.erase(it);
  dropped(session);
  compact();
  return true;
}

QStringList TokenTable::tokensOf(const QString& session) const {
  QStringList tokens;
  for (auto it = held_.constBegin(); it != held_.constEnd(); ++it)
    if (it->session == session) tokens.append(it.key());
  return tokens;
}

// The queue keeps the entries of tokens already taken until it is trimmed;
// past twice those held it is rebuilt, so that what ended sessions asked does
// not stay.
void TokenTable::compact() {
  if (order_.size() <= 2 * size_t(held_.size()) + 64) return;
  std::erase_if(order_, [this](const std::pair<QString, quint64>& entry) {
    const auto it = held_.constFind(entry.first);
    return it == held_.constEnd() || it->serial != entry.second;
  });
}

void TokenTable::dropped(const QString& session) {
  const auto it = perSession_.find(session);
  if (it != perSession_.end() && --*it <= 0) perSession_.erase(it);
}

void TokenTable::forgetSession(const QString& session) {
  perSession_.remove(session);
  for (auto it = held_.begin(); it != held_.end();) {
    if (it->session == session)
      it = held_.erase(it);
    else
      ++it;
  }
  compact();
}

void TokenTable::clear() {
  held_.clear();
  perSession_.clear();
  order_.clear();
}

}  // namespace vantrel
