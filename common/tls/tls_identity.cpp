#include "common/tls/tls_identity.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHostAddress>
#include <QSaveFile>

#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <memory>

namespace ztls {

namespace {

template <auto Free>
struct Deleter {
  template <class T>
  void operator()(T* p) const {
    Free(p);
  }
};
using KeyPtr = std::unique_ptr<EVP_PKEY, Deleter<EVP_PKEY_free>>;
using CertPtr = std::unique_ptr<X509, Deleter<X509_free>>;
using BioPtr = std::unique_ptr<BIO, Deleter<BIO_free>>;
using ExtPtr = std::unique_ptr<X509_EXTENSION, Deleter<X509_EXTENSION_free>>;
using BigPtr = std::unique_ptr<BIGNUM, Deleter<BN_free>>;

QString sslError(const char* what) {
  char text[256] = {};
  ERR_error_string_n(ERR_get_error(), text, sizeof text);
  ERR_clear_error();
  return QString::fromLatin1(what) + QStringLiteral(": ") + QString::fromLatin1(text);
}

QByteArray bioBytes(BIO* bio) {
  char* data = nullptr;
  const long size = BIO_get_mem_data(bio, &data);
  return QByteArray(data, size);
}

KeyPtr readPrivateKey(const QByteArray& pem) {
  BioPtr bio(BIO_new_mem_buf(pem.constData(), int(pem.size())));
  return KeyPtr(bio ? PEM_read_bio_PrivateKey(bio.get(), nullptr, nullptr, nullptr) : nullptr);
}

CertPtr readCertificate(const QByteArray& pem) {
  BioPtr bio(BIO_new_mem_buf(pem.constData(), int(pem.size())));
  return CertPtr(bio ? PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr) : nullptr);
}

// "IP:a,DNS:b" for the alternative-name extension.
QByteArray altNames(const QStringList& hosts) {
  QStringList parts;
  for (const QString& host : hosts)
    parts.append((QHostAddress(host).isNull() ? QStringLiteral("DNS:") : QStringLiteral("IP:")) + host);
  return parts.join(QLatin1Char(',')).toLatin1();
}

bool addExtension(X509* cert, X509V3_CTX* ctx, int nid, const QByteArray& value) {
  ExtPtr ext(X509V3_EXT_conf_nid(nullptr, ctx, nid, value.constData()));
  return ext && X509_add_ext(cert, ext.get(), -1) == 1;
}

// Builds and signs a certificate for `key`; `issuer` null means self-signed.
std::optional<Identity> build(const CertificateSpec& spec, X509* issuer, EVP_PKEY* issuerKey, QString* error) {
  KeyPtr key(EVP_EC_gen("P-256"));
  if (!key) return *error = sslError("key generation failed"), std::nullopt;
  CertPtr cert(X509_new());
  unsigned char serial[16];
  if (!cert || RAND_bytes(serial, sizeof serial) != 1) return *error = sslError("certificate setup failed"), std::nullopt;
  serial[0] &= 0x7f;  // a positive serial number
  BigPtr number(BN_bin2bn(serial, sizeof serial, nullptr));
  X509_NAME* name = X509_get_subject_name(cert.get());
  const QByteArray cn = spec.commonName.toUtf8();
  const bool ok = number && X509_set_version(cert.get(), 2) == 1 &&
                  BN_to_ASN1_INTEGER(number.get(), X509_get_serialNumber(cert.get())) &&
                  X509_gmtime_adj(X509_getm_notBefore(cert.get()), -3600) &&
                  X509_gmtime_adj(X509_getm_notAfter(cert.get()), long(spec.days) * 24 * 3600) &&
                  X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_UTF8,
                                             reinterpret_cast<const unsigned char*>(cn.constData()), int(cn.size()),
                                             -1, 0) == 1 &&
                  X509_set_issuer_name(cert.get(), issuer ? X509_get_subject_name(issuer) : name) == 1 &&
                  X509_set_pubkey(cert.get(), key.get()) == 1;
  if (!ok) return *error = sslError("certificate fields failed"), std::nullopt;
  X509V3_CTX ctx;
  X509V3_set_ctx_nodb(&ctx);
  X509V3_set_ctx(&ctx, issuer ? issuer : cert.get(), cert.get(), nullptr, nullptr, 0);
  bool extensions = addExtension(cert.get(), &ctx, NID_subject_key_identifier, "hash") &&
                    addExtension(cert.get(), &ctx, NID_authority_key_identifier, "keyid:always");
  if (spec.authority) {
    extensions = extensions && addExtension(cert.get(), &ctx, NID_basic_constraints, "critical,CA:TRUE") &&
                 addExtension(cert.get(), &ctx, NID_key_usage, "critical,keyCertSign,cRLSign");
  } else {
    extensions = extensions && addExtension(cert.get(), &ctx, NID_basic_constraints, "critical,CA:FALSE") &&
                 addExtension(cert.get(), &ctx, NID_key_usage, "critical,digitalSignature,keyEncipherment") &&
                 addExtension(cert.get(), &ctx, NID_ext_key_usage, "serverAuth");
  }
  if (!spec.hosts.isEmpty())
    extensions = extensions && addExtension(cert.get(), &ctx, NID_subject_alt_name, altNames(spec.hosts));
  if (!extensions) return *error = sslError("certificate extensions failed"), std::nullopt;
  if (X509_sign(cert.get(), issuerKey ? issuerKey : key.get(), EVP_sha256()) <= 0)
    return *error = sslError("signing failed"), std::nullopt;

  BioPtr certBio(BIO_new(BIO_s_mem()));
  BioPtr keyBio(BIO_new(BIO_s_mem()));
  if (!certBio || !keyBio || PEM_write_bio_X509(certBio.get(), cert.get()) != 1 ||
      PEM_write_bio_PrivateKey(keyBio.get(), key.get(), nullptr, nullptr, 0, nullptr, nullptr) != 1)
    return *error = sslError("encoding failed"), std::nullopt;
  return Identity{bioBytes(certBio.get()), bioBytes(keyBio.get())};
}

bool pairMatches(const QByteArray& certPem, const QByteArray& keyPem) {
  const CertPtr cert = readCertificate(certPem);
  const KeyPtr key = readPrivateKey(keyPem);
  const bool match = cert && key && X509_check_private_key(cert.get(), key.get()) == 1;
  ERR_clear_error();
  return match;
}

QByteArray readAll(const QString& path) {
  QFile file(path);
  return file.open(QIODevice::ReadOnly) ? file.read(1024 * 1024) : QByteArray();
}

}  // namespace

std::optional<Identity> makeSelfSigned(const CertificateSpec& spec, QString* error) {
  return build(spec, nullptr, nullptr, error);
}

std::optional<Identity> makeSigned(const Identity& authority, const CertificateSpec& spec, QString* error) {
  const CertPtr issuer = readCertificate(authority.certificatePem);
  const KeyPtr issuerKey = readPrivateKey(authority.keyPem);
  if (!issuer || !issuerKey) return *error = sslError("the authority cannot be read"), std::nullopt;
  return build(spec, issuer.get(), issuerKey.get(), error);
}

bool writePrivateFile(const QString& path, const QByteArray& content) {
  QFile::remove(path);
  QFile file(path);
  // Created empty with owner-only rights first, so the key never sits readable.
  if (!file.open(QIODevice::WriteOnly | QIODevice::NewOnly)) return false;
  if (!file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner)) return false;
  return file.write(content) == content.size() && file.flush();
}

bool writePublicFile(const QString& path, const QByteArray& content) {
  QSaveFile file(path);
  return file.open(QIODevice::WriteOnly) && file.write(content) == content.size() && file.commit();
}

QList<QSslCertificate> readCertificates(const QString& path) {
  return QSslCertificate::fromData(readAll(path), QSsl::Pem);
}

QSslKey readKey(const QString& path) { return QSslKey(readAll(path), QSsl::Ec, QSsl::Pem, QSsl::PrivateKey); }

bool usable(const QList<QSslCertificate>& certificates) {
  return !certificates.isEmpty() && !certificates.first().isNull() &&
         certificates.first().expiryDate() > QDateTime::currentDateTimeUtc().addDays(1);
}

bool coversHosts(const QSslCertificate& certificate, const QStringList& hosts) {
  const auto names = certificate.subjectAlternativeNames();
  for (const QString& host : hosts) {
    const bool ip = !QHostAddress(host).isNull();
    bool found = false;
    for (auto it = names.constBegin(); it != names.constEnd() && !found; ++it) {
      if (ip && it.key() == QSsl::IpAddressEntry) found = QHostAddress(it.value()) == QHostAddress(host);
      if (!ip && it.key() == QSsl::DnsEntry) found = it.value().compare(host, Qt::CaseInsensitive) == 0;
    }
    if (!found) return false;
  }
  return true;
}

std::optional<Identity> ensureSelfSigned(const QString& certPath, const QString& keyPath, const CertificateSpec& spec,
                                         QString* error) {
  const QByteArray certPem = readAll(certPath);
  const QByteArray keyPem = readAll(keyPath);
  const auto certificates = QSslCertificate::fromData(certPem, QSsl::Pem);
  if (usable(certificates) && coversHosts(certificates.first(), spec.hosts) && pairMatches(certPem, keyPem)) {
    QFile::setPermissions(keyPath, QFileDevice::ReadOwner | QFileDevice::WriteOwner);
    return Identity{certPem, keyPem};
  }
  auto made = makeSelfSigned(spec, error);
  if (!made) return std::nullopt;
  if (!QDir().mkpath(QFileInfo(keyPath).absolutePath()) || !writePrivateFile(keyPath, made->keyPem) ||
      !writePublicFile(certPath, made->certificatePem)) {
    *error = QStringLiteral("cannot write ") + keyPath;
    return std::nullopt;
  }
  return made;
}

}  // namespace ztls
