// The local certificate authority and the service's own certificate, made
// in-process with the OpenSSL library on the first start and reused afterwards:
//   DATA/ca.pem              the authority's certificate (what clients trust)
//   DATA/tls/ca.key          its key            (0600, folder 0700)
//   DATA/tls/server.pem      certificate for 127.0.0.1 and localhost
//   DATA/tls/server.key      its key            (0600)
#pragma once

#include <QSslConfiguration>
#include <QString>

#include <optional>

namespace kelvor {

// Makes what is missing; the server configuration, or nothing with the reason.
std::optional<QSslConfiguration> ensureCertificates(const QString& dataDir, QString* error);

}  // namespace kelvor
