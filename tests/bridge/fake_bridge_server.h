// A scripted stand-in for the bridge's WebSocket endpoint, inside the test.
#pragma once

#include <QList>
#include <QNetworkRequest>
#include <QStringList>
#include <QWebSocket>
#include <QWebSocketServer>

#include <functional>

class FakeBridgeServer : public QObject {
 public:
  FakeBridgeServer() : server_(QStringLiteral("fake-bridge"), QWebSocketServer::NonSecureMode) {
    server_.listen(QHostAddress::LocalHost, 0);
    QObject::connect(&server_, &QWebSocketServer::newConnection, this, [this] {
      while (QWebSocket* client = server_.nextPendingConnection()) {
        client->setParent(this);  // the server hands its sockets over to the caller
        client_ = client;
        secretHeaders << client->request().rawHeader("X-Zarkelo-Secret");
        hadSecretHeader << client->request().hasRawHeader("X-Zarkelo-Secret");
        QObject::connect(client, &QWebSocket::textMessageReceived, this, [this, client](const QString& text) {
          frames << text;
          if (onFrame) onFrame(text, client);
        });
      }
    });
  }

  quint16 port() const { return server_.serverPort(); }
  QWebSocket* client() const { return client_; }
  void send(const QString& text) {
    if (client_) client_->sendTextMessage(text);
  }
  void closeClient() {
    if (client_) client_->close(QWebSocketProtocol::CloseCodeNormal, QStringLiteral("bye"));
  }

  QStringList frames;
  QList<QByteArray> secretHeaders;
  QList<bool> hadSecretHeader;
  std::function<void(const QString& frame, QWebSocket* client)> onFrame;

 private:
  QWebSocketServer server_;
  QWebSocket* client_ = nullptr;
};
