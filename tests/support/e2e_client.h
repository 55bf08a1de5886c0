// The client's side of the loopback end-to-end tests, over the bridge harness:
// the environment of a client process bound to its own bridge, its sign-in
// through the QR confirm page, a share seeded into its home, and this test
// process itself as a client of a bridge.
#pragma once

#include "vantrel_harness.h"

#include "local_sharing/sharing_obj.h"

#include <QString>

namespace e2eclient {

// The environment of a client that reaches `bridge` in mode 1, offscreen.
void configureClient(vantreltest::Child& client, const vantreltest::Service& service,
                     const vantreltest::BridgeProcess& bridge, const QString& secret);

// Waits for the QR page address the client's login sheet logs, then confirms
// it as the phone would. False when the address never shows or the post fails.
bool confirmQrPage(vantreltest::Child& client, const vantreltest::Service& service, const QString& email,
                   const QString& password);

// Starts the client in `client` on `bridge` and signs Ann in through its QR
// page; true once the client reports its host signed in.
bool startSignedInClient(vantreltest::Child& client, const vantreltest::Service& service,
                         const vantreltest::BridgeProcess& bridge, const QString& secret);

// Writes `share` into the database of the client whose home is `home`, as the
// share of account `accountId` on `hostname`.
bool seedShare(const QString& home, qint64 accountId, const QString& hostname, const SharingObj& share);

// This process as a client of the bridge on `port`; true once connected.
bool connectThisProcess(quint16 port, const QString& secret);
// This process as Bob's client of the bridge on `port`; true once signed in.
bool signInThisProcessAsBob(quint16 port, const QString& secret);
// Drops this process's bridge connection, its remote session, its waiting requests and its account.
void disconnectThisProcess();

}  // namespace e2eclient
