// What the transfer engine asks of its own client (the host's checks), paced
// to what the client takes: at most kTransferClientAsksPerSession requests of
// one session in flight, all its transfers together, the rest waiting here in
// order; a request the client answers "busy" is asked again after a pause
// (growing, at most kMaxPauseMs), never taken as a refusal. One that is still
// "busy" after kBusyGiveUpMs ends as unanswered.
#pragma once

#include "transfer_task.h"

#include <QHash>
#include <QObject>

#include <deque>

namespace vantrel {

class ClientAsks {
 public:
  static constexpr int kFirstPauseMs = 25;
  static constexpr int kMaxPauseMs = 1000;
  static constexpr int kBusyGiveUpMs = 60000;

  ClientAsks(QObject* context, TransferAskClient ask) : context_(context), ask_(std::move(ask)) {}

  void ask(const QString& session, const QString& code, const Json& msg, TransferAskDone done);
  // The session ended: what still waits for its turn is dropped unasked.
  void dropSession(const QString& session);
  int inFlight(const QString& session) const { return sessions_.value(session).inFlight; }

  // The client's answer when it would not queue the request.
  static bool isBusy(const std::optional<Json>& reply);

 private:
  struct Ask {
    QString code;
    Json msg;
    TransferAskDone done;
    int pauseMs = 0;  // the pause before the next try after "busy"
    qint64 busySinceMs = -1;
    quint64 epoch = 0;  // the session's when it was first sent
  };
  struct Session {
    int inFlight = 0;
    quint64 epoch = 0;  // new once the session was dropped
    std::deque<std::shared_ptr<Ask>> waiting;
  };
  void pump(const QString& session);
  void send(const QString& session, const std::shared_ptr<Ask>& ask);
  void answered(const QString& session, const std::shared_ptr<Ask>& ask, const std::optional<Json>& reply);

  QObject* context_;
  quint64 epochs_ = 0;
  TransferAskClient ask_;
  QHash<QString, Session> sessions_;
  QElapsedTimer clock_;
};

}  // namespace vantrel
