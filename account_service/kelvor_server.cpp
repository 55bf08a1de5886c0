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
#include <QPointer>
#include <QSslKey>
#include <QTcpSocket>

namespace kelvor {

namespace {

using Method = QHttpServerRequest::Method;
using Status = QHttpServerResponse::StatusCode;

// The headers every answer carries; those of a page also forbid framing.
void addCommonHeaders(QHttpServerResponse& response) {
  response.setHeader(QByteArrayLiteral("Cache-Control"), QByteArrayLiteral("no-store"));
  response.setHeader(QByteArrayLiteral("X-Content-Type-Options"), QByteArrayLiteral("nosniff"));
}

QHttpServerResponse json(const Reply& reply) {
  const auto text = vex::dump(reply.body);
  return QHttpServerResponse(QByteArrayLiteral("application/json"), QByteArray::fromStdString(text.value_or("{}")),
                             static_cast<Status>(reply.status));
}

QHttpServerResponse html(const QByteArray& body, Status status = Status::Ok) {
  QHttpServerResponse response(QByteArrayLiteral("text/html; charset=utf-8"), body, status);
  response.addHeader(QByteArrayLiteral("Content-Security-Policy"),
                     QByteArrayLiteral("default-src 'none'; style-src 'unsafe-inline'; form-action 'self'; "
                                       "frame-ancestors 'none'"));
  response.addHeader(QByteArrayLiteral("X-Frame-Options"), QByteArrayLiteral("DENY"));
  return response;
}

// An answer given later, on the main thread, once the worker pool is done. A
// handler that takes the responder bypasses afterRequest, so the common
// headers are added here; a connection that went away meanwhile gets nothing.
class LaterAnswer {
 public:
  explicit LaterAnswer(QHttpServerResponder&& responder)
      : socket_(responder.socket()), responder_(std::make_shared<QHttpServerResponder>(std::move(responder))) {}

  void send(QHttpServerResponse&& response) const {
    if (!socket_ || !socket_->isOpen() || !responder_) return;
    addCommonHeaders(response);
    response.write(std::move(*responder_));
  }

 private:
  QPointer<QTcpSocket> socket_;
  std::shared_ptr<QHttpServerResponder> responder_;
};

QString sourceOf(const QHttpServerRequest& request) { return request.remoteAddress().toString(); }

// A form post from a page of another site is refused: its Origin, or when the
// browser sent none its Referer, must be this service as the request reached it.
bool isSameSite(const QHttpServerRequest& request) {
  const QByteArray host = request.value(QByteArrayLiteral("host"));
  if (host.isEmpty()) return false;
  const QString own = QStringLiteral("https://") + QString::fromLatin1(host).toLower();
  const QByteArray origin = request.value(QByteArrayLiteral("origin"));
  if (!origin.isEmpty()) return QString::fromLatin1(origin).toLower() == own;
  const QByteArray referer = request.value(QByteArrayLiteral("referer"));
  if (referer.isEmpty()) return true;  // not a browser, or one that sends neither
  const QUrl from(QString::fromLatin1(referer));
  if (!from.isValid()) return false;
  return from.adjusted(QUrl::RemovePath | QUrl::RemoveQuery | QUrl::RemoveFragment | QUrl::RemoveUserInfo |
                       QUrl::StripTrailingSlash)
             .toString()
             .toLower() == own;
}

QHttpServerResponse foreignFormRefused() {
  return html(pages::notice(QStringLiteral("Refused"), QStringLiteral("This form must be sent from its own page.")),
              Status::Forbidden);
}

QString queryValue(const QHttpServerRequest& request, const QString& key) {
  return request.query().queryItemValue(key, QUrl::FullyDecoded);
}

}  // namespace

KelvorServer::KelvorServer(QObject* parent) : QObject(parent) {}

KelvorServer::~KelvorServer() {
  front_.reset();  // its connections live on the relay's loops
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

  QByteArray chainPem;
  for (const QSslCertificate& certificate : tls->localCertificateChain()) chainPem += certificate.toPem();
  QString why;
  const auto context = znet::TlsContext::server(chainPem, tls->privateKey().toPem(), &why);
  if (!context) {
    *error = QStringLiteral("cannot use the service certificate: ") + why;
    return false;
  }

  relay_ = std::make_unique<RelayHub>(*core_, 0, relayBudget_);
  relay_->setPingInterval(relayPingMs_);
  core_->tokenDropped = [this](const QString& clientId) { relay_->dropClient(clientId); };
  http_ = new QHttpServer();
  addRoutes();
  tunnel_ = new HttpTunnel(http_);
  http_->bind(tunnel_);
  RelayHub* relay = relay_.get();
  // Connections come from the loops; the relay takes them on the main thread.
  front_ = std::make_unique<FrontDoor>(
      context, tunnel_, relay->loops(),
      [relay](std::unique_ptr<RelayConnection> connection) {
        QMetaObject::invokeMethod(
            relay, [relay, c = connection.release()] { relay->accept(std::unique_ptr<RelayConnection>(c)); },
            Qt::QueuedConnection);
      },
      RelayHub::kMaxHelloMessage);
  if (!front_->listen(address, port)) {
    *error = QStringLiteral("cannot listen on ") + address.toString() + QLatin1Char(':') + QString::number(port) +
             QStringLiteral(": ") + front_->errorString();
    return false;
  }
  address_ = address;
  zlog::parts(QStringLiteral("Kelvor service listening on"), siteBase());
  return true;
}

quint16 KelvorServer::port() const { return front_ ? front_->serverPort() : 0; }

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
               [core](const QHttpServerRequest& request, QHttpServerResponder&& responder) {
                 LaterAnswer answer(std::move(responder));
                 core->login(request.body(), sourceOf(request), [answer](const Reply& reply) { answer.send(json(reply)); });
               });
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
                                              queryValue(request, QStringLiteral("acode")), sourceOf(request)));
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
  http_->route(QStringLiteral("/wx/login/confirm"), Method::Post,
               [core](const QHttpServerRequest& request, QHttpServerResponder&& responder) {
                 LaterAnswer answer(std::move(responder));
                 const QUrlQuery form = pages::parseForm(request.body());
                 const QString token = pages::formValue(form, QStringLiteral("token"));
                 const QString mid = pages::formValue(form, QStringLiteral("mid"));
                 if (!isSameSite(request)) return answer.send(foreignFormRefused());
                 core->confirmQr(token, pages::formValue(form, QStringLiteral("email")),
                                 pages::formValue(form, QStringLiteral("password")), sourceOf(request),
                                 [answer, mid, token](const QString& why) {
                                   if (!why.isEmpty())
                                     return answer.send(html(pages::loginForm(mid, token, why), Status::Forbidden));
                                   answer.send(html(pages::loginDone()));
                                 });
               });
  http_->route(QStringLiteral("/wx/settings/"), Method::Get, [](const QHttpServerRequest& request) {
    return html(
        pages::settingsForm(queryValue(request, QStringLiteral("mid")), queryValue(request, QStringLiteral("token"))));
  });
  http_->route(QStringLiteral("/wx/settings/save"), Method::Post,
               [core](const QHttpServerRequest& request, QHttpServerResponder&& responder) {
                 LaterAnswer answer(std::move(responder));
                 const QUrlQuery form = pages::parseForm(request.body());
                 const QString mid = pages::formValue(form, QStringLiteral("mid"));
                 const QString token = pages::formValue(form, QStringLiteral("token"));
                 if (!isSameSite(request)) return answer.send(foreignFormRefused());
                 core->saveSettings(
                     pages::formValue(form, QStringLiteral("email")), pages::formValue(form, QStringLiteral("password")),
                     pages::formValue(form, QStringLiteral("name")), pages::formValue(form, QStringLiteral("hostname")),
                     pages::formValue(form, QStringLiteral("acode")), sourceOf(request),
                     [answer, mid, token](const QString& why) {
                       if (!why.isEmpty())
                         return answer.send(html(pages::settingsForm(mid, token, why), Status::BadRequest));
                       answer.send(html(pages::settingsDone()));
                     });
               });

  // The relay's upgrades are taken by the front door as a connection's first
  // request; anything else that reaches the path gets an error.
  http_->route(QStringLiteral("/relay"), Method::Get, [] {
    return QHttpServerResponse(QByteArrayLiteral("application/json"), QByteArrayLiteral("{\"error\":\"WebSocket only\"}"),
                               Status::BadRequest);
  });

  http_->afterRequest([](QHttpServerResponse&& response) {
    addCommonHeaders(response);
    return std::move(response);
  });
}

}  // namespace kelvor
