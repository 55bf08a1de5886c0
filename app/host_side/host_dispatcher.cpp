#include "host_side/host_dispatcher.h"

#include <algorithm>

#include "host_side/host_handlers.h"
#include "host_side/host_replies.h"
#include "core/json_read.h"
#include "core/log.h"
#include "host_side/host_file_service.h"
#include "host_side/host_turns.h"
#include "host_side/share_access.h"
#include "local_sharing/share_store.h"
#include "protocol/peer_requests.h"
#include "host_side/thumbnails.h"

namespace hostside {

namespace {

using Handler = void (*)(const Request&);

// A share with a code that the session has not proved answers as a missing one.
void checkHost(const Request& r) {
  const QString tag = jsonread::text(r.msg, "tag");
  const QString ctime = ShareAccess::shared().mayReachTag(r.session, tag) ? getShareCTime(tag) : QString();
  SendWSDCReply(r.code, r.token, r.session, wrapData(ctime));
}

void getShareInfo(const Request& r) {
  const QString tag = jsonread::text(r.msg, "tag");
  const QString pass = jsonread::text(r.msg, "pass");
  const QString isweb = jsonread::text(r.msg, "isweb");
  QList<SharingObjPtr> shares;
  if (isweb != QStringLiteral("0"))
    shares = loadShares(tag, true, true);
  else if (ShareAccess::shared().tryCode(r.session, r.peer, tag, pass))
    shares = loadShares(tag, false, true);
  vex::Json list = vex::Json::array();
  if (!shares.isEmpty()) {
    SharingObjJson wire;
    if (ShareAccess::shared().mayReachTag(r.session, shares.first()->tag)) {
      wire.fillFromSharingObj(*shares.first());
    } else {
      // Before its code is proved a share shows its tag and that it has a
      // code, and nothing of its folder or settings.
      wire.tag = shares.first()->tag;
      wire.password = shares.first()->password;
    }
    list.push_back(wire.toJSONModel());
  }
  SendWSDCReply(r.code, r.token, r.session, wrapData(list));
}

void checkAccessCode(const Request& r) {
  const bool ok =
      ShareAccess::shared().tryCode(r.session, r.peer, jsonread::text(r.msg, "tag"), jsonread::text(r.msg, "password"));
  SendWSDCReply(r.code, r.token, r.session, wrapData(ok));
}

void buildIcon2(const Request& r) {
  const int64_t size = jsonread::integer(r.msg, "size");
  answerBuildIcon2(PathGuard::forSession(r.session), size, jsonread::member(r.msg, "fileList"),
                   [code = r.code, token = r.token, session = r.session, peer = r.peer](const QString& result) {
                     SendWSDCReply(code, token, session, wrapData(result));
                     countLateAnswerBytes(peer, result.size());
                   },
                   r.session, r.peer);
}

void fileUploadCheck(const Request& r) {
  protocol::ShareSpot spot;
  const FileUploadInfo info = answerFileUploadCheck(PathGuard::forSession(r.session), jsonread::text(r.msg, "dir"),
                                                    jsonread::member(r.msg, "fileList"), &spot);
  SendWSDCReply(r.code, r.token, r.session, vex::Json{{"data", withSpot(checkReply(info), r, spot)}});
}

// Who asks, for the brake on guessed codes: the peer's account as the bridge
// names it, else the peer's client id in the session.
QString peerOf(const QString& account, const QString& session) {
  if (!account.isEmpty()) return QStringLiteral("acc:") + account;
  return QStringLiteral("client:") + makeMsgBack(QString(), QString(), session, vex::Json()).ClientIDRemote;
}

// The bridge tells that a session ended: what it proved is forgotten, and its
// thumbnails still waiting are not made.
void sessionClosed(const Request& r) {
  ShareAccess::shared().forgetSession(r.session);
  endThumbnailSession(r.session);
}

struct Route {
  const char* code;
  Handler handler;
};

// In the order the codes are compared.
const Route kRoutes[] = {
    {"ClientTouch", clientTouch},
    {"CheckHost", checkHost},
    {"HostHandShake", hostHandShake},
    {"WaitRemoteReceiveFilesCancel", waitRemoteReceiveFilesCancel},
    {"ValidInfo", validInfo},
    {"WaitRemoteReceiveFiles", waitRemoteReceiveFiles},
    {"WaitRemoteReceiveFilesPressButton", waitRemoteReceiveFilesPressButton},
    {"PING", ping},
    {"getShareInfo", getShareInfo},
    {"checkAccessCode", checkAccessCode},
    {"getFileList", getFileList},
    {"buildIcon2", buildIcon2},
    {"fileDownloadCheck", fileDownloadCheck},
    {"fileUploadCheck", fileUploadCheck},
    {"opFileList", opFileList},
    {"newFile_create", newFileCreate},
    {"SaveLog", ignored},
    {"getFileExtInfo", ignored},
    {"Clipboard", clipboardPush},
    {"ClipboardGetText", clipboardGetText},
    {"SessionClosed", sessionClosed},
};

const Route* routeOf(const QString& code) {
  for (const Route& route : kRoutes)
    if (code == QLatin1String(route.code)) return &route;
  return nullptr;
}

// What the bridge says of its running transfers, where it says it.
void takeHostTransfers(const vex::Json& frame) {
  const vex::Json& running = jsonread::member(frame, protocol::kHostTransfersField);
  if (running.is_number_integer()) setHostTransfers(int(std::clamp<int64_t>(running.get<int64_t>(), 0, 1 << 20)));
}

// The bridge's own check for a transfer: its turn has come, so that the
// bridge waits for its answer from now on only.
void tellCheckTaken(const Request& r) {
  const vex::Json notice = {{"Token", r.token.toStdString()},
                            {"Session", r.session.toStdString()},
                            {"Code", r.code.toStdString()},
                            {protocol::kCheckTakenField, 1}};
  sendFrame(QStringLiteral("WSDC"), QString::fromStdString(notice.dump()));
}

}  // namespace

void handleRequest(const vex::Json& frame) {
  takeHostTransfers(frame);
  Request request;
  request.token = jsonread::text(frame, "Token");
  request.session = jsonread::text(frame, "Session");
  request.code = jsonread::text(frame, "Code");
  request.msg = jsonread::member(frame, "Msg");
  request.transferCheck = jsonread::integer(frame, protocol::kTransferCheckField) == 1;
  request.account = jsonread::text(frame, "PeerACC");
  request.accountName = jsonread::text(frame, "PeerName");
  request.peer = peerOf(request.account, request.session);
  if (request.code == QLatin1String("SessionClosed")) {
    dropHostWork(request.session);
    sessionClosed(request);
    return;
  }
  ShareAccess::shared().touch(request.session);
  const Route* route = routeOf(request.code);
  if (!route) {
    zlog::line(QStringLiteral("WSDC Not Process - ") + zlog::excerpt(request.code));
    zlog::line(zlog::excerpt(frame.dump(-1, ' ', false, vex::Json::error_handler_t::replace)));
    return;
  }
  HostWork work{request.peer, request.session, {}, {}, request.transferCheck};
  if (!protocol::isUnansweredRequest(request.code))
    work.refuse = [code = request.code, token = request.token, session = request.session] {
      SendWSDCReply(code, token, session, busyReply());
    };
  work.run = [handler = route->handler, request = std::move(request)] {
    if (request.transferCheck) tellCheckTaken(request);
    handler(request);
  };
  queueHostWork(std::move(work));
}

void handleHostFunction(const vex::Json& frame) {
  const QString session = jsonread::text(frame, "Session");
  // "TxtMsg" is JSON text; a bridge that nests the object itself is read too.
  const vex::Json& txt = jsonread::member(frame, "TxtMsg");
  std::optional<vex::Json> call;
  if (txt.is_object())
    call = txt;
  else
    call = jsonread::parse(jsonread::text(txt).toStdString());
  if (!call) {
    zlog::line(QStringLiteral("DoMsg_P2PCall - DoMsg - Json error!"));
    return;
  }
  // Two shapes of the call: {"Token", "Msg": {"Code", "Msg": payload}} and
  // {"Token", "Code", "Msg": payload}.
  const vex::Json& msg = jsonread::member(*call, "Msg");
  QString code;
  vex::Json payload;
  if (msg.is_object() && msg.contains("Code")) {
    code = jsonread::text(msg, "Code");
    payload = jsonread::member(msg, "Msg");
  } else {
    code = jsonread::text(*call, "Code");
    payload = msg;
  }
  MsgBackData_P2P record;
  record.Code = vex::Json(code.toStdString());
  record.Session = vex::Json(session.toStdString());
  record.Token = vex::Json(jsonread::text(*call, "Token").toStdString());

  if (code != QStringLiteral("buildIcon2")) {
    zlog::parts(QStringLiteral("DoMsg_P2PCall - Not Process"), zlog::excerpt(code));
    zlog::line(zlog::excerpt(payload.dump(-1, ' ', false, vex::Json::error_handler_t::replace)));
    return;
  }
  takeHostTransfers(frame);
  ShareAccess::shared().touch(session);
  const QString account = jsonread::text(frame, "PeerACC");
  auto answer = [record](vex::Json data) mutable {
    record.Data = std::move(data);
    const auto text = record.toJSONString();
    if (text) sendFrame(QStringLiteral("P2PCallHostFuncCallback"), QString::fromStdString(*text));
  };
  const QString peer = peerOf(account, session);
  HostWork work{peer, session, {}, [answer]() mutable { answer(busyReply()); }};
  work.run = [answer, session, peer, payload = std::move(payload)] {
    answerBuildIcon2(PathGuard::forSession(session), jsonread::integer(payload, "size"),
                     jsonread::member(payload, "fileList"), [answer, peer](const QString& result) mutable {
                       MsgBackData data;
                       data.data = vex::Json(result.toStdString());
                       answer(data.toJSONModel());
                       countLateAnswerBytes(peer, result.size());
                     },
                     session, peer);
  };
  queueHostWork(std::move(work));
}

}  // namespace hostside
