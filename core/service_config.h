// Where the account service is and which certificate authority to trust.
// The client and the bridge read the same two variables; the bridge inherits
// them from the client that starts it.
//   ZARKELO_SERVICE_HOST  host:port of the service (default 127.0.0.1:19443)
//   ZARKELO_CA_FILE       a PEM file of an authority trusted in addition to the system's
#pragma once

#include <QString>

namespace serviceconfig {

inline constexpr char kDefaultServiceHost[] = "127.0.0.1:19443";

// host:port of the account service.
QString serviceHost();
// "https://" + host + "/api2/"
QString apiBase();
// "https://" + host
QString siteBase();

// Adds the authority of ZARKELO_CA_FILE to the default TLS configuration of
// this process. Certificate errors are never ignored. Returns false (and logs)
// when the variable names a file that cannot be read as PEM certificates.
bool installTrustedAuthority();

}  // namespace serviceconfig
