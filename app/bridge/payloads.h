// Payloads carried by requests to peers and to the bridge, and the request
// envelope itself. Field names are the wire's keys.
#pragma once

#include "core/vex_json.h"

#include <QString>
#include <QStringList>

#include <cstdint>

// The empty payload.
struct BlankMsg {
  QString m;
  VEX_FIELDS(m)
};

// Request envelope of a peer or bridge request; Data is the payload's JSON tree.
struct WSDCMsgJson {
  QString Session;
  QString Code;
  QString Token;
  QString ClientID1;
  QString ClientID2;
  QString ClientIDRemote;
  QString IsProcessOnBridge;
  vex::Json Data = BlankMsg{}.toJSONModel();
  VEX_FIELDS(Session, Code, Token, ClientID1, ClientID2, ClientIDRemote, IsProcessOnBridge, Data)
};

// "getShareInfo"
struct GetShareInfoJson {
  QString tag;
  QString pass;
  int64_t isweb = 0;
  VEX_FIELDS(tag, pass, isweb)
};

// "getFileList"; iIconLoadSize is text on the wire.
struct GetShareFileListJson {
  QString dir;
  QString search;
  QString filters;
  QString orderBy;
  QString iIconLoadSize;
  int64_t iPageIndex = 0;
  int64_t iPageSize = 0;
  int64_t iProbeCount = 0;
  int64_t iPreFetchIcon = 0;
  VEX_FIELDS(dir, search, filters, orderBy, iIconLoadSize, iPageIndex, iPageSize, iProbeCount, iPreFetchIcon)
};

// "buildIcon2": entries are "<full path>|<row index>|1|-1".
struct BuildIcon2 {
  int64_t size = 0;
  QStringList fileList;
  VEX_FIELDS(size, fileList)
};

// "RemoteUploadTaskInfo" and "CancelUploading".
struct RemoteUploadStatus {
  QString Session;
  QString IsProcessOnBridge;
  VEX_FIELDS(Session, IsProcessOnBridge)
};

// "CallHttp": the bridge fetches URL for the client.
struct CallHttpInfo {
  QString URL;
  int64_t Timeout = 0;
  VEX_FIELDS(URL, Timeout)
};

// "Trans2_FS_00_CallStart": starts an upload; Targets are local paths joined by "|".
struct Trans2_FS_00_CallStartInfo {
  QString Session;
  QString Targets;
  QString RemotePathRoot;
  bool Overwrite = true;  // false: a file whose name exists on the host is saved as "name (N).ext"
  VEX_FIELDS(Session, Targets, RemotePathRoot, Overwrite)
};

// "Trans3_FC_TransTaskInfo"
struct Trans3_FC_TransTaskInfo_Msg {
  QString Session;
  VEX_FIELDS(Session)
};

// "Trans3_FC_00_Cancel"
struct Trans3_FC_00_Cancel_Msg {
  QString Session;
  VEX_FIELDS(Session)
};

// "Trans2_FS_00_Cancel"
struct Trans2_FC_Cancel_Msg {
  QString Session;
  VEX_FIELDS(Session)
};

// Body of "ClientInit", written as JSON text.
struct ClientInitJson {
  QString Id_user;
  QString Hostname;
  QString Hosttag;
  QString Hostpassword;
  VEX_FIELDS(Id_user, Hostname, Hosttag, Hostpassword)
};

struct V5_fileDownload_subFileTree {
  QString dirs;
  QString IsProcessOnBridge;
  VEX_FIELDS(dirs, IsProcessOnBridge)
};

struct BlankMsgRemoteBridgeCallBack {
  QString m;
  QString IsProcessOnBridge;
  VEX_FIELDS(m, IsProcessOnBridge)
};

struct CloseConnectionInfo {
  QString Session;
  VEX_FIELDS(Session)
};
