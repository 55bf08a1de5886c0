// The current link to a remote party (its state lives in Env) and this run's
// token prefixes of the request layer.
#pragma once

#include <QString>

// Prefix of the tokens of peer requests ("WSDC") and of bridge requests
// ("P2PClientControl"): a fixed word and the digits of a per-run random hash.
const QString& ClientWSDC();
const QString& P2PClient();

// A remote sender opened a session to this host: takes over its peer pair.
// A session text without the "|" separator is refused (logged, nothing changes).
// Returns whether the session was taken over.
bool SetRemoteSession(const QString& session);
