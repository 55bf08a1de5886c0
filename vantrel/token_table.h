// Tokens of requests in flight, each bound to the session it travels in.
// Bounded: requests that are never answered are forgotten, oldest first.
// A token is held once: inserting one that is held already changes nothing,
// so that a repeated token never counts (or costs) more than one request.
#pragma once

#include <QHash>

#include <QString>
#include <QStringList>

#include <deque>
#include <utility>

namespace vantrel {

class TokenTable {
 public:
  explicit TokenTable(size_t capacity = 4096) : capacity_(capacity) {}

  // False, with nothing changed, when the token is held already (for any session).
  bool insert(const QString& token, const QString& session);
  bool contains(const QString& token) const { return held_.contains(token); }
  QString sessionOf(const QString& token) const { return held_.value(token).session; }
  // Removes the token when it is held for exactly that session.
  bool take(const QString& token, const QString& session);
  void forgetSession(const QString& session);
  QStringList tokensOf(const QString& session) const;
  void clear();
  size_t size() const { return size_t(held_.size()); }
  int countOf(const QString& session) const { return perSession_.value(session); }

 private:
  struct Held {
    QString session;
    quint64 serial = 0;  // which entry of the queue is this holding's
  };
  void dropped(const QString& session);
  void compact();

  size_t capacity_;
  quint64 serial_ = 0;
  QHash<QString, Held> held_;
  QHash<QString, int> perSession_;
  std::deque<std::pair<QString, quint64>> order_;  // oldest first; taken ones stay until trimmed
};

}  // namespace vantrel
