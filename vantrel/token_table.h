// Tokens of requests in flight, each bound to the session it travels in.
// Bounded: requests that are never answered are forgotten, oldest first.
#pragma once

#include <QHash>

#include <algorithm>
#include <QString>
#include <QStringList>

#include <deque>

namespace vantrel {

class TokenTable {
 public:
  explicit TokenTable(size_t capacity = 4096) : capacity_(capacity) {}

  void insert(const QString& token, const QString& session);
  bool contains(const QString& token) const { return sessions_.contains(token); }
  QString sessionOf(const QString& token) const { return sessions_.value(token); }
  // Removes the token when it is held for exactly that session.
  bool take(const QString& token, const QString& session);
  void forgetSession(const QString& session);
  QStringList tokensOf(const QString& session) const { return sessions_.keys(session); }
  void clear();
  size_t size() const { return size_t(sessions_.size()); }
  int countOf(const QString& session) const { return perSession_.value(session); }

 private:
  size_t capacity_;
  void dropped(const QString& session);
  void compact();

  QHash<QString, QString> sessions_;
  QHash<QString, int> perSession_;
  std::deque<QString> order_;
};

}  // namespace vantrel
