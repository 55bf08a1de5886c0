// The running service: HTTPS (QHttpServer on a QSslServer) for the web API,
// the QR pages and the installer, plus the relay WebSocket at /relay on the
// same port.
#pragma once

#include "account_store.h"
#include "relay_hub.h"
#include "service_core.h"

#include <QHostAddress>
#include <QObject>
#include <QSslConfiguration>

#include <memory>

class QHttpServer;
class QSslServer;

namespace kelvor {

class KelvorServer : public QObject {
  Q_OBJECT

 public:
  // Request bytes accepted on a connection before it answers; more is dropped.
  static constexpr qint64 kMaxRequestBytes = 1024 * 1024;
  // A request (from the connection's start or the last answer) gets this
  // long, plus one second per kMinRequestRate bytes it has sent; a connection
  // past that is dropped, however it trickles.
  static constexpr int kRequestDeadlineMs = 10000;
  static constexpr qint64 kMinRequestRate = 16 * 1024;

  explicit KelvorServer(QObject* parent = nullptr);
  ~KelvorServer() override;

  // Opens the data folder (accounts, version record, certificates) and
  // listens; port 0 picks a free one. False with the reason on failure.
  bool start(const QString& dataDir, const QHostAddress& address, quint16 port, QString* error);
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
  QSslServer* tcp_ = nullptr;
  QHostAddress address_;
};

}  // namespace kelvor
