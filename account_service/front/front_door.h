// The service's one port. Each accepted connection moves at once to one of
// the connection loops (RelayLoops), where its TLS socket handshakes and its
// first request head must arrive within kHeadDeadlineMs. A WebSocket upgrade
// becomes a RelayConnection on that loop, handed to the relay (which serves
// "/relay" only); anything else is tunnelled, decrypted, to the HTTP server
// (HttpTunnel) on the main thread, request by request as far as each one's
// body framing is clear: one that is not is answered 400 after the requests
// before it, and ends the connection.
#pragma once

#include "heap_trim.h"
#include "http_tunnel.h"
#include "relay_connection.h"
#include "relay_loops.h"

#include <QTcpServer>

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <unordered_set>

namespace kelvor {

class FrontConnection;

class FrontDoor : public QTcpServer {
  Q_OBJECT
 public:
  static constexpr int kHeadDeadlineMs = HttpTunnel::kRequestDeadlineMs;
  // Connections still in their handshake or first head, in all; more are
  // closed at once.
  static constexpr int kMaxOpening = 4096;
  // Once the connections alive (their TLS sockets) have fallen by this many
  // from their height, the heaps are trimmed: each one took some 60 KiB (TLS,
  // buffers) from its loop's heap, which glibc would keep; at most once a second.
  static constexpr int kTrimAfterConnections = 64;

  // `relay` takes each relay connection (not yet opened) on the loop it lives
  // on; its messages may hold `relayFirstLimit` bytes until the relay says
  // otherwise.
  FrontDoor(std::shared_ptr<znet::TlsContext> tls, HttpTunnel* http, RelayLoops& loops,
            std::function<void(std::unique_ptr<RelayConnection>)> relay, qint64 relayFirstLimit,
            QObject* parent = nullptr);
  // Ends every connection not yet routed, each on its loop.
  ~FrontDoor() override;

 protected:
  void incomingConnection(qintptr descriptor) override;

 private:
  friend class FrontConnection;
  std::shared_ptr<znet::TlsContext> tls_;
  HttpTunnel* http_;
  RelayLoops& loops_;
  std::function<void(std::unique_ptr<RelayConnection>)> relay_;
  qint64 relayFirstLimit_;
  std::atomic<int> opening_{0};
  std::mutex connectionsMutex_;
  std::unordered_set<FrontConnection*> connections_;  // those alive, on any loop
  HeapTrim trim_{kTrimAfterConnections};              // main thread
};

}  // namespace kelvor
