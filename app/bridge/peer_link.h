// The current link to a remote party (its state lives in Env) and this run's
// token prefixes of the request layer.
#pragma once

#include <QString>

// Prefix of the tokens of peer requests ("WSDC") and of bridge requests
// ("P2PClientControl"): a fixed word and the digits of a per-run random hash.
const QString& ClientWSDC();
const QString& P2PClient();

// One link to a peer: its session and the session's two client ids. A screen
// that opened a link keeps it and sends its requests on it, so that links
// opened later (a contact's send, an offer received) never redirect them.
struct PeerLink {
  QString session;
  QString clientId1;
  QString clientId2;
  bool isUp() const { return !session.isEmpty(); }
};

// The current peer pair of Env (the latest link result or incoming session).
PeerLink currentPeerLink();
// The link of a session text ("id1|id2"); down when it lacks the separator.
PeerLink linkOfSession(const QString& session);

// A remote sender opened a session to this host: takes over its peer pair.
// A session text without the "|" separator is refused (logged, nothing changes).
// Returns whether the session was taken over.
bool SetRemoteSession(const QString& session);
