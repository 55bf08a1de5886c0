// The client's side of the loopback end-to-end tests, over the bridge harness:
// the environment of a client process bound to its own bridge, its sign-in
// through the QR confirm page, a share seeded into its home, and this test
// process itself as a client of a bridge.
#pragma once

#include "vantrel_harness.h"

#include "local_sharing/sharing_obj.h"

#include <QSize>
#include <QString>
#include <QStringList>

#include <functional>

namespace e2eclient {

// The environment of a client that reaches `bridge` in mode 1, offscreen.
void configureClient(vantreltest::Child& client, const vantreltest::Service& service,
                     const vantreltest::BridgeProcess& bridge, const QString& secret);

// The environment of a client that starts and watches a bridge of its own (on
// a free port), offscreen; gives the client's executable to start, linked with
// its bridge and thumbnail helper into a folder of its own in its home (a
// client kills the bridges it finds beside itself). With `fromBin`, the three
// programs are that folder's (another build's); "" when one is not there.
// Opens a session from `peer`'s bridge (signed in with `token`) to the share
// `tag` of "ann-host" with `code`, asking again while the host is not online
// yet; its "ClientID1|ClientID2", or "" when none opened.
QString openShareSession(vantreltest::ClientLink& peer, const QString& token, const QString& tag,
                         const QString& code = {});

QString configureClientWithOwnBridge(vantreltest::Child& client, const vantreltest::Service& service,
                                     const QString& fromBin = {});

// Where a client started with `home` records its QR page addresses (the log
// masks their token), and the latest of them ("" while none).
QString loginPageFile(const QString& home);
QString latestLoginPage(const QString& home);

// Waits for the QR page address the client's login sheet shows, then confirms
// it as the phone would. False when the address never shows or the service
// does not confirm it.
bool confirmQrPage(vantreltest::Child& client, const vantreltest::Service& service, const QString& email,
                   const QString& password);

// Starts the client in `client` on `bridge` and signs Ann in through its QR
// page; true once the client reports its host signed in.
bool startSignedInClient(vantreltest::Child& client, const vantreltest::Service& service,
                         const vantreltest::BridgeProcess& bridge, const QString& secret);

// Writes `share` into the database of the client whose home is `home`, as the
// share of account `accountId` on `hostname`.
bool seedShare(const QString& home, qint64 accountId, const QString& hostname, const SharingObj& share);
// Changes the stored share `tag` of that client with `edit` and saves it, as
// its settings page would, under a save stamp other than the one it had (the
// stamp counts seconds). False when the share is missing or cannot be saved.
bool editShare(const QString& home, qint64 accountId, const QString& hostname, const QString& tag,
               const std::function<void(SharingObj&)>& edit);
// Writes `count` files named by `pattern` with their index in three digits for
// "%1" (their folder made already); the file of index i holds i bytes. False
// when one cannot be written.
bool writeNumberedFiles(const QString& pattern, int count);
// Saves one plain picture of `size` in `color` at each of `paths`, in the
// format its suffix names; false when one cannot be saved.
bool savePictures(const QSize& size, Qt::GlobalColor color, const QStringList& paths);
// A share `tag` of `path` with access code "Pass1" and no rights yet: the
// tests set the rights they need and seed it.
SharingObj passOneShare(const QString& tag, const QString& path);

// This process as a client of the bridge on `port`; true once connected.
bool connectThisProcess(quint16 port, const QString& secret);
// This process as Bob's client of the bridge on `port`; true once signed in.
bool signInThisProcessAsBob(quint16 port, const QString& secret);
// Drops this process's bridge connection, its remote session, its waiting requests and its account.
void disconnectThisProcess();

}  // namespace e2eclient
