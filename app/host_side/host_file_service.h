// The host's answers to a peer's file requests, each behind the path gate: a
// refused path is answered as a missing one would be; one the host could not
// open (no descriptors left, no permission) as a failure with its reason. Every file or folder is
// reached through the gate's descriptors (host_side/path_guard.h).
#pragma once

#include <QString>

#include "core/vex_json.h"
#include "host_side/file_listing.h"
#include "host_side/file_records.h"
#include "host_side/path_guard.h"
#include "protocol/share_spot.h"

// "getFileList": the request with the folder opened through the gate (no
// folder when refused, which lists as an empty folder; with its failure when
// it could not be opened).
FileListRequest guardedListRequest(const PathGuard& guard, const QString& dir, const QString& search,
                                   const QString& orderBy, qint64 pageIndex, qint64 pageSize, qint64 probeCount,
                                   int kinds);

// The "getFileList" reply record for a request made by guardedListRequest,
// listed and built; safe on any thread.
vex::Json answerGetFileList(const FileListRequest& request);

// "fileUploadCheck": one task per element of `fileList` (an array of names;
// anything else gives no tasks). `spot`, when given, learns where the folder
// lies (left empty when it is refused).
FileUploadInfo answerFileUploadCheck(const PathGuard& guard, const QString& dir, const vex::Json& fileList,
                                     protocol::ShareSpot* spot = nullptr);

// "fileDownloadCheck", with `spot` as for uploads.
FileDownloadInfo answerFileDownloadCheck(const PathGuard& guard, const QString& path,
                                         protocol::ShareSpot* spot = nullptr);

// "opFileList": with cmd "delete", removes every "|"-separated path the gate
// allows deleting ("Failed to remove file." for each one that stays).
// Returns how many were removed.
int removeServedFiles(const PathGuard& guard, const QString& cmd, const QString& fileList);

// "newFile_create": creates the folder `name` in `dir` when the gate allows
// it. Returns true when the folder exists afterwards.
bool createServedFolder(const PathGuard& guard, const QString& dir, const QString& name);
