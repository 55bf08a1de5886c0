#include "remote_sharing/saved_hosts.h"

#include "bridge/bridge_link.h"
#include "bridge/env.h"
#include "bridge/payloads.h"
#include "bridge/user_info.h"
#include "core/log.h"
#include "core/util_db.h"
#include "local_sharing/sharing_obj.h"

namespace HelperRemoteSharing {

namespace {
qint64 accountId() { return UserInfo::shared()->id_acc; }
}  // namespace

QList<RemoteSharing> loadRemoteSharings() {
  QList<RemoteSharing> hosts;
  for (const sql::Row& row :
       UtilDB::queryRows(QStringLiteral("select hostname, hosttag, password, aliasname, hostid "
                                        "from remotesharing where id_acc=? order by hostname asc"),
                         {accountId()})) {
    RemoteSharing host;
    row.textsInto({&host.hostname, &host.hosttag, &host.password, &host.aliasname, &host.hostid});
    hosts.append(host);
  }
  return hosts;
}

bool insertRemoteSharing(const RemoteSharing& host) {
  return UtilDB::execute(QStringLiteral("insert into remotesharing (id_acc, hostname, hosttag, password, aliasname, "
                                        "hostid) values(?, ?, ?, ?, ?, ?)"),
                         {accountId(), host.hostname, host.hosttag, host.password, host.aliasname, host.hostid});
}

bool updateRemoteSharing(const RemoteSharing& host) {
  return UtilDB::execute(QStringLiteral("update remotesharing set hostname=?, hosttag=?, password=?, aliasname=? "
                                        "where hostid=? and id_acc=?"),
                         {host.hostname, host.hosttag, host.password, host.aliasname, host.hostid, accountId()});
}

bool deleteRemoteSharing(const QString& hostid) {
  return UtilDB::execute(QStringLiteral("delete from remotesharing where hostid=? and id_acc=?"),
                         {hostid, accountId()});
}

QString hostDisplayName(const RemoteSharing& host) {
  const QString address = host.hostname + QLatin1Char('.') + shareWebDomain() + QLatin1Char('/') + host.hosttag;
  if (!host.aliasname.isEmpty()) return host.aliasname + QLatin1Char('(') + address + QLatin1Char(')');
  return QStringLiteral("https://") + address;
}

void ClientInit(const QString& hostname, const QString& hosttag, const QString& hostpassword) {
  ClientInitJson init;
  init.Id_user = UserInfo::shared()->Token;
  init.Hostname = hostname;
  init.Hosttag = hosttag;
  init.Hostpassword = hostpassword;
  const auto text = init.toJSONString();
  if (text) SendToBridge(QStringLiteral("ClientInit"), *text);
}

void getFileList(const QString& dir, int64_t pageIndex, int64_t pageSize, ReplyHandler callback,
                 const PeerLink& link) {
  GetShareFileListJson request;
  request.dir = dir;
  request.iPageIndex = pageIndex;
  request.iPageSize = pageSize;
  P2PClientMsg::SendMsgOnLink(link, QStringLiteral("getFileList"), request, true, QStringLiteral("NO"),
                              std::move(callback));
}

void WaitRemoteReceiveFiles(const QString& uuid, const QString& fromUser, const QString& summary,
                            ReplyHandler callback) {
  WaitRemoteReceiveFilesJSON offer;
  offer.Session = Env::RemoteSession;
  offer.Summary = summary;
  offer.FromUser = fromUser;
  offer.UUID = uuid;
  P2PClientMsg::SendMsgToRemote(QStringLiteral("WaitRemoteReceiveFiles"), offer, true, QStringLiteral("NO"),
                                std::move(callback));
}

void StartRemoteUpload(const QList<WorkingItem>& fileList, ReplyHandler callback) {
  UploadTaskInfo task;
  task.Session = Env::RemoteSession;
  task.ClientID1 = Env::RemoteClientID1;
  task.ClientID2 = Env::RemoteClientID2;
  task.FileList = fileList;
  P2PClientMsg::SendMsgToP2PClient(QStringLiteral("StartRemoteUpload"), task, true, std::move(callback));
}

}  // namespace HelperRemoteSharing
