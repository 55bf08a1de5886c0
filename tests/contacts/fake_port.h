// A ContactsPort that records every request and lets the test answer it.
#pragma once

#include "bridge/env.h"
#include "bridge/user_info.h"
#include "contacts/contacts_port.h"
#include "core/util_db.h"

#include <QDir>
#include <QTemporaryDir>

#include <deque>
#include <memory>
#include <vector>

struct SentRequest {
  QString code;
  vex::Json payload;
  bool wait = false;
  QString isProcessOnBridge;  // "-" for a request to this machine's bridge
  ReplyHandler handler;
  QString session = {};  // the link a peer request travels on
  bool toRemote() const { return isProcessOnBridge != QStringLiteral("-"); }
  // The handler may send further requests while it runs: it runs from a copy.
  void answer(const vex::Json& msg) const {
    const ReplyHandler run = handler;
    run(msg);
  }
};

class FakePort : public ContactsPort {
 public:
  void sendToRemote(const PeerLink& link, const QString& code, const vex::Json& payload, bool wait,
                    const QString& isProcessOnBridge, ReplyHandler handler) override {
    sent.push_back({code, payload, wait, isProcessOnBridge, std::move(handler), link.session});
  }
  void sendToBridge(const QString& code, const vex::Json& payload, bool wait, ReplyHandler handler) override {
    sent.push_back({code, payload, wait, QStringLiteral("-"), std::move(handler)});
  }
  void clientInit(const QString& hostname, const QString& hosttag, const QString& hostpassword) override {
    inits.push_back({hostname, hosttag, hostpassword});
  }

  // The requests with that code, oldest first.
  std::vector<SentRequest> withCode(const char* code) const {
    std::vector<SentRequest> out;
    for (const auto& request : sent)
      if (request.code == QLatin1String(code)) out.push_back(request);
    return out;
  }
  int count(const char* code) const { return int(withCode(code).size()); }
  const SentRequest& last(const char* code) const {
    for (auto it = sent.rbegin(); it != sent.rend(); ++it)
      if (it->code == QLatin1String(code)) return *it;
    static SentRequest none;
    return none;
  }

  std::deque<SentRequest> sent;  // references stay valid while requests are added
  std::vector<QStringList> inits;
};

// A fresh database and a signed-in account for one test.
class SignedIn {
 public:
  explicit SignedIn(qint64 accountId = 7, const QString& email = QStringLiteral("me@example.com")) {
    UtilDB::openAt(dir.filePath(QStringLiteral("kelvor.dat")));
    signInAs(accountId, email);
  }
  ~SignedIn() { UtilDB::reset(); }
  static void signInAs(qint64 accountId, const QString& email = QStringLiteral("me@example.com")) {
    auto user = std::make_shared<UserInfo>();
    user->id_acc = accountId;
    user->email = email;
    user->name_acc = QStringLiteral("Me");
    user->Token = QStringLiteral("TOKEN+1");
    user->maxsharecount = 5;
    UserInfo::setShared(user);
  }
  QTemporaryDir dir;
};
