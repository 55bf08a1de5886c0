#include "http_tunnel.h"

#include "core/log.h"

#include <QElapsedTimer>
#include <QTcpSocket>
#include <QTimer>

#include <memory>

namespace kelvor {

namespace {

// A connected socket whose addresses are the client's, not the pair's.
class TunnelSocket : public QTcpSocket {
 public:
  using QTcpSocket::QTcpSocket;
  bool adopt(int fd, const QHostAddress& peer, quint16 port) {
    if (!setSocketDescriptor(fd)) return false;
    setPeerAddress(peer);
    setPeerPort(port);
    return true;
  }
};

}  // namespace

HttpTunnel::HttpTunnel(QObject* parent) : QTcpServer(parent) {
  // This server hands over connections without listening, which Qt remarks
  // on for every connection; only those remarks are dropped.
  static const QtMessageHandler previous = qInstallMessageHandler(
      [](QtMsgType type, const QMessageLogContext& context, const QString& message) {
        if (type == QtWarningMsg && (message.contains(QLatin1String("called while not listening")) ||
                                     message.contains(QLatin1String("is not listening"))))
          return;
        if (previous) previous(type, context, message);
      });
}

bool HttpTunnel::adopt(int descriptor, const QHostAddress& peer, quint16 peerPort) {
  auto* socket = new TunnelSocket(this);
  if (!socket->adopt(descriptor, peer, peerPort)) {
    delete socket;
    return false;
  }
  connect(socket, &QAbstractSocket::disconnected, socket, &QObject::deleteLater);
  guard(socket);
  addPendingConnection(socket);
  return true;
}

void HttpTunnel::guard(QTcpSocket* socket) {
  auto received = std::make_shared<qint64>(0);
  auto* deadline = new QTimer(socket);
  deadline->setSingleShot(true);
  auto started = std::make_shared<QElapsedTimer>();
  started->start();
  // The deadline moves later only as bytes come, never with mere activity.
  auto schedule = [deadline, started, received] {
    const qint64 allowed = kRequestDeadlineMs + *received * 1000 / kMinRequestRate;
    deadline->start(int(std::max<qint64>(0, allowed - started->elapsed())));
  };
  connect(deadline, &QTimer::timeout, socket, [socket] {
    zlog::parts(QStringLiteral("HTTP - dropped a request that took too long from"), socket->peerAddress().toString());
    socket->abort();
  });
  schedule();
  // Connected before the HTTP server's own handler, so it sees the bytes first.
  connect(socket, &QIODevice::readyRead, socket, [socket, received, schedule] {
    *received += socket->bytesAvailable();
    if (*received > kMaxRequestBytes) {
      zlog::parts(QStringLiteral("HTTP - dropped an oversized request from"), socket->peerAddress().toString());
      socket->abort();
      return;
    }
    schedule();
  });
  connect(socket, &QIODevice::bytesWritten, socket, [received, started, schedule](qint64) {
    // Answered: the next request starts now.
    *received = 0;
    started->restart();
    schedule();
  });
}

}  // namespace kelvor
