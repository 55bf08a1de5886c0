#include "client_asks.h"

#include "core/log.h"

#include <QPointer>
#include <QTimer>

namespace vantrel {

bool ClientAsks::isBusy(const std::optional<Json>& reply) {
  return reply && reply->is_object() && intOf(*reply, "Result") == 0 && textOf(*reply, "Info") == QLatin1String("busy");
}

void ClientAsks::ask(const QString& session, const QString& code, const Json& msg, TransferAskDone done) {
  if (!clock_.isValid()) clock_.start();
  auto it = sessions_.find(session);
  if (it == sessions_.end()) it = sessions_.insert(session, Session{0, ++epochs_, {}});
  it->waiting.push_back(std::make_shared<Ask>(Ask{code, msg, std::move(done)}));
  pump(session);
}

// A client may answer at once (none connected): each turn looks the session
// up again, as the answer may have asked and pumped meanwhile.
void ClientAsks::pump(const QString& session) {
  for (;;) {
    const auto it = sessions_.find(session);
    if (it == sessions_.end()) return;
    if (it->inFlight >= kTransferClientAsksPerSession || it->waiting.empty()) {
      if (it->inFlight == 0 && it->waiting.empty()) sessions_.erase(it);
      return;
    }
    std::shared_ptr<Ask> next = std::move(it->waiting.front());
    it->waiting.pop_front();
    ++it->inFlight;
    next->epoch = it->epoch;
    send(session, next);
  }
}

// A request keeps its place among those in flight while it pauses after "busy".
void ClientAsks::send(const QString& session, const std::shared_ptr<Ask>& ask) {
  QPointer<QObject> context(context_);
  ask_(session, ask->code, ask->msg, [this, context, session, ask](const std::optional<Json>& reply) {
    if (!context) return;
    if (!isBusy(reply)) return answered(session, ask, reply);
    const qint64 now = clock_.elapsed();
    if (ask->busySinceMs < 0) ask->busySinceMs = now;
    if (now - ask->busySinceMs >= kBusyGiveUpMs) {
      zlog::parts(QStringLiteral("Vantrel - the client stayed busy for a transfer check:"), zlog::excerpt(ask->code));
      return answered(session, ask, std::nullopt);
    }
    ask->pauseMs = std::min(kMaxPauseMs, ask->pauseMs == 0 ? kFirstPauseMs : ask->pauseMs * 2);
    QTimer::singleShot(ask->pauseMs, context_, [this, session, ask] {
      // Its session ended meanwhile: not asked again.
      if (sessions_.value(session).epoch != ask->epoch) return answered(session, ask, std::nullopt);
      send(session, ask);
    });
  });
}

// The place is given back before the answer is read, so that the reader may
// ask again at once; what waits goes next.
void ClientAsks::answered(const QString& session, const std::shared_ptr<Ask>& ask, const std::optional<Json>& reply) {
  if (const auto it = sessions_.find(session); it != sessions_.end()) --it->inFlight;
  const TransferAskDone done = std::move(ask->done);
  done(reply);
  pump(session);
}

void ClientAsks::dropSession(const QString& session) {
  const auto it = sessions_.find(session);
  if (it == sessions_.end()) return;
  it->waiting.clear();
  it->epoch = ++epochs_;
  if (it->inFlight == 0) sessions_.erase(it);
}

}  // namespace vantrel
