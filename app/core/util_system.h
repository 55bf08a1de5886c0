// File-system, path and format helpers shared by every part of the client.
#pragma once

#include <QString>

// The user's documents folder with `name` appended as one path component.
QString documentsPath(const QString& name);
// Creates the folder (and missing parents) unless it is an existing folder;
// a failure is logged and the caller goes on.
void ensureDirectory(const QString& path);
