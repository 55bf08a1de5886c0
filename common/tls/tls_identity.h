// Key pairs and X.509 certificates made in-process with the OpenSSL library:
// a self-signed certificate (an authority, or a server that peers pin), and a
// server certificate signed by an authority. Keys are EC P-256, PEM-encoded;
// files holding a key are written owner-only before any byte goes in.
#pragma once

#include <QByteArray>
#include <QSslCertificate>
#include <QSslKey>
#include <QString>
#include <QStringList>

#include <optional>

namespace ztls {

// A certificate and its private key, both PEM.
struct Identity {
  QByteArray certificatePem;
  QByteArray keyPem;
};

struct CertificateSpec {
  QString commonName;
  QStringList hosts;  // subject alternative names: IP addresses and DNS names
  int days = 825;
  bool authority = false;  // a CA that signs other certificates
};

// A fresh key pair and a certificate for it signed by that same key.
std::optional<Identity> makeSelfSigned(const CertificateSpec& spec, QString* error);
// A fresh key pair and a server certificate for it signed by `authority`.
std::optional<Identity> makeSigned(const Identity& authority, const CertificateSpec& spec, QString* error);

// Writes `content` to `path` with owner-only rights set before the content.
bool writePrivateFile(const QString& path, const QByteArray& content);
// Writes a public file (a certificate) in one step.
bool writePublicFile(const QString& path, const QByteArray& content);

// The certificates of a PEM file (empty when unreadable).
QList<QSslCertificate> readCertificates(const QString& path);
// The EC private key of a PEM file (null when unreadable).
QSslKey readKey(const QString& path);
// Whether the first certificate exists and stays valid for at least a day.
bool usable(const QList<QSslCertificate>& certificates);
// Whether `certificate` names every one of `hosts` among its alternative names.
bool coversHosts(const QSslCertificate& certificate, const QStringList& hosts);

// The certificate and key kept at `certPath`/`keyPath` when they are usable,
// match each other and cover `spec.hosts`; otherwise a new self-signed pair is
// made and written there (key 0600).
std::optional<Identity> ensureSelfSigned(const QString& certPath, const QString& keyPath, const CertificateSpec& spec,
                                         QString* error);

}  // namespace ztls
