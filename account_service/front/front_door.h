// The service's one port. Each accepted connection moves at once to one of
// the connection loops (RelayLoops), where its TLS socket handshakes and its
// first request head must arrive within kHeadDeadlineMs. A handshake holds
// some 40 KiB until it ends: at most kHandshakesPerAddress run at once per
// source address, the next of that address waiting (its socket only) for a
// turn, so a crowd of handshakes costs what it may and no other address waits.
// Connections still opening (handshake or first head to come) hold places: at
// most kOpeningPerAddress per source address and kMaxOpening in all; a
// newcomer beyond takes the place of its own address's oldest, or beyond
// kMaxOpening of the oldest of the address holding the most (when that holds
// more than its own), so that no address keeps another out. A WebSocket upgrade
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

#include <QHash>
#include <QHostAddress>

#include <deque>
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
  // Places for connections still in their handshake or first head, in all
  // and per source address.
  static constexpr int kMaxOpening = 4096;
  static constexpr int kOpeningPerAddress = kMaxOpening / 4;
  static constexpr int kHandshakesPerAddress = 16;
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
  std::mutex connectionsMutex_;
  std::unordered_set<FrontConnection*> connections_;  // those alive, on any loop
  // Under connectionsMutex_: connections holding a place among those still
  // opening, by source address, oldest first; a connection is alive while listed.
  QHash<QHostAddress, std::deque<FrontConnection*>> opening_;
  int openingTotal_ = 0;
  // Main thread: a place for `connection` (not yet started), made where the
  // bounds are reached by ending an older one; false when none can be made.
  bool takeOpeningPlace(FrontConnection* connection);
  // `connection` leaves its place (its head came, or it goes): false when it
  // had none (it was made to give it up, or had left already).
  bool leaveOpening(FrontConnection* connection);
  // Under connectionsMutex_: handshakes under way and waiting, by source address.
  struct Handshakes {
    int running = 0;
    std::deque<FrontConnection*> waiting;  // oldest first
  };
  QHash<QHostAddress, Handshakes> handshakes_;
  // A turn for `connection` now, or later (it is told on its loop).
  bool takeHandshakeTurn(FrontConnection* connection);
  // `connection`'s handshake ended or it goes (once): the next waiting one of its address starts.
  void endHandshakeTurn(FrontConnection* connection);
  HeapTrim trim_{kTrimAfterConnections};              // main thread
};

}  // namespace kelvor
