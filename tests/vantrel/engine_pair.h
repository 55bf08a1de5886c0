// Two transfer engines joined by a queued in-memory link, like the relay,
// with the host checks answered by the test.
#pragma once

#include "transfer/transfer_engine.h"

#include <QObject>
#include <QTimer>

#include <functional>

namespace vantrel {

// Two engines whose frames reach each other through the event loop, like the
// relay; `host` answers the host checks of the serving side.
struct Pair {
  std::function<Json(const QString& code, const Json& msg)> host;
  std::function<bool(const QString& op)> dropTo;  // frames towards `b` to lose
  std::function<void(const QString& op, Json& msg)> tamper;  // frames towards `b`, changed on the way
  int dataFrames = 0;  // chunks `a` sent over the link
  TransferEngine* a = nullptr;
  TransferEngine* b = nullptr;
  QObject context;
  Pair() {
    auto ask = [this](const QString&, const QString& code, const Json& msg, TransferEngine::AskDone done) {
      const Json reply = host ? host(code, msg) : Json();
      QTimer::singleShot(0, &context, [reply, done] { done(reply); });
    };
    a = new TransferEngine(
        [this](const QString& s, const QString& op, const QString& xid, const Json& msg) {
          if (dropTo && dropTo(op)) return true;
          Json changed = msg;
          if (tamper) tamper(op, changed);
          QTimer::singleShot(0, &context, [this, s, op, xid, changed] { b->onPeerFrame(s, op, xid, changed); });
          return true;
        },
        [this](const QString& s, const QString& xid, quint32 file, quint64 offset, QByteArrayView bytes) {
          ++dataFrames;
          QTimer::singleShot(0, &context, [this, s, xid, file, offset, copy = bytes.toByteArray()] {
            b->onPeerData(s, xid, file, qint64(offset), copy);
          });
          return true;
        },
        ask, &context);
    b = new TransferEngine(
        [this](const QString& s, const QString& op, const QString& xid, const Json& msg) {
          QTimer::singleShot(0, &context, [this, s, op, xid, msg] { a->onPeerFrame(s, op, xid, msg); });
          return true;
        },
        [](const QString&, const QString&, quint32, quint64, QByteArrayView) { return false; }, ask, &context);
  }
};

}  // namespace vantrel
