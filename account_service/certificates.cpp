#include "certificates.h"

#include "core/log.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QSslCertificate>
#include <QSslKey>

namespace kelvor {

namespace {

constexpr auto kPrivate = QFileDevice::ReadOwner | QFileDevice::WriteOwner;

bool runOpenssl(const QStringList& args, QString* error) {
  QProcess process;
  process.setProcessChannelMode(QProcess::MergedChannels);
  process.start(QStringLiteral("openssl"), args);
  if (!process.waitForStarted(10000)) {
    *error = QStringLiteral("cannot start openssl: ") + process.errorString();
    return false;
  }
  if (!process.waitForFinished(60000) || process.exitStatus() != QProcess::NormalExit || process.exitCode() != 0) {
    *error = QStringLiteral("openssl ") + args.value(0) + QStringLiteral(" failed: ") +
             QString::fromLocal8Bit(process.readAll()).trimmed();
    return false;
  }
  return true;
}

bool writePrivateFile(const QString& path, const QByteArray& content) {
  QFile file(path);
  if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate)) return false;
  file.setPermissions(kPrivate);
  return file.write(content) == content.size();
}

QStringList ecKeyArgs() {
  return {QStringLiteral("-newkey"), QStringLiteral("ec"), QStringLiteral("-pkeyopt"),
          QStringLiteral("ec_paramgen_curve:prime256v1"), QStringLiteral("-nodes")};
}

bool makeAuthority(const QDir& data, const QDir& tls, QString* error) {
  const QString key = tls.filePath(QStringLiteral("ca.key"));
  QFile::remove(key);
  // Created empty with owner-only rights first, so the key never sits readable.
  if (!writePrivateFile(key, {})) {
    *error = QStringLiteral("cannot write ") + key;
    return false;
  }
  QStringList args{QStringLiteral("req"), QStringLiteral("-x509")};
  args << ecKeyArgs()
       << QStringList{QStringLiteral("-keyout"), key, QStringLiteral("-out"), data.filePath(QStringLiteral("ca.pem")),
                      QStringLiteral("-days"), QStringLiteral("3650"), QStringLiteral("-subj"),
                      QStringLiteral("/CN=Kelvor Local Authority"), QStringLiteral("-addext"),
                      QStringLiteral("basicConstraints=critical,CA:TRUE"), QStringLiteral("-addext"),
                      QStringLiteral("keyUsage=critical,keyCertSign,cRLSign")};
  if (!runOpenssl(args, error)) return false;
  QFile::setPermissions(key, kPrivate);
  return true;
}

bool makeServerCertificate(const QDir& data, const QDir& tls, QString* error) {
  const QString key = tls.filePath(QStringLiteral("server.key"));
  const QString csr = tls.filePath(QStringLiteral("server.csr"));
  const QString ext = tls.filePath(QStringLiteral("server.ext"));
  QFile::remove(key);
  if (!writePrivateFile(key, {})) {
    *error = QStringLiteral("cannot write ") + key;
    return false;
  }
  QStringList request{QStringLiteral("req"), QStringLiteral("-new")};
  request << ecKeyArgs()
          << QStringList{QStringLiteral("-keyout"), key, QStringLiteral("-out"), csr, QStringLiteral("-subj"),
                         QStringLiteral("/CN=127.0.0.1")};
  if (!runOpenssl(request, error)) return false;
  QFile::setPermissions(key, kPrivate);
  if (!writePrivateFile(ext, QByteArrayLiteral("basicConstraints=critical,CA:FALSE\n"
                                               "keyUsage=critical,digitalSignature,keyEncipherment\n"
                                               "extendedKeyUsage=serverAuth\n"
                                               "subjectAltName=IP:127.0.0.1,DNS:localhost\n"))) {
    *error = QStringLiteral("cannot write ") + ext;
    return false;
  }
  const QStringList sign{QStringLiteral("x509"),   QStringLiteral("-req"),
                         QStringLiteral("-in"),    csr,
                         QStringLiteral("-CA"),    data.filePath(QStringLiteral("ca.pem")),
                         QStringLiteral("-CAkey"), tls.filePath(QStringLiteral("ca.key")),
                         QStringLiteral("-set_serial"),
                         QString::number(QDateTime::currentMSecsSinceEpoch()),
                         QStringLiteral("-days"),  QStringLiteral("825"),
                         QStringLiteral("-extfile"), ext,
                         QStringLiteral("-out"),   tls.filePath(QStringLiteral("server.pem"))};
  const bool ok = runOpenssl(sign, error);
  QFile::remove(csr);
  QFile::remove(ext);
  return ok;
}

QList<QSslCertificate> readCertificates(const QString& path) {
  QFile file(path);
  if (!file.open(QIODevice::ReadOnly)) return {};
  return QSslCertificate::fromData(file.readAll(), QSsl::Pem);
}

QSslKey readKey(const QString& path) {
  QFile file(path);
  if (!file.open(QIODevice::ReadOnly)) return {};
  return QSslKey(file.readAll(), QSsl::Ec, QSsl::Pem, QSsl::PrivateKey);
}

bool usable(const QList<QSslCertificate>& certificates) {
  return !certificates.isEmpty() && !certificates.first().isNull() &&
         certificates.first().expiryDate() > QDateTime::currentDateTimeUtc().addDays(1);
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
