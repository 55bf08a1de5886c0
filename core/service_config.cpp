#include "core/service_config.h"

#include "core/log.h"

#include <QSslCertificate>
#include <QSslConfiguration>

namespace serviceconfig {

QString serviceHost() {
  const QString host = qEnvironmentVariable("ZARKELO_SERVICE_HOST").trimmed();
  return host.isEmpty() ? QString::fromLatin1(kDefaultServiceHost) : host;
}

QString apiBase() { return siteBase() + QStringLiteral("/api2/"); }

QString siteBase() { return QStringLiteral("https://") + serviceHost(); }

bool installTrustedAuthority() {
  const QString file = qEnvironmentVariable("ZARKELO_CA_FILE");
  if (file.isEmpty()) return true;
  const auto certificates = QSslCertificate::fromPath(file, QSsl::Pem);
  if (certificates.isEmpty()) {
    zlog::parts(QStringLiteral("ServiceConfig - cannot read the authority in"), file);
    return false;
  }
  QSslConfiguration config = QSslConfiguration::defaultConfiguration();
  config.addCaCertificates(certificates);
  QSslConfiguration::setDefaultConfiguration(config);
  return true;
}

}  // namespace serviceconfig
