#include "kelvor_server.h"

#include "certificates.h"
#include "core/log.h"
#include "web_pages.h"

#include <QDir>
#include <QFile>
#include <QHttpServer>
#include <QHttpServerRequest>
#include <QHttpServerResponder>
#include <QHttpServerResponse>
#include <QSslServer>
#include <QSslSocket>
#include <QWebSocket>

namespace kelvor {

namespace {

using Method = QHttpServerRequest::Method;
using Status = QHttpServerResponse::StatusCode;

// Drops a connection that sends more than kMaxRequestBytes without getting an
// answer in between (an oversized request body).
class GuardedSslServer : public QSslServer {
 public:
  using QSslServer::QSslServer;

  QTcpSocket* nextPendingConnection() override {
    QTcpSocket* socket = QSslServer::nextPendingConnection();
    if (!socket) return nullptr;
    auto received = std::make_shared<qint64>(0);
    // Its context is a child of its own, dropped when the connection becomes a relay WebSocket.
    auto* guard = new QObject(socket);
    guard->setObjectName(QLatin1String(kGuardName));
    // Connected before the HTTP server's own handler, so it sees the bytes first.
    connect(socket, &QIODevice::readyRead, guard, [socket, received] {
      *received += socket->bytesAvailable();
      if (*received > KelvorServer::kMaxRequestBytes) {
        zlog::parts(QStringLiteral("HTTP - dropped an oversized request from"), socket->peerAddress().toString());
        socket->abort();
      }
    });
    connect(socket, &QIODevice::bytesWritten, guard, [received](qint64) { *received = 0; });
    return socket;
  }

  // The TCP socket under an upgraded WebSocket, freed from the request guard.
  QTcpSocket* takeUpgraded(const QWebSocket& webSocket) {
    for (QSslSocket* socket : findChildren<QSslSocket*>(QString(), Qt::FindDirectChildrenOnly)) {
      if (socket->peerPort() != webSocket.peerPort() || socket->peerAddress() != webSocket.peerAddress() ||
          socket->localPort() != webSocket.localPort())
        continue;
      delete socket->findChild<QObject*>(QLatin1String(kGuardName), Qt::FindDirectChildrenOnly);
      // The socket moves to a relay thread: this server no longer hears from it.
      socket->disconnect(this);
      return socket;
    }
    return nullptr;
  }

 private:
  static constexpr const char* kGuardName = "kelvor-request-guard";
};

QHttpServerResponse json(const Reply& reply) {
  const auto text = vex::dump(reply.body);
  return QHttpServerResponse(QByteArrayLiteral("application/json"), QByteArray::fromStdString(text.value_or("{}")),
                             static_cast<Status>(reply.status));
}

QHttpServerResponse html(const QByteArray& body, Status status = Status::Ok) {
  QHttpServerResponse response(QByteArrayLiteral("text/html; charset=utf-8"), body, status);
  response.addHeader(QByteArrayLiteral("Content-Security-Policy"),
                     QByteArrayLiteral("default-src 'none'; style-src 'unsafe-inline'; form-action 'self'"));
  return response;
}

QString queryValue(const QHttpServerRequest& request, const QString& key) {
  return request.query().queryItemValue(key, QUrl::FullyDecoded);
}

}  // namespace

KelvorServer::KelvorServer(QObject* parent) : QObject(parent) {}

KelvorServer::~KelvorServer() {
  relay_.reset();
  delete http_;
}

bool KelvorServer::start(const QString& dataDir, const QHostAddress& address, quint16 port, QString* error) {
  QDir data(dataDir);
  if (!data.mkpath(QStringLiteral("."))) {
    *error = QStringLiteral("cannot create the data folder ") + dataDir;
    return false;
  }
  QFile::setPermissions(data.absolutePath(),
                        QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
  if (!store_.open(dataDir, error)) return false;
  core_ = std::make_unique<ServiceCore>(store_);
  if (!core_->loadVersion(dataDir, error)) return false;
  const auto tls = ensureCertificates(dataDir, error);
  if (!tls) return false;

  relay_ = std::make_unique<RelayHub>(*core_);
  core_->tokenDropped = [this](const QString& clientId) { relay_->dropClient(clientId); };
  http_ = new QHttpServer();
  addRoutes();
  auto* tcp = new GuardedSslServer(http_);
  tcp_ = tcp;
  connect(http_, &QHttpServer::newWebSocketConnection, this, [this, tcp] {
    while (http_->hasPendingWebSocketConnections()) {
      auto socket = http_->nextPendingWebSocketConnection();
      QTcpSocket* under = tcp->takeUpgraded(*socket);
      relay_->accept(std::move(socket), under);
    }
  });

  tcp_->setSslConfiguration(*tls);
  connect(tcp_, &QSslServer::errorOccurred, this, [](QSslSocket* socket, QAbstractSocket::SocketError) {
    zlog::parts(QStringLiteral("TLS - connection dropped:"), socket->errorString());
  });
  if (!tcp_->listen(address, port)) {
    *error = QStringLiteral("cannot listen on ") + address.toString() + QLatin1Char(':') + QString::number(port) +
             QStringLiteral(": ") + tcp_->errorString();
    return false;
  }
  http_->bind(tcp_);
  address_ = address;
  zlog::parts(QStringLiteral("Kelvor service listening on"), siteBase());
  return true;
}

quint16 KelvorServer::port() const { return tcp_ ? tcp_->serverPort() : 0; }

QString KelvorServer::siteBase() const {
  QString host = address_.toString();
  if (address_ == QHostAddress::Any || address_ == QHostAddress::AnyIPv4 || address_ == QHostAddress::AnyIPv6 ||
      address_.isNull())
    host = QStringLiteral("127.0.0.1");
  else if (address_.protocol() == QAbstractSocket::IPv6Protocol)
    host = QLatin1Char('[') + host + QLatin1Char(']');
  return QStringLiteral("https://") + host + QLatin1Char(':') + QString::number(port());
}

void KelvorServer::addRoutes() {
  ServiceCore* core = core_.get();

  http_->route(QStringLiteral("/api2/bridge/login"), Method::Post,
               [core](const QHttpServerRequest& request) { return json(core->login(request.body())); });
  http_->route(QStringLiteral("/api2/account/hostname/get/index\\.php"), Method::Get,
               [core](const QHttpServerRequest& request) {
                 return json(core->hostnameGet(queryValue(request, QStringLiteral("Token"))));
               });
  http_->route(QStringLiteral("/api2/account/token/check2/"), Method::Get, [core](const QHttpServerRequest& request) {
    return json(core->qrCheck(queryValue(request, QStringLiteral("t"))));
  });
  http_->route(QStringLiteral("/api2/account/acode/get/index\\.php"), Method::Get,
               [core](const QHttpServerRequest& request) {
                 return json(core->acodeGet(queryValue(request, QStringLiteral("Token"))));
               });
  http_->route(QStringLiteral("/api2/account/acode/check/index\\.php"), Method::Get,
               [core](const QHttpServerRequest& request) {
                 return json(core->acodeCheck(queryValue(request, QStringLiteral("Token")),
                                              queryValue(request, QStringLiteral("email")),
                                              queryValue(request, QStringLiteral("acode"))));
               });
  http_->route(QStringLiteral("/api2/version/mac/index\\.php"), Method::Get,
               [this](const QHttpServerRequest&) { return json(core_->versionInfo(siteBase())); });
  http_->route(QStringLiteral("/api2/version/download/<arg>"), Method::Get,
               [core](const QString& name, const QHttpServerRequest&) {
                 const auto& version = core->version();
                 if (!version || name != version->fileName) return QHttpServerResponse(Status::NotFound);
                 QHttpServerResponse response = QHttpServerResponse::fromFile(version->filePath);
                 response.setHeader(QByteArrayLiteral("Content-Type"), QByteArrayLiteral("application/octet-stream"));
                 return response;
               });

  http_->route(QStringLiteral("/wx/login/"), Method::Get, [](const QHttpServerRequest& request) {
    return html(pages::loginForm(queryValue(request, QStringLiteral("mid")), queryValue(request, QStringLiteral("token"))));
  });
  http_->route(QStringLiteral("/wx/login/confirm"), Method::Post, [core](const QHttpServerRequest& request) {
    const QUrlQuery form = pages::parseForm(request.body());
    const QString token = pages::formValue(form, QStringLiteral("token"));
    const QString mid = pages::formValue(form, QStringLiteral("mid"));
    const QString why = core->confirmQr(token, pages::formValue(form, QStringLiteral("email")),
                                        pages::formValue(form, QStringLiteral("password")));
    if (!why.isEmpty()) return html(pages::loginForm(mid, token, why), Status::Forbidden);
    return html(pages::loginDone());
  });
  http_->route(QStringLiteral("/wx/settings/"), Method::Get, [](const QHttpServerRequest& request) {
    return html(
        pages::settingsForm(queryValue(request, QStringLiteral("mid")), queryValue(request, QStringLiteral("token"))));
  });
  http_->route(QStringLiteral("/wx/settings/save"), Method::Post, [core](const QHttpServerRequest& request) {
    const QUrlQuery form = pages::parseForm(request.body());
    const QString why = core->saveSettings(
        pages::formValue(form, QStringLiteral("email")), pages::formValue(form, QStringLiteral("password")),
        pages::formValue(form, QStringLiteral("name")), pages::formValue(form, QStringLiteral("hostname")),
        pages::formValue(form, QStringLiteral("acode")));
    if (!why.isEmpty())
      return html(pages::settingsForm(pages::formValue(form, QStringLiteral("mid")),
                                      pages::formValue(form, QStringLiteral("token")), why),
                  Status::BadRequest);
    return html(pages::settingsDone());
  });

  // The relay's upgrade requests must match a route before the HTTP server hands
  // them to its WebSocket side; a plain request there gets an error.
  http_->route(QStringLiteral("/relay"), Method::Get,
               [](const QHttpServerRequest& request, QHttpServerResponder&& responder) {
                 if (request.value(QByteArrayLiteral("upgrade")).compare("websocket", Qt::CaseInsensitive) != 0)
                   responder.write(QByteArrayLiteral("{\"error\":\"WebSocket only\"}"),
                                   QByteArrayLiteral("application/json"), QHttpServerResponder::StatusCode::BadRequest);
               });

  http_->afterRequest([](QHttpServerResponse&& response) {
    response.setHeader(QByteArrayLiteral("Cache-Control"), QByteArrayLiteral("no-store"));
    response.setHeader(QByteArrayLiteral("X-Content-Type-Options"), QByteArrayLiteral("nosniff"));
    return std::move(response);
  });
}

}  // namespace kelvor
