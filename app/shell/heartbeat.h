// The one-second heartbeat of the main window: keeps trying to reach the
// bridge while no connection is up, refreshes the account's host name and
// display name every fifth tick, pings the bridge while connected and restarts
// it after 6 s without a sign of life.
#pragma once

#include "shell/web_fetch.h"

#include <QObject>
#include <QString>
#include <QTimer>

#include <functional>

// What the heartbeat reads and drives of the bridge link, the account and the
// main window. The application binds it to the process-wide state; tests to a
// simulated one.
class HeartbeatPort {
 public:
  virtual ~HeartbeatPort() = default;
  virtual bool bridgeConnected() const = 0;
  virtual qint64 reconnectTickCounter() const = 0;
  virtual void setReconnectTickCounter(qint64 value) = 0;
  virtual quint64 activeBridgeTime() const = 0;
  virtual void setActiveBridgeTime(quint64 seconds) = 0;
  virtual void connectBridge() = 0;
  virtual void restartBridge() = 0;
  // Whether a bridge process started by this application is running.
  virtual bool bridgeProcessRunning() const = 0;
  // "PingBridge" through the request layer; `onReply` runs when it is answered.
  virtual void pingBridge(std::function<void()> onReply) = 0;

  // The shared account record.
  virtual QString accountToken() const = 0;
  virtual QString accountHostname() const = 0;
  virtual void setAccountHostname(const QString& hostname) = 0;
  virtual QString accountNameAcc() const = 0;
  virtual void setAccountNameAcc(const QString& name) = 0;

  // The main window: reload its share list; copy the name into its own record.
  virtual void reloadShares() = 0;
  virtual void setWindowNameAcc(const QString& name) = 0;
};

class Heartbeat : public QObject {
  Q_OBJECT
 public:
  using Clock = std::function<quint64()>;  // Unix time in whole seconds

  Heartbeat(HeartbeatPort& port, WebFetcher& fetcher, Clock clock = {}, QObject* parent = nullptr);

  // Starts the one-second timer that calls onTimer().
  void start();
  void stop();

  // One tick: reconnect step, count, host-name refresh every fifth tick, liveness.
  void onTimer();

  void fetchAccountHostname();
  void onAccountHostname(const WebReply& reply);
  void checkBridgeAlive();

  qint64 timerCounter() const { return timerCounter_; }
  quint64 now() const { return clock_(); }

 private:
  HeartbeatPort& port_;
  WebFetcher& fetcher_;
  Clock clock_;
  QTimer timer_;
  qint64 timerCounter_ = 0;
};
