#include "host_side/host_handlers.h"

#include <QClipboard>
#include <QCoreApplication>
#include <QDateTime>
#include <QGuiApplication>
#include <QMimeData>
#include <QTextBoundaryFinder>
#include <QThreadPool>
#include <QtConcurrent/QtConcurrentRun>

#include "bridge/env.h"
#include "host_side/host_dispatcher.h"
#include "host_side/host_replies.h"
#include "core/json_read.h"
#include "bridge/p2p_client_msg.h"
#include "bridge/peer_link.h"
#include "bridge/user_info.h"
#include "core/localized.h"
#include "core/log.h"
#include "core/util_db.h"
#include "core/util_system.h"
#include "shell/view_handles.h"
#include "host_side/file_listing.h"
#include "host_side/host_file_service.h"

namespace hostside {

namespace {

// The bridge request that clears the upload state of a session.
struct MsgResetRemoteUpload {
  QString Session;
  VEX_FIELDS(Session)
};

QThreadPool& listingPool() {
  static QThreadPool* pool = [] {
    auto* p = new QThreadPool;
    p->setMaxThreadCount(2);
    return p;
  }();
  return *pool;
}

// The session whose file offer the receive panel shows: the folder the user
// chose there is given to that session only.
QString& offeringSession() {
  static QString session;
  return session;
}

QClipboard* clipboard() {
  return qobject_cast<QGuiApplication*>(QCoreApplication::instance()) ? QGuiApplication::clipboard() : nullptr;
}

}  // namespace

int64_t activeSessionCount(uint64_t now) {
  int64_t count = 0;
  for (const auto& [session, stamp] : Env::PingTimes)
    if (stamp + kSessionActiveSeconds >= now) ++count;
  return count;
}

void clientTouch(const Request& r) {
  zlog::parts(QStringLiteral("ClientTouch"), r.session);
  MsgBackDataClientTouch touch;
  touch.UPC = UserInfo::shared()->limit_dpc;
  touch.SC = activeSessionCount(uint64_t(QDateTime::currentSecsSinceEpoch()));
  QString local = documentsPath(QStringLiteral("Kelvor"));
  ensureDirectory(local);
  local += QStringLiteral("/Downloads");
  ensureDirectory(local);
  touch.Local = local;
  touch.OS = QStringLiteral("IOS");
  SendWSDCReply(r.code, r.token, r.session, wrapData(touch));
}

bool clipboardAllowed() { return UtilDB::getValue(QStringLiteral("IsClipboard")) != QStringLiteral("0"); }

void hostHandShake(const Request& r) {
  MsgBackData_Handshake handshake;
  handshake.data = vex::Json(UserInfo::shared()->name_acc.toStdString());
  handshake.os = QStringLiteral("macos");
  handshake.device = QStringLiteral("MacPC");
  handshake.clipboard = clipboardAllowed() ? QStringLiteral("1") : QStringLiteral("0");
  SendWSDCReply(r.code, r.token, r.session, handshake.toJSONModel());
}

void validInfo(const Request& r) {
  ValidInfo info;
  info.IsHostValid = info.IsCanUpDown = info.IsCanReceiveFile = info.SP_DownloadNow = true;
  SendWSDCReply(r.code, r.token, r.session, wrapData(info));
}

void ping(const Request& r) {
  Env::PingTimes[r.session] = uint64_t(QDateTime::currentSecsSinceEpoch());
  SendWSDCReply(r.code, r.token, r.session, wrapData(QStringLiteral("PONG")));
}

void getFileList(const Request& r) {
  const FileListRequest request = guardedListRequest(
      PathGuard::forSession(r.session), jsonread::text(r.msg, "dir"), jsonread::text(r.msg, "search"),
      jsonread::text(r.msg, "orderBy"), jsonread::integer(r.msg, "iPageIndex"), jsonread::integer(r.msg, "iPageSize"),
      jsonread::integer(r.msg, "iProbeCount"), kListFolders | kListFiles);
  if (!isLargeFolder(request)) {
    SendWSDCReply(r.code, r.token, r.session, answerGetFileList(request));
    return;
  }
  // A big folder is read, and its page written out, on a worker so the main
  // thread (and with it the bridge heartbeat) never waits for the disk; the
  // reply is sent from here.
  QtConcurrent::run(&listingPool(), [request] {
    return answerGetFileList(request);
  }).then(QCoreApplication::instance(), [r](QFuture<vex::Json> done) {
    SendWSDCReply(r.code, r.token, r.session, done.takeResult());  // taken, not copied
  });
}

vex::Json withSpot(vex::Json reply, const Request& r, const protocol::ShareSpot& spot) {
  if (!r.transferCheck || spot.ShareRoot.isEmpty() || !reply["data"].is_object()) return reply;
  const vex::Json fields = spot.toJSONModel();
  for (auto it = fields.begin(); it != fields.end(); ++it) reply["data"][it.key()] = it.value();
  return reply;
}

void fileDownloadCheck(const Request& r) {
  protocol::ShareSpot spot;
  const FileDownloadInfo info =
      answerFileDownloadCheck(PathGuard::forSession(r.session), jsonread::text(r.msg, "path"), &spot);
  SendWSDCReply(r.code, r.token, r.session, withSpot(wrapData(info), r, spot));
}

void opFileList(const Request& r) {
  removeServedFiles(PathGuard::forSession(r.session), jsonread::text(r.msg, "cmd"), jsonread::text(r.msg, "fileList"));
  SendWSDCReply(r.code, r.token, r.session, vex::Json("[]"));
}

void newFileCreate(const Request& r) {
  createServedFolder(PathGuard::forSession(r.session), jsonread::text(r.msg, "dir"), jsonread::text(r.msg, "name"));
  SendWSDCReply(r.code, r.token, r.session, vex::Json(""));
}

void ignored(const Request&) {}

QString clipboardPreview(const QString& text) {
  QTextBoundaryFinder finder(QTextBoundaryFinder::Grapheme, text);
  qsizetype characters = 0;
  qsizetype fifth = -1;
  while (finder.toNextBoundary() != -1) {
    ++characters;
    if (characters == 5) fifth = finder.position();
  }
  if (characters < 6) return text;
  return text.left(fifth) + QStringLiteral("...");
}

void clipboardPush(const Request& r) {
  const QString info = jsonread::text(r.msg, "Info");
  if (!info.isEmpty() && clipboardAllowed()) {
    if (QClipboard* board = clipboard()) board->setText(info);
    if (Env::MainViewShared) Env::MainViewShared->showToast(QStringLiteral("剪贴板已更新：") + clipboardPreview(info));
  }
  SendWSDCReply(r.code, r.token, r.session, vex::Json("[]"));
}

void clipboardGetText(const Request& r) {
  QString text;
  if (clipboardAllowed()) {
    if (const QClipboard* board = clipboard()) {
      const QMimeData* data = board->mimeData();
      if (data && data->hasText()) text = data->text();
    }
    if (!text.isEmpty() && Env::MainViewShared) Env::MainViewShared->showToast(QStringLiteral("剪贴板已被远程获取"));
  }
  SendWSDCReply(r.code, r.token, r.session, wrapData(text));
}

void waitRemoteReceiveFiles(const Request& r) {
  const QString session = jsonread::text(r.msg, "Session");
  if (MainViewHandle* main = Env::MainViewShared) {
    CtlViewReceiveFile& panel = main->ctlViewReceiveFile();
    panel = CtlViewReceiveFile{};
    panel.Session = session;
    panel.Summary = jsonread::text(r.msg, "Summary");
    panel.FromUser = jsonread::text(r.msg, "FromUser");
    panel.UUID = jsonread::text(r.msg, "UUID");
    panel.vrsState = ViewReceiveState::vrsWaiting;
    panel.isShowView = true;
    main->receiveFilePanelChanged();
  }
  offeringSession() = r.session;
  SetRemoteSession(session);
  P2PClientMsg::SendMsgToP2PClient(QStringLiteral("ResetRemoteUploadStatus_FromLocal"), MsgResetRemoteUpload{session},
                                   false);
  SendWSDCReply(r.code, r.token, r.session, wrapData(QStringLiteral("1")));
}

void waitRemoteReceiveFilesPressButton(const Request& r) {
  MsgBackData reply;
  if (MainViewHandle* main = Env::MainViewShared) {
    // Another session never learns the answer: it reads as still waiting.
    const bool offered = r.session == offeringSession();
    reply.data = vex::Json(offered ? main->ctlViewReceiveFile().taskState.toStdString() : std::string("0"));
  }
  SendWSDCReply(r.code, r.token, r.session, reply.toJSONModel());
}

void waitRemoteReceiveFilesCancel(const Request&) {
  if (MainViewHandle* main = Env::MainViewShared) {
    main->ctlViewReceiveFile().isShowView = false;
    main->receiveFilePanelChanged();
    main->showToast(L("Contact_SendCanceled"));
  }
}

}  // namespace hostside
