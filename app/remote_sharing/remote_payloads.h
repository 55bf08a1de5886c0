// Payloads of the file browser's own peer requests. Field names are the wire's keys.
#pragma once

#include "core/vex_json.h"

#include <QString>

// "CheckHost": the liveness check names the share's tag.
struct CheckHostMssg {
  QString tag;
  VEX_FIELDS(tag)
};

// "opFileList": a file operation on the host; fileList holds paths joined with "|".
struct OPFileInfo {
  QString path;
  QString cmd;
  QString extInfo;
  QString fileList;
  VEX_FIELDS(path, cmd, extInfo, fileList)
};
