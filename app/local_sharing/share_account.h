// The signed-in account as the share store sees it: every share statement is
// limited to its id, and share URLs begin with its host name.
#pragma once

#include <QString>

namespace shareaccount {

qint64 id();
QString hostname();

// Replaces the shared account record with a copy signed in as `accountId`.
void setForTesting(qint64 accountId, const QString& host);

}  // namespace shareaccount
