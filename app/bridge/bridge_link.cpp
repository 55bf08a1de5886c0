#include "bridge/bridge_link.h"

#include "bridge/bridge_message.h"
#include "bridge/env.h"
#include "bridge/envelope.h"
#include "bridge/login.h"
#include "bridge/user_info.h"
#include "core/json_read.h"
#include "core/log.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QNetworkRequest>
#include <QThread>
#include <QTimer>
#include <QWebSocket>

#include <deque>

namespace bridgelink {

namespace {

std::function<void()>& versionCheckStarter() {
  static std::function<void()> starter;
  return starter;
}

void onConnected() {
  Env::BridgeConnected = true;
  Env::BridgeFailure.clear();
  const QString rule(44, QLatin1Char('-'));
  zlog::line(rule);
  zlog::line(QStringLiteral("******  Vantrel Is Connected!  ******"));
  zlog::line(rule);
  Env::ReconnectTickCounter = -1;
  Env::ActiveBridgeTime = uint64_t(QDateTime::currentSecsSinceEpoch());
  if (versionCheckStarter()) versionCheckStarter()();
  const auto user = UserInfo::shared();
  if (!user->email.isEmpty() && !user->password.isEmpty()) {
    zlog::line(QStringLiteral("Host Try To Relogin..."));
    SendLogin(user->email, user->password);
  } else {
    zlog::line(QStringLiteral("...Waiting for client login..."));
  }
}

// Frames wait here, in order, while this much waits in the socket, so that
// the link's own frames (sign-in, the heartbeat's ping) go ahead of peers'
// answers instead of behind megabytes of them.
constexpr qint64 kMaxWriting = 256 * 1024;

struct Waiting {
  QWebSocket* socket = nullptr;  // the socket they wait for
  std::deque<QString> frames;
};

Waiting& waiting() {
  static Waiting w;
  return w;
}

void writeWaiting() {
  Waiting& w = waiting();
  QWebSocket* socket = Env::BridgeSocket;
  if (!socket || socket != w.socket) {
    w.frames.clear();
    return;
  }
  while (!w.frames.empty() && socket->bytesToWrite() < kMaxWriting) {
    const QString text = std::move(w.frames.front());
    w.frames.pop_front();
    socket->sendTextMessage(text);
  }
}

// Main thread: writes one frame's text.
void writeText(const QString& code, const QString& text, bool urgent) {
  if (!Env::BridgeConnected) return;
  QWebSocket* socket = Env::BridgeSocket;
  if (!socket) {
    zlog::parts(QStringLiteral("SendToBridge - no bridge socket, frame dropped -"), code);
    return;
  }
  Waiting& w = waiting();
  if (w.socket != socket) {
    w.socket = socket;
    w.frames.clear();
    QObject::connect(socket, &QWebSocket::bytesWritten, socket, [] { writeWaiting(); });
  }
  if (urgent || (w.frames.empty() && socket->bytesToWrite() < kMaxWriting)) {
    socket->sendTextMessage(text);
    return;
  }
  w.frames.push_back(text);
}

// The link's own frames: the sign-in and the heartbeat's ping.
bool isUrgent(const QString& code, const vex::Json& data) {
  if (code == QLatin1String("Login")) return true;
  return code == QLatin1String("P2PClientControl") && jsonread::text(data, "Code") == QLatin1String("PingBridge");
}

void writeFrame(const QString& code, vex::Json data) {
  QCoreApplication* app = QCoreApplication::instance();
  const bool onMain = !app || QThread::currentThread() == app->thread();
  if (onMain && !Env::BridgeConnected) return;
  const bool urgent = isUrgent(code, data);
  // Written out where it was made: a worker's large answer costs the main
  // thread (which reads the bridge's heartbeat) only the write.
  const Envolope envelope(JsonMsg(code, std::move(data)));
  const auto text = envelope.toJSONString();
  if (!text) {
    zlog::parts(QStringLiteral("SendToBridge - frame could not be converted, dropped -"), code);
    return;
  }
  if (onMain) {
    writeText(code, QString::fromStdString(*text), urgent);
    return;
  }
  // The socket and the flags belong to the main thread: hand the text over.
  QMetaObject::invokeMethod(
      app, [code, urgent, frame = QString::fromStdString(*text)] { writeText(code, frame, urgent); },
      Qt::QueuedConnection);
}

}  // namespace

QUrl bridgeUrl() {
  // Mode 0 (a bridge elsewhere on the network) is never selected; it uses the local address too.
  return QUrl(QStringLiteral("ws://127.0.0.1:%1/ws").arg(Env::BridgePort));
}

void setVersionCheckStarter(std::function<void()> starter) { versionCheckStarter() = std::move(starter); }

void dropSocket() {
  QWebSocket* socket = Env::BridgeSocket;
  if (!socket) return;
  waiting().socket = nullptr;  // a later socket may get its address
  waiting().frames.clear();
  Env::BridgeSocket = nullptr;
  socket->disconnect();  // its late events no longer concern us
  socket->abort();
  socket->deleteLater();
}

}  // namespace bridgelink

void ConnectBridge() {
  using namespace bridgelink;
  if (Env::BridgeConnected) {
    zlog::line(QStringLiteral("Bridge Already Connected!!"));
    return;
  }
  QNetworkRequest request(bridgeUrl());
  request.setTransferTimeout(kHandshakeTimeoutMs);
  if (!Env::BridgeSecret.isEmpty())
    request.setRawHeader(QByteArrayLiteral("X-Zarkelo-Secret"), Env::BridgeSecret.toUtf8());

  dropSocket();
  auto* socket = new QWebSocket;
  socket->setMaxAllowedIncomingMessageSize(quint64(kMaxSocketMessageBytes));
  socket->setMaxAllowedIncomingFrameSize(quint64(kMaxSocketMessageBytes));
  Env::BridgeSocket = socket;

  QObject::connect(socket, &QWebSocket::connected, socket, [] { onConnected(); });
  QObject::connect(socket, &QWebSocket::disconnected, socket, [socket] {
    zlog::line(QStringLiteral("websocket is disconnected: %1 with code: %2")
                   .arg(socket->closeReason())
                   .arg(int(socket->closeCode())));
  });
  QObject::connect(socket, &QWebSocket::textMessageReceived, socket,
                   [](const QString& text) { BridgeMessage::DoMsg(text); });
  QObject::connect(socket, &QWebSocket::binaryMessageReceived, socket, [](const QByteArray& bytes) {
    zlog::line(QStringLiteral("Received data: %1").arg(bytes.size()));
  });
  QObject::connect(socket, qOverload<QAbstractSocket::SocketError>(&QWebSocket::error), socket, [socket](QAbstractSocket::SocketError) {
    zlog::line(QStringLiteral("...WS error"));
    zlog::line(QStringLiteral("websocket encountered an error: ") + socket->errorString());
  });
  // The handshake must finish within the time-out; a silent listener is given up.
  QTimer::singleShot(kHandshakeTimeoutMs, Qt::PreciseTimer, socket, [socket] {
    if (socket->state() == QAbstractSocket::ConnectedState) return;
    zlog::line(QStringLiteral("...WS error"));
    zlog::line(QStringLiteral("websocket encountered an error: handshake timed out"));
    socket->abort();
  });
  socket->open(request);
}

void SendToBridge(const QString& code, const QString& text) {
  bridgelink::writeFrame(code, vex::Json(text.toStdString()));
}

void SendToBridge(const QString& code, const std::string& text) { bridgelink::writeFrame(code, vex::Json(text)); }

void SendObjectToBridge(const QString& code, const vex::Json& data) { bridgelink::writeFrame(code, data); }
