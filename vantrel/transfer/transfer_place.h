// Putting a finished file under its name in the folder it was received into:
// either in place of what is there, or, when nothing may be replaced, under
// the first free "name (N).ext", chosen atomically so that two transfers
// into one folder never take the same name.
#pragma once

#include <QString>

#include <optional>

namespace vantrel {

// "name (n).ext": the number goes before the last extension ("a.tar (2).gz");
// a name with no extension or only a leading dot (".profile") gets it at the end.
QString numberedName(const QString& name, int n);

// Renames `from` to `name`, both in the folder open as `dirfd`. With
// `replace` false an existing entry is never replaced: `name`, then "name (1).ext",
// "name (2).ext", ... until one is free (RENAME_NOREPLACE). The name used, or
// nothing with `*error` set to the errno.
std::optional<QString> placeFile(int dirfd, const QString& from, const QString& name, bool replace, int* error);

}  // namespace vantrel
