// Opening a file of a share on behalf of a peer, for reading: the one place
// the host side turns a path that the gate let through into a descriptor
// (the thumbnail helper is handed that descriptor, never the path).
#pragma once

#include <QString>

// A read-only, close-on-exec descriptor of the regular file at `resolved` (a
// path PathGuard gave), or -1 when it is missing, unreadable or anything but
// a regular file. The caller closes it.
int openServedFile(const QString& resolved);
