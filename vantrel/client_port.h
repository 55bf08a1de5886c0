// The bridge's one local WebSocket endpoint for its client.
//
// Listens on the loopback address only. Before a WebSocket handshake is
// accepted its request is screened here: the path must be the endpoint's, a
// handshake that carries an "Origin" header (a web page) is refused, and when a
// secret is set the request header "X-Zarkelo-Secret" must hold it. One client
// at a time: a newer accepted connection replaces the older one, so that a
// client that reconnects after losing its socket is never locked out by a
// half-open leftover. Binary frames and frames above the size cap are dropped.
// Handshakes are screened under a short deadline, and when every screening
// slot is taken the oldest unfinished one makes room: a flood of slow or
// half-open connections cannot keep the real client out.
#pragma once

#include <QAbstractSocket>
#include <QByteArray>
#include <QHostAddress>
#include <QObject>
#include <QPointer>
#include <QString>

#include <deque>

class QTcpServer;
class QTcpSocket;
#include <QWebSocket>
class QWebSocketServer;

namespace vantrel {

class ClientPort : public QObject {
  Q_OBJECT
 public:
  static constexpr qint64 kMaxFrameBytes = 16 * 1024 * 1024;
  static constexpr int kMaxHandshakeBytes = 16 * 1024;
  static constexpr int kMaxScreening = 64;  // handshakes being read at once
  static constexpr int kScreenTimeoutMs = 2000;

  explicit ClientPort(QObject* parent = nullptr);
  ~ClientPort() override;

  void setPath(const QString& path) { path_ = path; }
  void setSecret(const QByteArray& secret) { secret_ = secret; }

  // Starts listening on 127.0.0.1:port (0 picks a free port).
  bool listen(quint16 port, QString* error);
  // Why the last listen() failed.
  QAbstractSocket::SocketError listenError() const;
  quint16 port() const;

  bool hasClient() const;
  // Identifies the current client connection; 0 while none is connected.
  quint64 clientGeneration() const { return client_ ? generation_ : 0; }

  // Writes one text frame to the current client; false when none is connected.
  // While kMaxWriting bytes wait in the socket, frames wait here in order; an
  // urgent one (the link's own: the answer to the client's ping, its sign-in)
  // goes ahead of them, so that no peer's traffic delays the heartbeat.
  bool send(const QString& text, bool urgent = false);
  // Writes only when the client of that connection is still the current one.
  bool sendTo(quint64 generation, const QString& text, bool urgent = false);
  static constexpr qint64 kMaxWriting = 256 * 1024;

 signals:
  void clientConnected();
  void clientDisconnected();
  void textReceived(const QString& text);

 private:
  void onTcpConnection();
  void screen(QTcpSocket* socket);
  void refuse(QTcpSocket* socket, const QByteArray& status, const QString& why);
  void onWebSocket();
  void stopScreening(QTcpSocket* socket);
  void write(const QString& text, bool urgent);
  void writeWaiting();

  QTcpServer* tcp_ = nullptr;
  QWebSocketServer* ws_ = nullptr;
  QPointer<QWebSocket> client_;
  quint64 generation_ = 0;
  std::deque<QString> waiting_;  // frames for the current client, oldest first
  QList<QTcpSocket*> screening_;  // oldest first
  QString path_ = QStringLiteral("/ws");
  QByteArray secret_;
};

}  // namespace vantrel
