#include "local_sharing/share_account.h"

// Placeholder until the account record is reachable from here.
namespace shareaccount {
namespace {
qint64 g_id = 0;
QString g_hostname = QStringLiteral("*");
}  // namespace
qint64 id() { return g_id; }
QString hostname() { return g_hostname; }
void setForTesting(qint64 accountId, const QString& host) {
  g_id = accountId;
  g_hostname = host;
}
}  // namespace shareaccount
