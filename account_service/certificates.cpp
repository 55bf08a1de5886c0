#include "certificates.h"

#include "common/tls/tls_identity.h"
#include "core/log.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QSslCertificate>
#include <QSslKey>

namespace kelvor {

namespace {

using ztls::readCertificates;
using ztls::readKey;
using ztls::usable;

bool makeAuthority(const QDir& data, const QDir& tls, QString* error) {
  const auto made = ztls::makeSelfSigned({QStringLiteral("Kelvor Local Authority"), {}, 3650, true}, error);
  if (!made) return false;
  const QString key = tls.filePath(QStringLiteral("ca.key"));
  if (!ztls::writePrivateFile(key, made->keyPem) ||
      !ztls::writePublicFile(data.filePath(QStringLiteral("ca.pem")), made->certificatePem)) {
    *error = QStringLiteral("cannot write the local certificate authority");
    return false;
  }
  return true;
}

bool makeServerCertificate(const QDir& data, const QDir& tls, QString* error) {
  QFile caPem(data.filePath(QStringLiteral("ca.pem")));
  QFile caKey(tls.filePath(QStringLiteral("ca.key")));
  if (!caPem.open(QIODevice::ReadOnly) || !caKey.open(QIODevice::ReadOnly)) {
    *error = QStringLiteral("the local certificate authority cannot be read");
    return false;
  }
  const ztls::Identity authority{caPem.readAll(), caKey.readAll()};
  const auto made = ztls::makeSigned(
      authority, {QStringLiteral("127.0.0.1"), {QStringLiteral("127.0.0.1"), QStringLiteral("localhost")}, 825, false},
      error);
  if (!made) return false;
  if (!ztls::writePrivateFile(tls.filePath(QStringLiteral("server.key")), made->keyPem) ||
      !ztls::writePublicFile(tls.filePath(QStringLiteral("server.pem")), made->certificatePem)) {
    *error = QStringLiteral("cannot write the service certificate");
    return false;
  }
  return true;
}

}  // namespace

std::optional<QSslConfiguration> ensureCertificates(const QString& dataDir, QString* error) {
  QDir data(dataDir);
  if (!data.mkpath(QStringLiteral("tls"))) {
    *error = QStringLiteral("cannot create ") + data.filePath(QStringLiteral("tls"));
    return std::nullopt;
  }
  QDir tls(data.filePath(QStringLiteral("tls")));
  QFile::setPermissions(tls.path(), QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);

  const QString caPem = data.filePath(QStringLiteral("ca.pem"));
  bool newAuthority = false;
  if (!usable(readCertificates(caPem)) || readKey(tls.filePath(QStringLiteral("ca.key"))).isNull()) {
    zlog::line(QStringLiteral("Making a new local certificate authority"));
    if (!makeAuthority(data, tls, error)) return std::nullopt;
    newAuthority = true;
  }
  const QString serverPem = tls.filePath(QStringLiteral("server.pem"));
  const QString serverKey = tls.filePath(QStringLiteral("server.key"));
  if (newAuthority || !usable(readCertificates(serverPem)) || readKey(serverKey).isNull()) {
    zlog::line(QStringLiteral("Making the service certificate"));
    if (!makeServerCertificate(data, tls, error)) return std::nullopt;
  }
  const auto chain = readCertificates(serverPem);
  const QSslKey key = readKey(serverKey);
  if (chain.isEmpty() || key.isNull()) {
    *error = QStringLiteral("the service certificate or key cannot be read");
    return std::nullopt;
  }
  QSslConfiguration config = QSslConfiguration::defaultConfiguration();
  config.setLocalCertificateChain(chain + readCertificates(caPem));
  config.setPrivateKey(key);
  config.setPeerVerifyMode(QSslSocket::VerifyNone);  // clients are not asked for certificates
  return config;
}

}  // namespace kelvor
