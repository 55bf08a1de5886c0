// Records of the host file service: one entry of a file list, one thumbnail
// result, and the answers of the upload and download checks. Their JSON keys
// are the field names.
#pragma once

#include <QList>
#include <QString>
#include <QUuid>

#include "core/vex_json.h"

// One entry of a file list. The empty record has iValid 2 and every other
// number 0; the host listing fills it (iValid 1).
struct FileItem {
  QUuid id = QUuid::createUuid();  // identity in lists; never written to JSON
  QString name;
  QString nameNew;
  QString nameOld;
  QString fullPath;
  QString iconData;
  QString iconDefault;
  QString iconDefaultSmall;
  QString typeDesection;
  QString extendInfo;
  qint64 size = 0;
  bool isDir = false;
  bool isEmpty = false;
  bool isHidden = false;
  bool isReadonly = false;
  bool isSystem = false;
  bool isInCut = false;
  bool isInCopy = false;
  qint64 createdTime = 0;
  qint64 modifiedTime = 0;
  qint64 accessedTime = 0;
  qint64 iChildDirCount = 0;
  qint64 iChildFileCount = 0;
  bool isChecked = false;
  qint64 isHasSubDir = 0;
  qint64 isHasSubFile = 0;
  QString tagPY;
  qint64 tagSize = 0;
  qint64 tagMDate = 0;
  qint64 level = 0;
  bool isExpanded = false;
  qint64 iValid = 2;
  qint64 iPreview = 0;
  qint64 viewCount = 0;
  qint64 orderByID = 0;
  qint64 orderByCend = 0;
  qint64 assetIndex = 0;
  QString ext;

  VEX_FIELDS(id, name, nameNew, nameOld, fullPath, iconData, iconDefault, iconDefaultSmall, typeDesection, extendInfo,
             size, isDir, isEmpty, isHidden, isReadonly, isSystem, isInCut, isInCopy, createdTime, modifiedTime,
             accessedTime, iChildDirCount, iChildFileCount, isChecked, isHasSubDir, isHasSubFile, tagPY, tagSize,
             tagMDate, level, isExpanded, iValid, iPreview, viewCount, orderByID, orderByCend, assetIndex, ext)
};

// One thumbnail result.
struct FileDynaReloadData {
  QString fullPath;
  QString iconBase64;
  QString extendInfo;
  qint64 index = -1;
  bool isDir = false;
  bool isHasSubDir = false;
  bool isHasSubFile = false;
  qint64 size = 0;
  qint64 createdTime = 0;
  qint64 modifiedTime = 0;

  VEX_FIELDS(fullPath, iconBase64, extendInfo, index, isDir, isHasSubDir, isHasSubFile, size, createdTime, modifiedTime)
};

// The answer for one name of an upload check.
struct FileUploadInfo_Task {
  qint64 isExist = 0;
  qint64 size = 0;

  VEX_FIELDS(isExist, size)
};

// The answer to "fileUploadCheck".
struct FileUploadInfo {
  QString dir;
  qint64 size = 0;
  qint64 valid = 1;
  qint64 ctime = 0;
  QList<FileUploadInfo_Task> task;
  QString TransLAN = QStringLiteral("0");  // "1": the bridges may use the local-network route
  QString reason;  // why it is not valid when the host failed to look (checkReply)

  VEX_FIELDS(dir, size, valid, ctime, task, TransLAN)
};

// The answer to "fileDownloadCheck".
struct FileDownloadInfo {
  QString path;
  qint64 size = 0;
  qint64 valid = 0;
  QString TransLAN = QStringLiteral("0");  // "1": the bridges may use the local-network route
  QString reason;  // why it is not valid when the host failed to look (checkReply)

  VEX_FIELDS(path, size, valid, TransLAN)
};

// A check's answer as sent: its fields, and "reason" only when the host
// failed to look (a missing or refused path has none).
template <class Check>
vex::Json checkReply(const Check& info) {
  vex::Json answer = info.toJSONModel();
  if (!info.reason.isEmpty()) answer["reason"] = info.reason.toStdString();
  return answer;
}

// The payload of a "getFileList" reply.
struct MsgBackData_FileList {
  std::optional<vex::Json> data;
  QString sResult;
  QString sPageInfo;
  QString index;
  qint64 iProbeCount = 0;

  VEX_FIELDS(data, sResult, sPageInfo, index, iProbeCount)
};
