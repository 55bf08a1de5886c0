#include "shell/heartbeat.h"

#include "core/log.h"
#include "shell/service_urls.h"

#include <QDateTime>
#include <QPointer>

namespace {

constexpr qint64 kAttemptTick = 3;
constexpr qint64 kWrapTick = 7;
constexpr qint64 kHostnameEvery = 5;
constexpr quint64 kSilenceLimit = 6;

quint64 systemSeconds() { return static_cast<quint64>(QDateTime::currentSecsSinceEpoch()); }

}  // namespace

Heartbeat::Heartbeat(HeartbeatPort& port, WebFetcher& fetcher, Clock clock, QObject* parent)
    : QObject(parent), port_(port), fetcher_(fetcher), clock_(clock ? std::move(clock) : Clock(systemSeconds)) {
  timer_.setInterval(1000);
  timer_.setTimerType(Qt::PreciseTimer);
  connect(&timer_, &QTimer::timeout, this, &Heartbeat::onTimer);
}

void Heartbeat::start() { timer_.start(); }
void Heartbeat::stop() { timer_.stop(); }

void Heartbeat::onTimer() {
  // 1. Reconnect step, while no connection is up (-1 switches it off).
  if (port_.reconnectTickCounter() >= 0) {
    const qint64 counter = port_.reconnectTickCounter() + 1;
    port_.setReconnectTickCounter(counter);
    if (!port_.bridgeConnected() && counter == kAttemptTick) {
      zlog::line(QStringLiteral("Try To Connect Vantrel..."));
      port_.connectBridge();
    }
    if (!port_.bridgeConnected() && port_.reconnectTickCounter() >= kWrapTick) {
      port_.setReconnectTickCounter(0);
      // A bridge that never started, or died before it was first reached, is
      // never seen by the liveness rule (it has no stamp): start it again here.
      if (!port_.bridgeProcessRunning()) {
        zlog::line(QStringLiteral("Vantrel Not Running, Restarting..."));
        port_.restartBridge();
      }
    }
  }
  // 2.-3. Count the tick; every fifth one refreshes the host name.
  ++timerCounter_;
  if (timerCounter_ % kHostnameEvery == 0) fetchAccountHostname();
  // 4. Ping and liveness, on every tick.
  checkBridgeAlive();
}

void Heartbeat::fetchAccountHostname() {
  const QString token = port_.accountToken();
  if (token.isEmpty()) return;
  QPointer<Heartbeat> self(this);
  fetcher_.get(serviceurls::accountHostnameUrl(token), [self](const WebReply& reply) {
    if (self) self->onAccountHostname(reply);
  });
}

void Heartbeat::onAccountHostname(const WebReply& reply) {
  const auto info = successInfo(reply);
  if (!info || !info->is_object()) return;
  const auto rootUrl = info->find("rooturl");
  const auto nameAcc = info->find("name_acc");
  // Both values must be texts; a reply lacking either is ignored as a whole.
  if (rootUrl == info->end() || !rootUrl->is_string() || nameAcc == info->end() || !nameAcc->is_string()) return;
  const QString hostname = QString::fromStdString(rootUrl->get<std::string>());
  const QString name = QString::fromStdString(nameAcc->get<std::string>());

  if (hostname != port_.accountHostname()) {
    port_.setAccountHostname(hostname);
    port_.reloadShares();
  }
  if (name != port_.accountNameAcc()) {
    port_.setAccountNameAcc(name);
    port_.setWindowNameAcc(name);
  }
}

void Heartbeat::checkBridgeAlive() {
  if (!port_.bridgeConnected()) return;
  QPointer<Heartbeat> self(this);
  port_.pingBridge([self] {
    if (self) self->port_.setActiveBridgeTime(self->now());
  });
  const quint64 active = port_.activeBridgeTime();
  if (active == 0 || !port_.bridgeConnected()) return;
  const quint64 current = now();
  if (current < active) {
    zlog::line(QStringLiteral("Got A subtractingReportingOverflow"));
    port_.setActiveBridgeTime(current);
    return;
  }
  if (current - active >= kSilenceLimit) {
    zlog::line(QStringLiteral("ActiveBridgeTime Timeout"));
    port_.restartBridge();
  }
}
