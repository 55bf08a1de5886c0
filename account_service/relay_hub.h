// The relay between bridges. Each bridge holds one WebSocket, authenticates
// with its login token ("hello"), opens sessions with the online client of an
// account's host name ("connect") and sends frames to the other client of a
// session ("relay"). Nothing reaches a client outside its sessions.
#pragma once

#include "service_core.h"

#include <QHash>
#include <QObject>
#include <QSet>
#include <QString>

#include <memory>
#include <unordered_map>

class QWebSocket;
class QTimer;

namespace kelvor {

class RelayHub : public QObject {
  Q_OBJECT

 public:
  static constexpr qint64 kMaxMessage = 16 * 1024 * 1024;
  static constexpr int kMaxSessionsPerClient = 256;
  static constexpr int kHelloTimeoutMs = 10000;
  static constexpr int kMaxJsonDepth = 64;

  explicit RelayHub(ServiceCore& core, QObject* parent = nullptr);
  ~RelayHub() override;

  // Takes a freshly upgraded connection; one whose path is not "/relay" is closed.
  void accept(std::unique_ptr<QWebSocket> socket);

  int onlineCount() const { return static_cast<int>(byClient_.size()); }
  int sessionCount() const { return static_cast<int>(sessions_.size()); }

 private:
  struct Peer {
    QWebSocket* socket = nullptr;
    QString clientId;  // empty until "hello"
    qint64 accountId = 0;
    qint64 readyOrder = 0;
    QSet<QString> sessions;
    QTimer* helloTimer = nullptr;
  };
  struct Session {
    QString caller;
    QString host;
  };

  void onText(QWebSocket* socket, const QString& text);
  void onBinary(QWebSocket* socket, const QByteArray& message);
  void onGone(QWebSocket* socket);
  void handleHello(Peer& peer, const vex::Json& frame);
  void handleConnect(Peer& peer, const vex::Json& frame);
  void handleRelay(Peer& peer, const vex::Json& frame);
  void handleClose(Peer& peer, const vex::Json& frame);
  void endSession(const QString& session, const QString& closedBy);
  void send(QWebSocket* socket, const vex::Json& frame);
  void refuse(Peer& peer, const QString& why, bool close = false);
  Peer* peerOf(const QString& clientId);
  QString nameOf(qint64 accountId);

  ServiceCore& core_;
  // Node-based so that a Peer stays put while others come and go.
  std::unordered_map<QWebSocket*, Peer> peers_;
  QHash<QString, QWebSocket*> byClient_;
  QHash<QString, Session> sessions_;
  qint64 readyCounter_ = 0;
};

// Whether the JSON text nests arrays/objects no deeper than `limit`
// (deep nesting would exhaust the stack when the frame is written again).
bool jsonDepthWithin(const QByteArray& text, int limit);

}  // namespace kelvor
