// Test doubles for the shell controllers: a web fetcher whose replies the test
// delivers, and a settings store in memory that can be told to fail.
#pragma once

#include "shell/web_fetch.h"

#include <QMap>
#include <QString>
#include <QUrl>

#include <functional>
#include <utility>
#include <vector>

class FakeFetcher : public WebFetcher {
 public:
  struct Pending {
    QUrl url;
    std::function<void(const WebReply&)> done;
  };
  void get(const QUrl& url, std::function<void(const WebReply&)> done) override {
    requests.push_back({url, std::move(done)});
  }
  // Answers the oldest unanswered request with a body.
  void answer(const QByteArray& body) { take().done(WebReply{std::nullopt, body}); }
  void fail(const QString& error) { take().done(WebReply{error, std::nullopt}); }
  Pending take() {
    Pending p = std::move(requests.front());
    requests.erase(requests.begin());
    return p;
  }
  std::vector<Pending> requests;
};

class MemorySettings {
 public:
  QString get(const QString& key) const { return values.value(key); }
  bool set(const QString& key, const QString& value) {
    ++writes;
    if (failWrites) return false;
    values[key] = value;
    return true;
  }
  QMap<QString, QString> values;
  bool failWrites = false;
  int writes = 0;
};
