// Waiting work taken in turn by source address and, within an address, in
// turn by account: one address's hundreds of attempts wait behind each other
// while each other address's next one is taken at the next free place. What
// waits is bounded per account at an address, per address, per account and in
// all. An account's own attempts (from its usual address) wait beside those
// bounds, in places of their own, so that others' attempts for the account
// cannot fill the places its owner needs, and each takes the turn of the next
// of others' attempts for the account, so that they cannot keep it waiting
// either (nothing else loses a turn to it). Used on one thread.
#pragma once

#include <QHash>
#include <QString>

#include <deque>
#include <optional>
#include <utility>
#include <vector>

namespace kelvor {

// The most items that may wait.
struct TurnLimits {
  int perAccountAtSource;
  int perSource;
  int perAccount;
  int total;
  int ownTotal;  // the owners' places, outside perAccount and total
};

template <class Item>
class TurnQueue {
 public:
  explicit TurnQueue(TurnLimits limits) : limits_(limits) {}

  bool empty() const { return total_ == 0 && ownTotal_ == 0; }

  // Moves the item in; false (the item left as it was) when a bound is reached.
  // `own`: the account's own attempt, which takes one of the owners' places.
  bool push(const QString& source, const QString& account, Item& item, bool own = false) {
    auto s = sources_.begin();
    while (s != sources_.end() && s->address != source) ++s;
    auto lane = s == sources_.end() ? typename Lanes::iterator() : s->lanes.begin();
    if (s != sources_.end())
      while (lane != s->lanes.end() && lane->account != account) ++lane;
    // A lane keeps the kind it began with.
    if (s != sources_.end() && lane != s->lanes.end()) own = lane->own;
    if (own ? ownTotal_ >= limits_.ownTotal
            : total_ >= limits_.total || byAccount_.value(account) >= limits_.perAccount)
      return false;
    if (s != sources_.end() && s->count >= limits_.perSource) return false;
    if (s == sources_.end()) {
      s = sources_.insert(sources_.end(), Source{source, {}, 0});
      lane = s->lanes.end();
    }
    if (lane != s->lanes.end() && int(lane->items.size()) >= limits_.perAccountAtSource) return false;
    if (lane == s->lanes.end()) lane = s->lanes.insert(s->lanes.end(), Lane{account, own, {}});
    lane->items.push_back(std::move(item));
    ++s->count;
    if (own) {
      ++ownTotal_;
      ++ownByAccount_[account];
    } else {
      ++byAccount_[account];
      ++total_;
    }
    return true;
  }

  // The first item in turn (the oldest of its account at its address) that
  // `ready` accepts, or, where that is another address's attempt for an
  // account whose owner waits with one `ready` accepts, the owner's; the
  // address and the account taken from go to the back of their turns.
  template <class Ready>
  std::optional<Item> take(Ready ready) {
    for (std::size_t si = 0; si < sources_.size(); ++si) {
      Source& s = sources_[si];
      for (std::size_t li = 0; li < s.lanes.size(); ++li) {
        const Lane& lane = s.lanes[li];
        if (!ready(std::as_const(lane.items.front()))) continue;
        if (!lane.own && ownByAccount_.contains(lane.account))
          for (std::size_t oi = 0; oi < sources_.size(); ++oi)
            for (std::size_t ol = 0; ol < sources_[oi].lanes.size(); ++ol) {
              const Lane& owner = sources_[oi].lanes[ol];
              if (owner.own && owner.account == lane.account && ready(std::as_const(owner.items.front())))
                return takeFrom(oi, ol);
            }
        return takeFrom(si, li);
      }
    }
    return std::nullopt;
  }

  // Takes out every item `gone` accepts.
  template <class Gone>
  std::vector<Item> removeIf(Gone gone) {
    std::vector<Item> out;
    for (auto s = sources_.begin(); s != sources_.end();) {
      for (auto lane = s->lanes.begin(); lane != s->lanes.end();) {
        for (auto it = lane->items.begin(); it != lane->items.end();) {
          if (!gone(std::as_const(*it))) {
            ++it;
            continue;
          }
          out.push_back(std::move(*it));
          it = lane->items.erase(it);
          forget(*lane);
          --s->count;
        }
        lane = lane->items.empty() ? s->lanes.erase(lane) : lane + 1;
      }
      s = s->lanes.empty() ? sources_.erase(s) : s + 1;
    }
    return out;
  }

 private:
  struct Lane {
    QString account;
    bool own = false;
    std::deque<Item> items;  // oldest first
  };
  using Lanes = std::deque<Lane>;
  struct Source {
    QString address;
    Lanes lanes;  // the next in turn first
    int count = 0;
  };
  Item takeFrom(std::size_t si, std::size_t li) {
    Source& s = sources_[si];
    Lane& lane = s.lanes[li];
    Item item(std::move(lane.items.front()));
    lane.items.pop_front();
    forget(lane);
    --s.count;
    Lane rest = std::move(lane);
    s.lanes.erase(s.lanes.begin() + qsizetype(li));
    if (!rest.items.empty()) s.lanes.push_back(std::move(rest));
    Source moved = std::move(s);
    sources_.erase(sources_.begin() + qsizetype(si));
    if (!moved.lanes.empty()) sources_.push_back(std::move(moved));
    return item;
  }

  void forget(const Lane& lane) {
    if (lane.own) {
      --ownTotal_;
      const auto it = ownByAccount_.find(lane.account);
      if (it != ownByAccount_.end() && --*it <= 0) ownByAccount_.erase(it);
      return;
    }
    --total_;
    const auto it = byAccount_.find(lane.account);
    if (it != byAccount_.end() && --*it <= 0) byAccount_.erase(it);
  }

  TurnLimits limits_;
  std::deque<Source> sources_;  // the next in turn first
  QHash<QString, int> byAccount_;
  QHash<QString, int> ownByAccount_;  // the owners' items waiting, by account
  int total_ = 0;
  int ownTotal_ = 0;
};

}  // namespace kelvor
