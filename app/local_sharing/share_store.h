// The share store: the signed-in account's shares in the tables `localshare`
// (one row per share) and `localshare_ext` (one row per setting and share).
// Every statement is limited to the account and binds its values. A save, a
// delete and a change of default share each run in one transaction: on a
// failure nothing is changed and the failure is reported.
#pragma once

#include <QList>
#include <QString>

#include "local_sharing/sharing_obj.h"

// The shares with `tag` ("" and no resolving: all of them), folders first,
// then by path. forWeb keeps enabled shares only and masks access codes as
// "????????". resolveDefault makes "" and "index.php" name the default share.
QList<SharingObjPtr> loadShares(const QString& tag, bool forWeb, bool resolveDefault);

QString getShareExtValue(const QString& tag, const QString& key);
// Replaces one setting of a share; false when the database refused.
bool setShareExtValue(const QString& tag, const QString& key, const QString& value);

// Writes the share's row and its twelve settings; all or nothing.
bool insertShare(const SharingObj& share);
// Replaces the share's stored rows (a rename moves them to the new tag and is
// refused when another share has that tag); all or nothing.
bool saveShare(SharingObj& share);
bool deleteShare(const QString& tag);
bool shareExists(const QString& tag);
// "" and "index.php" name the default share; "" when nothing matches.
QString getShareCTime(const QString& tag);
// Tag and access code compared without regard to letter case.
bool checkSharePassword(const QString& tag, const QString& password);
// A new share of `path` under a fresh 4-character tag.
bool createShare(const QString& path);
// Makes the share with this tag the account's only default share.
bool setDefaultShareInDB(const QString& tag);

// The tag of the account's default share, or "".
QString defaultShareTag();
