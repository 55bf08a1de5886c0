// Saved remote hosts (table `remotesharing`, rows of the signed-in account)
// and the senders the remote-sharing and contact screens use to open a link,
// page a remote folder, offer files to a contact and start an upload.
#pragma once

#include <QList>
#include <QString>
#include <QUuid>

#include "bridge/p2p_client_msg.h"
#include "core/vex_json.h"

struct RemoteSharing {
  QUuid id = QUuid::createUuid();  // identity in lists; new on every load
  QString hostid;
  QString hostname;
  QString hosttag;
  QString password;
  QString aliasname;
};

enum class RemoteSharingDownloadStatus { dsNone, dsPreparing, dsRunning, dsFinished, dsCanceld, dsFailed };

// "WaitRemoteReceiveFiles": files offered to a contact.
struct WaitRemoteReceiveFilesJSON {
  QString Session;
  QString Summary;
  QString FromUser;
  QString UUID;
  VEX_FIELDS(Session, Summary, FromUser, UUID)
};

// "WaitRemoteReceiveFilesPressButton": the sender polls the receiver's answer.
struct WaitRemoteReceiveFilesPressButton {
  QString UUID;
  VEX_FIELDS(UUID)
};

// "WaitRemoteReceiveFilesCancel": the sender gave up.
struct WaitRemoteReceiveFilesCancelJson {
  QString Session;
  VEX_FIELDS(Session)
};

// "SyncTransState": the sender's transfer state mirrored to the receiver.
struct SyncTransStateToRemoteHostJson {
  QString Log;
  float IProgress = 0;
  bool IsFinished = false;
  bool IsCanceled = false;
  VEX_FIELDS(Log, IProgress, IsFinished, IsCanceled)
};

// One file or folder of an upload.
struct WorkingItem {
  int64_t Size = 0;
  bool IsDir = false;
  QString Path;
  QString PathSave;
  VEX_FIELDS(Size, IsDir, Path, PathSave)
};

// "StartRemoteUpload".
struct UploadTaskInfo {
  QString Session;
  QString ClientID1;
  QString ClientID2;
  QList<WorkingItem> FileList;
  VEX_FIELDS(Session, ClientID1, ClientID2, FileList)
};

namespace HelperRemoteSharing {

// The account's saved hosts by host name.
QList<RemoteSharing> loadRemoteSharings();
bool insertRemoteSharing(const RemoteSharing& host);
// Update and delete reach only the signed-in account's row with that id.
bool updateRemoteSharing(const RemoteSharing& host);
bool deleteRemoteSharing(const QString& hostid);
// "alias(host.domain/tag)" or "https://host.domain/tag".
QString hostDisplayName(const RemoteSharing& host);

// Opens a link to a remote host's share; the outcome arrives as a "P2PCLIENT" frame.
void ClientInit(const QString& hostname, const QString& hosttag, const QString& hostpassword);
void getFileList(const QString& dir, int64_t pageIndex, int64_t pageSize, ReplyHandler callback,
                 const PeerLink& link = currentPeerLink());
void WaitRemoteReceiveFiles(const QString& uuid, const QString& fromUser, const QString& summary,
                            ReplyHandler callback);
void StartRemoteUpload(const QList<WorkingItem>& fileList, ReplyHandler callback);

}  // namespace HelperRemoteSharing
