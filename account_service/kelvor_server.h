// The running service on one port: the front door terminates TLS and hands
// the relay's WebSocket upgrades ("/relay") to the relay, and every other
// request, decrypted, to QHttpServer (the web API, the QR pages and the
// installer).
#pragma once

#include "account_store.h"
#include "front/front_door.h"
#include "front/http_tunnel.h"
#include "relay_hub.h"
#include "service_core.h"

#include <QHostAddress>
#include <QObject>
#include <QSslConfiguration>

#include <memory>

class QHttpServer;

namespace kelvor {

class KelvorServer : public QObject {
  Q_OBJECT

 public:
  explicit KelvorServer(QObject* parent = nullptr);
  ~KelvorServer() override;

  // Opens the data folder (accounts, version record, certificates) and
  // listens; port 0 picks a free one. False with the reason on failure.
  bool start(const QString& dataDir, const QHostAddress& address, quint16 port, QString* error);
  // What the relay may hold for messages on their way, in bytes; before start().
  void setRelayBudget(qint64 bytes) { relayBudget_ = bytes; }
  // How often a silent relay connection is pinged; before start().
  void setRelayPing(int ms) { relayPingMs_ = ms; }
  quint16 port() const;
  // "https://host:port" as clients reach this service.
  QString siteBase() const;

  ServiceCore& core() { return *core_; }
  RelayHub& relay() { return *relay_; }

 private:
  void addRoutes();

  AccountStore store_;
  std::unique_ptr<ServiceCore> core_;
  std::unique_ptr<RelayHub> relay_;
  QHttpServer* http_ = nullptr;
  HttpTunnel* tunnel_ = nullptr;  // a child of http_
  std::unique_ptr<FrontDoor> front_;
  QHostAddress address_;
  qint64 relayBudget_ = RelayFlow::kDefaultBudget;
  int relayPingMs_ = RelayHub::kPingIntervalMs;
};

}  // namespace kelvor
