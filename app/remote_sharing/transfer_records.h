// Control records through which the file browser opens the download and
// upload sheets and learns how they ended. Plain values: the browser fills a
// fresh record each time it opens a sheet.
#pragma once

#include "host_side/file_records.h"

#include <QList>
#include <QString>

enum class OPDownloadType { none, play, download };

struct CTLDownload {
  bool isShowView = false;
  bool isChooseOP = false;
  bool isChooseOP_Done = false;
  bool isCanceled = false;
  QString pathRemote;        // the remote folder on show when the sheet opened
  QString session;           // the browser's session with the host
  QList<FileItem> fileItems;  // the remote entries to fetch
  OPDownloadType opDownloadType = OPDownloadType::none;
};

struct CTLUpload {
  bool isShowView = false;
  bool isCanceled = false;
  bool isUploadSucc = false;  // set when the sheet closes after a finished upload
  QString pathRemote;         // the remote folder that receives the upload
  QString session;            // the browser's session with the host
  QString target;             // local paths joined with "|"; empty: the user chooses
};
