// The service's one port. Each accepted connection gets a TLS channel (a
// worker thread doing the handshake, socket I/O and encryption), which must
// present its first request head within kHeadDeadlineMs. A WebSocket upgrade
// to "/relay" becomes a RelayConnection handed to the relay; anything else is
// tunnelled, decrypted, to the HTTP server (HttpTunnel).
#pragma once

#include "http_tunnel.h"
#include "relay_connection.h"

#include <QTcpServer>

#include <functional>
#include <memory>

namespace kelvor {

class FrontDoor : public QTcpServer {
  Q_OBJECT
 public:
  static constexpr int kHeadDeadlineMs = HttpTunnel::kRequestDeadlineMs;
  // Connections still in their handshake or first head, in all; more are
  // closed at once (each holds a thread).
  static constexpr int kMaxOpening = 2048;

  // `relay` takes each relay connection (not yet opened), whose messages may
  // hold `relayFirstLimit` bytes until the relay says otherwise.
  FrontDoor(std::shared_ptr<znet::TlsContext> tls, HttpTunnel* http,
            std::function<void(std::unique_ptr<RelayConnection>)> relay, qint64 relayFirstLimit,
            QObject* parent = nullptr);

  int opening() const { return opening_; }

 protected:
  void incomingConnection(qintptr descriptor) override;

 private:
  friend class FrontConnection;
  std::shared_ptr<znet::TlsContext> tls_;
  HttpTunnel* http_;
  std::function<void(std::unique_ptr<RelayConnection>)> relay_;
  qint64 relayFirstLimit_;
  int opening_ = 0;
};

}  // namespace kelvor
