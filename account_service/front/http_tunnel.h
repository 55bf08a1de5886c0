// Hands the service's plain HTTP requests, already decrypted by the front
// door, to QHttpServer: each connection becomes one end of a socket pair
// wrapped as a QTcpSocket that carries the client's real address, and is
// offered through a QTcpServer that never listens itself.
//
// Each tunnelled connection is guarded: one that sends more than
// kMaxRequestBytes without getting an answer in between (an oversized body),
// or that takes longer for a request than its deadline (a slow one), is
// dropped.
#pragma once

#include <QHostAddress>
#include <QTcpServer>

namespace kelvor {

class HttpTunnel : public QTcpServer {
  Q_OBJECT
 public:
  // Request bytes accepted on a connection before it answers; more is dropped.
  static constexpr qint64 kMaxRequestBytes = 1024 * 1024;
  // A request (from the connection's start or the last answer) gets this
  // long, plus one second per kMinRequestRate bytes it has sent; a connection
  // past that is dropped, however it trickles.
  static constexpr int kRequestDeadlineMs = 10000;
  static constexpr qint64 kMinRequestRate = 16 * 1024;

  explicit HttpTunnel(QObject* parent = nullptr);

  // Offers one end of a socket pair to the HTTP server as a connection from
  // `peer`; false (the descriptor left to the caller) when it cannot be used.
  bool adopt(int descriptor, const QHostAddress& peer, quint16 peerPort);

 private:
  void guard(QTcpSocket* socket);
};

}  // namespace kelvor
